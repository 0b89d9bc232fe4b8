// The Layer III stage bodies, written once over a lane type: `float` for one subband (or line)
// at a time, or an 8-lane register type whose lane l carries subband sb + l. The operations and
// their order are the same whatever the lane type, so every path writes the same bits.
//
// IMDCT (ISO/IEC 11172-3 2.4.3.4.10): imdct36 leaves v[9 + j] = x[j] and v[j] = -x[27 + j]
// (j = 0..8) of the 36-point IMDCT x of the 18 lines in v; imdct12 takes the interleaved short
// windows X_w[k] = v[3k + w] and leaves v[6w + 3 + i] = y_w[i] and v[6w + i] = -y_w[9 + i]
// (i = 0..2) of each 12-point IMDCT y_w. Both are unscaled. Their loops and the windows' are
// unrolled: on eight lanes the counters and the reloads of a rolled loop cost about a fifth of
// the filter bank. Internal linkage: each instruction set's source compiles its own copy.
#pragma once

#include <cmath>
#include <cstdint>

#include "kernels.h"
#include "lanes.h"
#include "tables/libm_values.h"

namespace {

// (((m0 e0 + m1 e1) + m2 e2) + m3 e3).
template <class V>
inline V dot4(const float* m, const V* e) {
    return m[0] * e[0] + m[1] * e[1] + m[2] * e[2] + m[3] * e[3];
}

// The nine-point cosine transform of both halves of the 36-point IMDCT, folded around the
// middle input, then the recursive combination that turns the two half-size transforms back
// into the 18 output values.
template <class V>
inline void imdct36(const L3ImdctCos& c, V* v) {
    V s_in[9], d_in[9];
#pragma GCC unroll 9
    for (int k = 0; k < 9; ++k) {
        const V a = c.cos36a[k] * v[k];
        const V b = c.cos36a[17 - k] * v[17 - k];
        s_in[k] = a + b;
        d_in[k] = c.cos36b[k] * (a - b);
    }
    V s[9], d[9];
#pragma GCC unroll 2
    for (int half = 0; half < 2; ++half) {
        const V* x = half ? d_in : s_in;
        V* r = half ? d : s;
        V e[4], f[4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            e[k] = x[k] + x[8 - k];
            f[k] = x[k] - x[8 - k];
        }
        r[0] = 0.5f * (e[0] + e[1] + e[2] + e[3] + x[4]);
        r[2] = dot4(c.cos36m[2], e) - x[4];
        r[4] = dot4(c.cos36m[4], e) + x[4];
        r[6] = 0.5f * (e[0] + e[2] + e[3]) - e[1] - x[4];
        r[8] = dot4(c.cos36m[8], e) + x[4];
        r[1] = dot4(c.cos36m[1], f);
        r[3] = c.cos36m[3][0] * (f[0] - f[2] - f[3]);
        r[5] = dot4(c.cos36m[5], f);
        r[7] = dot4(c.cos36m[7], f);
    }
#pragma GCC unroll 9
    for (int i = 1; i < 9; ++i) d[i] = d[i] - d[i - 1];
    v[0] = s[0];
    v[1] = d[0] - v[0];
#pragma GCC unroll 9
    for (int i = 1; i < 9; ++i) {
        v[2 * i] = s[i] - v[2 * i - 1];
        v[2 * i + 1] = d[i] - v[2 * i];
    }
}

// Three 12-point IMDCTs over the interleaved windows of one short subband.
template <class V>
inline void imdct12(const L3ImdctCos& c, V* v) {
    V x[18];
#pragma GCC unroll 18
    for (int k = 0; k < 18; ++k) x[k] = v[k];
#pragma GCC unroll 3
    for (int w = 0; w < 3; ++w) {
        V y[6];
#pragma GCC unroll 6
        for (int k = 0; k < 6; ++k) y[k] = c.cos12a[k] * x[3 * k + w];
        const V s0 = y[0] + y[5], s1 = y[1] + y[4], s2 = y[2] + y[3];
        const V d0 = c.cos12b[0] * (y[0] - y[5]);
        const V d1 = c.cos12b[1] * (y[1] - y[4]);
        const V d2 = c.cos12b[2] * (y[2] - y[3]);
        const V p = s0 + s1 + s2, q = d0 + d1 + d2;
        V* o = v + 6 * w;
        o[0] = p;
        o[1] = q - p;
        o[2] = c.cos12s * (s0 - s2) - o[1];
        const V t = c.cos12s * (d0 - d2) - q;
        o[3] = t - o[2];
        o[4] = s0 + s2 - 2.0f * s1 - o[3];
        o[5] = (d0 + d2 - 2.0f * d1 - t) - o[4];
    }
}

// A long block after imdct36: the windowed halves a_j (j = 0..17, to be overlap-added into time
// slot j) handed to put(j, a_j) as they are formed, and the new overlap ov[0..17], with the
// 36-entry window w.
template <class V, class Put>
inline void long_window(const V* v, const float* w, Put put, V* ov) {
#pragma GCC unroll 9
    for (int j = 0; j < 9; ++j) {
        put(j, w[j] * v[9 + j]);
        put(9 + j, w[9 + j] * v[17 - j]);
    }
#pragma GCC unroll 9
    for (int j = 0; j < 9; ++j) {
        ov[j] = v[8 - j] * w[18 + j];
        ov[9 + j] = v[j] * w[27 + j];
    }
}

// A short block after imdct12: the windowed sums o_j for time slots j = 6..17 handed to
// put(j, o_j) (slots 0..5 take the previous overlap alone), and the new overlap ov[0..11]
// (lines 12..17 of it are zero).
template <class V, class Put>
inline void short_window(const V* v, const float* ws, Put put, V* ov) {
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) {
        put(6 + k, ws[k] * v[3 + k]);
        put(9 + k, ws[3 + k] * v[5 - k]);
        put(12 + k, ws[k] * v[9 + k] + ws[6 + k] * v[2 - k]);
        put(15 + k, ws[9 + k] * v[k] + ws[3 + k] * v[11 - k]);
    }
#pragma GCC unroll 3
    for (int k = 0; k < 3; ++k) {
        ov[k] = ws[6 + k] * v[8 - k] + ws[k] * v[15 + k];
        ov[3 + k] = ws[3 + k] * v[17 - k] + ws[9 + k] * v[6 + k];
        ov[6 + k] = ws[6 + k] * v[14 - k];
        ov[9 + k] = ws[9 + k] * v[12 + k];
    }
}

