// Polyphase synthesis: subband samples (floats in the 16-bit range) to PCM.
//
// The synthesis filter bank of ISO/IEC 11172-3 clause A.2 (Figure A.2): matrixing by a fast
// cosine transform (Lee's factorisation, 80 multiplications per 32-point slot) into a history of
// sixteen N-value blocks, then windowing with the 264-entry table W. At half and quarter rate
// only the lowest 16 or 8 subbands pass through 16- or 8-point transforms and the window is D
// decimated by 2 or 4. Output: signed 16-bit (machine order) or unsigned 8-bit (128 = zero),
// mono or interleaved left-first. The 42 routines are instances of one row loop, run either
// plainly or, where the processor has AVX2, with the same arithmetic spread over register lanes.
#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include "avx2_util.h"
#define ZIV_SYNTH_AVX2 1
#else
#define ZIV_SYNTH_AVX2 0
#endif

#include "decoder_internal.h"
#include "synth.h"

namespace {

// How a transform reads its N inputs from a row: entries 0..N-1; every second entry (the caller
// passes the channel's first entry); or the mean of each left/right pair.
enum class Gather { contiguous, pick, mix };

// Channel forms of the Layer I/II rows, in chan_code order.
enum class Form { mono, stereo, mix, left, right };

// Butterfly coefficients of half-size h start at 32 - 2h in dct_coef (groups 16, 8, 4, 2, 1).
constexpr int coef_group(int h) { return 32 - 2 * h; }

template <Gather G>
inline float gather(const float* row, int k) {
    if constexpr (G == Gather::contiguous) return row[k];
    else if constexpr (G == Gather::pick) return row[2 * k];
    else return (row[2 * k] + row[2 * k + 1]) * 0.5f;
}

template <int Count, int Size>
inline void dct_butterfly(const float* src, float* dst, const float* coef) {
    constexpr int h = Size / 2;
    for (int o = 0; o < Count * Size; o += Size) {
        for (int i = 0; i < h; ++i) {
            const float lo = src[o + i], hi = src[o + Size - 1 - i];
            dst[o + i] = lo + hi;
            dst[o + h + i] = (lo - hi) * coef[i];
        }
    }
}

template <int Count, int Size>
inline void dct_recombine(const float* src, float* dst) {
    constexpr int h = Size / 2;
    for (int o = 0; o < Count * Size; o += Size) {
        for (int j = 0; j < h; ++j) dst[o + 2 * j] = src[o + j];
        for (int j = 0; j < h - 1; ++j) dst[o + 2 * j + 1] = src[o + h + j] + src[o + h + j + 1];
        dst[o + Size - 1] = src[o + Size - 1];
    }
}

// The N-point transform of one row into the history block `dst`. Every stage rounds to float;
// the two scratch arrays alternate as source and destination.
template <int N, Gather G>
inline void transform(const float* row, float* dst, const float* coef) {
    static_assert(N == 32 || N == 16 || N == 8, "transform sizes");
    float a[N], b[N];
    constexpr int h = N / 2;
    const float* g = coef + coef_group(h);
    if constexpr (N == 16) {
        // Subband 15 never enters: the 16-band bank has no room for it.
        const float x0 = gather<G>(row, 0);
        a[0] = x0;
        a[8] = x0 * g[0];
        for (int i = 1; i < 8; ++i) {
            const float lo = gather<G>(row, i), hi = gather<G>(row, 15 - i);
            a[i] = lo + hi;
            a[8 + i] = (lo - hi) * g[i];
        }
    } else {
        for (int i = 0; i < h; ++i) {
            const float lo = gather<G>(row, i), hi = gather<G>(row, N - 1 - i);
            a[i] = lo + hi;
            a[h + i] = (lo - hi) * g[i];
        }
    }
    if constexpr (N == 32) {
        dct_butterfly<2, 16>(a, b, coef + coef_group(8));
        dct_butterfly<4, 8>(b, a, coef + coef_group(4));
        dct_butterfly<8, 4>(a, b, coef + coef_group(2));
        dct_butterfly<16, 2>(b, a, coef + coef_group(1));
        dct_recombine<8, 4>(a, b);
        dct_recombine<4, 8>(b, a);
        dct_recombine<2, 16>(a, b);
        dct_recombine<1, 32>(b, dst);
    } else if constexpr (N == 16) {
        dct_butterfly<2, 8>(a, b, coef + coef_group(4));
        dct_butterfly<4, 4>(b, a, coef + coef_group(2));
        dct_butterfly<8, 2>(a, b, coef + coef_group(1));
        dct_recombine<4, 4>(b, a);
        dct_recombine<2, 8>(a, b);
        dct_recombine<1, 16>(b, dst);
    } else {
        dct_butterfly<2, 4>(a, b, coef + coef_group(2));
        dct_butterfly<4, 2>(b, a, coef + coef_group(1));
        dct_recombine<2, 4>(a, b);
        dct_recombine<1, 8>(b, dst);
    }
}

// Only the contiguous 32-point transform consults the equaliser (one test per slot, not per
// sample); the products are rounded to float before the transform.
template <int N, Gather G>
inline void transform_row(const MpegDecoder* d, const float* row, float* dst) {
    if constexpr (N == 32 && G == Gather::contiguous) {
        const EqSettings* eq = d->eq_settings;
        if (eq->enabled) {
            float x[32];
            for (int k = 0; k < 32; ++k) x[k] = row[k] * eq->band_gain[k];
            transform<32, Gather::contiguous>(x, dst, d->syn.dct_coef);
            return;
        }
    }
    transform<N, G>(row, dst, d->syn.dct_coef);
}

// W widened once: every product takes its window factor as a double, and a float widens exactly.
const std::array<double, 264> window_wide = [] {
    std::array<double, 264> w{};
    for (size_t i = 0; i < w.size(); ++i) w[i] = double(synth_window[i]);
    return w;
}();

template <bool Eight>
inline void store(uint8_t* out, double y) {
    const int32_t v = synth_pcm16(y);
    if constexpr (Eight) {
        *out = synth_pcm8(v);
    } else {
        const int16_t s = int16_t(v);
        std::memcpy(out, &s, 2);
    }
}

// Window of one channel: N samples from the history V whose newest block is at p, written at
// `out` every Step samples. Uses the antisymmetry of D to read W forwards for the first half and
// backwards for the second. Term t of every sum reads blocks 2t and 2t + 1 counted from the
// newest, so the ring wraps once per block (sixteen pointers per slot) instead of once per
// product. Each sum runs over t = 0..7 in double, first product first: the result does not
// depend on how the loops over samples are scheduled.
template <int N, bool Eight, int Step>
inline void window(const float* V, int32_t p, uint8_t* out) {
    constexpr int32_t mask = 16 * N - 1, h = N / 2, s = 32 / N;
    constexpr int bytes = Eight ? 1 : 2;
    const double* W = window_wide.data();
    const float* blk[16];
    for (int32_t k = 0; k < 16; ++k) blk[k] = V + ((p + k * N) & mask);

    for (int32_t j = 0; j < h; ++j) {
        const double* w = W + 16 * s * j;
        double y = 0.0;
        for (int32_t t = 0; t < 8; ++t) {
            y += double(blk[2 * t][h + j]) * (w[2 * t]);
            y -= double(blk[2 * t + 1][h - j]) * (w[2 * t + 1]);
        }
        store<Eight>(out + j * Step * bytes, y);
    }
    {
        double y = 0.0;
        for (int32_t t = 0; t < 8; ++t) y += double(blk[2 * t + 1][0]) * W[256 + t];
        store<Eight>(out + h * Step * bytes, y);
    }
    for (int32_t m = 0; m < h - 1; ++m) {
        const double* w = W + 255 - 16 * (s - 1) - 16 * s * m;
        double y = 0.0;
        for (int32_t t = 0; t < 8; ++t) {
            y += double(blk[2 * t][N - 1 - m]) * (w[-2 * t]);
            y += double(blk[2 * t + 1][1 + m]) * (w[-2 * t - 1]);
        }
        store<Eight>(out + (h + 1 + m) * Step * bytes, y);
    }
}

#if ZIV_SYNTH_AVX2
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

ZIV_AVX2 inline __m256d load4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
// Lanes (p[3], p[2], p[1], p[0]).
ZIV_AVX2 inline __m256d load4_rev(const float* p) {
    return _mm256_permute4x64_pd(load4(p), 0x1B);
}

// Four window sums to integers, as synth_pcm16 does one, except below -32768: the minimum
// takes its second operand for a NaN, so a NaN saturates high; a sum below -32768 truncates to
// an integer below it (or to the out-of-range value INT32_MIN), which store4i clamps.
ZIV_AVX2 inline __m128i pcm4(__m256d y) {
    return _mm256_cvttpd_epi32(_mm256_min_pd(y, _mm256_set1_pd(32767.0)));
}

// Four such integers to PCM (the saturating packs clamp to -32768), stored at `dst` at step 1,
// or at step 2 into the four pairs at `dst` under the byte mask `keep` (set where the other
// channel's bytes stay).
template <bool Eight, int Step>
ZIV_AVX2 inline void store4i(uint8_t* dst, __m128i keep, __m128i v) {
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

// The 32-point transform in AVX2 registers: the same stages as transform<32>, each operation
// the same single-precision add, subtract or multiply of the same two values, so the history
// receives the same bits. Eight values per register; a butterfly inside a register pairs lanes
// by permutation and keeps sums or scaled differences by blend.
struct Lanes {
    int32_t i[8];
};
// Butterfly of blocks of S lanes: w and u hold the two partners of each lane, so that a lower
// lane takes w + u and an upper lane (u - w) times its coefficient.
template <int S>
constexpr Lanes butterfly_w() {
    Lanes r{};
    for (int32_t l = 0; l < 8; ++l) {
        const int32_t o = l - l % S, k = l % S, h = S / 2;
        r.i[l] = k < h ? o + k : o + S - 1 - (k - h);
    }
    return r;
}
template <int S>
constexpr Lanes butterfly_u() {
    Lanes r{};
    for (int32_t l = 0; l < 8; ++l) {
        const int32_t o = l - l % S, k = l % S, h = S / 2;
        r.i[l] = k < h ? o + S - 1 - k : o + (k - h);
    }
    return r;
}
// Recombination of blocks of S lanes: even lane 2j takes lane j, odd lane 2j + 1 the sum of
// lanes h + j and h + j + 1, the last lane lane S - 1 alone.
template <int S>
constexpr Lanes recombine_p1() {
    Lanes r{};
    for (int32_t l = 0; l < 8; ++l) {
        const int32_t o = l - l % S, k = l % S, h = S / 2;
        r.i[l] = k % 2 == 0 ? o + k / 2 : o + h + k / 2;
    }
    return r;
}
template <int S>
constexpr Lanes recombine_p2() {
    Lanes r{};
    for (int32_t l = 0; l < 8; ++l) {
        const int32_t o = l - l % S, k = l % S, h = S / 2;
        r.i[l] = k % 2 == 1 && k != S - 1 ? o + h + k / 2 + 1 : o + k;
    }
    return r;
}
template <int S>
constexpr int recombine_mask() {
    int m = 0;
    for (int l = 0; l < 8; ++l)
        if (l % S % 2 == 1 && l % S != S - 1) m |= 1 << l;
    return m;
}
template <int S>
constexpr int upper_mask() {
    int m = 0;
    for (int l = 0; l < 8; ++l)
        if (l % S >= S / 2) m |= 1 << l;
    return m;
}

ZIV_AVX2 inline __m256 permute8(__m256 v, const Lanes& l) {
    return _mm256_permutevar8x32_ps(
        v, _mm256_setr_epi32(l.i[0], l.i[1], l.i[2], l.i[3], l.i[4], l.i[5], l.i[6], l.i[7]));
}
ZIV_AVX2 inline __m256 reverse8(__m256 v) {
    return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

// dct_butterfly(4 / S, S, ...) on one register; `c` holds each upper lane's coefficient.
template <int S>
ZIV_AVX2 inline __m256 butterfly_in(__m256 v, __m256 c) {
    constexpr Lanes wl = butterfly_w<S>(), ul = butterfly_u<S>();
    constexpr int mask = upper_mask<S>(); // an immediate, also in unoptimised builds
    const __m256 w = permute8(v, wl), u = permute8(v, ul);
    return _mm256_blend_ps(_mm256_add_ps(w, u), _mm256_mul_ps(_mm256_sub_ps(u, w), c), mask);
}
template <int S>
ZIV_AVX2 inline __m256 recombine_in(__m256 v) {
    constexpr Lanes l1 = recombine_p1<S>(), l2 = recombine_p2<S>();
    constexpr int mask = recombine_mask<S>();
    const __m256 p1 = permute8(v, l1);
    return _mm256_blend_ps(p1, _mm256_add_ps(p1, permute8(v, l2)), mask);
}
// Lanes 1..7 of v, then lane 0 of next.
ZIV_AVX2 inline __m256 shift1(__m256 v, __m256 next) {
    const __m256 t = _mm256_permute2f128_ps(v, next, 0x21);
    return _mm256_castsi256_ps(
        _mm256_alignr_epi8(_mm256_castps_si256(t), _mm256_castps_si256(v), 4));
}
// Recombination of a 16-value block held as (lo, hi) into (out0, out1): lo[j] at 2j, the sums
// of neighbouring hi lanes at 2j + 1, hi[7] last. `next` is what follows hi (only its lane 0 is
// read, and only when it belongs to the block: the last lane keeps hi[7] by blend).
ZIV_AVX2 inline void recombine16(__m256 lo, __m256 hi, __m256* out0, __m256* out1) {
    const __m256 c = _mm256_blend_ps(_mm256_add_ps(hi, shift1(hi, hi)), hi, 0x80);
    const __m256 ul = _mm256_unpacklo_ps(lo, c), uh = _mm256_unpackhi_ps(lo, c);
    *out0 = _mm256_permute2f128_ps(ul, uh, 0x20);
    *out1 = _mm256_permute2f128_ps(ul, uh, 0x31);
}

ZIV_AVX2 inline void transform32_avx2(__m256 x0, __m256 x1, __m256 x2, __m256 x3, float* dst,
                                      const float* coef) {
    const float* g16 = coef + coef_group(16);
    const float* g8 = coef + coef_group(8);
    // First stage: x[i] + x[31 - i] and (x[i] - x[31 - i]) g16[i].
    const __m256 r0 = reverse8(x3), r1 = reverse8(x2);
    __m256 a0 = _mm256_add_ps(x0, r0), a1 = _mm256_add_ps(x1, r1);
    __m256 a2 = _mm256_mul_ps(_mm256_sub_ps(x0, r0), _mm256_loadu_ps(g16));
    __m256 a3 = _mm256_mul_ps(_mm256_sub_ps(x1, r1), _mm256_loadu_ps(g16 + 8));
    // dct_butterfly(2, 16): blocks (a0, a1) and (a2, a3).
    const __m256 c8 = _mm256_loadu_ps(g8);
    const __m256 h1 = reverse8(a1), h3 = reverse8(a3);
    __m256 b0 = _mm256_add_ps(a0, h1), b1 = _mm256_mul_ps(_mm256_sub_ps(a0, h1), c8);
    __m256 b2 = _mm256_add_ps(a2, h3), b3 = _mm256_mul_ps(_mm256_sub_ps(a2, h3), c8);
    // dct_butterfly(4, 8), (8, 4), (16, 2): inside each register.
    const float* g4 = coef + coef_group(4);
    const float* g2 = coef + coef_group(2);
    const float g1 = coef[coef_group(1)];
    const __m256 c4 = _mm256_setr_ps(1, 1, 1, 1, g4[0], g4[1], g4[2], g4[3]);
    const __m256 c2 = _mm256_setr_ps(1, 1, g2[0], g2[1], 1, 1, g2[0], g2[1]);
    const __m256 c1 = _mm256_setr_ps(1, g1, 1, g1, 1, g1, 1, g1);
    b0 = butterfly_in<2>(butterfly_in<4>(butterfly_in<8>(b0, c4), c2), c1);
    b1 = butterfly_in<2>(butterfly_in<4>(butterfly_in<8>(b1, c4), c2), c1);
    b2 = butterfly_in<2>(butterfly_in<4>(butterfly_in<8>(b2, c4), c2), c1);
    b3 = butterfly_in<2>(butterfly_in<4>(butterfly_in<8>(b3, c4), c2), c1);
    // dct_recombine(8, 4), (4, 8) inside each register, (2, 16) over pairs, (1, 32) over all.
    b0 = recombine_in<8>(recombine_in<4>(b0));
    b1 = recombine_in<8>(recombine_in<4>(b1));
    b2 = recombine_in<8>(recombine_in<4>(b2));
    b3 = recombine_in<8>(recombine_in<4>(b3));
    __m256 s0, s1, s2, s3;
    recombine16(b0, b1, &s0, &s1);
    recombine16(b2, b3, &s2, &s3);
    // dct_recombine(1, 32): s0..s1 to the even places, sums of neighbours of s2..s3 to the odd.
    const __m256 cl = _mm256_add_ps(s2, shift1(s2, s3));
    const __m256 ch = _mm256_blend_ps(_mm256_add_ps(s3, shift1(s3, s3)), s3, 0x80);
    const __m256 l0 = _mm256_unpacklo_ps(s0, cl), l1 = _mm256_unpackhi_ps(s0, cl);
    const __m256 m0 = _mm256_unpacklo_ps(s1, ch), m1 = _mm256_unpackhi_ps(s1, ch);
    _mm256_storeu_ps(dst, _mm256_permute2f128_ps(l0, l1, 0x20));
    _mm256_storeu_ps(dst + 8, _mm256_permute2f128_ps(l0, l1, 0x31));
    _mm256_storeu_ps(dst + 16, _mm256_permute2f128_ps(m0, m1, 0x20));
    _mm256_storeu_ps(dst + 24, _mm256_permute2f128_ps(m0, m1, 0x31));
}

// Eight rows' 32-point transforms at once, lane l holding row l: every lane runs the plain
// transform's operations on its own row, so no lane ever needs a permutation. The rows come in
// and go out by 8 x 8 transposes. Used where a caller has eight rows ready (a Layer III
// granule), with the results parked until each row's window runs.
template <int Count, int Size>
ZIV_AVX2 inline void butterfly_rows(const __m256* src, __m256* dst, const float* coef) {
    constexpr int h = Size / 2;
#pragma GCC unroll 32
    for (int o = 0; o < Count * Size; o += Size) {
#pragma GCC unroll 32
        for (int i = 0; i < h; ++i) {
            const __m256 lo = src[o + i], hi = src[o + Size - 1 - i];
            dst[o + i] = lo + hi;
            dst[o + h + i] = (lo - hi) * coef[i];
        }
    }
}

template <int Count, int Size>
ZIV_AVX2 inline void recombine_rows(const __m256* src, __m256* dst) {
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

using ziv_avx2::transpose8;

// The transforms of the eight rows held in the lanes of x[0..31] (x[k] = input k of each
// row) into dst, eight rows of 32 floats.
ZIV_AVX2 __attribute__((always_inline)) inline void transform32_lanes(const __m256* x, float* dst,
                                                                       const float* coef) {
    __m256 a[32], b[32];
    const float* g = coef + coef_group(16);
    for (int i = 0; i < 16; ++i) {
        const __m256 lo = x[i], hi = x[31 - i];
        a[i] = lo + hi;
        a[16 + i] = (lo - hi) * g[i];
    }
    butterfly_rows<2, 16>(a, b, coef + coef_group(8));
    butterfly_rows<4, 8>(b, a, coef + coef_group(4));
    butterfly_rows<8, 4>(a, b, coef + coef_group(2));
    butterfly_rows<16, 2>(b, a, coef + coef_group(1));
    recombine_rows<8, 4>(a, b);
    recombine_rows<4, 8>(b, a);
    recombine_rows<2, 16>(a, b);
    recombine_rows<1, 32>(b, a);
    for (int q = 0; q < 4; ++q) {
        __m256 t[8];
#pragma GCC unroll 32
        for (int k = 0; k < 8; ++k) t[k] = a[8 * q + k];
        transpose8(t);
#pragma GCC unroll 32
        for (int l = 0; l < 8; ++l) _mm256_storeu_ps(dst + 32 * l + 8 * q, t[l]);
    }
}

// Eight rows of 32 inputs, `stride` floats apart, into lanes.
ZIV_AVX2 __attribute__((always_inline)) inline void rows8_contiguous(const float* rows,
                                                                      int32_t stride, __m256* x) {
    for (int q = 0; q < 4; ++q) {
        __m256 t[8];
#pragma GCC unroll 32
        for (int l = 0; l < 8; ++l) t[l] = _mm256_loadu_ps(rows + stride * l + 8 * q);
        transpose8(t);
#pragma GCC unroll 32
        for (int k = 0; k < 8; ++k) x[8 * q + k] = t[k];
    }
}

ZIV_AVX2 inline void deinterleave16(const float* p, __m256* even, __m256* odd);

// Eight Layer I/II rows (64 floats apart, channels interleaved) into lanes: the left entries
// into x0, the right ones into x1.
ZIV_AVX2 __attribute__((always_inline)) inline void rows8_pairs(const float* rows, __m256* x0,
                                                                 __m256* x1) {
    for (int q = 0; q < 4; ++q) {
        __m256 e[8], o[8];
#pragma GCC unroll 32
        for (int l = 0; l < 8; ++l) deinterleave16(rows + 64 * l + 16 * q, &e[l], &o[l]);
        transpose8(e);
        transpose8(o);
#pragma GCC unroll 32
        for (int k = 0; k < 8; ++k) {
            x0[8 * q + k] = e[k];
            x1[8 * q + k] = o[k];
        }
    }
}

// Eight rows of 32 floats, Stride apart, to their transforms in dst (eight rows of 32). One
// function holds the loads, the stages and the stores, so that the compiler keeps the lanes
// in registers and on its own stack frame rather than copying them between calls.
template <int32_t Stride>
ZIV_AVX2 __attribute__((noinline)) void transform32_rows8(const float* rows, float* dst,
                                                          const float* coef) {
    __m256 x[32];
    rows8_contiguous(rows, Stride, x);
    transform32_lanes(x, dst, coef);
}

// Eight Layer I/II rows (64 floats apart, channels interleaved) in channel form F: left or
// right alone, their mean, or both (the right into dst1).
template <Form F>
ZIV_AVX2 __attribute__((noinline)) void transform32_pairs8(const float* rows, float* dst0,
                                                           float* dst1, const float* coef) {
    __m256 x0[32], x1[32];
    rows8_pairs(rows, x0, x1);
    if constexpr (F == Form::mix) {
#pragma GCC unroll 32
        for (int k = 0; k < 32; ++k) x0[k] = (x0[k] + x1[k]) * 0.5f;
    }
    transform32_lanes(F == Form::right ? x1 : x0, dst0, coef);
    if constexpr (F == Form::stereo) transform32_lanes(x1, dst1, coef);
}

// Entries 2k + 0 (lo of the pair) and 2k + 1 of 16 consecutive floats, in order.
ZIV_AVX2 inline void deinterleave16(const float* p, __m256* even, __m256* odd) {
    const __m256 v0 = _mm256_loadu_ps(p), v1 = _mm256_loadu_ps(p + 8);
    const __m256 e = _mm256_shuffle_ps(v0, v1, 0x88), o = _mm256_shuffle_ps(v0, v1, 0xDD);
    *even = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), 0xD8));
    *odd = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), 0xD8));
}

