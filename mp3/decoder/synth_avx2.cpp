// Polyphase synthesis on the AVX2 path: the row loops of synth_rows.h (the same routines as
// synth.cpp) with every transform run on eight rows at once (transform_rows: lane l carries row
// l of a batch, the last batch padded with silent rows) and the window summing four output
// samples per register. Each row's transform is the one of synth_dsp.h and each sample's window
// sum takes the same products in the same order as on the plain path, so the PCM is
// byte-identical. The AVX-512 tables are the same routines with the window of a stereo slot's two
// channels taken at once on 512-bit registers (window_pair512).
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "decoder_internal.h"
#include "kernels.h"
#include "synth.h"
#include "lanes_avx2.h"
#include "lanes_sse2.h"
#include "pcm_x86.h"
#include "synth_dsp.h"
#include "synth_rows.h"

namespace {

inline __m256d load4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

// Four window sums to integers, as out_pcm<O> does one (out_form.h). The 16-bit forms clamp
// only the top here: the minimum takes its second operand for a NaN, so a NaN saturates high; a
// sum below -32768 converts to an integer below it (or to the out-of-range value INT32_MIN),
// which store4i's saturating packs clamp. The wider forms clamp both ends (INT32_MIN is itself
// the 32-bit forms' low bound). Rounding conversions use the processor's rounding, to nearest
// with ties to even, as std::nearbyint does on the plain path.
template <OutForm O>
inline __m128i pcm4(__m256d y) {
    if constexpr (O == OutForm::f32) {
        const __m256d ordered = _mm256_and_pd(y, _mm256_cmp_pd(y, y, _CMP_ORD_Q));  // NaN: 0
        return _mm_castps_si128(_mm256_cvtpd_ps(_mm256_mul_pd(ordered, _mm256_set1_pd(kFloatScale))));
    } else {
        if constexpr (out_scale<O> != 1.0) y = _mm256_mul_pd(y, _mm256_set1_pd(out_scale<O>));
        y = _mm256_min_pd(y, _mm256_set1_pd(out_hi<O>));
        if constexpr (out_bytes<O> == 3) y = _mm256_max_pd(y, _mm256_set1_pd(out_lo<O>));
        if constexpr (out_rounds<O>) return _mm256_cvtpd_epi32(y);
        return _mm256_cvttpd_epi32(y);
    }
}

// Four such integers to PCM (the saturating packs clamp to -32768), stored at `dst` at step 1,
// or at step 2 into the four pairs at `dst` under the byte mask `keep` (set where the other
// channel's bytes stay), or with Over into both samples of each pair.
template <bool Eight, int Step, bool Over>
inline void store4i(uint8_t* dst, __m128i keep, __m128i v) {
    if constexpr (!Eight) {
        const __m128i s = _mm_packs_epi32(v, v);
        if constexpr (Step == 1) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), s);
        } else {
            const __m128i dup = _mm_unpacklo_epi16(s, s);
            if constexpr (Over) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), dup);
            } else {
                const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(dup, old, keep));
            }
        }
    } else {
        const __m128i s = _mm_packs_epi32(_mm_srai_epi32(v, 8), v);
        const __m128i b = _mm_xor_si128(_mm_packs_epi16(s, s), _mm_set1_epi8(char(0x80)));
        if constexpr (Step == 1) {
            const int32_t w = _mm_cvtsi128_si32(b);
            std::memcpy(dst, &w, 4);
        } else {
            const __m128i dup = _mm_unpacklo_epi8(b, b);
            if constexpr (Over) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), dup);
            } else {
                const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(dup, old, keep));
            }
        }
    }
}

