// Polyphase synthesis on the AVX2 path: the same 42 routines as synth.cpp, with every
// transform run on eight rows at once (lane l carries row l of a batch, the last batch padded
// with silent rows) and the window summing four output samples per register. Each row's
// transform is the one of synth_dsp.h and each sample's window sum takes the same products in
// the same order as the plain window, so the PCM is byte-identical to the plain path's.
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "decoder_internal.h"
#include "kernels.h"
#include "synth.h"
#include "lanes_avx2.h"
#include "synth_dsp.h"

namespace {

// Window factors laid out for four output samples at once. Sample j of the first half and
// sample N - j of the second read the same two history values in every term (A = block 2t at
// h + j, B = block 2t + 1 at h - j), so one pair of loads feeds both: group g holds j = 4g..4g+3
// and, for each term t, the four factors of each product of both samples. Every sample then
// reads y += A*a; y += B*b for t = 0..7, the same products in the same order as window(): the
// first half's subtraction becomes the addition of the negated factor (exact in IEEE
// arithmetic). Lane j = 0 of the second half has no sample (N - 0 is past the slot) and zero
// factors; the middle sample, with one product per term, is summed on its own.
struct alignas(32) LaneFactors {
    double fa[4], fb[4]; // first half: sample j
    double sa[4], sb[4]; // second half: sample N - j
};

template <int N>
std::array<LaneFactors, N / 8 * 8> make_lane_factors() {
    constexpr int32_t h = N / 2, s = 32 / N;
    std::array<LaneFactors, N / 8 * 8> f{};
    for (int32_t j = 0; j < h; ++j) {
        for (int32_t t = 0; t < 8; ++t) {
            LaneFactors& e = f[size_t((j / 4) * 8 + t)];
            e.fa[j % 4] = double(synth_window[16 * s * j + 2 * t]);
            e.fb[j % 4] = -double(synth_window[16 * s * j + 2 * t + 1]);
            if (j > 0) {
                const int32_t m = h - 1 - j, q = 255 - 16 * (s - 1) - 16 * s * m;
                e.sa[j % 4] = double(synth_window[q - 2 * t]);
                e.sb[j % 4] = double(synth_window[q - 2 * t - 1]);
            }
        }
    }
    return f;
}
const std::array<LaneFactors, 32> lane_factors32 = make_lane_factors<32>();
const std::array<LaneFactors, 16> lane_factors16 = make_lane_factors<16>();
const std::array<LaneFactors, 8> lane_factors8 = make_lane_factors<8>();
const std::array<double, 8> middle_factors = [] {
    std::array<double, 8> w{};
    for (size_t t = 0; t < 8; ++t) w[t] = double(synth_window[256 + t]);
    return w;
}();

template <int N>
inline const LaneFactors* lane_factors() {
    if constexpr (N == 32) return lane_factors32.data();
    else if constexpr (N == 16) return lane_factors16.data();
    else return lane_factors8.data();
}

inline  __m256d load4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
// Lanes (p[3], p[2], p[1], p[0]).
inline  __m256d load4_rev(const float* p) {
    return _mm256_permute4x64_pd(load4(p), 0x1B);
}

// Four window sums to integers, as synth_pcm16 does one, except below -32768: the minimum
// takes its second operand for a NaN, so a NaN saturates high; a sum below -32768 truncates to
// an integer below it (or to the out-of-range value INT32_MIN), which store4i clamps.
inline  __m128i pcm4(__m256d y) {
    return _mm256_cvttpd_epi32(_mm256_min_pd(y, _mm256_set1_pd(32767.0)));
}

// Four such integers to PCM (the saturating packs clamp to -32768), stored at `dst` at step 1,
// or at step 2 into the four pairs at `dst` under the byte mask `keep` (set where the other
// channel's bytes stay).
template <bool Eight, int Step>
inline  void store4i(uint8_t* dst, __m128i keep, __m128i v) {
    if constexpr (!Eight) {
        const __m128i s = _mm_packs_epi32(v, v);
        if constexpr (Step == 1) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), s);
        } else {
            const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
            const __m128i dup = _mm_unpacklo_epi16(s, s);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(dup, old, keep));
        }
    } else {
        const __m128i s = _mm_packs_epi32(_mm_srai_epi32(v, 8), v);
        const __m128i b = _mm_xor_si128(_mm_packs_epi16(s, s), _mm_set1_epi8(char(0x80)));
        if constexpr (Step == 1) {
            const int32_t w = _mm_cvtsi128_si32(b);
            std::memcpy(dst, &w, 4);
        } else {
            const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
            const __m128i dup = _mm_unpacklo_epi8(b, b);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(dup, old, keep));
        }
    }
}