// transform_row() at N = 32 on the AVX2 transform (the equaliser case and the smaller sizes keep
// the plain code). `row` is the row's first entry; a pick reads channel `side` (0 or 1) of it,
// so the loads never leave the row's 64 floats.
template <int N, Gather G>
ZIV_AVX2 inline void transform_row_avx2(const MpegDecoder* d, const float* row, int32_t side,
                                        float* dst) {
    if constexpr (N != 32) {
        transform_row<N, G>(d, row + side, dst);
    } else if constexpr (G == Gather::contiguous) {
        if (d->eq_settings->enabled) {
            transform_row<N, G>(d, row, dst);
            return;
        }
        transform32_avx2(_mm256_loadu_ps(row), _mm256_loadu_ps(row + 8),
                         _mm256_loadu_ps(row + 16), _mm256_loadu_ps(row + 24), dst,
                         d->syn.dct_coef);
    } else {
        __m256 x[4], odd[4];
        for (int32_t q = 0; q < 4; ++q) deinterleave16(row + 16 * q, &x[q], &odd[q]);
        if constexpr (G == Gather::mix) {
            const __m256 half = _mm256_set1_ps(0.5f);
            for (int32_t q = 0; q < 4; ++q) x[q] = _mm256_mul_ps(_mm256_add_ps(x[q], odd[q]), half);
        } else {
            if (side)
                for (int32_t q = 0; q < 4; ++q) x[q] = odd[q];
        }
        transform32_avx2(x[0], x[1], x[2], x[3], dst, d->syn.dct_coef);
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

// Sums of the groups [G0, G1) of both halves: term t adds its products to every sum. The
// barrier at the end of a term keeps the compiler from hoisting later terms' loads, which would
// run out of registers and spill; the eight sums of N = 32 and their operands fit the sixteen
// registers.
template <int N, int G0, int G1>
ZIV_AVX2 __attribute__((always_inline)) inline void window_groups(const float* V,
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
            yf[g] = _mm256_add_pd(yf[g], _mm256_mul_pd(a, _mm256_load_pd(e.fa)));
            yf[g] = _mm256_add_pd(yf[g], _mm256_mul_pd(b, _mm256_load_pd(e.fb)));
            ys[g] = _mm256_add_pd(ys[g], _mm256_mul_pd(a, _mm256_load_pd(e.sa)));
            ys[g] = _mm256_add_pd(ys[g], _mm256_mul_pd(b, _mm256_load_pd(e.sb)));
        }
        __asm__ volatile("" ::: "memory");
    }
}