// Time slot j of a long block: the previous overlap plus the windowed value in the first half,
// the windowed value plus the overlap in the second (the order of the sums is part of the
// output's bits).
template <class V>
inline V long_slot(int j, V a, V prev) {
    return j < 9 ? prev + a : a + prev;
}

// One subband's (or lane group's) block after the IMDCT: its time slots handed to
// out_slot(j, value) and the new overlap into ov[0..17]. A long block's slots are the previous
// overlap pv plus its windowed halves; a short block's slots 0..5 are the overlap alone.
template <bool Short, class V, class Out>
inline void hybrid_block(const L3ImdctCos& c, V* v, const V* pv, const float* w, Out out_slot,
                         V* ov) {
    if constexpr (Short) {
        imdct12(c, v);
#pragma GCC unroll 6
        for (int j = 0; j < 6; ++j) out_slot(j, pv[j]);
        short_window(v, w, [&](int j, V o) { out_slot(j, o + pv[j]); }, ov);
#pragma GCC unroll 18
        for (int j = 12; j < 18; ++j) ov[j] = Lane<V>::broadcast(0.0f);
    } else {
        imdct36(c, v);
        long_window(v, w, [&](int j, V a) { out_slot(j, long_slot(j, a, pv[j])); }, ov);
    }
}

// The hybrid filter bank of subbands [from, to), one subband at a time (the L3HybridFn contract).
template <bool Short>
void hybrid_range(const L3ImdctCos& c, float* cur, const float* prev, float* out, const float* w,
                  int32_t from, int32_t to) {
    for (int32_t sb = from; sb < to; ++sb) {
        float* v = cur + 18 * sb;
        float ov[18];
        hybrid_block<Short>(c, v, prev + 18 * sb, w, [&](int j, float x) { out[32 * j + sb] = x; }, ov);
        for (int j = 0; j < 18; ++j) v[j] = ov[j];
    }
}

// One group of Lane<V>::n subbands from `sb` on a vector lane type (lane l carries subband
// sb + l); lanes below `skip` are computed but not stored (their subbands were done before, and
// their lines already hold the new overlap).
template <bool Short, class V>
void hybrid_group(const L3ImdctCos& c, float* cur, const float* prev, float* out, const float* w,
                  int32_t sb, int32_t skip) {
    using L = Lane<V>;
    const typename L::Mask keep = L::mask(0, skip, L::n);
    V v[18], pv[18], ov[18];
    L::load_subbands(cur + 18 * sb, v);
    L::load_subbands(prev + 18 * sb, pv);
    hybrid_block<Short>(c, v, pv, w, [&](int j, V x) { L::store_masked(out + 32 * j + sb, keep, x); }, ov);
    L::store_subbands(cur + 18 * sb, ov, skip);
}

