// Lane types of the kernel bodies. A body written over V runs one value at a time with
// V = float, four at a time with the SSE2 or NEON type (lanes_sse2.h, lanes_neon.h) and eight
// with the AVX2 type (lanes_avx2.h); Lane<V> holds the few operations that the arithmetic
// operators do not cover: loads and stores, a reversed load, stores under a mask of lanes, the 18 lines of a subband per
// lane, per-lane tests and the table lookup of the dequantiser. The vector types add the
// transposes that carry one row per lane (load_runs, store_runs, load_pairs, join_low) and the
// inverse of the subband load (store_subbands), which the plain path never needs. Internal
// linkage, as the bodies.
#pragma once

#include <cstdint>

namespace {

template <class V>
struct Lane;

// Rows to lanes and back on a vector type V of W lanes (SSE2 and NEON four, AVX2 eight), through
// Lane<V>'s loads and stores and the type's W x W transpose. Lane<V> takes these from here.
template <class V, int W, void (*Transpose)(V*)>
struct LaneRuns {
    // W runs of n floats (n a multiple of W), `stride` floats apart, as n lanes: x[k] holds
    // element k of every run, run l in lane l. Only the first `runs` runs are read; the lanes of
    // the others hold zeros.
    static void load_runs(const float* p, int32_t stride, int32_t n, V* x, int32_t runs = W) {
#pragma GCC unroll 8
        for (int32_t q = 0; q < n; q += W) {
            V t[W];
#pragma GCC unroll 8
            for (int l = 0; l < W; ++l)
                t[l] = l < runs ? Lane<V>::load(p + stride * l + q) : Lane<V>::broadcast(0.0f);
            Transpose(t);
#pragma GCC unroll 8
            for (int k = 0; k < W; ++k) x[q + k] = t[k];
        }
    }
    // The inverse: lane l of x[k] to element k of run l.
    static void store_runs(const V* x, int32_t n, float* p, int32_t stride) {
#pragma GCC unroll 8
        for (int32_t q = 0; q < n; q += W) {
            V t[W];
#pragma GCC unroll 8
            for (int k = 0; k < W; ++k) t[k] = x[q + k];
            Transpose(t);
#pragma GCC unroll 8
            for (int l = 0; l < W; ++l) Lane<V>::store(p + stride * l + q, t[l]);
        }
    }
};

template <>
struct Lane<float> {
    static constexpr int n = 1;
    static float broadcast(float x) { return x; }
    static float load(const float* p) { return *p; }
    static float load_rev(const float* p) { return *p; }
    static void store(float* p, float v) { *p = v; }
    static void store_rev(float* p, float v) { *p = v; }
    // The lanes l with first <= base + l < end. A loop over one lane at a time visits only
    // indices inside its range, so the one lane is always stored.
    using Mask = bool;
    static bool mask(int32_t, int32_t, int32_t) { return true; }
    static void store_masked(float* p, bool, float v) { *p = v; }
    // The 18 consecutive floats of one subband as x[0..17].
    static void load_subbands(const float* p, float* x) {
        for (int k = 0; k < 18; ++k) x[k] = p[k];
    }
    // Bit l set where lane l is nonzero.
    static uint32_t nonzero(float v) { return v != 0.0f; }
    // All lanes in [-32, 32): the 4/3-power table covers them. (A vector type may also answer
    // no for a lane of -32; the line-by-line way then takes the same table entry.)
    static bool in_table(float v) { return v >= -32.0f && v < 32.0f; }
    // table[int(v) + 32] per lane (v in [-32, 32)).
    static float lookup(const float* table, float v) { return table[int32_t(v) + 32]; }
    // -v in the lanes l whose index base + l is odd and at most `top`, else v.
    static float negate_odd(float v, int32_t base, int32_t top) {
        return (base & 1) && base <= top ? -v : v;
    }
};

}  // namespace
