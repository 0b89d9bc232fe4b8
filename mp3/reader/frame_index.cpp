// The frame index: one header walk, grown by doubling (one int32_t per frame), and the pre-roll
// that refills the Layer III bit reservoir and the filter histories before the frame sought.
#include "frame_index.h"

#include <cstdlib>

#include "decoder_state.h"

namespace {

// Bytes of main data that frame i adds to the bit reservoir (mpeg_frame_main_bytes). The
// frame's size is the distance to the next frame.
int32_t main_bytes(const MpegFrameIndex* x, const uint8_t* data, int32_t i) {
    return mpeg_frame_main_bytes(data + x->offsets[i], x->offsets[i + 1] - x->offsets[i]);
}

// The pre-roll's first frame for frame f of Layer III, the main data of frame i given by
// main_of(i) and whether the frames hold one granule (MPEG-2 and 2.5) by one_granule.
template <typename MainOf>
int32_t layer3_preroll(MainOf main_of, bool one_granule, int32_t f) {
    // The frames whose spectrum must decode exactly: f - 1 (its overlap is added to frame f, its
    // last granule fills the synthesis history). An MPEG-1 frame holds two granules, so f - 1's
    // second granule takes its overlap from its first; an MPEG-2 or 2.5 frame holds one, so
    // f - 1's output takes its overlap from f - 2, whose spectrum must be exact too.
    const int32_t exact = one_granule ? f - 2 : f - 1;
    if (exact <= 0) return 0;
    // Frames before the first exact one until their main data covers the 511 bytes
    // main_data_begin can reach (255 in MPEG-2 and 2.5), then one frame to spare.
    int32_t i = exact, need = 511;
    while (need > 0 && i > 0) {
        --i;
        need -= main_of(i);
    }
    return i > 0 ? i - 1 : 0;
}

}  // namespace

int32_t mpeg_frame_main_bytes(const uint8_t* frame, int32_t size) {
    MpegHeader h{};
    const int32_t bare = mpeg_header_parse(frame, size < 4 ? size : 4, &h);
    if (bare <= 0) return 0;
    // Capped by the size the header states: bytes of a tag after the frame are no main data.
    const int32_t whole = mpeg_header_frame_bytes(&h, bare);
    if (whole < size) size = whole;
    const bool mono = h.mode == 3;
    const int32_t side = h.id == 1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const int32_t n = size - 4 - (h.protection_bit ? 0 : 2) - side;
    return n > 0 ? n : 0;
}

int32_t mpeg_preroll_of_sizes(const int16_t* main, int32_t one_granule, int32_t layer, int32_t f) {
    if (f <= 0) return 0;
    if (layer != 3) return f > 2 ? f - 2 : 0;
    return layer3_preroll([main](int32_t i) { return int32_t(main[i]); }, one_granule != 0, f);
}

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
    MpegHeader h{};
    const int32_t at = x->offsets[f - 1];
    const bool one_granule =
        mpeg_header_parse(data + at, x->offsets[f] - at < 4 ? 0 : 4, &h) > 0 && h.id == 0;
    return layer3_preroll([x, data](int32_t i) { return main_bytes(x, data, i); }, one_granule, f);
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
