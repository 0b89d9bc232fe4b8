// The AVX2 kernel records: the Layer III stage bodies of layer3_dsp.h on eight lanes (lane l
// carries subband sb + l in the hybrid filter bank, line j + l elsewhere), the synthesis
// variants of synth_avx2.cpp (the AVX-512 record takes its tables with the pair window).
// Subbands are moved between their 18-line layout and the lanes by transposes (shuffles rather
// than gathers: gathers are slow on some processors).
#include "kernels.h"
#include "lanes_avx2.h"
#include "layer3_dsp.h"

const MpegKernels kernels_avx2 = vector_kernels<F8>(
    MPEG_PATH_AVX2, synth_variants_avx2.data(), synth_l3_variants_avx2.data());
// The same with the stereo window on 512-bit registers, for processors with AVX-512F and VL.
const MpegKernels kernels_avx512 = vector_kernels<F8>(
    MPEG_PATH_AVX512, synth_variants_avx512.data(), synth_l3_variants_avx512.data());
