// The 4-lane type of the SSE2 kernels (every x86-64 processor has SSE2) and the helpers that move
// data between memory and lanes: loads, stores and 4 x 4 transposes. F4 takes the +, - and * of
// the lane bodies (a float operand is broadcast), so a kernel written for `float` runs unchanged
// on four lanes. Only SSE2 instructions: no blend, no masked store, no gather (a masked store is
// a load, a select and a store of the whole run; a table lookup four scalar loads). Included only
// by the sources built for SSE2, which the compiler never contracts into fused multiply-adds.
// Internal linkage, as the kernel bodies.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "lanes.h"

namespace {

using F4 = __m128;

// 4 x 4 transpose of x[0..3] in place: lane l of register k becomes lane k of register l.
inline void transpose4(F4* x) {
    const __m128 t0 = _mm_unpacklo_ps(x[0], x[1]), t1 = _mm_unpackhi_ps(x[0], x[1]);
    const __m128 t2 = _mm_unpacklo_ps(x[2], x[3]), t3 = _mm_unpackhi_ps(x[2], x[3]);
    x[0] = _mm_movelh_ps(t0, t2);
    x[1] = _mm_movehl_ps(t2, t0);
    x[2] = _mm_movelh_ps(t1, t3);
    x[3] = _mm_movehl_ps(t3, t1);
}

// Lanes l = 0..3 with first <= base + l < end, as a select mask.
inline __m128i lane_mask4(int32_t base, int32_t first, int32_t end) {
    const __m128i at = _mm_add_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(base));
    return _mm_andnot_si128(_mm_cmpgt_epi32(_mm_set1_epi32(first), at),
                            _mm_cmpgt_epi32(_mm_set1_epi32(end), at));
}

// The vector type's alignment and aliasing attributes do not take part in the specialisation;
// its vector size does (Lane<F4> is not Lane<float>).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <>
struct Lane<F4> : LaneRuns<F4, 4, transpose4> {
    static constexpr int n = 4;
    static F4 broadcast(float x) { return _mm_set1_ps(x); }
    static F4 load(const float* p) { return _mm_loadu_ps(p); }
    // Lanes (p[3], p[2], p[1], p[0]).
    static F4 load_rev(const float* p) {
        const __m128 v = _mm_loadu_ps(p);
        return _mm_shuffle_ps(v, v, 0x1B);
    }
    static void store(float* p, F4 v) { _mm_storeu_ps(p, v); }
    static void store_rev(float* p, F4 v) { _mm_storeu_ps(p, _mm_shuffle_ps(v, v, 0x1B)); }
    using Mask = __m128i;
    static __m128i mask(int32_t base, int32_t first, int32_t end) { return lane_mask4(base, first, end); }
    // The lanes outside the mask are stored back as they were read (same bits).
    static void store_masked(float* p, __m128i m, F4 v) {
        const __m128 keep = _mm_castsi128_ps(m);
        _mm_storeu_ps(p, _mm_or_ps(_mm_and_ps(keep, v), _mm_andnot_ps(keep, _mm_loadu_ps(p))));
    }

    // The left (even) and right (odd) entries of four interleaved runs of 2N floats (`stride`
    // floats apart, the first `runs` read, the others silent) as lanes: left[k], right[k] hold
    // pair k of every run.
    template <int N>
    __attribute__((always_inline)) static void load_pairs(const float* rows, int32_t stride,
                                                          int32_t runs, F4* left, F4* right) {
        for (int32_t q = 0; q < N; q += 4) {
            F4 e[4], o[4];
#pragma GCC unroll 4
            for (int l = 0; l < 4; ++l) {
                if (l < runs) {
                    const float* p = rows + stride * l + 2 * q;
                    const __m128 v0 = _mm_loadu_ps(p), v1 = _mm_loadu_ps(p + 4);
                    e[l] = _mm_shuffle_ps(v0, v1, 0x88);
                    o[l] = _mm_shuffle_ps(v0, v1, 0xDD);
                } else {
                    e[l] = o[l] = _mm_setzero_ps();
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
    static F4 join_low(F4 a, F4 b) { return _mm_movelh_ps(a, b); }

    // Two floats at p (any alignment) in the low lanes, the high lanes zero.
    static __m128 load_pair(const float* p) {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    // 18 consecutive floats per subband of four subbands at p as lines k = 0..17 (lanes =
    // subbands): four 4 x 4 transposes and the last two lines by pairs.
    static void load_subbands(const float* p, F4* x) {
        load_runs(p, 18, 16, x);
        const __m128 q0 = _mm_loadh_pi(load_pair(p + 16), reinterpret_cast<const __m64*>(p + 34));
        const __m128 q1 = _mm_loadh_pi(load_pair(p + 52), reinterpret_cast<const __m64*>(p + 70));
        x[16] = _mm_shuffle_ps(q0, q1, 0x88);
        x[17] = _mm_shuffle_ps(q0, q1, 0xDD);
    }
    // The inverse, for the subbands from lane `skip` on.
    static void store_subbands(float* p, const F4* v, int32_t skip) {
        F4 t[16];
        for (int k = 0; k < 16; ++k) t[k] = v[k];
        for (int q = 0; q < 16; q += 4) transpose4(t + q);
        const __m128 lo = _mm_unpacklo_ps(v[16], v[17]), hi = _mm_unpackhi_ps(v[16], v[17]);
        const __m128 pairs[2] = {lo, hi};
        for (int l = skip; l < 4; ++l) {
            for (int q = 0; q < 4; ++q) _mm_storeu_ps(p + 18 * l + 4 * q, t[4 * q + l]);
            if (l & 1) _mm_storeh_pi(reinterpret_cast<__m64*>(p + 18 * l + 16), pairs[l >> 1]);
            else _mm_storel_pi(reinterpret_cast<__m64*>(p + 18 * l + 16), pairs[l >> 1]);
        }
    }
    static uint32_t nonzero(F4 v) { return uint32_t(_mm_movemask_ps(_mm_cmpneq_ps(v, _mm_setzero_ps()))); }
    // The comparisons are false for a NaN, as on the other paths.
    static bool in_table(F4 v) {
        const __m128 in = _mm_and_ps(_mm_cmpge_ps(v, _mm_set1_ps(-32.0f)), _mm_cmplt_ps(v, _mm_set1_ps(32.0f)));
        return _mm_movemask_ps(in) == 0xF;
    }
    static F4 lookup(const float* table, F4 v) {
        alignas(16) int32_t i[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(i), _mm_add_epi32(_mm_cvttps_epi32(v), _mm_set1_epi32(32)));
        return _mm_setr_ps(table[i[0]], table[i[1]], table[i[2]], table[i[3]]);
    }
    // Negation as an exclusive or of the sign bit: the same bits as -v.
    static F4 negate_odd(F4 v, int32_t base, int32_t top) {
        const __m128i at = _mm_add_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(base));
        const __m128i odd = _mm_and_si128(at, _mm_set1_epi32(1));
        const __m128i in = _mm_and_si128(_mm_cmpgt_epi32(_mm_set1_epi32(top + 1), at),
                                         _mm_cmpeq_epi32(odd, _mm_set1_epi32(1)));
        const __m128i sign = _mm_and_si128(in, _mm_set1_epi32(int32_t(0x80000000u)));
        return _mm_xor_ps(v, _mm_castsi128_ps(sign));
    }
};
#pragma GCC diagnostic pop

}  // namespace
