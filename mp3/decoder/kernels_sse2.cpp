// The SSE2 kernel record, for x86 processors without AVX2: the Layer III stage bodies of
// layer3_dsp.h on four lanes (lane l carries subband sb + l in the hybrid filter bank, line
// j + l elsewhere), the synthesis variants of synth_sse2.cpp.
#include "kernels.h"
#include "lanes_sse2.h"
#include "layer3_dsp.h"

const MpegKernels kernels_sse2 = vector_kernels<F4>(
    MPEG_PATH_SSE2, synth_variants_sse2.data(), synth_l3_variants_sse2.data());
