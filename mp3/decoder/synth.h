// Polyphase synthesis internals shared with the tests and benchmarks: the 264-entry window and
// the fast cosine transforms on their own.
//
// The transforms compute X[m] = sum over k of x[k] cos(m (2k+1) pi / (2N)), m = 0..N-1, for
// N = 32, 16, 8 (at N = 16 the last input is taken as zero), with the butterfly coefficients
// `coef` of a reset decoder (SynthState::dct_coef).
#pragma once

#include <cstdint>

// W, synth_window[264]: rows j = 0..15 of 16 values (W[16j + 2t] = -D[j + 64t],
// W[16j + 2t + 1] = -D[j + 32 + 64t]) then W[256 + t] = D[48 + 64t]; D the window of
// ISO/IEC 11172-3 Table 3-B.3.
#include "tables/synth_window.h"

// Conversion of a window sum to PCM: truncation toward zero after saturation to the 16-bit
// range (a NaN saturates high, so no input is undefined); 8-bit output keeps the top byte with
// its sign bit flipped (128 = zero).
static inline int32_t synth_pcm16(double y) {
    const double hi = y < 32767.0 ? y : 32767.0;
    const double c = hi > -32768.0 ? hi : -32768.0;
    return int32_t(c);
}
static inline uint8_t synth_pcm8(int32_t v) { return uint8_t((v >> 8) ^ 0x80); }

// The contiguous transform of `n` points (32, 16 or 8; other values write nothing), no equaliser.
void synth_transform(int32_t n, const float* x, float* dst, const float* coef);
