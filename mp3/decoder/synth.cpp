// Polyphase synthesis on the plain path: subband samples (floats in the 16-bit range) to PCM.
//
// The synthesis filter bank of ISO/IEC 11172-3 clause A.2 (Figure A.2): matrixing by a fast
// cosine transform (synth_dsp.h, 80 multiplications per 32-point slot) into a history of sixteen
// N-value blocks, then windowing with the 264-entry table W (synth_rows.h). At half and quarter
// rate only the lowest 16 or 8 subbands pass through 16- or 8-point transforms and the window is
// D decimated by 2 or 4. Output: signed 16-bit (machine order) or unsigned 8-bit (128 = zero),
// mono or interleaved left-first. The 42 routines are instances of the row loops of
// synth_rows.h; this file gives them the plain path's part: one row per transform and one
// sample per window sum. synth_sse2.cpp, synth_neon.cpp and synth_avx2.cpp instantiate the same
// loops on four, four and eight lanes.
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "decoder_internal.h"
#include "kernels.h"
#include "synth.h"
#include "synth_dsp.h"
#include "synth_rows.h"
#include "tables/libm_values.h"

namespace {

template <>
struct SynthPath<float> {
    using Sum = double;
    using Pcm = int32_t;
    using Keep = int32_t; // the byte offset of the channel written
    static constexpr int kSums = 1;
    // One sample and its mirror per pass: two sums stay in registers.
    static constexpr int kPassGroups = 1;

    static double zero() { return 0.0; }
    static double load(const float* p) { return double(*p); }
    static double factor(const double* f) { return *f; }
    // The product is exact, so this is the fused multiply-add's result.
    static double madd(double a, double f, double y) { return y + a * f; }
    static double madd1(double a, double f, double y) { return y + a * f; }
    template <OutForm O>
    static int32_t pcm(double y) { return out_pcm<O>(y); }
    template <OutForm O>
    static int32_t pcm_splat(double y) { return out_pcm<O>(y); }
    static int32_t reverse(int32_t v) { return v; }
    static int32_t shift_in(int32_t, int32_t prev) { return prev; }
    template <OutForm O>
    static int32_t keep(int32_t ch) { return ch * out_bytes<O>; }
    template <OutForm O, int Step, bool Over>
    static void store(uint8_t* dst, int32_t offset, int32_t v) { out_store<O>(dst + offset, v); }
    template <int N>
    static void put_block(const float* block, float* at, float* again) {
        if (block != at) std::memcpy(at, block, N * sizeof(float));
        std::memcpy(again, block, N * sizeof(float));
    }
    template <int N>
    static void put_rev(const float* block, float* rev, float* again) {
        for (int32_t m = 0; m < N / 2; ++m) rev[m] = again[m] = block[N / 2 - m];
    }

    // One row (n is 1) in channel form F into t0, the stereo form's right channel into t1. Only
    // the contiguous 32-point transform consults the equaliser (`gain`, null otherwise).
    template <int N, Form F>
    static void transform(const float* row, int32_t, int32_t, const float* gain,
                          const float* coef, float* t0, float* t1) {
        float x[N];
        if constexpr (F == Form::stereo) {
            dct_gather<N, Gather::pick>(row, nullptr, x);
            dct_transform<N>(x, t0, coef);
            dct_gather<N, Gather::pick>(row + 1, nullptr, x);
            dct_transform<N>(x, t1, coef);
        } else if constexpr (F == Form::mono) {
            dct_gather<N, Gather::contiguous>(row, gain, x);
            dct_transform<N>(x, t0, coef);
        } else {
            constexpr Gather G = F == Form::mix ? Gather::mix : Gather::pick;
            dct_gather<N, G>(row + (F == Form::right ? 1 : 0), nullptr, x);
            dct_transform<N>(x, t0, coef);
        }
    }
};

}  // namespace

const std::array<MpegSynthFn, kSynthVariants> synth_variants =
    synth_table_l12<float>(std::make_index_sequence<kSynthVariants>());
const std::array<MpegSynthFn, kSynthL3Variants> synth_l3_variants =
    synth_table_l3<float>(std::make_index_sequence<kSynthL3Variants>());
static_assert(kSynthVariants == 3 * kOutForms * 5, "rates x output forms x channel forms");
static_assert(kSynthL3Variants == 3 * kOutForms * 2, "rates x output forms x channels");

void synth_reset(MpegDecoder* d) {
    SynthState& s = d->syn;
    if (s.dct_coef_pending) {
        // Butterfly coefficients 0.5 / cos((2k+1) pi / (4n)) for n = 16, 8, 4, 2, 1.
        // (The cosines from libm_values.h, in that order.)
        for (int32_t i = 0; i < 31; ++i) s.dct_coef[i] = float(0.5 / libm::kDctCos[i]);
        s.dct_coef_pending = 0;
    }
    std::memset(s.synth_buf, 0, sizeof(s.synth_buf));
    std::memset(s.synth_rev, 0, sizeof(s.synth_rev));
    s.synth_pos[0] = 0;
    s.synth_pos[1] = 0;
}

void synth_transform(int32_t n, const float* x, float* dst, const float* coef) {
    if (n == 32) dct_transform<32>(x, dst, coef);
    else if (n == 16) dct_transform<16>(x, dst, coef);
    else if (n == 8) dct_transform<8>(x, dst, coef);
}
