// The set-up decoders of the decoder fuzz targets, one per set-up shape (header, frame size and
// the three choices), made on first use and kept. Setting a decoder up builds its formula tables,
// which costs far more than decoding a few frames; a target decodes with a copy instead. A
// decoder holds no address of its own interior, so a copy decodes as the original would; the
// copies share the original's EqSettings record and are never freed themselves. A full cache
// is emptied into a retired set that lives until the next time it fills: copies handed out just
// before (a target takes up to three per input) stay valid while the input is decoded.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "decoder_state.h"

namespace fuzz_cache {

struct Cached {
    MpegDecoder d;
    int32_t ok = 0;
    ~Cached() { mpeg_decoder_free(&d); }
};

// Null when set-up refuses the shape. `path` is the processor path the decoder is set up on.
inline const MpegDecoder* decoder_for(const MpegHeader& h, int32_t frame_bytes, int32_t reduction,
                                      int32_t convert, int32_t freq_limit,
                                      int32_t path = MPEG_PATH_BEST) {
    using Shape = std::array<int32_t, 18>;
    constexpr size_t kMaxShapes = 256;
    static std::map<Shape, std::unique_ptr<Cached>> shapes, retired;
    Shape key;
    std::memcpy(key.data(), &h, sizeof h);
    key[13] = frame_bytes;
    key[14] = reduction;
    key[15] = convert;
    key[16] = freq_limit;
    key[17] = path;
    auto it = shapes.find(key);
    if (it == shapes.end()) {
        if (shapes.size() >= kMaxShapes) {
            retired = std::move(shapes);  // the set retired before is freed here
            shapes.clear();
        }
        auto c = std::make_unique<Cached>();
        c->ok = mpeg_decoder_init(&c->d, 1);
        if (c->ok) mpeg_decoder_request_path(&c->d, path);
        c->ok = c->ok && mpeg_decoder_setup(&c->d, &h, frame_bytes, reduction, 0, convert, freq_limit);
        it = shapes.emplace(key, std::move(c)).first;
    }
    return it->second->ok ? &it->second->d : nullptr;
}

// A copy of the shape's set-up decoder in `d`; false when set-up refuses the shape.
inline bool copy_decoder(MpegDecoder* d, const MpegHeader& h, int32_t frame_bytes,
                         int32_t reduction, int32_t convert, int32_t freq_limit,
                         int32_t path = MPEG_PATH_BEST) {
    const MpegDecoder* s = decoder_for(h, frame_bytes, reduction, convert, freq_limit, path);
    if (!s) return false;
    std::memcpy(static_cast<void*>(d), s, sizeof *d);
    return true;
}

}  // namespace fuzz_cache
