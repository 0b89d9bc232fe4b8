// What the SSE2 and AVX2 synthesis share of their PCM stores: both write the samples through
// 128-bit integer registers. Internal linkage, as the synthesis bodies.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "out_form.h"

namespace {

// For the 8- and 16-bit forms, the byte mask of the other channel's samples in a run of pairs:
// odd samples when writing channel 0, even ones for 1. For the wider forms, the byte offset of
// the channel written, in lane 0.
template <OutForm O>
inline __m128i keep_other(int32_t ch) {
    if constexpr (out_bytes<O> > 2) {
        return _mm_cvtsi32_si128(ch * out_bytes<O>);
    } else {
        const __m128i odd = O == OutForm::u8 ? _mm_set1_epi16(int16_t(0xFF00))
                                             : _mm_set1_epi32(int32_t(0xFFFF0000));
        return ch ? _mm_xor_si128(odd, _mm_set1_epi32(-1)) : odd;
    }
}

}  // namespace
