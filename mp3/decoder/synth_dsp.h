// The cosine transforms of the polyphase synthesis, written once over a lane type: `float` for
// one row at a time, or an 8-lane register type whose lane l carries row l of a batch. Every
// stage is the same single-precision add, subtract or multiply of the same two values whatever
// the lane type, so a row's transform holds the same bits on every path.
//
// The N-point transform (N = 32, 16, 8) computes X[m] = sum over k of x[k] cos(m (2k+1) pi / 2N)
// by Lee's factorisation: a first stage gathering the input, butterflies, then recombinations,
// with two scratch arrays alternating. At N = 16 the last input never enters (the 16-band bank
// has no room for subband 15). Internal linkage: each instruction set's source compiles its own
// copy, so no instance built for one processor can stand in for another's.
#pragma once

#include <cstdint>

#include "decoder_state.h"

namespace {

// How a transform reads its N inputs from a row: entries 0..N-1; every second entry (the caller
// passes the channel's first entry); or the mean of each left/right pair.
enum class Gather { contiguous, pick, mix };

// Butterfly coefficients of half-size h start at 32 - 2h in dct_coef (groups 16, 8, 4, 2, 1).
constexpr int coef_group(int h) { return 32 - 2 * h; }

// The mono mix of a left and a right subband sample.
template <class V>
inline V mix_pair(V left, V right) {
    return (left + right) * 0.5f;
}

template <Gather G, class V>
inline V gather(const V* row, int k) {
    if constexpr (G == Gather::contiguous) return row[k];
    else if constexpr (G == Gather::pick) return row[2 * k];
    else return mix_pair(row[2 * k], row[2 * k + 1]);
}

template <int Count, int Size, class V>
__attribute__((always_inline)) inline void dct_butterfly(const V* src, V* dst, const float* coef) {
    constexpr int h = Size / 2;
#pragma GCC unroll 32
    for (int o = 0; o < Count * Size; o += Size) {
#pragma GCC unroll 32
        for (int i = 0; i < h; ++i) {
            const V lo = src[o + i], hi = src[o + Size - 1 - i];
            dst[o + i] = lo + hi;
            dst[o + h + i] = (lo - hi) * coef[i];
        }
    }
}

template <int Count, int Size, class V>
__attribute__((always_inline)) inline void dct_recombine(const V* src, V* dst) {
    constexpr int h = Size / 2;
#pragma GCC unroll 32
    for (int o = 0; o < Count * Size; o += Size) {
#pragma GCC unroll 32
        for (int j = 0; j < h; ++j) dst[o + 2 * j] = src[o + j];
#pragma GCC unroll 32
        for (int j = 0; j < h - 1; ++j) dst[o + 2 * j + 1] = src[o + h + j] + src[o + h + j + 1];
        dst[o + Size - 1] = src[o + Size - 1];
    }
}

// The stages after the first: butterflies of sizes Size, Size / 2, ..., 2, then recombinations
// of sizes 4, 8, ..., N, the last into dst; `src` holds the stage's input and `oth` receives its
// output, the two trading places from stage to stage.
template <int N, int Size, class V>
__attribute__((always_inline)) inline void dct_recombines(V* src, V* oth, V* dst) {
    if constexpr (Size == N) {
        dct_recombine<1, N>(src, dst);
    } else {
        dct_recombine<N / Size, Size>(src, oth);
        dct_recombines<N, 2 * Size>(oth, src, dst);
    }
}

template <int N, int Size, class V>
__attribute__((always_inline)) inline void dct_butterflies(V* src, V* oth, V* dst,
                                                           const float* coef) {
    if constexpr (Size >= 2) {
        dct_butterfly<N / Size, Size>(src, oth, coef + coef_group(Size / 2));
        dct_butterflies<N, Size / 2>(oth, src, dst, coef);
    } else {
        dct_recombines<N, 4>(src, oth, dst);
    }
}

// The N-point transform of x[0..N-1] into dst[0..N-1], natural order.
template <int N, class V>
__attribute__((always_inline)) inline void dct_transform(const V* x, V* dst, const float* coef) {
    static_assert(N == 32 || N == 16 || N == 8, "transform sizes");
    V a[N], b[N];
    constexpr int h = N / 2;
    const float* g = coef + coef_group(h);
    if constexpr (N == 16) {
        a[0] = x[0];
        a[8] = x[0] * g[0];
#pragma GCC unroll 8
        for (int i = 1; i < 8; ++i) {
            a[i] = x[i] + x[15 - i];
            a[8 + i] = (x[i] - x[15 - i]) * g[i];
        }
    } else {
#pragma GCC unroll 16
        for (int i = 0; i < h; ++i) {
            a[i] = x[i] + x[N - 1 - i];
            a[h + i] = (x[i] - x[N - 1 - i]) * g[i];
        }
    }
    dct_butterflies<N, h>(a, b, dst, coef);
}

// Gathers the N inputs of one row (of lane type V) in form G, with the equaliser's subband
// factors applied when `gain` is non-null (products rounded to float before the transform).
template <int N, Gather G, class V>
__attribute__((always_inline)) inline void dct_gather(const V* row, const float* gain, V* x) {
#pragma GCC unroll 32
    for (int k = 0; k < N; ++k) x[k] = gather<G>(row, k);
    if (gain) {
#pragma GCC unroll 32
        for (int k = 0; k < N; ++k) x[k] = x[k] * gain[k];
    }
}

// Channel forms of the Layer I/II rows, in chan_code order.
enum class Form { mono, stereo, mix, left, right };

}  // namespace
