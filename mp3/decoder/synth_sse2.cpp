// Polyphase synthesis on the SSE2 path: the row loops of synth_rows.h (the same routines as
// synth.cpp) with every transform run on four rows at once (transform_rows: lane l carries row l
// of a batch, the last batch padded with silent rows) and the window summing two output samples
// per register of doubles. SSE2 has no fused multiply-add; the window's products of two floats
// are exact in double, so a multiply then an add gives the fused result the other paths take.
// Each row's transform is the one of synth_dsp.h and each sample's window sum takes the same
// products in the same order as on the plain path, so the PCM is byte-identical.
#include <array>
#include <cstring>
#include <utility>

#include "decoder_internal.h"
#include "kernels.h"
#include "synth.h"
#include "lanes_sse2.h"
#include "pcm_x86.h"
#include "synth_dsp.h"
#include "synth_rows.h"

namespace {

// Two window sums to integers in lanes 0 and 1, as out_pcm<O> does one (out_form.h); the clamps
// and conversions are those of the AVX2 path on two lanes. The 16-bit forms clamp only the top
// (the minimum takes its second operand for a NaN, so a NaN saturates high); a sum below -32768
// converts to an integer below it, or to INT32_MIN, which the saturating packs of store2i clamp.
// Rounding conversions use the processor's rounding, to nearest with ties to even, as
// std::nearbyint does on the plain path.
template <OutForm O>
inline __m128i pcm2(__m128d y) {
    if constexpr (O == OutForm::f32) {
        const __m128d ordered = _mm_and_pd(y, _mm_cmpord_pd(y, y));  // NaN: 0
        return _mm_castps_si128(_mm_cvtpd_ps(_mm_mul_pd(ordered, _mm_set1_pd(kFloatScale))));
    } else {
        if constexpr (out_scale<O> != 1.0) y = _mm_mul_pd(y, _mm_set1_pd(out_scale<O>));
        y = _mm_min_pd(y, _mm_set1_pd(out_hi<O>));
        if constexpr (out_bytes<O> == 3) y = _mm_max_pd(y, _mm_set1_pd(out_lo<O>));
        if constexpr (out_rounds<O>) return _mm_cvtpd_epi32(y);
        return _mm_cvttpd_epi32(y);
    }
}

// The bytes of `v` where `keep` is clear, the bytes of `old` where it is set.
inline __m128i select_bytes(__m128i keep, __m128i old, __m128i v) {
    return _mm_or_si128(_mm_and_si128(keep, old), _mm_andnot_si128(keep, v));
}


// Two such integers to PCM (the saturating packs clamp to -32768), stored at `dst` at step 1, or
// at step 2 into the two pairs at `dst` under the byte mask `keep` (set where the other
// channel's bytes stay).
template <bool Eight, int Step>
inline void store2i(uint8_t* dst, __m128i keep, __m128i v) {
    if constexpr (!Eight) {
        const __m128i s = _mm_packs_epi32(v, v);
        if constexpr (Step == 1) {
            const int32_t w = _mm_cvtsi128_si32(s);
            std::memcpy(dst, &w, 4);
        } else {
            const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
            const __m128i dup = _mm_unpacklo_epi16(s, s);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), select_bytes(keep, old, dup));
        }
    } else {
        const __m128i s = _mm_packs_epi32(_mm_srai_epi32(v, 8), v);
        const __m128i b = _mm_xor_si128(_mm_packs_epi16(s, s), _mm_set1_epi8(char(0x80)));
        const int32_t w = _mm_cvtsi128_si32(b);
        if constexpr (Step == 1) {
            std::memcpy(dst, &w, 2);
        } else {
            int32_t o;
            std::memcpy(&o, dst, 4);
            const __m128i dup = _mm_unpacklo_epi8(b, b);
            const int32_t r = _mm_cvtsi128_si32(select_bytes(keep, _mm_cvtsi32_si128(o), dup));
            std::memcpy(dst, &r, 4);
        }
    }
}

