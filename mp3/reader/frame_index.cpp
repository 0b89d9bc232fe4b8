// The frame index: one header walk, grown by doubling (one int32_t per frame), and the pre-roll
// that refills the Layer III bit reservoir and the filter histories before the frame sought.
#include "frame_index.h"

#include <cstdlib>

#include "decoder_state.h"

namespace {

// Bytes of main data that frame i adds to the bit reservoir: the frame without its header, CRC
// and side information. The frame's size is the distance to the next frame, capped by the size
// its header states (bytes of a tag between two frames are no main data).
int32_t main_bytes(const MpegFrameIndex* x, const uint8_t* data, int32_t i) {
    const uint8_t* p = data + x->offsets[i];
    int32_t size = x->offsets[i + 1] - x->offsets[i];
    MpegHeader h{};
    const int32_t bare = mpeg_header_parse(p, size < 4 ? size : 4, &h);
    const int32_t whole = mpeg_header_frame_bytes(&h, bare);
    if (bare > 0 && whole < size) size = whole;
    const bool mono = h.mode == 3;
    const int32_t side = h.id == 1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const int32_t n = size - 4 - (h.protection_bit ? 0 : 2) - side;
    return n > 0 ? n : 0;
}

}  // namespace

int32_t mpeg_index_build(MpegFrameIndex* x, const MpegSync* sync, const uint8_t* data, int32_t len) {
    x->offsets = nullptr;
    x->frames = 0;
    MpegSync s = *sync;
    mpeg_sync_restart(&s, 1);
    // Grown by doubling: a few reallocations even for hours of audio.
    int32_t cap = 64;
    int32_t* offs = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * size_t(cap)));
    if (!offs) return 0;
    int32_t n = 0, pos = 0, size = 0, end = 0;
    while (mpeg_sync_next(&s, data, len, 1, &pos, &size) == MPEG_SYNC_FRAME) {
        if (n + 1 >= cap) {
            const int32_t more = cap < (1 << 29) ? cap * 2 : 0;
            int32_t* grown =
                more ? static_cast<int32_t*>(std::realloc(offs, sizeof(int32_t) * size_t(more)))
                     : nullptr;
            if (!grown) {
                std::free(offs);
                return 0;
            }
            offs = grown;
            cap = more;
        }
        offs[n++] = pos;
        pos += size;
        end = pos;
        mpeg_sync_taken(&s);
    }
    offs[n] = end;
    x->offsets = offs;
    x->frames = n;
    return 1;
}

void mpeg_index_free(MpegFrameIndex* x) {
    if (!x) return;
    std::free(x->offsets);
    x->offsets = nullptr;
    x->frames = 0;
}

int32_t mpeg_index_preroll(const MpegFrameIndex* x, const uint8_t* data, int32_t layer, int32_t f) {
    if (f <= 0 || !x->offsets) return 0;
    if (f > x->frames) f = x->frames;
    if (layer != 3) return f > 2 ? f - 2 : 0;
    // Frames before f - 1 until their main data covers the 511 bytes main_data_begin can reach.
    int32_t i = f - 1, need = 511;
    while (need > 0 && i > 0) {
        --i;
        need -= main_bytes(x, data, i);
    }
    return i > 0 ? i - 1 : 0;
}

int32_t mpeg_index_decode_preroll(const MpegFrameIndex* x, MpegDecoder* d, const uint8_t* data,
                                 int32_t len, int32_t layer, int32_t f, uint8_t* scratch) {
    if (!x->offsets || f <= 0 || f > x->frames) return 0;
    int32_t done = 0;
    for (int32_t i = mpeg_index_preroll(x, data, layer, f); i < f; ++i, ++done)
        mpeg_decode_frame(d, data + x->offsets[i], len - x->offsets[i], scratch);
    return done;
}

int64_t mpeg_frame_of_sample(int64_t sample, int32_t samples_per_frame) {
    if (samples_per_frame <= 0) return 0;
    const int64_t q = sample / samples_per_frame;
    return sample % samples_per_frame < 0 ? q - 1 : q;
}
