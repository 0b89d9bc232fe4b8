// The SSE2 kernel record, for x86 processors without AVX2: the Layer III stage bodies of
// layer3_dsp.h on four lanes (lane l carries subband sb + l in the hybrid filter bank, line
// j + l elsewhere), the synthesis variants of synth_sse2.cpp.
#include "kernels.h"
#include "lanes_sse2.h"
#include "layer3_dsp.h"

const MpegKernels kernels_sse2 = {
    MPEG_PATH_SSE2,
    synth_variants_sse2.data(),
    synth_l3_variants_sse2.data(),
    hybrid_groups<false, F4>,
    hybrid_groups<true, F4>,
    ms_stereo_lines<F4>,
    antialias_lines<F4>,
    freq_invert_rows<F4>,
    copy_overlap<F4>,
    clear_subbands<F4>,
    clear_lines<F4>,
    dequant_lines<F4>,
};