// Where block k (counted from the newest) starts in the ring, for each newest position p / N:
// a table lookup per block instead of the wrap arithmetic.
template <int N>
constexpr std::array<std::array<int32_t, 16>, 16> make_block_offsets() {
    std::array<std::array<int32_t, 16>, 16> o{};
    for (int32_t q = 0; q < 16; ++q)
        for (int32_t k = 0; k < 16; ++k) o[size_t(q)][size_t(k)] = ((q + k) & 15) * N;
    return o;
}
constexpr auto block_offsets32 = make_block_offsets<32>();
constexpr auto block_offsets16 = make_block_offsets<16>();
constexpr auto block_offsets8 = make_block_offsets<8>();
template <int N>
inline const std::array<std::array<int32_t, 16>, 16>& block_offsets() {
    if constexpr (N == 32) return block_offsets32;
    else if constexpr (N == 16) return block_offsets16;
    else return block_offsets8;
}

// Sums of the groups [G0, G1) of both halves: term t adds its products to every sum. Each
// product of a float and a float window factor is exact in double (24-bit by 24-bit
// significands), so a fused multiply-add rounds once, as the plain path's add after its exact
// multiply does: the same bits in one instruction. The
// barrier at the end of a term keeps the compiler from hoisting later terms' loads, which would
// run out of registers and spill; the eight sums of N = 32 and their operands fit the sixteen
// registers.
template <int N, int G0, int G1>
__attribute__((always_inline)) inline  void window_groups(const float* V,
                                                                  const int32_t* blk,
                                                                  const LaneFactors* f,
                                                                  __m256d* yf, __m256d* ys) {
    constexpr int32_t h = N / 2;
#pragma GCC unroll 8
    for (int32_t t = 0; t < 8; ++t) {
        const float* A = V + blk[2 * t];
        const float* B = V + blk[2 * t + 1];
#pragma GCC unroll 4
        for (int32_t g = G0; g < G1; ++g) {
            const __m256d a = load4(A + h + 4 * g);
            const __m256d b = load4_rev(B + h - 4 * g - 3);
            const LaneFactors& e = f[g * 8 + t];
            yf[g] = _mm256_fmadd_pd(a, _mm256_load_pd(e.fa), yf[g]);
            yf[g] = _mm256_fmadd_pd(b, _mm256_load_pd(e.fb), yf[g]);
            ys[g] = _mm256_fmadd_pd(a, _mm256_load_pd(e.sa), ys[g]);
            ys[g] = _mm256_fmadd_pd(b, _mm256_load_pd(e.sb), ys[g]);
        }
        __asm__ volatile("" ::: "memory");
    }
}

