// Internal entry points shared between the decoder's source files (not part of the public API).
#pragma once

#include "mpeg_decoder.h"

// Synthesis (synth.cpp).
void synth_reset(MpegDecoder* d);
extern const MpegSynthFn synth_variants[30];    // [15 * eight_bit + 5 * reduction + chan_code]
extern const MpegSynthFn synth_l3_variants[12]; // [2 * (3 * eight_bit + reduction) + channels - 1]

// Common tail of the Layer I and Layer II set-ups (decoder.cpp): decode limit, output format,
// synthesis variant, clearing of the sample rows and synthesis reset. `fs` in Hz, `sb` the
// subband count the frame carries, `samples` per channel per frame at full rate (1152 or 384).
// The parameters are already clamped. Returns 1.
int32_t l12_finish_setup(MpegDecoder* d, const MpegHeader* h, int32_t fs, int32_t sb,
                         int32_t samples, int32_t reduction, int32_t convert, int32_t freq_limit);

// Layers I and II (layer12.cpp).
void build_l12_tables(MpegDecoder* d);
int32_t l1_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes, int32_t reduction,
                 int32_t transform, int32_t convert, int32_t freq_limit);
int32_t l2_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes, int32_t reduction,
                 int32_t transform, int32_t convert, int32_t freq_limit);
InOut l1_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
InOut l2_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);

// Layer III (layer3_*.cpp).
void l3_init_defaults(MpegDecoder* d); // function-pointer defaults, called by init
int32_t l3_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes, int32_t reduction,
                 int32_t transform, int32_t convert, int32_t freq_limit);
InOut l3_decode_entry(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
