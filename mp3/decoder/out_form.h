// The PCM sample forms of the synthesis output: how a window sum (a double in the 16-bit range)
// becomes one stored sample. One form per variant of the synthesis tables, chosen at set-up from
// the convert word; each form is a compile-time value, so no per-sample path branches on it.
//
// The integer forms scale the sum to their width (x 1 for 16 bits, x 256 for 24, x 65536 for
// 32), saturate (a NaN high), then truncate toward zero or round to nearest (ties to even, the
// processor's default rounding, which the vector path's conversions use too). 8-bit output is
// the top byte of the truncated 16-bit sample with its sign bit flipped. Float is the sum / 32768
// (full scale +-1.0), not clipped; a NaN sum gives 0. Samples are stored in the machine's byte
// order; the 24-bit form packs the low three bytes of the integer.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// The table order: the first two keep the index the 16-bit and 8-bit forms always had.
enum class OutForm : int32_t { s16, u8, s16r, s24, s24r, s32, s32r, f32 };
constexpr int32_t kOutForms = 8;

template <OutForm O>
constexpr int32_t out_bytes = O == OutForm::u8 ? 1
                              : O == OutForm::s16 || O == OutForm::s16r ? 2
                              : O == OutForm::s24 || O == OutForm::s24r ? 3
                                                                          : 4;
template <OutForm O>
constexpr bool out_rounds = O == OutForm::s16r || O == OutForm::s24r || O == OutForm::s32r;

// Scale of the sum and the saturation bounds of an integer form.
template <OutForm O>
constexpr double out_scale = out_bytes<O> == 3 ? 256.0 : out_bytes<O> == 4 ? 65536.0 : 1.0;
template <OutForm O>
constexpr double out_hi = out_bytes<O> == 3 ? 8388607.0 : out_bytes<O> == 4 ? 2147483647.0 : 32767.0;
template <OutForm O>
constexpr double out_lo = out_bytes<O> == 3 ? -8388608.0 : out_bytes<O> == 4 ? -2147483648.0 : -32768.0;
constexpr double kFloatScale = 1.0 / 32768.0;

// One window sum to the integer the store takes: the saturated integer sample (the truncated
// 16-bit one for 8-bit output), or the bits of the float sample. A NaN saturates high.
template <OutForm O>
inline int32_t out_pcm(double y) {
    if constexpr (O == OutForm::f32) {
        // A NaN (never met from a stream's samples) gives silence: its sign and payload would
        // depend on the order of the operations that made it.
        const float f = float((y == y ? y : 0.0) * kFloatScale);
        int32_t v;
        std::memcpy(&v, &f, 4);
        return v;
    } else {
        if constexpr (out_scale<O> != 1.0) y *= out_scale<O>;
        const double hi = y < out_hi<O> ? y : out_hi<O>;
        const double c = hi > out_lo<O> ? hi : out_lo<O>;
        if constexpr (out_rounds<O>) return int32_t(std::nearbyint(c));
        return int32_t(c);
    }
}

// Stores one sample from out_pcm at dst.
template <OutForm O>
inline void out_store(uint8_t* dst, int32_t v) {
    if constexpr (O == OutForm::u8) {
        dst[0] = uint8_t((v >> 8) ^ 0x80);
    } else if constexpr (out_bytes<O> == 2) {
        const int16_t s = int16_t(v);
        std::memcpy(dst, &s, 2);
    } else if constexpr (out_bytes<O> == 3) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        std::memcpy(dst, b + 1, 3);
#else
        std::memcpy(dst, b, 3);
#endif
    } else {
        std::memcpy(dst, &v, 4);
    }
}

}  // namespace
