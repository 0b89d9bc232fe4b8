// The 4-lane type of the NEON kernels (every aarch64 processor has NEON) and the helpers that move
// data between memory and lanes: loads, stores and 4 x 4 transposes. F4 takes the +, - and * of
// the lane bodies (a float operand is broadcast), so a kernel written for `float` runs unchanged
// on four lanes. NEON loads and stores take any alignment; a masked store is a load, a select and
// a store of the whole run, a table lookup four scalar loads. Included only by the sources built
// for aarch64, which the compiler never contracts into fused multiply-adds (the bodies spell no
// fused intrinsic either). Internal linkage, as the kernel bodies.
#pragma once

#include <arm_neon.h>

#include <cstdint>

#include "lanes.h"

namespace {

using F4 = float32x4_t;

// 4 x 4 transpose of x[0..3] in place: lane l of register k becomes lane k of register l.
inline void transpose4(F4* x) {
    const float32x4_t t0 = vtrn1q_f32(x[0], x[1]), t1 = vtrn2q_f32(x[0], x[1]);
    const float32x4_t t2 = vtrn1q_f32(x[2], x[3]), t3 = vtrn2q_f32(x[2], x[3]);
    const float64x2_t d0 = vreinterpretq_f64_f32(t0), d1 = vreinterpretq_f64_f32(t1);
    const float64x2_t d2 = vreinterpretq_f64_f32(t2), d3 = vreinterpretq_f64_f32(t3);
    x[0] = vreinterpretq_f32_f64(vtrn1q_f64(d0, d2));
    x[1] = vreinterpretq_f32_f64(vtrn1q_f64(d1, d3));
    x[2] = vreinterpretq_f32_f64(vtrn2q_f64(d0, d2));
    x[3] = vreinterpretq_f32_f64(vtrn2q_f64(d1, d3));
}

// Lane indices base + 0..3.
inline int32x4_t lane_at4(int32_t base) {
    const int32_t iota[4] = {0, 1, 2, 3};
    return vaddq_s32(vld1q_s32(iota), vdupq_n_s32(base));
}

// Lanes (v[3], v[2], v[1], v[0]).
inline float32x4_t reverse4(float32x4_t v) {
    const float32x4_t r = vrev64q_f32(v);  // (v1, v0, v3, v2)
    return vextq_f32(r, r, 2);
}

template <>
struct Lane<F4> : LaneRuns<F4, 4, transpose4> {
    static constexpr int n = 4;
    static F4 broadcast(float x) { return vdupq_n_f32(x); }
    static F4 load(const float* p) { return vld1q_f32(p); }
    // Lanes (p[3], p[2], p[1], p[0]).
    static F4 load_rev(const float* p) { return reverse4(vld1q_f32(p)); }
    static void store(float* p, F4 v) { vst1q_f32(p, v); }
    static void store_rev(float* p, F4 v) { vst1q_f32(p, reverse4(v)); }
    // Lanes l = 0..3 with first <= base + l < end, as a select mask.
    using Mask = uint32x4_t;
    static uint32x4_t mask(int32_t base, int32_t first, int32_t end) {
        const int32x4_t at = lane_at4(base);
        return vandq_u32(vcgeq_s32(at, vdupq_n_s32(first)), vcltq_s32(at, vdupq_n_s32(end)));
    }
    // The lanes outside the mask are stored back as they were read (same bits).
    static void store_masked(float* p, uint32x4_t m, F4 v) { vst1q_f32(p, vbslq_f32(m, v, vld1q_f32(p))); }

