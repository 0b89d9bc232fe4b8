// Fuzz target: header parsing, the free-format search and the sync scan over arbitrary bytes.
// Every read must stay inside the bytes given; results must be consistent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that any read past the end is caught.
    std::vector<uint8_t> buf(data, data + size);
    const uint8_t* p = buf.empty() ? nullptr : buf.data();
    int32_t n = static_cast<int32_t>(size > 100000 ? 100000 : size);
    if (!p) return 0;

    MpegHeader h;
    int32_t size1 = mpeg_header_parse(p, n, &h);
    int32_t rate = -1;
    MpegHeader h2;
    int32_t size2 = mpeg_header_parse_rate(p, n, &h2, &rate);
    if (size1 != size2 || (size2 == 0 && rate != 0) || size1 < 0) std::abort();
    if (size1 > 0 && std::memcmp(&h, &h2, sizeof h) != 0) std::abort();

    int32_t off = -1;
    rate = -1;
    int32_t size3 = mpeg_header_find(p, n, &h, &rate, &off);
    if (size3 < 0 || (size3 > 0 && (off < 0 || off >= n))) std::abort();
    return 0;
}