// window() four samples at a time in the lanes of AVX2 registers, each lane's sum in the same
// order as there, so the output is byte-identical. At step 2, `out` is the first sample of the
// pair run and `ch` (0 or 1) the channel written; the other channel's samples are kept.
template <int N, bool Eight, int Step>
inline  void window_avx2(const float* V, int32_t p, uint8_t* out, int32_t ch) {
    constexpr int32_t mask = 16 * N - 1, h = N / 2, groups = N / 8, bytes = Eight ? 1 : 2;
    const LaneFactors* f = lane_factors<N>();
    const int32_t* blk = block_offsets<N>()[(p & mask) / N].data();
    // Byte lanes of the other channel: odd samples when writing channel 0.
    const __m128i odd = Eight ? _mm_set1_epi16(int16_t(0xFF00)) : _mm_set1_epi32(int32_t(0xFFFF0000));
    const __m128i keep = ch ? _mm_xor_si128(odd, _mm_set1_epi32(-1)) : odd;

    __m256d yf[groups], ys[groups];
#pragma GCC unroll 4
    for (int32_t g = 0; g < groups; ++g) yf[g] = ys[g] = _mm256_setzero_pd();
    window_groups<N, 0, groups>(V, blk, f, yf, ys);
    auto at = [&](int32_t n) { return out + n * Step * bytes; };
#pragma GCC unroll 4
    for (int32_t g = 0; g < groups; ++g) store4i<Eight, Step>(at(4 * g), keep, pcm4(yf[g]));
    double y = 0.0;
#pragma GCC unroll 8
    for (int32_t t = 0; t < 8; ++t) y = std::fma(double(V[blk[2 * t + 1]]), middle_factors[size_t(t)], y);
    // Second half: lanes of group g are samples N - 4g .. N - 4g - 3 (group 0 has no sample N).
    // Reversed and shifted by one lane they form the runs h + 4i .. h + 4i + 3, the first led
    // by the middle sample, so no two stores overlap (an overlapping read-modify-write at step 2
    // would wait for the store before it).
    __m128i prev = _mm_set1_epi32(synth_pcm16(y));
#pragma GCC unroll 4
    for (int32_t i = 0; i < groups; ++i) {
        const __m128i r = _mm_shuffle_epi32(pcm4(ys[groups - 1 - i]), 0x1B);
        store4i<Eight, Step>(at(h + 4 * i), keep, _mm_alignr_epi8(r, prev, 12));
        prev = r;
    }
}