// window() four samples at a time in the lanes of AVX2 registers, each lane's sum in the same
// order as there, so the output is byte-identical. At step 2, `out` is the first sample of the
// pair run and `ch` (0 or 1) the channel written; the other channel's samples are kept.
template <int N, bool Eight, int Step>
ZIV_AVX2 inline void window_avx2(const float* V, int32_t p, uint8_t* out, int32_t ch) {
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
    for (int32_t t = 0; t < 8; ++t) y += double(V[blk[2 * t + 1]]) * middle_factors[size_t(t)];
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
#endif

// One Layer I/II row in channel form F at position p: the transform(s) into the history, then the
// window(s). Returns the bytes written.
template <int N, bool Eight, Form F>
inline int32_t synth_row(MpegDecoder* d, const float* row, int32_t p, uint8_t* out) {
    constexpr int32_t bytes = Eight ? 1 : 2;
    float* h0 = d->syn.synth_buf[0];
    if constexpr (F == Form::stereo) {
        float* h1 = d->syn.synth_buf[1];
        transform_row<N, Gather::pick>(d, row, h0 + p);
        transform_row<N, Gather::pick>(d, row + 1, h1 + p);
        window<N, Eight, 2>(h0, p, out);
        window<N, Eight, 2>(h1, p, out + bytes);
        return 2 * N * bytes;
    } else {
        if constexpr (F == Form::mono) transform_row<N, Gather::contiguous>(d, row, h0 + p);
        else if constexpr (F == Form::mix) transform_row<N, Gather::mix>(d, row, h0 + p);
        else if constexpr (F == Form::left) transform_row<N, Gather::pick>(d, row, h0 + p);
        else transform_row<N, Gather::pick>(d, row + 1, h0 + p);
        window<N, Eight, 1>(h0, p, out);
        return N * bytes;
    }
}

// Layer I/II variant contract: `count` rows of 64 floats; each writes N sample frames (N = 32 >>
// reduction) of the form's channels at `out` and steps synth_pos[0] down by N; count <= 0 writes
// nothing.
template <int N, bool Eight, Form F>
void synth_l12_rows(MpegDecoder* d, const float* rows, uint8_t* out, int32_t count) {
    constexpr int32_t mask = 16 * N - 1;
    int32_t p = d->syn.synth_pos[0] & (16 * N - N);
    for (int32_t r = 0; r < count; ++r, rows += 64) {
        out += synth_row<N, Eight, F>(d, rows, p, out);
        p = (p - N) & mask;
    }
    d->syn.synth_pos[0] = p;
}

// Layer III variant contract: 18 rows of 32 floats of one channel. Mono writes N samples per row;
// stereo writes channel `ch` (0 or non-zero) at every second sample, starting ch samples in, and
// touches only that channel's history and position.
template <int N, bool Eight, bool Stereo>
void synth_l3_rows(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch) {
    constexpr int32_t mask = 16 * N - 1, bytes = Eight ? 1 : 2, step = Stereo ? 2 : 1;
    const int32_t c = Stereo && ch != 0 ? 1 : 0;
    float* V = d->syn.synth_buf[c];
    int32_t p = d->syn.synth_pos[c] & (16 * N - N);
    out += c * bytes;
    for (int32_t r = 0; r < 18; ++r, rows += 32) {
        transform_row<N, Gather::contiguous>(d, rows, V + p);
        window<N, Eight, step>(V, p, out);
        out += N * step * bytes;
        p = (p - N) & mask;
    }
    d->syn.synth_pos[c] = p;
}

#if ZIV_SYNTH_AVX2
// The same row loops on the AVX2 window; `out` of a stereo window is the pair run's start.
template <int N, bool Eight, Form F>
ZIV_AVX2 void synth_l12_rows_avx2(MpegDecoder* d, const float* rows, uint8_t* out, int32_t count) {
    constexpr int32_t mask = 16 * N - 1, bytes = Eight ? 1 : 2;
    float* h0 = d->syn.synth_buf[0];
    float* h1 = d->syn.synth_buf[1];
    int32_t p = d->syn.synth_pos[0] & (16 * N - N);
    int32_t r = 0;
    if constexpr (N == 32) {
        // Eight rows' transforms at a time (the equaliser, read by the mono form only, keeps
        // the row-by-row code); each result enters the history when its window is due.
        if (F != Form::mono || !d->eq_settings->enabled) {
            alignas(32) float t0[8][32], t1[8][32];
            for (; r + 8 <= count; r += 8) {
                if constexpr (F == Form::mono)
                    transform32_rows8<64>(rows, &t0[0][0], d->syn.dct_coef);
                else
                    transform32_pairs8<F>(rows, &t0[0][0], &t1[0][0], d->syn.dct_coef);
                for (int32_t k = 0; k < 8; ++k, rows += 64) {
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
        }
    }
    for (; r < count; ++r, rows += 64) {
        if constexpr (F == Form::stereo) {
            transform_row_avx2<N, Gather::pick>(d, rows, 0, h0 + p);
            transform_row_avx2<N, Gather::pick>(d, rows, 1, h1 + p);
            window_avx2<N, Eight, 2>(h0, p, out, 0);
            window_avx2<N, Eight, 2>(h1, p, out, 1);
            out += 2 * N * bytes;
        } else {
            if constexpr (F == Form::mono)
                transform_row_avx2<N, Gather::contiguous>(d, rows, 0, h0 + p);
            else if constexpr (F == Form::mix) transform_row_avx2<N, Gather::mix>(d, rows, 0, h0 + p);
            else if constexpr (F == Form::left) transform_row_avx2<N, Gather::pick>(d, rows, 0, h0 + p);
            else transform_row_avx2<N, Gather::pick>(d, rows, 1, h0 + p);
            window_avx2<N, Eight, 1>(h0, p, out, 0);
            out += N * bytes;
        }
        p = (p - N) & mask;
    }
    d->syn.synth_pos[0] = p;
}

template <int N, bool Eight, bool Stereo>
ZIV_AVX2 void synth_l3_rows_avx2(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch) {
    constexpr int32_t mask = 16 * N - 1, bytes = Eight ? 1 : 2, step = Stereo ? 2 : 1;
    const int32_t c = Stereo && ch != 0 ? 1 : 0;
    float* V = d->syn.synth_buf[c];
    int32_t p = d->syn.synth_pos[c] & (16 * N - N);
    int32_t r = 0;
    if constexpr (N == 32) {
        // Rows 0..15 in two batches of eight transforms; each row's result enters the history
        // only when its window is due (the window reads the block the next row overwrites).
        if (!d->eq_settings->enabled) {
            alignas(32) float t[8][32];
            for (; r < 16; r += 8) {
                transform32_rows8<32>(rows, &t[0][0], d->syn.dct_coef);
                for (int32_t k = 0; k < 8; ++k, rows += 32) {
                    std::memcpy(V + p, t[k], sizeof t[k]);
                    window_avx2<N, Eight, step>(V, p, out, c);
                    out += N * step * bytes;
                    p = (p - N) & mask;
                }
            }
        }
    }
    for (; r < 18; ++r, rows += 32) {
        transform_row_avx2<N, Gather::contiguous>(d, rows, 0, V + p);
        window_avx2<N, Eight, step>(V, p, out, c);
        out += N * step * bytes;
        p = (p - N) & mask;
    }
    d->syn.synth_pos[c] = p;
}
#endif

// The path every variant runs; -1 until first asked for (the processor is probed then).
std::atomic<int32_t> synth_path_current{-1};

inline int32_t synth_path_now() {
    int32_t v = synth_path_current.load(std::memory_order_relaxed);
    if (v < 0) {
        v = synth_best_path();
        synth_path_current.store(v, std::memory_order_relaxed);
    }
    return v;
}

// The table entries: one test of the path per call (per frame or granule), then the loop.
template <int N, bool Eight, Form F>
void synth_l12_variant(MpegDecoder* d, const float* rows, uint8_t* out, int32_t count) {
#if ZIV_SYNTH_AVX2
    if (synth_path_now() == synth_path_avx2) {
        synth_l12_rows_avx2<N, Eight, F>(d, rows, out, count);
        return;
    }
#endif
    synth_l12_rows<N, Eight, F>(d, rows, out, count);
}
template <int N, bool Eight, bool Stereo>
void synth_l3_variant(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch) {
#if ZIV_SYNTH_AVX2
    if (synth_path_now() == synth_path_avx2) {
        synth_l3_rows_avx2<N, Eight, Stereo>(d, rows, out, ch);
        return;
    }
#endif
    synth_l3_rows<N, Eight, Stereo>(d, rows, out, ch);
}

// Index = 15 * eight_bit + 5 * reduction + chan_code.
template <size_t I>
constexpr MpegSynthFn l12_variant() {
    return &synth_l12_variant<(32 >> ((I / 5) % 3)), (I / 15) != 0, Form(I % 5)>;
}
// Index = 2 * (3 * eight_bit + reduction) + channels - 1.
template <size_t I>
constexpr MpegSynthFn l3_variant() {
    return &synth_l3_variant<(32 >> ((I / 2) % 3)), (I / 6) != 0, (I % 2) != 0>;
}

template <size_t... I>
constexpr std::array<MpegSynthFn, sizeof...(I)> make_l12(std::index_sequence<I...>) {
    return {{l12_variant<I>()...}};
}
template <size_t... I>
constexpr std::array<MpegSynthFn, sizeof...(I)> make_l3(std::index_sequence<I...>) {
    return {{l3_variant<I>()...}};
}

}  // namespace

const std::array<MpegSynthFn, 30> synth_variants = make_l12(std::make_index_sequence<30>());
const std::array<MpegSynthFn, 12> synth_l3_variants = make_l3(std::make_index_sequence<12>());
static_assert(std::tuple_size<decltype(synth_variants)>::value == 3 * 2 * 5, "rates x widths x forms");
static_assert(std::tuple_size<decltype(synth_l3_variants)>::value == 3 * 2 * 2, "rates x widths x channels");

void synth_reset(MpegDecoder* d) {
    SynthState& s = d->syn;
    if (s.dct_coef_pending) {
        // Butterfly coefficients 0.5 / cos((2k+1) pi / (4n)) for n = 16, 8, 4, 2, 1.
        const double pi = 4.0 * std::atan(1.0);
        int32_t i = 0;
        for (int32_t n = 16; n >= 1; n /= 2)
            for (int32_t k = 0; k < n; ++k)
                s.dct_coef[i++] = float(0.5 / std::cos(pi * (2 * k + 1) / (4.0 * n)));
        s.dct_coef_pending = 0;
    }
    std::memset(s.synth_buf, 0, sizeof(s.synth_buf));
    s.synth_pos[0] = 0;
    s.synth_pos[1] = 0;
}

void synth_transform(int32_t n, const float* x, float* dst, const float* coef) {
    if (n == 32) transform<32, Gather::contiguous>(x, dst, coef);
    else if (n == 16) transform<16, Gather::contiguous>(x, dst, coef);
    else if (n == 8) transform<8, Gather::contiguous>(x, dst, coef);
}

int32_t synth_best_path() {
#if ZIV_SYNTH_AVX2
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return synth_path_avx2;
#endif
    return synth_path_plain;
}

int32_t synth_active_path() { return synth_path_now(); }

int32_t synth_select_path(int32_t path) {
    const int32_t v = path == synth_path_avx2 && synth_best_path() == synth_path_avx2
                          ? synth_path_avx2
                          : synth_path_plain;
    synth_path_current.store(v, std::memory_order_relaxed);
    return v;
}
