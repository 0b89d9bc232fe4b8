// The decoder's vector kernels: one record of function pointers per processor path, filled by
// templates written once over a lane type (plain `float`, four lanes on SSE2 and NEON, eight on
// AVX2).
// Set-up picks the record for the processor, or the one the caller asked for, and stores its
// address in the decoder; every vectorised stage is then reached through it. The records are
// constant, so decoders on different threads may run different paths and share nothing that
// changes.
// A new instruction set is one new record (and lane type); the stages do not change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "decoder_state.h"

// The transform cosines of the hybrid filter bank (one constant copy per process).
struct L3ImdctCos {
    float cos36a[18];   // 2 cos((2i + 1) pi / 72)
    float cos36b[9];    // 2 cos((2i + 1) pi / 36)
    float cos36m[9][4]; // cos(pi / 36 * 2i * (2j + 1))
    float cos12a[6];    // cos((2i + 1) pi / 24)
    float cos12b[3];    // 2 cos((2i + 1) pi / 12)
    float cos12s;       // 2 cos(pi / 6)
};
const L3ImdctCos& l3_imdct_cosines();

// Hybrid filter bank of subbands [from, to) of one channel (0 <= from <= to <= 32): the IMDCT of
// the 18 lines of each subband in `cur`, windowed by `w` (a 36-entry long window, or the short
// window for the three 12-point transforms), overlap-added to `prev` into `out` (18 rows of 32
// subbands); the new overlap replaces the subband's lines in `cur`.
using L3HybridFn = void (*)(const L3ImdctCos& c, float* cur, const float* prev, float* out,
                            const float* w, int32_t from, int32_t to);

struct MpegKernels {
    int32_t path; // MpegPath of this record
    // Synthesis variants: [15 * form + 5 * reduction + chan_code] for Layers I and II,
    // [2 * (3 * form + reduction) + channels - 1] for Layer III (form: the output form's index,
    // 0 signed 16-bit, 1 unsigned 8-bit, then rounded 16, 24, rounded 24, 32, rounded 32, float).
    const MpegSynthFn* synth;
    const MpegSynthFn* synth_l3;
    L3HybridFn hybrid_long;
    L3HybridFn hybrid_short;
    // MS stereo: sums into `left`, differences into the right spectrum 1152 floats on.
    void (*ms_stereo)(float* left, int32_t lines);
    // Alias-reduction butterflies across the first `boundaries` (0..31) subband boundaries of x,
    // with the coefficients cc[j] = {cs, ca}.
    void (*antialias)(const float (*cc)[2], float* x, int32_t boundaries);
    // Negates the odd subbands up to `top` (odd, at most 31) in the odd rows of out (18 x 32).
    void (*freq_invert)(float* out, int32_t top);
    // Subbands [from, to) of out's 18 rows: the overlap of `prev` (18 lines per subband), or 0.
    void (*copy_overlap)(float* out, const float* prev, int32_t from, int32_t to);
    void (*clear_subbands)(float* out, int32_t from, int32_t to);
    // Zeros lines [from, 576) of a granule's spectrum (576 floats).
    void (*clear_lines)(float* cells, int32_t from);
    // cells[j] = f * |c|^(4/3) * sign(c) for the decoded integers c = cells[j] of the first
    // `bands` long bands (factor f = band_factor[i] over band_width[i] lines, pow43[c + 32] the
    // table for c in -32..31); returns the lines done and sets *top to the highest line whose c
    // was nonzero, or -1.
    int32_t (*dequant)(float* cells, const float* band_factor, const int32_t* band_width,
                       int32_t bands, const float* pow43, int32_t* top);
};

extern const MpegKernels kernels_plain;
#if ZIV_HAVE_SSE2
extern const MpegKernels kernels_sse2;
#endif
#if ZIV_HAVE_AVX2
extern const MpegKernels kernels_avx2;
extern const MpegKernels kernels_avx512;
#endif
#if ZIV_HAVE_NEON
extern const MpegKernels kernels_neon;
#endif

// The record of a path, or null where this build or this processor cannot run it.
const MpegKernels* mpeg_kernels(int32_t path);

// The variant tables of each path (synth.cpp, synth_sse2.cpp, synth_avx2.cpp, synth_neon.cpp).
// Sizes: 3 rates x 8 output forms (OutForm, out_form.h) x 5 channel forms, and x 2 channel counts.
constexpr size_t kSynthVariants = 120;
constexpr size_t kSynthL3Variants = 48;
extern const std::array<MpegSynthFn, kSynthVariants> synth_variants;
extern const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants;
#if ZIV_HAVE_SSE2
extern const std::array<MpegSynthFn, kSynthVariants> synth_variants_sse2;
extern const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_sse2;
#endif
#if ZIV_HAVE_AVX2
extern const std::array<MpegSynthFn, kSynthVariants> synth_variants_avx2;
extern const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_avx2;
extern const std::array<MpegSynthFn, kSynthVariants> synth_variants_avx512;
extern const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_avx512;
#endif
#if ZIV_HAVE_NEON
extern const std::array<MpegSynthFn, kSynthVariants> synth_variants_neon;
extern const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_neon;
#endif