// The window of both channels of a stereo slot at N = 32 on 512-bit registers (AVX-512F and VL),
// written as 16-bit pairs. Eight sums per register and each factor loaded once for both
// channels: sixteen chains of sums in flight where one channel's window has eight. The PCM of
// both channels is converted eight samples at a time and interleaved in registers, each run of
// eight pairs one store, where the two windows would blend each channel into the other's pairs.
// Each sum takes the same products in the same order as window_groups, and each conversion is
// pcm4's (a clamp of the top, the conversion, the saturating pack), so the PCM is the same.
#pragma GCC diagnostic push
// GCC 12's 512-bit conversion intrinsics start from an undefined register it then reports.
#pragma GCC diagnostic ignored "-Wuninitialized"
template <bool Round>
__attribute__((target("avx512f"), always_inline)) inline __m256i pcm8(__m512d y) {
    y = _mm512_min_pd(y, _mm512_set1_pd(32767.0));
    return Round ? _mm512_cvtpd_epi32(y) : _mm512_cvttpd_epi32(y);
}
// Eight samples of each channel to eight interleaved pairs at `dst`.
__attribute__((target("avx2"), always_inline)) inline void put_pairs8(uint8_t* dst, __m256i c0,
                                                                      __m256i c1) {
    const __m256i lo = _mm256_unpacklo_epi32(c0, c1), hi = _mm256_unpackhi_epi32(c0, c1);
    const __m256i s = _mm256_packs_epi32(lo, hi);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), s);
}
template <bool Round>
__attribute__((target("avx512f,avx512vl"), noinline)) void window_pair512(
    const float* h0, const float* r0, const float* h1, const float* r1, uint8_t* out) {
    constexpr int32_t N = 32, h = N / 2, G = h / 8;
    const WindowFactors<8>* f = window_factors<N, 8>.data();
    __m512d sf0[G], ss0[G], sf1[G], ss1[G];
    for (int32_t g = 0; g < G; ++g) sf0[g] = ss0[g] = sf1[g] = ss1[g] = _mm512_setzero_pd();
#pragma GCC unroll 8
    for (int32_t t = 0; t < 8; ++t) {
#pragma GCC unroll 2
        for (int32_t g = 0; g < G; ++g) {
            const __m512d a0 = _mm512_cvtps_pd(_mm256_loadu_ps(h0 + 2 * t * N + h + 8 * g));
            const __m512d b0 = _mm512_cvtps_pd(_mm256_loadu_ps(r0 + (2 * t + 1) * h + 8 * g));
            const __m512d a1 = _mm512_cvtps_pd(_mm256_loadu_ps(h1 + 2 * t * N + h + 8 * g));
            const __m512d b1 = _mm512_cvtps_pd(_mm256_loadu_ps(r1 + (2 * t + 1) * h + 8 * g));
            const WindowFactors<8>& e = f[g * 8 + t];
            const __m512d fa = _mm512_load_pd(e.fa), fb = _mm512_load_pd(e.fb);
            const __m512d sa = _mm512_load_pd(e.sa), sb = _mm512_load_pd(e.sb);
            sf0[g] = _mm512_fmadd_pd(a0, fa, sf0[g]);
            sf1[g] = _mm512_fmadd_pd(a1, fa, sf1[g]);
            ss0[g] = _mm512_fmadd_pd(a0, sa, ss0[g]);
            ss1[g] = _mm512_fmadd_pd(a1, sa, ss1[g]);
            sf0[g] = _mm512_fmadd_pd(b0, fb, sf0[g]);
            sf1[g] = _mm512_fmadd_pd(b1, fb, sf1[g]);
            ss0[g] = _mm512_fmadd_pd(b0, sb, ss0[g]);
            ss1[g] = _mm512_fmadd_pd(b1, sb, ss1[g]);
        }
    }
    // The middle sample of each channel, one product per term.
    double m0 = 0.0, m1 = 0.0;
#pragma GCC unroll 8
    for (int32_t t = 0; t < 8; ++t) {
        m0 = std::fma(double(h0[(2 * t + 1) * N]), middle_factors[size_t(t)], m0);
        m1 = std::fma(double(h1[(2 * t + 1) * N]), middle_factors[size_t(t)], m1);
    }
    put_pairs8(out, pcm8<Round>(sf0[0]), pcm8<Round>(sf1[0]));
    put_pairs8(out + 4 * 8, pcm8<Round>(sf0[1]), pcm8<Round>(sf1[1]));
    // Second half: lane l of ss[g] is sample N - 8 g - l. Samples 16..23 are the middle one and
    // lanes 7..1 of ss[1]; samples 24..31 are lane 0 of ss[1] and lanes 7..1 of ss[0]. Index 8
    // takes lane 0 of the second operand.
    const __m256i back = _mm256_setr_epi32(8, 7, 6, 5, 4, 3, 2, 1);
    const __m256i q0 = pcm8<Round>(ss0[0]), q1 = pcm8<Round>(ss1[0]);
    const __m256i p0 = pcm8<Round>(ss0[1]), p1 = pcm8<Round>(ss1[1]);
    const __m256i mid0 = pcm8<Round>(_mm512_set1_pd(m0)), mid1 = pcm8<Round>(_mm512_set1_pd(m1));
    put_pairs8(out + 4 * 16, _mm256_permutex2var_epi32(p0, back, mid0),
               _mm256_permutex2var_epi32(p1, back, mid1));
    put_pairs8(out + 4 * 24, _mm256_permutex2var_epi32(q0, back, p0),
               _mm256_permutex2var_epi32(q1, back, p1));
}
#pragma GCC diagnostic pop

// The vector types' alignment and aliasing attributes do not take part in the specialisation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <>
struct SynthPath<F8> {
    using Sum = __m256d;
    using Pcm = __m128i;
    using Keep = __m128i; // byte lanes of the other channel, kept at step 2
    static constexpr int kSums = 4;
    // Every group in one pass: the eight sums of N = 32 fit the registers.
    static constexpr int kPassGroups = 4;

