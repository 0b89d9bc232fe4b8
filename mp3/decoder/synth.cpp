// Polyphase synthesis on the plain path: subband samples (floats in the 16-bit range) to PCM.
//
// The synthesis filter bank of ISO/IEC 11172-3 clause A.2 (Figure A.2): matrixing by a fast
// cosine transform (synth_dsp.h, 80 multiplications per 32-point slot) into a history of sixteen
// N-value blocks, then windowing with the 264-entry table W. At half and quarter rate only the
// lowest 16 or 8 subbands pass through 16- or 8-point transforms and the window is D decimated
// by 2 or 4. Output: signed 16-bit (machine order) or unsigned 8-bit (128 = zero), mono or
// interleaved left-first. The 42 routines are instances of one row loop; synth_avx2.cpp holds
// the same routines with the transforms batched over register lanes.
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "decoder_internal.h"
#include "kernels.h"
#include "synth.h"
#include "synth_dsp.h"

namespace {

// The N-point transform of one row in form G into the history block `dst`. Only the contiguous
// 32-point transform consults the equaliser (one test per slot, not per sample).
template <int N, Gather G>
inline void transform_row(const MpegDecoder* d, const float* row, float* dst) {
    const float* gain = nullptr;
    if constexpr (N == 32 && G == Gather::contiguous)
        if (d->eq_settings->enabled) gain = d->eq_settings->band_gain;
    float x[N];
    dct_gather<N, G>(row, gain, x);
    dct_transform<N>(x, dst, d->syn.dct_coef);
}

// W widened once: every product takes its window factor as a double, and a float widens exactly.
const std::array<double, 264> window_wide = [] {
    std::array<double, 264> w{};
    for (size_t i = 0; i < w.size(); ++i) w[i] = double(synth_window[i]);
    return w;
}();

template <bool Eight>
inline void store(uint8_t* out, double y) {
    const int32_t v = synth_pcm16(y);
    if constexpr (Eight) {
        *out = synth_pcm8(v);
    } else {
        const int16_t s = int16_t(v);
        std::memcpy(out, &s, 2);
    }
}

// Window of one channel: N samples from the history V whose newest block is at p, written at
// `out` every Step samples. Uses the antisymmetry of D to read W forwards for the first half and
// backwards for the second. Term t of every sum reads blocks 2t and 2t + 1 counted from the
// newest, so the ring wraps once per block (sixteen pointers per slot) instead of once per
// product. Each sum runs over t = 0..7 in double, first product first: the result does not
// depend on how the loops over samples are scheduled.
template <int N, bool Eight, int Step>
inline void window(const float* V, int32_t p, uint8_t* out) {
    constexpr int32_t mask = 16 * N - 1, h = N / 2, s = 32 / N;
    constexpr int bytes = Eight ? 1 : 2;
    const double* W = window_wide.data();
    const float* blk[16];
    for (int32_t k = 0; k < 16; ++k) blk[k] = V + ((p + k * N) & mask);

    for (int32_t j = 0; j < h; ++j) {
        const double* w = W + 16 * s * j;
        double y = 0.0;
        for (int32_t t = 0; t < 8; ++t) {
            y += double(blk[2 * t][h + j]) * (w[2 * t]);
            y -= double(blk[2 * t + 1][h - j]) * (w[2 * t + 1]);
        }
        store<Eight>(out + j * Step * bytes, y);
    }
    {
        double y = 0.0;
        for (int32_t t = 0; t < 8; ++t) y += double(blk[2 * t + 1][0]) * W[256 + t];
        store<Eight>(out + h * Step * bytes, y);
    }
    for (int32_t m = 0; m < h - 1; ++m) {
        const double* w = W + 255 - 16 * (s - 1) - 16 * s * m;
        double y = 0.0;
        for (int32_t t = 0; t < 8; ++t) {
            y += double(blk[2 * t][N - 1 - m]) * (w[-2 * t]);
            y += double(blk[2 * t + 1][1 + m]) * (w[-2 * t - 1]);
        }
        store<Eight>(out + (h + 1 + m) * Step * bytes, y);
    }
}


// One Layer I/II row in channel form F at position p: the transform(s) into the history, then the
// window(s). Returns the bytes written.
template <int N, bool Eight, Form F>
inline int32_t synth_row(MpegDecoder* d, const float* row, int32_t p, uint8_t* out) {
    constexpr int32_t bytes = Eight ? 1 : 2;
    float* h0 = d->syn.synth_buf[0];
    if constexpr (F == Form::stereo) {
        float* h1 = d->syn.synth_buf[1];
        transform_row<N, Gather::pick>(d, row, h0 + p);
        transform_row<N, Gather::pick>(d, row + 1, h1 + p);
        window<N, Eight, 2>(h0, p, out);
        window<N, Eight, 2>(h1, p, out + bytes);
        return 2 * N * bytes;
    } else {
        if constexpr (F == Form::mono) transform_row<N, Gather::contiguous>(d, row, h0 + p);
        else if constexpr (F == Form::mix) transform_row<N, Gather::mix>(d, row, h0 + p);
        else if constexpr (F == Form::left) transform_row<N, Gather::pick>(d, row, h0 + p);
        else transform_row<N, Gather::pick>(d, row + 1, h0 + p);
        window<N, Eight, 1>(h0, p, out);
        return N * bytes;
    }
}

// Layer I/II variant contract: `count` rows of 64 floats; each writes N sample frames (N = 32 >>
// reduction) of the form's channels at `out` and steps synth_pos[0] down by N; count <= 0 writes
// nothing.
template <int N, bool Eight, Form F>
struct L12Rows {
    static void fn(MpegDecoder* d, const float* rows, uint8_t* out, int32_t count) {
        constexpr int32_t mask = 16 * N - 1;
        int32_t p = d->syn.synth_pos[0] & (16 * N - N);
        for (int32_t r = 0; r < count; ++r, rows += 64) {
            out += synth_row<N, Eight, F>(d, rows, p, out);
            p = (p - N) & mask;
        }
        d->syn.synth_pos[0] = p;
    }
};

// Layer III variant contract: 18 rows of 32 floats of one channel. Mono writes N samples per row;
// stereo writes channel `ch` (0 or non-zero) at every second sample, starting ch samples in, and
// touches only that channel's history and position.
template <int N, bool Eight, bool Stereo>
struct L3Rows {
    static void fn(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch) {
        constexpr int32_t mask = 16 * N - 1, bytes = Eight ? 1 : 2, step = Stereo ? 2 : 1;
        const int32_t c = Stereo && ch != 0 ? 1 : 0;
        float* V = d->syn.synth_buf[c];
        int32_t p = d->syn.synth_pos[c] & (16 * N - N);
        out += c * bytes;
        for (int32_t r = 0; r < 18; ++r, rows += 32) {
            transform_row<N, Gather::contiguous>(d, rows, V + p);
            window<N, Eight, step>(V, p, out);
            out += N * step * bytes;
            p = (p - N) & mask;
        }
        d->syn.synth_pos[c] = p;
    }
};


}  // namespace

