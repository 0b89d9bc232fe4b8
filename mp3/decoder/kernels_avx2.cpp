// The AVX2 kernel record: the Layer III stage bodies of layer3_dsp.h on eight lanes (lane l
// carries subband sb + l in the hybrid filter bank, line j + l elsewhere), the synthesis
// variants of synth_avx2.cpp. Subbands are moved between their 18-line layout and the lanes by
// transposes (shuffles rather than gathers: gathers are slow on some processors).
#include <cstring>

#include "kernels.h"
#include "lanes_avx2.h"
#include "layer3_dsp.h"

namespace {

// 18 consecutive floats per subband of eight subbands at p as lines k = 0..17 (lanes =
// subbands): two 8 x 8 transposes and the last two lines by pairs.
inline void load_subbands(const float* p, F8* x) {
    load_runs8(p, 18, 16, x);
    __m128 q[4];
    for (int i = 0; i < 4; ++i) {
        const __m128 lo = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(p + 36 * i + 16)));
        q[i] = _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + 36 * i + 34));
    }
    x[16] = _mm256_set_m128(_mm_shuffle_ps(q[2], q[3], 0x88), _mm_shuffle_ps(q[0], q[1], 0x88));
    x[17] = _mm256_set_m128(_mm_shuffle_ps(q[2], q[3], 0xDD), _mm_shuffle_ps(q[0], q[1], 0xDD));
}

// The inverse, for the subbands from lane `skip` on.
inline void store_subbands(float* p, const F8* v, int32_t skip) {
    F8 a[8], b[8];
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
    for (int l = skip; l < 8; ++l) {
        _mm256_storeu_ps(p + 18 * l, a[l]);
        _mm256_storeu_ps(p + 18 * l + 8, b[l]);
        std::memcpy(p + 18 * l + 16, pairs + 2 * l, 2 * sizeof(float));
    }
}

// One group of eight subbands from `sb`; lanes below `skip` are computed but not stored (their
// subbands were done before, and their lines already hold the new overlap).
template <bool Short>
void group(const L3ImdctCos& c, float* cur, const float* prev, float* out, const float* w,
           int32_t sb, int32_t skip) {
    const __m256i keep = lane_mask(0, skip, 8);
    F8 v[18], pv[18], ov[18];
    load_subbands(cur + 18 * sb, v);
    load_subbands(prev + 18 * sb, pv);
    hybrid_block<Short>(c, v, pv, w, [&](int j, F8 x) {
        _mm256_maskstore_ps(out + 32 * j + sb, keep, x);
    }, ov);
    store_subbands(cur + 18 * sb, ov, skip);
}

// Groups of eight from `from`; a last part group ends at `to` and stores only the subbands not
// yet done (it reaches back at most to `from`); a range of fewer than eight subbands at the
// bottom takes the same bodies one subband at a time.
template <bool Short>
void hybrid_groups(const L3ImdctCos& c, float* cur, const float* prev, float* out, const float* w,
                   int32_t from, int32_t to) {
    int32_t sb = from;
    for (; sb + 8 <= to; sb += 8) group<Short>(c, cur, prev, out, w, sb, 0);
    if (sb < to && to - 8 >= from) {
        group<Short>(c, cur, prev, out, w, to - 8, sb - (to - 8));
        sb = to;
    }
    hybrid_range<Short>(c, cur, prev, out, w, sb, to);
}

void copy_overlap(float* out, const float* prev, int32_t from, int32_t to) {
    for (int32_t g = from / 8; g < (to + 7) / 8; ++g) {
        const __m256i m = lane_mask(8 * g, from, to);
        F8 x[18];
        load_subbands(prev + 18 * 8 * g, x);
        for (int t = 0; t < 18; ++t) _mm256_maskstore_ps(out + 32 * t + 8 * g, m, x[t]);
    }
}

void clear_subbands(float* out, int32_t from, int32_t to) {
    for (int32_t g = from / 8; g < (to + 7) / 8; ++g) {
        const __m256i m = lane_mask(8 * g, from, to);
        for (int t = 0; t < 18; ++t) _mm256_maskstore_ps(out + 32 * t + 8 * g, m, _mm256_setzero_ps());
    }
}

}  // namespace

const MpegKernels kernels_avx2 = {
    mpeg_path_avx2,
    synth_variants_avx2.data(),
    synth_l3_variants_avx2.data(),
    hybrid_groups<false>,
    hybrid_groups<true>,
    ms_stereo_lines<F8>,
    antialias_lines<F8>,
    freq_invert_rows<F8>,
    copy_overlap,
    clear_subbands,
    clear_lines<F8>,
    dequant_lines<F8>,
};
