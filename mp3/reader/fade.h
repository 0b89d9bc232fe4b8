// A fade: a gain on PCM, ramped sample by sample (every channel of a sample alike) towards a
// target. Gains are fixed point, MPEG_CORE_UNITY (1 << 24) for unchanged; the ramp is kept with
// 16 more bits, so that its steps add up to the target without drift over long fades. The core
// applies one to what it reads; the players apply theirs to what they hand back.
#pragma once

#include <cstdint>

extern "C" {

struct MpegFade {
    int64_t gain;    // now, << 16
    int64_t target;  // << 16
    int64_t step;    // added per sample while `left` > 0, << 16
    int64_t left;    // samples of the ramp still to come
};

// At unity, no ramp.
void mpeg_fade_init(MpegFade* f);

// Whether the fade leaves samples as they are (at unity, no ramp under way).
int32_t mpeg_fade_unity(const MpegFade* f);

// Starts a ramp from the gain now to `gain` (0 to unity) over `samples` samples (0: at once).
void mpeg_fade_to(MpegFade* f, int32_t gain, int64_t samples);

// Applies the fade to `bytes` bytes of signed 16-bit (or unsigned 8-bit) PCM of `channels`
// channels, the ramp advancing one step a sample. Nothing to do at unity.
void mpeg_fade_apply(MpegFade* f, uint8_t* buf, int32_t bytes, int32_t bits, int32_t channels);

}  // extern "C"
