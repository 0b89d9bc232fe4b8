// The NEON kernel record, for aarch64 processors (all of them have NEON): the Layer III stage
// bodies of layer3_dsp.h on four lanes (lane l carries subband sb + l in the hybrid filter bank,
// line j + l elsewhere), the synthesis variants of synth_neon.cpp.
#include "kernels.h"
#include "lanes_neon.h"
#include "layer3_dsp.h"

const MpegKernels kernels_neon = vector_kernels<F4>(
    MPEG_PATH_NEON, synth_variants_neon.data(), synth_l3_variants_neon.data());
