// The 8-lane type of the AVX2 kernels and the few helpers that move data between memory and
// lanes: loads, stores and 8 x 8 transposes. F8 takes the +, - and * of the lane bodies (a
// float operand is broadcast), so a kernel written for `float` runs unchanged on eight lanes.
// Included only by the sources built for AVX2, which the compiler never contracts into fused
// multiply-adds (a fused single-precision multiply-add would round differently from the plain
// path). Internal linkage, as the kernel bodies.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "lanes.h"

namespace {

// GCC's vector type: the arithmetic operators are the processor's single-precision adds,
// subtracts and multiplies, and the compiler keeps arrays of it in registers where it can.
using F8 = __m256;
inline F8 f8_zero() { return _mm256_setzero_ps(); }

// 8 x 8 transpose of r[0..7] in place: lane l of register k becomes lane k of register l.
// Every input is read before the first output is written; no copy of the rows is taken (an
// array copy here compiled to a loop through memory).
__attribute__((always_inline)) inline void transpose8(F8* x) {
    const F8* r = x;
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    x[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
    x[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
    x[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
    x[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
    x[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
    x[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
    x[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
    x[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Entries 2k (even) and 2k + 1 (odd) of 16 consecutive floats, in order.
inline void deinterleave16(const float* p, F8* even, F8* odd) {
    const __m256 v0 = _mm256_loadu_ps(p), v1 = _mm256_loadu_ps(p + 8);
    const __m256 e = _mm256_shuffle_ps(v0, v1, 0x88), o = _mm256_shuffle_ps(v0, v1, 0xDD);
    *even = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), 0xD8));
    *odd = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), 0xD8));
}

// Lanes l = 0..7 with first <= base + l < end, as a store mask.
inline __m256i lane_mask(int32_t base, int32_t first, int32_t end) {
    const __m256i at = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                        _mm256_set1_epi32(base));
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(first), at),
                               _mm256_cmpgt_epi32(_mm256_set1_epi32(end), at));
}

// The vector type's alignment and aliasing attributes do not take part in the specialisation;
// its vector size does (Lane<F8> is not Lane<float>).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <>
struct Lane<F8> : LaneRuns<F8, 8, transpose8> {
    static constexpr int n = 8;
    static F8 broadcast(float x) { return _mm256_set1_ps(x); }
    static F8 load(const float* p) { return _mm256_loadu_ps(p); }
    // Lanes (p[7], p[6], ..., p[0]).
    static F8 load_rev(const float* p) {
        return _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    }
    static void store(float* p, F8 v) { _mm256_storeu_ps(p, v); }
    static void store_rev(float* p, F8 v) {
        _mm256_storeu_ps(p, _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0)));
    }
    using Mask = __m256i;
    static __m256i mask(int32_t base, int32_t first, int32_t end) { return lane_mask(base, first, end); }
    static void store_masked(float* p, __m256i m, F8 v) { _mm256_maskstore_ps(p, m, v); }
    // 18 consecutive floats per subband of eight subbands at p as lines k = 0..17 (lanes =
    // subbands): two 8 x 8 transposes and the last two lines by pairs.
    static void load_subbands(const float* p, F8* x) {
        load_runs(p, 18, 16, x);
        __m128 q[4];
        for (int i = 0; i < 4; ++i) {
            const __m128 lo =
                _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(p + 36 * i + 16)));
            q[i] = _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + 36 * i + 34));
        }
        x[16] = _mm256_set_m128(_mm_shuffle_ps(q[2], q[3], 0x88), _mm_shuffle_ps(q[0], q[1], 0x88));
        x[17] = _mm256_set_m128(_mm_shuffle_ps(q[2], q[3], 0xDD), _mm_shuffle_ps(q[0], q[1], 0xDD));
    }
    // The inverse, for the subbands from lane `skip` on.
    static void store_subbands(float* p, const F8* v, int32_t skip) {
        F8 a[8], b[8];
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            a[k] = v[k];
            b[k] = v[8 + k];
        }
        transpose8(a);
        transpose8(b);
        // Lines 16 and 17 of each subband as one 64-bit pair.
        const __m256 lo = _mm256_unpacklo_ps(v[16], v[17]), hi = _mm256_unpackhi_ps(v[16], v[17]);
        alignas(32) float pairs[16];
        _mm256_store_ps(pairs, _mm256_permute2f128_ps(lo, hi, 0x20));
        _mm256_store_ps(pairs + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
        if (skip == 0) {
            // The common whole group: the stores unrolled, the rows stay in registers.
#pragma GCC unroll 8
            for (int l = 0; l < 8; ++l) {
                _mm256_storeu_ps(p + 18 * l, a[l]);
                _mm256_storeu_ps(p + 18 * l + 8, b[l]);
                std::memcpy(p + 18 * l + 16, pairs + 2 * l, 2 * sizeof(float));
            }
            return;
        }
        for (int l = skip; l < 8; ++l) {
            _mm256_storeu_ps(p + 18 * l, a[l]);
            _mm256_storeu_ps(p + 18 * l + 8, b[l]);
            std::memcpy(p + 18 * l + 16, pairs + 2 * l, 2 * sizeof(float));
        }
    }
    // The left (even) and right (odd) entries of eight interleaved runs of 2N floats (`stride`
    // floats apart, the first `runs` read, the others silent) as lanes: left[k] and right[k]
    // hold pair k of every run.
    template <int N>
    __attribute__((always_inline)) static void load_pairs(const float* rows, int32_t stride,
                                                          int32_t runs, F8* left, F8* right) {
        for (int32_t q = 0; q < N; q += 8) {
            F8 e[8], o[8];
#pragma GCC unroll 8
            for (int l = 0; l < 8; ++l) {
                if (l < runs) {
                    deinterleave16(rows + stride * l + 2 * q, &e[l], &o[l]);
                } else {
                    e[l] = f8_zero();
                    o[l] = f8_zero();
                }
            }
            transpose8(e);
            transpose8(o);
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k) {
                left[q + k] = e[k];
                right[q + k] = o[k];
            }
        }
    }
    // The low half of a's lanes, then the low half of b's.
    static F8 join_low(F8 a, F8 b) { return _mm256_permute2f128_ps(a, b, 0x20); }
    static uint32_t nonzero(F8 v) {
        return uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_NEQ_UQ)));
    }
    // Every lane's magnitude below 32 (one compare): a lane of -32 sends the run the line-by-line
    // way, which takes the same table entry.
    static bool in_table(F8 v) {
        const __m256 mag = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v);
        const __m256 in = _mm256_cmp_ps(mag, _mm256_set1_ps(32.0f), _CMP_LT_OQ);
        return _mm256_testc_ps(in, _mm256_castsi256_ps(_mm256_set1_epi32(-1)));
    }
    static F8 lookup(const float* table, F8 v) {
        const __m256i idx = _mm256_add_epi32(_mm256_cvttps_epi32(v), _mm256_set1_epi32(32));
        return _mm256_i32gather_ps(table, idx, 4);
    }
    // Negation as an exclusive or of the sign bit: the same bits as -v.
    static F8 negate_odd(F8 v, int32_t base, int32_t top) {
        const __m256i at = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                            _mm256_set1_epi32(base));
        const __m256i odd = _mm256_and_si256(at, _mm256_set1_epi32(1));
        const __m256i in = _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(top + 1), at),
                                            _mm256_cmpeq_epi32(odd, _mm256_set1_epi32(1)));
        const __m256i sign = _mm256_and_si256(in, _mm256_set1_epi32(int32_t(0x80000000u)));
        return _mm256_xor_ps(v, _mm256_castsi256_ps(sign));
    }
};
#pragma GCC diagnostic pop

}  // namespace
