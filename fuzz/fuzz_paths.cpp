// Differential fuzz target: the plain implementation of the vectorised stages and each vector
// one (SSE2 and AVX2 on x86-64, NEON on aarch64) decode the same bytes into the same PCM, frame by frame, with the same bytes
// consumed. The first bytes choose the set-up as in the decoder target (with its decoders set up
// once per shape); the rest is the stream. A path the processor lacks falls back to the plain
// one, and for it the target checks only that decoding is repeatable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoder_cache.h"
#include "frame_sync.h"
#include "decoder_state.h"

namespace {

// The plain path first: the others are compared with it.
#if defined(__aarch64__)
constexpr int32_t kPaths[] = {MPEG_PATH_PLAIN, MPEG_PATH_NEON};
#else
constexpr int32_t kPaths[] = {MPEG_PATH_PLAIN, MPEG_PATH_SSE2, MPEG_PATH_AVX2, MPEG_PATH_AVX512};
#endif
constexpr int kCount = int(sizeof kPaths / sizeof kPaths[0]);
MpegDecoder g_dec[kCount];  // large: keep them off the stack
uint8_t g_pcm[kCount][1152 * 2 * 2 + 64];

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
    for (int i = 0; i < kCount; ++i)
        if (!fuzz_cache::copy_decoder(&g_dec[i], h, frame_bytes, reduction, convert, freq_limit,
                                      kPaths[i]))
            return 0;
    // The header found starts the stream, as a frame known to be one; each decoder follows it
    // with its own copy of the sync record.
    MpegSync sync[kCount];
    mpeg_sync_init(&sync[0]);
    sync[0].stream = h;
    sync[0].free_bytes = h.bitrate_index == 0 ? frame_bytes : 0;
    int32_t pos[kCount];
    for (int i = 0; i < kCount; ++i) {
        sync[i] = sync[0];
        pos[i] = off;
    }
    for (int frames = 0; frames < 32; ++frames) {
        MpegInOut io[kCount];
        int32_t r[kCount];
        for (int i = 0; i < kCount; ++i) {
            // Different stale bytes in each buffer: PCM reported but not written differs.
            std::memset(g_pcm[i], 0x5a * i, sizeof g_pcm[i]);
            io[i] = MpegInOut{0, 0};
            r[i] = mpeg_sync_decode(&sync[i], &g_dec[i], stream.data(), n, 1, &pos[i], g_pcm[i], &io[i]);
        }
        for (int i = 1; i < kCount; ++i) {
            if (r[i] != r[0] || pos[i] != pos[0] || io[i].in_bytes != io[0].in_bytes ||
                io[i].out_bytes != io[0].out_bytes)
                std::abort();
            if (r[0] == MPEG_SYNC_FRAME && std::memcmp(g_pcm[0], g_pcm[i], size_t(io[0].out_bytes)) != 0)
                std::abort();
        }
        if (r[0] != MPEG_SYNC_FRAME) break;
    }
    return 0;
}
