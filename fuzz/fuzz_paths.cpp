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
#include "frame_sync.h"
#include "decoder_state.h"

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
                                 MPEG_PATH_PLAIN) &&
        fuzz_cache::copy_decoder(&g_avx2, h, frame_bytes, reduction, convert, freq_limit,
                                 mpeg_best_path())) {
        // The header found starts the stream, as a frame known to be one; each decoder follows
        // it with its own copy of the sync record.
        MpegSync sync_plain;
        mpeg_sync_init(&sync_plain);
        sync_plain.stream = h;
        sync_plain.free_bytes = h.bitrate_index == 0 ? frame_bytes : 0;
        MpegSync sync_avx2 = sync_plain;
        int32_t pos_plain = off, pos_avx2 = off;
        for (int frames = 0; frames < 32; ++frames) {
            MpegInOut a{0, 0}, b{0, 0};
            // Different stale bytes in the two buffers: PCM reported but not written differs.
            std::memset(g_pcm_plain, 0x00, sizeof g_pcm_plain);
            std::memset(g_pcm_avx2, 0xa5, sizeof g_pcm_avx2);
            const int32_t ra = mpeg_sync_decode(&sync_plain, &g_plain, stream.data(), n, 1,
                                               &pos_plain, g_pcm_plain, &a);
            const int32_t rb = mpeg_sync_decode(&sync_avx2, &g_avx2, stream.data(), n, 1,
                                               &pos_avx2, g_pcm_avx2, &b);
            if (ra != rb || pos_plain != pos_avx2 || a.in_bytes != b.in_bytes ||
                a.out_bytes != b.out_bytes)
                std::abort();
            if (ra != MPEG_SYNC_FRAME) break;
            if (std::memcmp(g_pcm_plain, g_pcm_avx2, size_t(a.out_bytes)) != 0) std::abort();
        }
    }
    return 0;
}