    static __m256d zero() { return _mm256_setzero_pd(); }
    // The AVX-512 tables' window of a stereo slot: full rate, 16-bit pairs.
    template <int N, OutForm O>
    static constexpr bool kPairWindow = N == 32 && (O == OutForm::s16 || O == OutForm::s16r);
    template <int N, OutForm O>
    static void window_pair(const float* h0, const float* r0, const float* h1, const float* r1,
                            uint8_t* out) {
        window_pair512<O == OutForm::s16r>(h0, r0, h1, r1, out);
    }
    static __m256d load(const float* p) { return load4(p); }
    static __m256d factor(const double* f) { return _mm256_load_pd(f); }
    static __m256d madd(__m256d a, __m256d f, __m256d y) { return _mm256_fmadd_pd(a, f, y); }
    static double madd1(double a, double f, double y) { return std::fma(a, f, y); }
    template <OutForm O>
    static __m128i pcm(__m256d y) { return pcm4<O>(y); }
    // One sum's PCM in every lane, through the same conversion as the others.
    template <OutForm O>
    static __m128i pcm_splat(double y) { return pcm4<O>(_mm256_set1_pd(y)); }
    static __m128i reverse(__m128i v) { return _mm_shuffle_epi32(v, 0x1B); }
    // (prev[3], r[0], r[1], r[2]).
    static __m128i shift_in(__m128i r, __m128i prev) { return _mm_alignr_epi8(r, prev, 12); }
    template <OutForm O>
    static __m128i keep(int32_t ch) { return keep_other<O>(ch); }
    template <OutForm O, int Step, bool Over>
    static void store(uint8_t* dst, __m128i keep, __m128i v) {
        if constexpr (out_bytes<O> > 2) {
            if constexpr (out_bytes<O> == 4 && Step == 1) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
            } else {
                alignas(16) int32_t s[4];
                _mm_store_si128(reinterpret_cast<__m128i*>(s), v);
                uint8_t* p = dst + _mm_cvtsi128_si32(keep);
                for (int i = 0; i < 4; ++i) out_store<O>(p + i * Step * out_bytes<O>, s[i]);
            }
        } else {
            store4i<O == OutForm::u8, Step, Over>(dst, keep, v);
        }
    }

    // Eight values at a time.
    template <int N>
    static void put_block(const float* block, float* at, float* again) {
#pragma GCC unroll 4
        for (int32_t m = 0; m < N; m += 8) {
            const __m256 v = _mm256_loadu_ps(block + m);
            _mm256_storeu_ps(at + m, v);
            _mm256_storeu_ps(again + m, v);
        }
    }
    // Eight values at a time, reversed by one permutation (four at the quarter rate).
    template <int N>
    static void put_rev(const float* block, float* rev, float* again) {
        if constexpr (N / 2 >= 8) {
            const __m256i back = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
#pragma GCC unroll 2
            for (int32_t m = 0; m < N / 2; m += 8) {
                const __m256 r = _mm256_permutevar8x32_ps(_mm256_loadu_ps(block + N / 2 - m - 7), back);
                _mm256_storeu_ps(rev + m, r);
                _mm256_storeu_ps(again + m, r);
            }
        } else {
            const __m128 v = _mm_loadu_ps(block + 1);
            const __m128 r = _mm_shuffle_ps(v, v, 0x1B);
            _mm_storeu_ps(rev, r);
            _mm_storeu_ps(again, r);
        }
    }

    template <int N, Form F>
    static void transform(const float* rows, int32_t n, int32_t stride, const float* gain,
                          const float* coef, float* t0, float* t1) {
        // A short batch (the last two of Layer III's 18 rows, say) takes the four-lane body,
        // which costs about half as much as eight lanes of which most would be silent; each
        // lane's arithmetic is the same on both.
        if (n <= (F == Form::stereo ? 2 : 4))
            transform_rows<F4, N, F>(rows, n, stride, gain, coef, t0, t1);
        else
            transform_rows<F8, N, F>(rows, n, stride, gain, coef, t0, t1);
    }
};
#pragma GCC diagnostic pop

}  // namespace

const std::array<MpegSynthFn, kSynthVariants> synth_variants_avx2 =
    synth_table_l12<F8>(std::make_index_sequence<kSynthVariants>());
const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_avx2 =
    synth_table_l3<F8>(std::make_index_sequence<kSynthL3Variants>());
const std::array<MpegSynthFn, kSynthVariants> synth_variants_avx512 =
    synth_table_l12<F8, true>(std::make_index_sequence<kSynthVariants>());
const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_avx512 =
    synth_table_l3<F8, true>(std::make_index_sequence<kSynthL3Variants>());