// The L3HybridFn contract on a vector lane type: groups of Lane<V>::n from `from`; a last part
// group ends at `to` and stores only the subbands not yet done (it reaches back at most to
// `from`); a range narrower than a group at the bottom takes the same bodies one subband at a
// time.
template <bool Short, class V>
void hybrid_groups(const L3ImdctCos& c, float* cur, const float* prev, float* out, const float* w,
                   int32_t from, int32_t to) {
    constexpr int32_t n = Lane<V>::n;
    int32_t sb = from;
    for (; sb + n <= to; sb += n) hybrid_group<Short, V>(c, cur, prev, out, w, sb, 0);
    if (sb < to && to - n >= from) {
        hybrid_group<Short, V>(c, cur, prev, out, w, to - n, sb - (to - n));
        sb = to;
    }
    hybrid_range<Short>(c, cur, prev, out, w, sb, to);
}

// One alias-reduction butterfly pair: a is the line below the boundary, b the one above.
template <class V>
inline void alias_butterfly(V& a, V& b, V cs, V ca) {
    const V lo = a * cs - b * ca;
    const V hi = b * cs + a * ca;
    a = lo;
    b = hi;
}


// MS stereo over the first `lines` lines: the sum into the left spectrum, the difference into
// the right one (1152 floats on).
template <class V>
void ms_stereo_lines(float* left, int32_t lines) {
    using L = Lane<V>;
    float* right = left + 1152;
    int32_t i = 0;
    for (; i + L::n <= lines; i += L::n) {
        const V a = L::load(left + i), b = L::load(right + i);
        L::store(left + i, a + b);
        L::store(right + i, a - b);
    }
    for (; i < lines; ++i) {
        const float a = left[i], b = right[i];
        left[i] = a + b;
        right[i] = a - b;
    }
}

// The eight butterflies of each boundary i: line 17 - j of subband i with line j of subband
// i + 1, j = 0..7 (a lane type of eight lanes takes them in one step, reversing the lower run).
template <class V>
void antialias_lines(const float (*cc)[2], float* x, int32_t boundaries) {
    using L = Lane<V>;
    float cs[8], ca[8];
    for (int j = 0; j < 8; ++j) {
        cs[j] = cc[j][0];
        ca[j] = cc[j][1];
    }
    for (int32_t i = 0; i < boundaries; ++i) {
        float* lo = x + 18 * i + 18 - L::n;  // lines 18 - n .. 17, read backwards
        float* hi = x + 18 * i + 18;
        for (int j = 0; j < 8; j += L::n) {
            V a = L::load_rev(lo - j), b = L::load(hi + j);
            alias_butterfly(a, b, L::load(cs + j), L::load(ca + j));
            L::store_rev(lo - j, a);
            L::store(hi + j, b);
        }
    }
}

// Frequency inversion: the odd subbands up to `top` of the odd time slots change sign.
template <class V>
void freq_invert_rows(float* out, int32_t top) {
    using L = Lane<V>;
    // Groups wholly above `top` are left as they are.
    for (int32_t sb = 0; sb < 32 && sb <= top; sb += L::n)
#pragma GCC unroll 9
        for (int t = 1; t < 18; t += 2) {
            float* at = out + 32 * t + sb;
            L::store(at, L::negate_odd(L::load(at), sb, top));
        }
}

// Subbands [from, to) of out's 18 rows (32 subbands each): the overlap of `prev` (18 lines per
// subband), or zeros; Lane<V>::n subbands at a time, the lanes outside the range masked off.
template <class V>
void copy_overlap(float* out, const float* prev, int32_t from, int32_t to) {
    using L = Lane<V>;
    for (int32_t g = from / L::n; g < (to + L::n - 1) / L::n; ++g) {
        const typename L::Mask m = L::mask(L::n * g, from, to);
        V x[18];
        L::load_subbands(prev + 18 * L::n * g, x);
        for (int t = 0; t < 18; ++t) L::store_masked(out + 32 * t + L::n * g, m, x[t]);
    }
}

template <class V>
void clear_subbands(float* out, int32_t from, int32_t to) {
    using L = Lane<V>;
    for (int32_t g = from / L::n; g < (to + L::n - 1) / L::n; ++g) {
        const typename L::Mask m = L::mask(L::n * g, from, to);
        for (int t = 0; t < 18; ++t) L::store_masked(out + 32 * t + L::n * g, m, L::broadcast(0.0f));
    }
}

