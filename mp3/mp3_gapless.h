// The gapless state both players keep: which of the decoded samples are handed back, and the
// rest of the last decoded frame still to hand back (a trimmed run does not fill a whole number
// of frames, so a buffer may begin or end inside a frame).
#pragma once

#include <cstdint>

struct Mp3Gapless {
    int32_t on;         // -1 on, 0 off
    int64_t start;      // decoded samples per channel (the first frame's counted) skipped first
    int64_t length;     // samples per channel handed back after them; -1: up to the data's end
    int32_t carry_off;  // bytes of `carry` already handed back
    int32_t carry_len;  // bytes of `carry` still to hand back
    uint8_t carry[1152 * 2 * 2]; // one frame's PCM: 1152 samples, two channels, 16-bit
};
