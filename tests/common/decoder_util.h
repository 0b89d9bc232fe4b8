// Decoder helpers shared by the tests: a decoder on the heap that frees itself, a whole-file
// decode as mp3dec does it, and the MSB-first bit writer that builds headers and frames bit by
// bit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "frame_sync.h"
#include "decoder_state.h"
#include "kernels.h"
#include "tags.h"

namespace ziv {

// A decoder object on the heap (it is large), initialised, released at the end of its scope.
struct TestDecoder {
    std::unique_ptr<MpegDecoder> d{new MpegDecoder()};
    int32_t init_ok = mpeg_decoder_init(d.get(), 1);
    ~TestDecoder() { mpeg_decoder_free(d.get()); }
    MpegDecoder* get() { return d.get(); }
    MpegDecoder* operator->() { return d.get(); }
    int32_t setup(const MpegHeader& h, int32_t frame_bytes, int32_t reduction = 0,
                  int32_t convert = 0, int32_t freq_limit = 24000) {
        return mpeg_decoder_setup(d.get(), &h, frame_bytes, reduction, 0, convert, freq_limit);
    }
};

inline const char* path_name(int32_t path) {
    return path == MPEG_PATH_PLAIN ? "plain" : path == MPEG_PATH_SSE2 ? "sse2"
           : path == MPEG_PATH_AVX2 ? "avx2" : path == MPEG_PATH_NEON ? "neon"
           : path == MPEG_PATH_AVX512 ? "avx512" : "unknown";
}

// The vector paths (every path but the plain one) that this build runs on this processor, the
// ones compared with the plain path; a path it cannot run is named on standard output, so a run
// shows what it compared and what it could not.
inline std::vector<int32_t> vector_paths() {
    std::vector<int32_t> r;
    for (int32_t p : {MPEG_PATH_SSE2, MPEG_PATH_AVX2, MPEG_PATH_AVX512, MPEG_PATH_NEON}) {
        if (mpeg_kernels(p)) r.push_back(p);
        else std::printf("path %s: not run by this build on this processor, not compared\n", path_name(p));
    }
    return r;
}

struct Decoded {
    std::vector<uint8_t> pcm;
    MpegOutputFormat fmt{};
    int frames = 0;
    bool set_up = false;  // a first frame was found and the decoder accepted it
    int32_t path = -1;    // the processor path the decoder ran
};

// Decodes a whole file as mp3dec does without its gapless cut: the trailing tags cut off, the
// first confirmed frame found (leading tags and junk stepped over), the decoder set up from it,
// then frame after frame by frame sync to the end of the stream, on the processor path asked
// for (the best one by default), within the frequency limit given.
inline Decoded decode_whole(const std::vector<uint8_t>& file, int32_t reduction = 0,
                            int32_t convert = 0, int32_t path = MPEG_PATH_BEST,
                            int32_t freq_limit = 24000) {
    Decoded r;
    const int32_t len = mpeg_trailing_tags(file.data(), int32_t(file.size()));
    MpegSync sync;
    mpeg_sync_init(&sync);
    MpegHeader h{};
    int32_t pos = 0, frame_bytes = 0, bitrate = 0;
    if (mpeg_sync_lock(&sync, file.data(), len, 1, &pos, &h, &frame_bytes, &bitrate) !=
        MPEG_SYNC_FRAME)
        return r;
    TestDecoder d;
    if (!d.init_ok) return r;
    mpeg_decoder_request_path(d.get(), path);
    if (!d.setup(h, frame_bytes, reduction, convert, freq_limit)) return r;
    r.set_up = true;
    r.path = mpeg_decoder_path(d.get());
    mpeg_decoder_get_format(d.get(), &r.fmt);
    std::vector<uint8_t> frame(size_t(r.fmt.out_samples) * size_t(r.fmt.bits / 8));
    MpegInOut io;
    while (mpeg_sync_decode(&sync, d.get(), file.data(), len, 1, &pos, frame.data(), &io) ==
           MPEG_SYNC_FRAME) {
        r.pcm.insert(r.pcm.end(), frame.begin(), frame.begin() + io.out_bytes);
        ++r.frames;
    }
    return r;
}

// Writes bits most significant first.
struct BitWriter {
    std::vector<uint8_t> bytes;
    size_t nbits = 0;
    void put(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (nbits % 8 == 0) bytes.push_back(0);
            if (i < 32 && ((v >> i) & 1u)) bytes.back() |= uint8_t(0x80u >> (nbits % 8));
            ++nbits;
        }
    }
    void put_bits(const std::string& s) {
        for (char c : s) put(c == '1' ? 1u : 0u, 1);
    }
    void align() {
        while (nbits % 8) put(0, 1);
    }
    // The bytes written, zero-padded (or cut) to `size`.
    std::vector<uint8_t> frame(size_t size) const {
        std::vector<uint8_t> f(bytes);
        f.resize(size, 0);
        return f;
    }
};

}  // namespace ziv
