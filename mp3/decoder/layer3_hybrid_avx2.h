// The long-block hybrid filter bank eight subbands at a time (layer3_hybrid_avx2.cpp), for the
// plain form of the Layer III hybrid filter bank when the decoder runs its AVX2 path.
#pragma once

#include <cstdint>

#include "layer3_hybrid.h"

// Subbands sb, sb + 1, ... of a long block (one window `w` for all) in groups of eight while a
// whole group lies below `end`: IMDCT, window and overlap-add exactly as the plain loop does
// (out rows of 32 floats, prev and the new overlap in cur at 18 lines per subband). Returns the
// first subband not done; the caller finishes the rest. Only to be called while
// synth_active_path() is synth_path_avx2 (the processor has AVX2).
int32_t l3_hybrid_long_avx2(const L3ImdctCos& c, float* cur, const float* prev, float* out,
                            const float* w, int32_t sb, int32_t end);
