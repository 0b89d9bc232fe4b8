// Differential fuzz target: the plain and the AVX2 implementation of the vectorised stages decode
// the same bytes into the same PCM, frame by frame, with the same bytes consumed. The first bytes
// choose the set-up as in the decoder target (with its decoders set up once per shape); the rest
// is the stream. On a processor without AVX2 both decoders run the plain path and the target
// checks only that decoding is repeatable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoder_cache.h"
#include "frame_walk.h"
#include "mpeg_decoder.h"

namespace {

MpegDecoder g_plain, g_avx2;  // large: keep them off the stack
uint8_t g_pcm_plain[1152 * 2 * 2 + 64], g_pcm_avx2[1152 * 2 * 2 + 64];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int32_t reduction = data[0] % 3;
    const int32_t convert = (data[1] & 3) | ((data[1] & 4) ? 8 : 0);
    const int32_t freq_limit = 1000 + data[2] * 100;
    std::vector<uint8_t> stream(data + 3, data + size);
    if (stream.empty()) return 0;
    const int32_t n = static_cast<int32_t>(stream.size());

    MpegHeader h;
    int32_t rate = 0, off = 0;
    const int32_t frame_bytes = mpeg_header_find(stream.data(), n, &h, &rate, &off);
    if (frame_bytes <= 0) return 0;
    if (fuzz_cache::copy_decoder(&g_plain, h, frame_bytes, reduction, convert, freq_limit,
                                 mpeg_path_plain) &&
        fuzz_cache::copy_decoder(&g_avx2, h, frame_bytes, reduction, convert, freq_limit,
                                 mpeg_best_path())) {
        int32_t pos_plain = off, pos_avx2 = off;
        for (int frames = 0; frames < 32; ++frames) {
            InOut a{0, 0}, b{0, 0};
            const int32_t ra = mp3_walk_frame(&g_plain, stream.data(), n, &pos_plain, frame_bytes,
                                              g_pcm_plain, &a);
            const int32_t rb = mp3_walk_frame(&g_avx2, stream.data(), n, &pos_avx2, frame_bytes,
                                              g_pcm_avx2, &b);
            if (ra != rb || pos_plain != pos_avx2 || a.in_bytes != b.in_bytes ||
                a.out_bytes != b.out_bytes)
                std::abort();
            if (ra != MP3_WALK_FRAME) break;
            if (std::memcmp(g_pcm_plain, g_pcm_avx2, size_t(a.out_bytes)) != 0) std::abort();
        }
    }
    return 0;
}