// Zeros lines [from, 576): single lines up to a lane boundary, then whole runs of lanes.
template <class V>
void clear_lines(float* cells, int32_t from) {
    using L = Lane<V>;
    int32_t j = from;
    for (; j < 576 && j % L::n != 0; ++j) cells[j] = 0.0f;
    const V zero = L::broadcast(0.0f);
    for (; j < 576; j += L::n) L::store(cells + j, zero);
}

// c |c|^(1/3) rounded to float for the escape values the Huffman decoder makes (whole numbers
// up to 15 + 8191), from the table of tables/libm_values.h, the same on every platform. The
// power is symmetric and so is rounding to float, so a negative value takes the positive one
// negated. (No decoded value lies outside the table; anything else would take its last entry.)
inline float pow43_escape(float c) {
    constexpr int32_t kSize = int32_t(sizeof(libm::kPow43) / sizeof(libm::kPow43[0]));
    const float a = std::fabs(c);
    const float v = libm::kPow43[a < float(kSize) ? int32_t(a) : kSize - 1];
    return c < 0.0f ? -v : v;
}

// The 4/3 power of one decoded value under the factor f. Zero maps to zero through the table,
// so the common small values (zero included) take one branch that is rarely mispredicted.
inline float dequant_value(const float* pow43, float c, float f) {
    if (c >= -32.0f && c < 32.0f) return f * pow43[int32_t(c) + 32];
    return f * pow43_escape(c);
}

// Lines one at a time, for the runs the table does not cover. Out of line: the rare call would
// otherwise make the vector loop keep its constants in memory.
__attribute__((noinline)) inline void dequant_run(float* cells, const float* factor,
                                                  const float* pow43, int32_t count) {
    for (int32_t l = 0; l < count; ++l) cells[l] = dequant_value(pow43, cells[l], factor[l]);
}

// The dequantiser's kernel: the first `bands` long bands (factor band_factor[i] over
// band_width[i] lines, n lines in all, returned), runs of lanes through the 4/3-power table
// where every value lies in it, each line on its own otherwise. *top receives the highest line
// whose value was nonzero, or -1: found from the top down before the values change, which stops
// within a run or two of the end.
template <class V>
int32_t dequant_lines(float* cells, const float* band_factor, const int32_t* band_width,
                      int32_t bands, const float* pow43, int32_t* top_line) {
    using L = Lane<V>;
    // The factor of every line; a band's last run of stores reaches into the next band, which
    // overwrites it (room for one run beyond the last line).
    alignas(32) float factor[576 + 8];
    int32_t n = 0;
    for (int32_t i = 0; i < bands; ++i) {
        // At least one run per band (a band of no lines stores one that the next overwrites).
        const V f = L::broadcast(band_factor[i]);
        const int32_t end = n + band_width[i];
        int32_t j = n;
        do {
            L::store(factor + j, f);
            j += L::n;
        } while (j < end);
        n = end;
    }
    const int32_t full = n - n % L::n;
    int32_t top = -1;
    for (int32_t k = n - 1; k >= full && top < 0; --k)
        if (cells[k] != 0.0f) top = k;
    for (int32_t j = full - L::n; j >= 0 && top < 0; j -= L::n)
        if (const uint32_t nz = L::nonzero(L::load(cells + j))) top = j + 31 - __builtin_clz(nz);
    for (int32_t j = 0; j < full; j += L::n) {
        const V c = L::load(cells + j);
        if (L::in_table(c))
            L::store(cells + j, L::load(factor + j) * L::lookup(pow43, c));
        else
            dequant_run(cells + j, factor + j, pow43, L::n);
    }
    if (full < n) dequant_run(cells + full, factor + full, pow43, n - full);
    *top_line = top;
    return n;
}

// The kernel record of a vector path: the stage bodies above on its lane type V, beside the
// path's synthesis variants.
template <class V>
constexpr MpegKernels vector_kernels(int32_t path, const MpegSynthFn* synth,
                                     const MpegSynthFn* synth_l3) {
    return {path,
            synth,
            synth_l3,
            hybrid_groups<false, V>,
            hybrid_groups<true, V>,
            ms_stereo_lines<V>,
            antialias_lines<V>,
            freq_invert_rows<V>,
            copy_overlap<V>,
            clear_subbands<V>,
            clear_lines<V>,
            dequant_lines<V>};
}

}  // namespace