const std::array<MpegSynthFn, 30> synth_variants =
    synth_table_l12<L12Rows>(std::make_index_sequence<30>());
const std::array<MpegSynthFn, 12> synth_l3_variants =
    synth_table_l3<L3Rows>(std::make_index_sequence<12>());
static_assert(std::tuple_size<decltype(synth_variants)>::value == 3 * 2 * 5, "rates x widths x forms");
static_assert(std::tuple_size<decltype(synth_l3_variants)>::value == 3 * 2 * 2, "rates x widths x channels");

void synth_reset(MpegDecoder* d) {
    SynthState& s = d->syn;
    if (s.dct_coef_pending) {
        // Butterfly coefficients 0.5 / cos((2k+1) pi / (4n)) for n = 16, 8, 4, 2, 1.
        const double pi = 4.0 * std::atan(1.0);
        int32_t i = 0;
        for (int32_t n = 16; n >= 1; n /= 2)
            for (int32_t k = 0; k < n; ++k)
                s.dct_coef[i++] = float(0.5 / std::cos(pi * (2 * k + 1) / (4.0 * n)));
        s.dct_coef_pending = 0;
    }
    std::memset(s.synth_buf, 0, sizeof(s.synth_buf));
    s.synth_pos[0] = 0;
    s.synth_pos[1] = 0;
}

void synth_transform(int32_t n, const float* x, float* dst, const float* coef) {
    if (n == 32) dct_transform<32>(x, dst, coef);
    else if (n == 16) dct_transform<16>(x, dst, coef);
    else if (n == 8) dct_transform<8>(x, dst, coef);
}
