// Polyphase synthesis on the NEON path: the row loops of synth_rows.h (the same routines as
// synth.cpp) with every transform run on four rows at once (transform_rows: lane l carries row l
// of a batch, the last batch padded with silent rows) and the window summing two output samples
// per register of doubles. The window's products of two floats are exact in double, so a multiply
// then an add gives the fused result the other paths take; no fused intrinsic is spelt here, and
// the compiler does not contract (-ffp-contract=off). Each row's transform is the one of
// synth_dsp.h and each sample's window sum takes the same products in the same order as on the
// plain path, so the PCM is byte-identical.
#include <array>
#include <cstring>
#include <utility>

#include "decoder_internal.h"
#include "kernels.h"
#include "synth.h"
#include "lanes_neon.h"
#include "synth_dsp.h"
#include "synth_rows.h"

namespace {

// Two window sums to integers, as out_pcm<O> does one (out_form.h), with its comparisons: the
// selects keep a NaN out of both clamps' first operand, so a NaN saturates high (NEON's own
// minimum would pass it on). The clamped sums fit 32 bits, so the narrowing is exact. The
// rounding conversion rounds to nearest with ties to even, as std::nearbyint does in the default
// rounding mode; the other truncates toward zero.
template <OutForm O>
inline int32x2_t pcm2(float64x2_t y) {
    if constexpr (O == OutForm::f32) {
        const uint64x2_t ordered = vceqq_f64(y, y);  // NaN: 0
        const float64x2_t z = vreinterpretq_f64_u64(vandq_u64(ordered, vreinterpretq_u64_f64(y)));
        return vreinterpret_s32_f32(vcvt_f32_f64(vmulq_f64(z, vdupq_n_f64(kFloatScale))));
    } else {
        if constexpr (out_scale<O> != 1.0) y = vmulq_f64(y, vdupq_n_f64(out_scale<O>));
        const float64x2_t hi = vdupq_n_f64(out_hi<O>), lo = vdupq_n_f64(out_lo<O>);
        y = vbslq_f64(vcltq_f64(y, hi), y, hi);
        y = vbslq_f64(vcgtq_f64(y, lo), y, lo);
        if constexpr (out_rounds<O>) return vmovn_s64(vcvtnq_s64_f64(y));
        return vmovn_s64(vcvtq_s64_f64(y));
    }
}

template <>
struct SynthPath<F4> {
    using Sum = float64x2_t;
    using Pcm = int32x2_t;
    using Keep = int32_t; // the byte offset of the channel written
    static constexpr int kSums = 2;
    // Four groups per pass: eight sums and their operands stay well within the 32 registers.
    static constexpr int kPassGroups = 4;

    static float64x2_t zero() { return vdupq_n_f64(0.0); }
    static float64x2_t load(const float* p) { return vcvt_f64_f32(vld1_f32(p)); }
    static float64x2_t factor(const double* f) { return vld1q_f64(f); }
    // The product is exact, so this is the fused multiply-add's result.
    static float64x2_t madd(float64x2_t a, float64x2_t f, float64x2_t y) { return vaddq_f64(y, vmulq_f64(a, f)); }
    static double madd1(double a, double f, double y) { return y + a * f; }
    template <OutForm O>
    static int32x2_t pcm(float64x2_t y) { return pcm2<O>(y); }
    // One sum's PCM in both lanes, through the same conversion as the others.
    template <OutForm O>
    static int32x2_t pcm_splat(double y) { return pcm2<O>(vdupq_n_f64(y)); }
    static int32x2_t reverse(int32x2_t v) { return vrev64_s32(v); }
    // (prev[1], r[0]).
    static int32x2_t shift_in(int32x2_t r, int32x2_t prev) { return vext_s32(prev, r, 1); }
    template <OutForm O>
    static int32_t keep(int32_t ch) { return ch * out_bytes<O>; }
    // Each sample by the plain path's store, so a store at step 2 writes its channel's bytes alone
    // (Over, leave to overwrite the other channel's, changes nothing here).
    template <OutForm O, int Step, bool Over>
    static void store(uint8_t* dst, int32_t offset, int32x2_t v) {
        uint8_t* p = dst + offset;
        out_store<O>(p, vget_lane_s32(v, 0));
        out_store<O>(p + Step * out_bytes<O>, vget_lane_s32(v, 1));
    }

    // A new block into its two places in the history, four values at a time.
    template <int N>
    static void put_block(const float* block, float* at, float* again) {
#pragma GCC unroll 8
        for (int32_t m = 0; m < N; m += 4) {
            const float32x4_t v = vld1q_f32(block + m);
            vst1q_f32(at + m, v);
            vst1q_f32(again + m, v);
        }
    }
    // Its values N/2 down to 1 into their two places, four at a time, reversed in registers.
    template <int N>
    static void put_rev(const float* block, float* rev, float* again) {
#pragma GCC unroll 4
        for (int32_t m = 0; m < N / 2; m += 4) {
            const float32x4_t v = vld1q_f32(block + N / 2 - m - 3);
            const float32x4_t h = vrev64q_f32(v);                  // (v1, v0, v3, v2)
            const float32x4_t r = vcombine_f32(vget_high_f32(h), vget_low_f32(h));  // (v3..v0)
            vst1q_f32(rev + m, r);
            vst1q_f32(again + m, r);
        }
    }

    template <int N, Form F>
    static void transform(const float* rows, int32_t n, int32_t stride, const float* gain,
                          const float* coef, float* t0, float* t1) {
        transform_rows<F4, N, F>(rows, n, stride, gain, coef, t0, t1);
    }
};

}  // namespace

const std::array<MpegSynthFn, kSynthVariants> synth_variants_neon =
    synth_table_l12<F4>(std::make_index_sequence<kSynthVariants>());
const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_neon =
    synth_table_l3<F4>(std::make_index_sequence<kSynthL3Variants>());
