// The plain kernel record: the Layer III stage bodies of layer3_dsp.h run one subband or line at
// a time, the synthesis variants of synth.cpp; the choice of a record by path; and the transform
// cosines of the hybrid filter bank, which both records' bodies read.
#include "kernels.h"

#include <cmath>
#include <cstring>

#include "built_once.h"
#include "layer3_dsp.h"
#include "tables/libm_values.h"

namespace {
void build_imdct_cosines(L3ImdctCos* out) {
    L3ImdctCos& t = *out;
    // The cosines come from libm_values.h (the same on every platform).
    for (int i = 0; i < 18; ++i) t.cos36a[i] = float(2.0 * libm::kCos72[i]);
    for (int i = 0; i < 9; ++i) t.cos36b[i] = float(2.0 * libm::kCos36[i]);
    for (int i = 0; i < 9; ++i)
        for (int j = 0; j < 4; ++j) t.cos36m[i][j] = float(libm::kCos36m[4 * i + j]);
    for (int i = 0; i < 6; ++i) t.cos12a[i] = float(libm::kCos24[i]);
    for (int i = 0; i < 3; ++i) t.cos12b[i] = float(2.0 * libm::kCos12[i]);
    t.cos12s = float(2.0 * libm::kCosPi6[0]);
}
}  // namespace

const L3ImdctCos& l3_imdct_cosines() {
    return BuiltOnce<L3ImdctCos, build_imdct_cosines>::get();
}

const MpegKernels kernels_plain = {
    MPEG_PATH_PLAIN,
    synth_variants.data(),
    synth_l3_variants.data(),
    hybrid_range<false>,
    hybrid_range<true>,
    ms_stereo_lines<float>,
    antialias_lines<float>,
    freq_invert_rows<float>,
    copy_overlap<float>,
    clear_subbands<float>,
    clear_lines<float>,
    dequant_lines<float>,
};

const MpegKernels* mpeg_kernels(int32_t path) {
    if (path == MPEG_PATH_PLAIN) return &kernels_plain;
#if ZIV_HAVE_SSE2
    if (path == MPEG_PATH_SSE2) {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("sse2")) return &kernels_sse2;
    }
#endif
#if ZIV_HAVE_AVX2
    if (path == MPEG_PATH_AVX2) {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return &kernels_avx2;
    }
    if (path == MPEG_PATH_AVX512) {
        __builtin_cpu_init();
        // The processor's and the system's support alike: the compiler's check of the 512-bit
        // features includes the system saving the registers.
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
            __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
            return &kernels_avx512;
    }
#endif
#if ZIV_HAVE_NEON
    // Built only for aarch64, where NEON is part of the base instruction set.
    if (path == MPEG_PATH_NEON) return &kernels_neon;
#endif
    return nullptr;
}
