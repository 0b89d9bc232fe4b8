// Fuzz target: decoder set-up and a run of decode_frame calls over arbitrary bytes, for every
// layer, reduction and output form. The first bytes choose the set-up; the rest is the stream.
// Frames are fed through frame sync with exact-size buffers, so any read outside the bytes given
// is caught by AddressSanitizer.
// Each input decodes with a copy of a decoder set up once per shape (decoder_cache.h).
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "decoder_cache.h"
#include "frame_sync.h"
#include "decoder_state.h"

namespace {

// Frames decoded per input: enough for the Layer III reservoir to reach back over earlier
// frames and for bitrate and padding changes, few enough that mutations land in them.
constexpr int kFrames = 4;
MpegDecoder g_decoder; // large: keep it off the stack
uint8_t g_pcm[1152 * 2 * 2 + 64];

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
    int32_t frame_bytes = mpeg_header_find(stream.data(), n, &h, &rate, &off);
    if (frame_bytes <= 0) return 0;
    MpegDecoder& d = g_decoder;
    if (!fuzz_cache::copy_decoder(&d, h, frame_bytes, reduction, convert, freq_limit)) return 0;
    MpegOutputFormat f;
    mpeg_decoder_get_format(&d, &f);
    if (f.out_samples * (f.bits / 8) > int32_t(sizeof g_pcm)) std::abort();
    // The header found starts the stream unconfirmed, as a frame known to be one (after a
    // rewind): the decoder sees every input that holds one header.
    MpegSync sync;
    mpeg_sync_init(&sync);
    sync.stream = h;
    sync.free_bytes = h.bitrate_index == 0 ? frame_bytes : 0;
    int32_t pos = off;
    for (int frames = 0; frames < kFrames; ++frames) {
        MpegInOut io{0, 0};
        int32_t r = mpeg_sync_decode(&sync, &d, stream.data(), n, 1, &pos, g_pcm, &io);
        if (r != MPEG_SYNC_FRAME) break;
        if (io.in_bytes <= 0 || io.out_bytes != f.out_samples * (f.bits / 8)) std::abort();
    }
    return 0;
}
