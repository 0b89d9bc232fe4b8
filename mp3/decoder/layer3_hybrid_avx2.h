// Layer III stages in AVX2 registers (layer3_hybrid_avx2.cpp): the hybrid filter bank eight
// subbands at a time, table dequantisation, MS stereo, alias reduction, frequency inversion and
// the copying and clearing of subbands. Each writes exactly the bits of its plain counterpart in
// layer3_hybrid.cpp or layer3_huffman.cpp. Only to be called while synth_active_path() is
// synth_path_avx2 (the processor has AVX2); on other machines they do nothing.
#pragma once

#include <cstdint>

#include "layer3_hybrid.h"

// Subbands sb, sb + 1, ... of a long block (one window `w` for all) in groups of eight while a
// whole group lies below `end`: IMDCT, window and overlap-add exactly as the plain loop does
// (out rows of 32 floats, prev and the new overlap in cur at 18 lines per subband). Returns the
// first subband not done; the caller finishes the rest.
int32_t l3_hybrid_long_avx2(const L3ImdctCos& c, float* cur, const float* prev, float* out,
                            const float* w, int32_t sb, int32_t end);
// The same for short blocks (three 12-point IMDCTs, short window `ws`) over subbands sb..end-1.
int32_t l3_hybrid_short_avx2(const L3ImdctCos& c, float* cur, const float* prev, float* out,
                             const float* ws, int32_t sb, int32_t end);

// l3_ms_stereo: sums into the left spectrum, differences into the right (1152 floats on).
void l3_ms_stereo_avx2(float* left, int32_t lines);
// l3_antialias over the first `boundaries` (at most 31) subband boundaries of x, with the
// butterfly coefficients cc[8][2] (cs, ca).
void l3_antialias_avx2(const float (*cc)[2], float* x, int32_t boundaries);
// l3_freq_invert: negates the odd subbands up to `top` (odd, at most 31) of the odd time slots
// of out (18 rows of 32).
void l3_freq_invert_avx2(float* out, int32_t top);
// Zeros subbands from..to-1 (0 <= from <= to <= 32) of all 18 rows of out.
void l3_clear_subbands_avx2(float* out, int32_t from, int32_t to);
// Copies the overlap of subbands from..to-1 (0 <= from <= to <= 32; prev at 18 lines per
// subband) into the rows of out.
void l3_copy_overlap_avx2(float* out, const float* prev, int32_t from, int32_t to);
// Dequantisation of the first `bands` long bands (factor band_factor[i] over band_width[i]
// lines; n lines in all, returned) through the 4/3-power table pow43[c + 32], c in -32..31,
// eight lines at a time: cells[j] = factor * pow43[int(cells[j]) + 32] for every run of eight
// lines whose values all lie in [-32, 32). A run holding a value outside is left as it is and
// flagged in todo[run] (run r = lines 8r..8r+7; 72 entries, cleared by the caller); the lines
// from 8 * (n / 8) on are left to the caller too. factor[j] receives each line's factor (584
// floats). Lines holding a nonzero value in the runs set their bit in `nonzero` (bit j % 32 of
// word j / 32; 18 words, cleared by the caller).
int32_t l3_dequant_table_avx2(float* cells, const float* band_factor, const int32_t* band_width,
                              int32_t bands, const float* pow43, float* factor, uint8_t* todo,
                              uint32_t* nonzero);
