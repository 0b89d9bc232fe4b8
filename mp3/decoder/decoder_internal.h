// Internal entry points shared between the decoder's source files (not part of the public API).
#pragma once

#include "decoder_state.h"

// Synthesis (synth.cpp): clears the histories (and builds the transform coefficients once).
void synth_reset(MpegDecoder* d);

// Set-up parameters after the rules common to every layer (output_format.cpp), applied once by
// mpeg_setup_params.
struct MpegSetup {
    int32_t frame_bytes; // the frame size given to set-up (without padding)
    int32_t reduction;   // 0 full, 1 half, 2 quarter rate
    int32_t eight_bit;   // 1 for unsigned 8-bit output
    int32_t form;        // the output form's index in the synthesis tables (OutForm)
    int32_t sample_bytes; // bytes of one stored sample: 1, 2, 3 or 4
    int32_t valid;       // 0 for a convert word asking for two sample forms at once
    int32_t chan_sel;    // 0 keep stereo, 1 mix to mono, 2 left only, 3 right only
    int32_t freq_limit;  // Hz, at least 1000
};
// The one place the set-up arguments are clamped: reduction to 0..2, freq_limit to at least
// 1000 Hz; convert split into its output form and channel selection (MPEG_CONVERT_* bits).
MpegSetup mpeg_setup_params(int32_t frame_bytes, int32_t reduction, int32_t convert,
                            int32_t freq_limit);

// The one builder of the output format: `channels` output channels of `samples` per channel
// per frame at full rate, `rate` Hz at full rate; sets the PCM bytes per frame too.
void mpeg_set_output(MpegDecoder* d, int32_t channels, int32_t samples, int32_t rate,
                     const MpegSetup* p);

// Layer set-ups: 1, or 0 for a stream the layer cannot decode. Each installs its synthesis
// variant and clears its state; Layer III also picks its frame decoder (MPEG-1 or MPEG-2/2.5).
int32_t l1_setup(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p);
int32_t l2_setup(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p);
int32_t l3_setup(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p);

// Common tail of the Layer I and Layer II set-ups (layer12.cpp): decode limit, output format,
// synthesis variant, clearing of the sample rows and synthesis reset. `fs` in Hz, `sb` the
// subband count the frame carries, `samples` per channel per frame at full rate (1152 or 384).
// Returns 1, or 0 when fs <= 0.
int32_t l12_finish_setup(MpegDecoder* d, const MpegHeader* h, int32_t fs, int32_t sb,
                         int32_t samples, const MpegSetup* p);

// mpeg_decoder_init around a given EqSettings record (decoder.cpp): what mpeg_decoder_init does
// with the record it allocated or kept, so a failed allocation (a null record) is reported the
// same way. mpeg_decoder_free releases the record with std::free.
int32_t mpeg_decoder_init_with(MpegDecoder* d, EqSettings* eq);

// Layers I and II (layer12.cpp).
void build_l12_tables(MpegDecoder* d);
MpegInOut l1_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
MpegInOut l2_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);

// Layer III (layer3_*.cpp): the frame decoders of MPEG-1 and of MPEG-2/2.5, and the
// function-pointer defaults that init installs.
MpegInOut l3_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
MpegInOut l3_decode_frame_lsf(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
void l3_init_defaults(MpegDecoder* d);
