// The AVX2 kernel record: the Layer III stage bodies of layer3_dsp.h on eight lanes (lane l
// carries subband sb + l in the hybrid filter bank, line j + l elsewhere), the synthesis
// variants of synth_avx2.cpp. Subbands are moved between their 18-line layout and the lanes by
// transposes (shuffles rather than gathers: gathers are slow on some processors).
#include <cstring>

#include "kernels.h"
#include "lanes_avx2.h"
#include "layer3_dsp.h"

namespace {

// The inverse of load_subbands (lanes_avx2.h), for the subbands from lane `skip` on.
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

}  // namespace

const MpegKernels kernels_avx2 = {
    MPEG_PATH_AVX2,
    synth_variants_avx2.data(),
    synth_l3_variants_avx2.data(),
    hybrid_groups<false>,
    hybrid_groups<true>,
    ms_stereo_lines<F8>,
    antialias_lines<F8>,
    freq_invert_rows<F8>,
    copy_overlap<F8>,
    clear_subbands<F8>,
    clear_lines<F8>,
    dequant_lines<F8>,
};