    // The left (even) and right (odd) entries of four interleaved runs of 2N floats (`stride`
    // floats apart, the first `runs` read, the others silent) as lanes: left[k], right[k] hold
    // pair k of every run. The de-interleaving load splits each run's pairs.
    template <int N>
    __attribute__((always_inline)) static void load_pairs(const float* rows, int32_t stride,
                                                          int32_t runs, F4* left, F4* right) {
        for (int32_t q = 0; q < N; q += 4) {
            F4 e[4], o[4];
#pragma GCC unroll 4
            for (int l = 0; l < 4; ++l) {
                if (l < runs) {
                    const float32x4x2_t v = vld2q_f32(rows + stride * l + 2 * q);
                    e[l] = v.val[0];
                    o[l] = v.val[1];
                } else {
                    e[l] = o[l] = vdupq_n_f32(0.0f);
                }
            }
            transpose4(e);
            transpose4(o);
#pragma GCC unroll 4
            for (int k = 0; k < 4; ++k) {
                left[q + k] = e[k];
                right[q + k] = o[k];
            }
        }
    }
    // The low half of a's lanes, then the low half of b's.
    static F4 join_low(F4 a, F4 b) { return vcombine_f32(vget_low_f32(a), vget_low_f32(b)); }

    // 18 consecutive floats per subband of four subbands at p as lines k = 0..17 (lanes =
    // subbands): four 4 x 4 transposes and the last two lines by pairs.
    static void load_subbands(const float* p, F4* x) {
        load_runs(p, 18, 16, x);
        const float32x4_t q0 = vcombine_f32(vld1_f32(p + 16), vld1_f32(p + 34));
        const float32x4_t q1 = vcombine_f32(vld1_f32(p + 52), vld1_f32(p + 70));
        x[16] = vuzp1q_f32(q0, q1);
        x[17] = vuzp2q_f32(q0, q1);
    }
    // The inverse, for the subbands from lane `skip` on.
    static void store_subbands(float* p, const F4* v, int32_t skip) {
        F4 t[16];
        for (int k = 0; k < 16; ++k) t[k] = v[k];
        for (int q = 0; q < 16; q += 4) transpose4(t + q);
        const float32x4_t pairs[2] = {vzip1q_f32(v[16], v[17]), vzip2q_f32(v[16], v[17])};
        for (int l = skip; l < 4; ++l) {
            for (int q = 0; q < 4; ++q) vst1q_f32(p + 18 * l + 4 * q, t[4 * q + l]);
            const float32x4_t pr = pairs[l >> 1];
            vst1_f32(p + 18 * l + 16, (l & 1) ? vget_high_f32(pr) : vget_low_f32(pr));
        }
    }
    // A NaN is nonzero, as on the other paths.
    static uint32_t nonzero(F4 v) {
        const uint32_t bit[4] = {1, 2, 4, 8};
        const uint32x4_t nz = vmvnq_u32(vceqq_f32(v, vdupq_n_f32(0.0f)));
        return vaddvq_u32(vandq_u32(nz, vld1q_u32(bit)));
    }
    // The comparisons are false for a NaN, as on the other paths.
    static bool in_table(F4 v) {
        const uint32x4_t in = vandq_u32(vcgeq_f32(v, vdupq_n_f32(-32.0f)), vcltq_f32(v, vdupq_n_f32(32.0f)));
        return vminvq_u32(in) == 0xFFFFFFFFu;
    }
    // The conversion truncates toward zero, as int32_t(v) does.
    static F4 lookup(const float* table, F4 v) {
        int32_t i[4];
        vst1q_s32(i, vaddq_s32(vcvtq_s32_f32(v), vdupq_n_s32(32)));
        const float r[4] = {table[i[0]], table[i[1]], table[i[2]], table[i[3]]};
        return vld1q_f32(r);
    }
    // Negation as an exclusive or of the sign bit: the same bits as -v.
    static F4 negate_odd(F4 v, int32_t base, int32_t top) {
        const int32x4_t at = lane_at4(base);
        const uint32x4_t odd = vtstq_s32(at, vdupq_n_s32(1));
        const uint32x4_t in = vandq_u32(vcltq_s32(at, vdupq_n_s32(top + 1)), odd);
        const uint32x4_t sign = vandq_u32(in, vdupq_n_u32(0x80000000u));
        return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(v), sign));
    }
};

}  // namespace