// The left and right entries of eight interleaved rows (`stride` floats apart, the first `runs`
// of them read, the lanes of the others silent) as lanes: left[k] and right[k] hold subband k.
template <int N>
__attribute__((always_inline)) inline void load_pairs8(const float* rows, int32_t stride,
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

// The transforms of `n` rows (1..8, `stride` floats apart) in channel form F into t0 (and, for
// the stereo form, the right channel's into t1), rows of N floats each. The lanes of the rows
// past n hold silence, so the batch never reads past the caller's rows; the stereo form packs
// up to four rows of both channels into one batch. One function holds the loads, the stages
// and the stores, so the lanes stay in registers and on its own stack frame.
template <int N, Form F>
__attribute__((noinline)) void transform_batch(const float* rows, int32_t n, int32_t stride,
                                               const float* gain, const float* coef, float* t0,
                                               float* t1) {
    F8 x[N], y[N];
    if constexpr (F == Form::mono) {
        if (n == 8) load_runs8(rows, stride, N, x);
        else load_runs8(rows, stride, N, x, n);
        if (gain) {
            F8 g[N];
            dct_gather<N, Gather::contiguous>(x, gain, g);
            dct_transform<N>(g, y, coef);
        } else {
            dct_transform<N>(x, y, coef);
        }
        store_runs8(y, N, t0, N);
        return;
    } else {
        F8 right[N];
        if constexpr (F == Form::stereo) {
            if (n <= 4) {
                // Lanes 0..3 the left channel of the rows, lanes 4..7 the right one.
                F8 l4[N], r4[N];
                load_pairs8<N>(rows, stride, n, l4, r4);
                for (int k = 0; k < N; ++k)
                    x[k] = _mm256_permute2f128_ps(l4[k], r4[k], 0x20);
                dct_transform<N>(x, y, coef);
                alignas(32) float t[8][N];
                store_runs8(y, N, &t[0][0], N);
                std::memcpy(t0, t[0], 4 * sizeof t[0]);
                std::memcpy(t1, t[4], 4 * sizeof t[0]);
                return;
            }
        }
        if (n == 8) load_pairs8<N>(rows, stride, 8, x, right);
        else load_pairs8<N>(rows, stride, n, x, right);
        if constexpr (F == Form::mix) {
            for (int k = 0; k < N; ++k) x[k] = mix_pair(x[k], right[k]);
        } else if constexpr (F == Form::right) {
            for (int k = 0; k < N; ++k) x[k] = right[k];
        } else if constexpr (F == Form::stereo) {
            dct_transform<N>(right, y, coef);
            store_runs8(y, N, t1, N);
        }
        dct_transform<N>(x, y, coef);
        store_runs8(y, N, t0, N);
    }
}

// The equaliser's factors where the form consults it (the contiguous 32-point transform).
template <int N, Form F>
inline const float* eq_gain(const MpegDecoder* d) {
    if constexpr (N == 32 && F == Form::mono)
        return d->eq_settings->enabled ? d->eq_settings->band_gain : nullptr;
    return nullptr;
}

// The row loops of synth.cpp: a batch of transforms, then row by row each result enters the
// history when its window is due (the window reads the block the next row overwrites).
template <int N, bool Eight, Form F>
struct L12Rows {
    static void fn(MpegDecoder* d, const float* rows, uint8_t* out, int32_t count) {
        constexpr int32_t mask = 16 * N - 1, bytes = Eight ? 1 : 2;
        float* h0 = d->syn.synth_buf[0];
        float* h1 = d->syn.synth_buf[1];
        const float* gain = eq_gain<N, F>(d);
        int32_t p = d->syn.synth_pos[0] & (16 * N - N);
        alignas(32) float t0[8][N], t1[8][N];
        for (int32_t r = 0; r < count; r += 8, rows += 8 * 64) {
            const int32_t n = count - r < 8 ? count - r : 8;
            transform_batch<N, F>(rows, n, 64, gain, d->syn.dct_coef, &t0[0][0], &t1[0][0]);
            for (int32_t k = 0; k < n; ++k) {
                std::memcpy(h0 + p, t0[k], sizeof t0[k]);
                if constexpr (F == Form::stereo) {
                    std::memcpy(h1 + p, t1[k], sizeof t1[k]);
                    window_avx2<N, Eight, 2>(h0, p, out, 0);
                    window_avx2<N, Eight, 2>(h1, p, out, 1);
                    out += 2 * N * bytes;
                } else {
                    window_avx2<N, Eight, 1>(h0, p, out, 0);
                    out += N * bytes;
                }
                p = (p - N) & mask;
            }
        }
        d->syn.synth_pos[0] = p;
    }
};

template <int N, bool Eight, bool Stereo>
struct L3Rows {
    static void fn(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch) {
        constexpr int32_t mask = 16 * N - 1, bytes = Eight ? 1 : 2, step = Stereo ? 2 : 1;
        const int32_t c = Stereo && ch != 0 ? 1 : 0;
        float* V = d->syn.synth_buf[c];
        const float* gain = eq_gain<N, Form::mono>(d);
        int32_t p = d->syn.synth_pos[c] & (16 * N - N);
        alignas(32) float t[8][N];
        for (int32_t r = 0; r < 18; r += 8, rows += 8 * 32) {
            const int32_t n = 18 - r < 8 ? 18 - r : 8;
            transform_batch<N, Form::mono>(rows, n, 32, gain, d->syn.dct_coef, &t[0][0], nullptr);
            for (int32_t k = 0; k < n; ++k) {
                std::memcpy(V + p, t[k], sizeof t[k]);
                window_avx2<N, Eight, step>(V, p, out, c);
                out += N * step * bytes;
                p = (p - N) & mask;
            }
        }
        d->syn.synth_pos[c] = p;
    }
};


}  // namespace

const std::array<MpegSynthFn, 30> synth_variants_avx2 =
    synth_table_l12<L12Rows>(std::make_index_sequence<30>());
const std::array<MpegSynthFn, 12> synth_l3_variants_avx2 =
    synth_table_l3<L3Rows>(std::make_index_sequence<12>());
