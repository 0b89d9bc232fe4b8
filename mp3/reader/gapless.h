// The gapless state of the decoding core (core.h): which of the decoded samples are handed back,
// and the rest of the last decoded frame still to hand back (a trimmed run does not fill a whole
// number of frames, so a buffer may begin or end inside a frame).
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

extern "C" {

struct MpegGapless {
    int32_t on;         // -1 on, 0 off
    int64_t start;      // decoded samples per channel (the first frame's counted) skipped first
    int64_t length;     // samples per channel handed back after them; -1: up to the data's end
    int32_t carry_off;  // bytes of `carry` already handed back
    int32_t carry_len;  // bytes of `carry` still to hand back
    uint8_t carry[1152 * 2 * 4]; // one frame's PCM: 1152 samples, two channels, up to 32-bit
};

// Gapless playback. The frames are decoded as always, one at a time into the carry; of the
// decoded samples, counted per channel from the first frame (the Info frame included), only
// those from `start` on, `length` of them, are handed back.

// Sets the run from the first frame (an Info/Xing frame when `info` is set; its LAME tag, or
// null without one; the audio frames its header counts, -1 when it counts none), at an output
// of `frame_samples` samples per channel a frame and `reduction` (as mpeg_lame_trim takes it).
// The Info frame is left out; its LAME tag cuts the encoder's delay and ends the run after the
// audio frames counted (the padding cut), whatever data follows. Without a tag the run is every
// decoded sample after the Info frame, up to the data's end.
struct MpegLameTag;
void mpeg_gap_bounds(MpegGapless* g, const MpegLameTag* tag, int64_t audio, int64_t frame_samples,
                    int32_t reduction, int32_t info);
// The sample after the run (the largest value when the run goes on to the data's end).
int64_t mpeg_gap_end(const MpegGapless* g);
// Copies up to `room` bytes of the carry to out; returns the bytes copied.
int32_t mpeg_gap_take(MpegGapless* g, uint8_t* out, int32_t room);
// The frame just decoded into the carry began at decoded sample `at` and gave `bytes` bytes of
// `sample_bytes` per sample: keeps its part inside the run.
void mpeg_gap_keep(MpegGapless* g, int64_t at, int32_t bytes, int32_t sample_bytes);
// Time of the run handed back once `decoded` samples per channel have been decoded.
int32_t mpeg_gap_position_ms(const MpegGapless* g, int64_t decoded, int32_t sample_bytes,
                            int32_t frequency);
// Time of the whole run (0 while its end is unknown).
int32_t mpeg_gap_length_ms(const MpegGapless* g, int32_t frequency);

}  // extern "C"
