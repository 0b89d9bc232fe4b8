// Layer III second half of a granule: stereo processing, alias reduction, the hybrid filter
// bank (IMDCT 36/12, windows, overlap-add, frequency inversion) and the output variants, plus
// the table builders of the Layer III set-up. Entry points shared by layer3_hybrid.cpp,
// layer3_setup.cpp and their tests; the granule decode reaches the second half through
// layer3_internal.h.
#pragma once

#include "kernels.h"
#include "layer3_internal.h"

// Transforms in place over the 18 lines of one subband, unscaled. imdct36 leaves
// v[9 + j] = x[j] and v[j] = -x[27 + j] (j = 0..8) of the 36-point IMDCT x; imdct12 takes the
// interleaved short windows X_w[k] = v[3k + w] and leaves v[6w + 3 + i] = y_w[i] and
// v[6w + i] = -y_w[9 + i] (i = 0..2) of each 12-point IMDCT y_w.
void l3_imdct36(float* v);
void l3_imdct12(float* v);

// Stereo processing of granule g's two spectra (xr[0][g], with xr[1][g] 1152 floats on).
void l3_ms_stereo(const MpegDecoder* d, float* left, int32_t lines);
void l3_intensity_stereo(MpegDecoder* d, float* left, const int32_t* scalefac1,
                         const DequantSummary* summary, int32_t left_extent, int32_t ms);
void l3_intensity_stereo_lsf(MpegDecoder* d, float* left, const int32_t* scalefac1,
                             const DequantSummary* summary, const LsfIsInfo* info,
                             int32_t left_extent, int32_t ms);

// Alias-reduction butterflies across the first `boundaries` subband boundaries.
void l3_antialias(const MpegDecoder* d, float* x, int32_t boundaries);

// Hybrid filter bank of one channel into `out` (18 time slots x 32 subbands). Writes the new
// overlap over `cur` and returns its extent in lines (a multiple of 18).
int32_t l3_hybrid(MpegDecoder* d, float* cur, const float* prev, float* out, int32_t block_type,
                  int32_t long_lines, int32_t total_lines, int32_t prev_lines);
// The same without an overlap input, adding into `out` and into the overlap `store`.
int32_t l3_hybrid_add(MpegDecoder* d, float* cur, float* store, float* out, int32_t block_type,
                      int32_t long_lines, int32_t total_lines);
void l3_spectrum_add(float* dst, const float* src, int32_t count);
void l3_freq_invert(const MpegDecoder* d, float* out, int32_t lines);

// Output variants (stored in l3_output): hybrid filter bank and synthesis of granule g.
void l3_output_left(MpegDecoder* d, uint8_t* out, int32_t g);
void l3_output_right(MpegDecoder* d, uint8_t* out, int32_t g);
void l3_output_stereo(MpegDecoder* d, uint8_t* out, int32_t g);
void l3_output_mix(MpegDecoder* d, uint8_t* out, int32_t g);
// One output channel from a single-channel stream: its frames as they are, a two-channel frame
// mixed.
void l3_output_mono(MpegDecoder* d, uint8_t* out, int32_t g);
// Called before the output variant when a granule's channel count differs from the one before.
void l3_channel_switch(MpegDecoder* d, int32_t g);

// Table construction (layer3_setup.cpp).
void l3_build_windows(MpegDecoder* d);
void l3_build_imdct_cosines(MpegDecoder* d);
void l3_build_is_ratios(MpegDecoder* d);
void l3_build_is_ratios_lsf(MpegDecoder* d);