// The vector types' alignment and aliasing attributes do not take part in the specialisation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
template <>
struct SynthPath<F4> {
    using Sum = __m128d;
    using Pcm = __m128i;  // lanes 0 and 1
    using Keep = __m128i; // byte lanes of the other channel, kept at step 2
    static constexpr int kSums = 2;
    // Four groups per pass: eight sums and their operands fit the sixteen SSE registers.
    static constexpr int kPassGroups = 4;

    static __m128d zero() { return _mm_setzero_pd(); }
    static __m128d load(const float* p) {
        const __m128i pair = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));  // any alignment
        return _mm_cvtps_pd(_mm_castsi128_ps(pair));
    }
    static __m128d factor(const double* f) { return _mm_load_pd(f); }
    // The product is exact, so this is the fused multiply-add's result.
    static __m128d madd(__m128d a, __m128d f, __m128d y) { return _mm_add_pd(y, _mm_mul_pd(a, f)); }
    static double madd1(double a, double f, double y) { return y + a * f; }
    template <OutForm O>
    static __m128i pcm(__m128d y) { return pcm2<O>(y); }
    // One sum's PCM in both lanes, through the same conversion as the others.
    template <OutForm O>
    static __m128i pcm_splat(double y) { return pcm2<O>(_mm_set1_pd(y)); }
    static __m128i reverse(__m128i v) { return _mm_shuffle_epi32(v, 0xE1); }
    // (prev[1], r[0]).
    static __m128i shift_in(__m128i r, __m128i prev) {
        return _mm_unpacklo_epi32(_mm_shuffle_epi32(prev, 0x55), r);
    }
    template <OutForm O>
    static __m128i keep(int32_t ch) { return keep_other<O>(ch); }
    // Over (the other channel's samples may be overwritten) changes nothing here.
    template <OutForm O, int Step, bool Over>
    static void store(uint8_t* dst, __m128i keep, __m128i v) {
        if constexpr (out_bytes<O> > 2) {
            if constexpr (out_bytes<O> == 4 && Step == 1) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), v);
            } else {
                uint8_t* p = dst + _mm_cvtsi128_si32(keep);
                out_store<O>(p, _mm_cvtsi128_si32(v));
                out_store<O>(p + Step * out_bytes<O>, _mm_cvtsi128_si32(_mm_shuffle_epi32(v, 0x55)));
            }
        } else {
            store2i<O == OutForm::u8, Step>(dst, keep, v);
        }
    }

    // Four values at a time.
    template <int N>
    static void put_block(const float* block, float* at, float* again) {
#pragma GCC unroll 8
        for (int32_t m = 0; m < N; m += 4) {
            const __m128 v = _mm_loadu_ps(block + m);
            _mm_storeu_ps(at + m, v);
            _mm_storeu_ps(again + m, v);
        }
    }
    // Four values at a time, reversed by a shuffle.
    template <int N>
    static void put_rev(const float* block, float* rev, float* again) {
#pragma GCC unroll 4
        for (int32_t m = 0; m < N / 2; m += 4) {
            const __m128 v = _mm_loadu_ps(block + N / 2 - m - 3);
            const __m128 r = _mm_shuffle_ps(v, v, 0x1B);
            _mm_storeu_ps(rev + m, r);
            _mm_storeu_ps(again + m, r);
        }
    }

    template <int N, Form F>
    static void transform(const float* rows, int32_t n, int32_t stride, const float* gain,
                          const float* coef, float* t0, float* t1) {
        transform_rows<F4, N, F>(rows, n, stride, gain, coef, t0, t1);
    }
};
#pragma GCC diagnostic pop

}  // namespace

const std::array<MpegSynthFn, kSynthVariants> synth_variants_sse2 =
    synth_table_l12<F4>(std::make_index_sequence<kSynthVariants>());
const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants_sse2 =
    synth_table_l3<F4>(std::make_index_sequence<kSynthL3Variants>());
