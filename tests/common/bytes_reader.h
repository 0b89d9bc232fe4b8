// An MpegReader over bytes in memory for the core's tests: it counts its reads, can give short
// reads (`most` bytes at a time), fail past an offset (`fail_at`), and be made without its seek
// and size calls (a source that can only be read once).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mpeg_core.h"

namespace ziv {

struct BytesSource {
    const std::vector<uint8_t>* data;
    size_t at = 0;
    size_t fail_at = SIZE_MAX;  // a read from here on fails
    size_t most = SIZE_MAX;     // the most one read gives
    int reads = 0;
};

inline int64_t bytes_read(void* ctx, void* buf, size_t n) {
    BytesSource* s = static_cast<BytesSource*>(ctx);
    ++s->reads;
    if (s->at >= s->fail_at) return -1;
    const size_t k = std::min({n, s->most, s->data->size() - s->at});
    std::memcpy(buf, s->data->data() + s->at, k);
    s->at += k;
    return int64_t(k);
}

inline int32_t bytes_seek(void* ctx, int64_t off) {
    BytesSource* s = static_cast<BytesSource*>(ctx);
    if (off < 0 || size_t(off) > s->data->size()) return -1;
    s->at = size_t(off);
    return 0;
}

inline int64_t bytes_size(void* ctx) { return int64_t(static_cast<BytesSource*>(ctx)->data->size()); }

// A reader that seeks and knows its size, and one that can only be read once.
constexpr MpegReader kBytesReader = {bytes_read, bytes_seek, bytes_size};
constexpr MpegReader kBytesOnce = {bytes_read, nullptr, nullptr};

}  // namespace ziv
