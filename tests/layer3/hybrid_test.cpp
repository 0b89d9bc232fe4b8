// Layer III second half: the IMDCTs against the direct formulas, the hybrid filter bank against
// a textbook windowed IMDCT with overlap-add, alias reduction ranges, MS/intensity rules, the
// output variants' channel routing and the set-up's stream constants.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decoder_util.h"
#include "test_util.h"
#include "layer3_hybrid.h"

namespace {

const double kPi = 4.0 * std::atan(1.0);

MpegHeader l3_header(int id, int sync, int sf, int mode) {
    MpegHeader h{};
    h.sync = sync;
    h.id = id;
    h.layer = 1;
    h.protection_bit = 1;
    h.bitrate_index = 9;
    h.sampling_frequency = sf;
    h.mode = mode;
    return h;
}

struct DecoderHolder : ziv::TestDecoder {
    explicit DecoderHolder(const MpegHeader& h, int convert = 0, int reduction = 0,
                           int freq = 24000) {
        EXPECT_EQ(1, setup(h, 417, reduction, convert, freq));
    }
};

// Textbook IMDCT of one subband (ISO/IEC 11172-3 2.4.3.4.10), the unfolded windows and
// overlap-add: the reference the fast filter bank must reproduce.
double std_window(int bt, int i) {
    auto lng = [](int k) { return std::sin(kPi / 36 * (k + 0.5)); };
    auto sht = [](int k) { return std::sin(kPi / 12 * (k + 0.5)); };
    switch (bt) {
        case 1: return i < 18 ? lng(i) : i < 24 ? 1.0 : i < 30 ? sht(i - 18) : 0.0;
        case 3: return i < 6 ? 0.0 : i < 12 ? sht(i - 6) : i < 18 ? 1.0 : lng(i);
        default: return lng(i);
    }
}

// Windowed output z[36] of one subband's 18 lines for block type bt (short when bt == 2).
void std_subband(const float* lines, int bt, double* z) {
    std::fill(z, z + 36, 0.0);
    if (bt != 2) {
        for (int i = 0; i < 36; ++i) {
            double s = 0;
            for (int k = 0; k < 18; ++k) s += lines[k] * std::cos(kPi / 72 * (2 * i + 19) * (2 * k + 1));
            z[i] = s * std_window(bt, i);
        }
        return;
    }
    for (int w = 0; w < 3; ++w)
        for (int i = 0; i < 12; ++i) {
            double s = 0;
            for (int k = 0; k < 6; ++k) s += lines[3 * k + w] * std::cos(kPi / 24 * (2 * i + 7) * (2 * k + 1));
            z[6 + 6 * w + i] += s * std::sin(kPi / 12 * (i + 0.5));
        }
}

std::vector<float> random_lines(std::mt19937& rng, int n, float scale) {
    std::uniform_real_distribution<float> u(-scale, scale);
    std::vector<float> v(n);
    for (auto& x : v) x = u(rng);
    return v;
}

TEST(L3Imdct, MatchDirectFormulas) {
    std::mt19937 rng(ziv::test_seed());
    double worst36 = 0, worst12 = 0;
    for (int trial = 0; trial < 500; ++trial) {
        std::vector<float> x = random_lines(rng, 18, 1000.0f);
        double sum_abs = 0;
        for (float f : x) sum_abs += std::fabs(f);
        float v[18];
        std::copy(x.begin(), x.end(), v);
        l3_imdct36(v);
        for (int j = 0; j < 9; ++j) {
            double xj = 0, x27 = 0;
            for (int k = 0; k < 18; ++k) {
                xj += x[k] * std::cos(kPi / 72 * (2 * j + 19) * (2 * k + 1));
                x27 += x[k] * std::cos(kPi / 72 * (2 * (27 + j) + 19) * (2 * k + 1));
            }
            worst36 = std::max(worst36, std::fabs(v[9 + j] - xj) / sum_abs);
            worst36 = std::max(worst36, std::fabs(v[j] + x27) / sum_abs);
        }
        std::copy(x.begin(), x.end(), v);
        l3_imdct12(v);
        for (int w = 0; w < 3; ++w)
            for (int i = 0; i < 3; ++i) {
                double yi = 0, y9 = 0;
                for (int k = 0; k < 6; ++k) {
                    yi += x[3 * k + w] * std::cos(kPi / 24 * (2 * i + 7) * (2 * k + 1));
                    y9 += x[3 * k + w] * std::cos(kPi / 24 * (2 * (9 + i) + 7) * (2 * k + 1));
                }
                worst12 = std::max(worst12, std::fabs(v[6 * w + 3 + i] - yi) / sum_abs);
                worst12 = std::max(worst12, std::fabs(v[6 * w + i] + y9) / sum_abs);
            }
    }
    // Single-precision evaluation: errors stay near float rounding of the input magnitude.
    EXPECT_LT(worst36, 2e-6) << "36-point IMDCT error relative to sum |X|";
    EXPECT_LT(worst12, 2e-6) << "12-point IMDCT error relative to sum |X|";
}

// Runs granules of mixed block types through l3_hybrid with the decoder's slot ping-pong and
// compares every output with the textbook filter bank. The output carries the synthesis'
// polarity (negated) and no frequency inversion.
TEST(L3Hybrid, MatchesTextbookFilterBankAcrossBlockTypes) {
    DecoderHolder d(l3_header(1, 1, 0, 3));
    std::mt19937 rng(ziv::test_seed(7));
    struct Granule { int bt; bool mixed; };
    const Granule seq[] = {{0, false}, {1, false}, {2, false}, {2, true}, {3, false},
                           {0, false}, {2, false}, {3, false}, {0, false}};
    std::vector<double> overlap(576, 0.0);
    int32_t prev_extent = 0;
    float* slots[2] = {d->samples.xr[0][0], d->samples.xr[0][1]};
    for (size_t n = 0; n < sizeof seq / sizeof seq[0]; ++n) {
        const int g = int(n & 1);
        std::vector<float> spec = random_lines(rng, 576, 100.0f);
        std::copy(spec.begin(), spec.end(), slots[g]);
        const int bt = seq[n].bt;
        const int32_t long_lines = bt != 2 ? 576 : seq[n].mixed ? 36 : 0;
        float out[18][32];
        int32_t ext = l3_hybrid(d.get(), slots[g], slots[g ^ 1], &out[0][0], bt, long_lines, 576,
                                prev_extent);
        EXPECT_EQ(576, ext);
        prev_extent = ext;
        double worst = 0;
        for (int sb = 0; sb < 32; ++sb) {
            double z[36];
            const bool is_long = bt != 2 || (seq[n].mixed && sb < 2);
            std_subband(&spec[18 * sb], is_long ? (bt == 2 ? 0 : bt) : 2, z);
            for (int t = 0; t < 18; ++t) {
                double want = -(z[t] + overlap[18 * sb + t]);
                worst = std::max(worst, std::fabs(out[t][sb] - want));
                overlap[18 * sb + t] = z[18 + t];
            }
        }
        EXPECT_LT(worst, 0.02) << "granule " << n << " block type " << bt
                               << (seq[n].mixed ? " mixed" : "");
    }
}

TEST(L3Hybrid, EmptyGranuleOutputsOverlapThenZerosUpToLimit) {
    DecoderHolder d(l3_header(1, 1, 0, 3), 0, 0, 8000);  // limit_subbands below 32
    const int32_t limit = d->l3.limit_subbands;
    ASSERT_LT(limit, 32);
    float* cur = d->samples.xr[0][0];
    float* prev = d->samples.xr[0][1];
    std::fill(cur, cur + 576, 0.0f);
    for (int i = 0; i < 576; ++i) prev[i] = float(i + 1);
    float out[18][32];
    for (auto& row : out) std::fill(row, row + 32, 7.0f);
    EXPECT_EQ(54, l3_hybrid(d.get(), cur, prev, &out[0][0], 0, 0, 0, 50));
    for (int t = 0; t < 18; ++t)
        for (int sb = 0; sb < 32; ++sb) {
            float want = sb < 3 ? float(18 * sb + t + 1) : sb < limit ? 0.0f : 7.0f;
            ASSERT_EQ(want, out[t][sb]) << "slot " << t << " subband " << sb;
        }
}

TEST(L3Hybrid, AddFormAccumulatesOutputAndOverlap) {
    DecoderHolder d(l3_header(1, 1, 0, 3));
    std::mt19937 rng(3);
    std::vector<float> a = random_lines(rng, 576, 50.0f), b = random_lines(rng, 576, 50.0f);
    // Reference: plain transform of b over a zero overlap.
    std::vector<float> zeros(576, 0.0f), bref = b;
    float ref[18][32];
    l3_hybrid(d.get(), bref.data(), zeros.data(), &ref[0][0], 3, 576, 576, 0);
    float out[18][32];
    for (int t = 0; t < 18; ++t)
        for (int sb = 0; sb < 32; ++sb) out[t][sb] = a[18 * sb + t];
    std::vector<float> store = a;
    EXPECT_EQ(576, l3_hybrid_add(d.get(), b.data(), store.data(), &out[0][0], 3, 576, 576));
    for (int t = 0; t < 18; ++t)
        for (int sb = 0; sb < 32; ++sb)
            ASSERT_FLOAT_EQ(a[18 * sb + t] + ref[t][sb], out[t][sb]) << t << "," << sb;
    for (int i = 0; i < 576; ++i) ASSERT_FLOAT_EQ(a[i] + bref[i], store[i]) << "overlap " << i;
}

TEST(L3Hybrid, FrequencyInversionNegatesOddSubbandsInOddSlots) {
    DecoderHolder d(l3_header(1, 1, 0, 3));
    float out[18][32];
    for (int t = 0; t < 18; ++t)
        for (int sb = 0; sb < 32; ++sb) out[t][sb] = 1.0f;
    l3_freq_invert(d.get(), &out[0][0], 90);  // 5 subbands: inverts 1, 3 and 5
    for (int t = 0; t < 18; ++t)
        for (int sb = 0; sb < 32; ++sb) {
            bool neg = (t & 1) && (sb & 1) && sb <= 5;
            ASSERT_EQ(neg ? -1.0f : 1.0f, out[t][sb]) << t << "," << sb;
        }
}

// l3_granule_finish with a capturing output variant.
struct Captured {
    std::vector<float> xr0;
    int32_t extent0 = 0;
};
Captured g_captured;
void capture_output(MpegDecoder* d, uint8_t*, int32_t g) {
    g_captured.xr0.assign(d->samples.xr[0][g], d->samples.xr[0][g] + 576);
    g_captured.extent0 = d->l3.line_extent[g][0];
}

std::vector<float> antialiased(const MpegDecoder* d, std::vector<float> x, int boundaries) {
    const double c[8] = {-0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037};
    (void)d;
    for (int i = 0; i < boundaries; ++i)
        for (int j = 0; j < 8; ++j) {
            double cs = 1 / std::sqrt(1 + c[j] * c[j]), ca = c[j] / std::sqrt(1 + c[j] * c[j]);
            double a = x[18 * i + 17 - j], b = x[18 * i + 18 + j];
            x[18 * i + 17 - j] = float(a * cs - b * ca);
            x[18 * i + 18 + j] = float(b * cs + a * ca);
        }
    return x;
}

TEST(L3Antialias, RangesByBlockKind) {
    DecoderHolder d(l3_header(1, 1, 0, 3));
    d->l3.l3_output = capture_output;
    d->l3.nch = 1;
    std::mt19937 rng(11);
    struct Case { int bt, mixed, long_bands, extent, boundaries, extent_after; };
    const Case cases[] = {
        {2, 0, 0, 300, 0, 300},    // pure short: untouched
        {2, 1, 8, 300, 1, 300},    // mixed: only between subbands 0 and 1
        {0, 0, 22, 100, 5, 100},   // (100 + 7) / 18 = 5 boundaries, 5 * 18 + 8 = 98 < 100
        {0, 0, 22, 92, 5, 98},     // extent raised to 18h + 8
        {0, 0, 22, 551, 31, 566},  // every boundary
        {3, 1, 22, 200, 11, 206},  // a stop block flagged mixed is reduced as a long block
    };
    for (const Case& c : cases) {
        std::vector<float> x = random_lines(rng, 576, 10.0f);
        std::copy(x.begin(), x.end(), d->samples.xr[0][0]);
        d->l3.gr[0][0].block_type = c.bt;
        d->l3.gr[0][0].mixed_block_flag = c.mixed;
        d->l3.summary[0][0].long_bands = c.long_bands;
        d->l3.line_extent[0][0] = c.extent;
        l3_granule_finish(d.get(), nullptr, 0);
        std::vector<float> want = antialiased(d.get(), x, c.boundaries);
        for (int i = 0; i < 576; ++i)
            ASSERT_NEAR(want[i], g_captured.xr0[i], 1e-4)
                << "bt " << c.bt << " mixed " << c.mixed << " line " << i;
        EXPECT_EQ(c.extent_after, g_captured.extent0) << "bt " << c.bt << " extent " << c.extent;
    }
}

TEST(L3Stereo, MsRangeFollowsExtentOrIntensityStart) {
    DecoderHolder d(l3_header(1, 1, 0, 1));
    d->l3.l3_output = capture_output;
    d->l3.nch = 2;
    d->l3.mode_extension = 2;
    d->l3.ms_stereo = 1;
    d->l3.i_stereo = 0;
    for (int ch = 0; ch < 2; ++ch) {
        d->l3.summary[0][ch].long_bands = 0;  // keep alias reduction out of the picture
        d->l3.gr[0][ch].block_type = 2;
    }
    float* l = d->samples.xr[0][0];
    float* r = d->samples.xr[1][0];
    for (int i = 0; i < 576; ++i) { l[i] = 3.0f; r[i] = 1.0f; }
    d->l3.line_extent[0][0] = 40;
    d->l3.line_extent[0][1] = 60;
    l3_granule_finish(d.get(), nullptr, 0);
    EXPECT_EQ(4.0f, l[59]);
    EXPECT_EQ(2.0f, r[59]);
    EXPECT_EQ(3.0f, l[60]) << "MS alone stops at the larger extent";
    EXPECT_EQ(60, d->l3.line_extent[0][0]) << "extents equalised";

    // With intensity stereo: up to the end of channel 1's last nonzero band (long_end[3] = 16).
    for (int i = 0; i < 576; ++i) { l[i] = 3.0f; r[i] = 1.0f; }
    d->l3.i_stereo = 1;
    d->l3.mode_extension = 3;
    d->l3.summary[0][1] = DequantSummary{0, 3, 12, 22, {0, 0, 0}};
    d->l3.summary[0][0].long_bands = 0;
    d->l3.line_extent[0][0] = 16;  // no intensity lines to scale
    std::memset(d->l3.scalefac[0][1], 0, sizeof d->l3.scalefac[0][1]);
    l3_granule_finish(d.get(), nullptr, 0);
    EXPECT_EQ(4.0f, l[15]);
    EXPECT_EQ(3.0f, l[16]);
}

TEST(L3Stereo, Mpeg1IntensityPositionsSevenAndAboveAreNotCoded) {
    DecoderHolder d(l3_header(1, 1, 0, 1));
    float* l = d->samples.xr[0][0];
    float* r = d->samples.xr[1][0];
    DequantSummary sum[2] = {{0, 20, 12, 22, {0, 0, 0}}, {0, 5, 12, 22, {0, 0, 0}}};
    int32_t sf[62] = {};
    const int start = d->l3.long_end[5];  // band 6 onwards is intensity coded
    for (int ms = 0; ms < 2; ++ms) {
        for (int pos : {0, 3, 6, 7, 8, 11, 15}) {
            for (int i = 0; i < 576; ++i) { l[i] = 2.0f; r[i] = 0.0f; }
            for (int b = 0; b < 21; ++b) sf[b] = pos;
            l3_intensity_stereo(d.get(), l, sf, sum, 576, ms);
            double t = std::tan(std::min(pos, 7) * kPi / 12);
            double kl = pos >= 7 ? 1.0 : t / (1 + t), kr = pos >= 7 ? (ms ? 1.0 : 0.0) : 1 / (1 + t);
            if (ms && pos < 7) { kl *= std::sqrt(2.0); kr *= std::sqrt(2.0); }
            EXPECT_EQ(2.0f, l[start - 1]) << "below the intensity start";
            EXPECT_NEAR(2.0 * kl, l[start], 1e-6) << "pos " << pos << " ms " << ms;
            EXPECT_NEAR(2.0 * kr, r[start], 1e-6) << "pos " << pos << " ms " << ms;
            EXPECT_NEAR(2.0 * kl, l[d->l3.long_end[20] - 1], 1e-6) << "band 20";
            EXPECT_EQ(2.0f, l[d->l3.long_end[20]]) << "band 21 stays unchanged";
        }
    }
    // The left extent bounds the lines scaled.
    for (int i = 0; i < 576; ++i) { l[i] = 2.0f; r[i] = 0.0f; }
    for (int b = 0; b < 21; ++b) sf[b] = 0;
    l3_intensity_stereo(d.get(), l, sf, sum, start + 3, 0);
    EXPECT_EQ(0.0f, l[start + 2]);
    EXPECT_EQ(2.0f, l[start + 3]);
}

TEST(L3Stereo, LsfShortBlocksWorkWindowByWindow) {
    DecoderHolder d(l3_header(0, 1, 0, 1));
    float* l = d->samples.xr[0][0];
    float* r = d->samples.xr[1][0];
    for (int i = 0; i < 576; ++i) { l[i] = 2.0f; r[i] = 0.0f; }
    // Channel 1 ends at bands 2, 4, 9 per window; channel 0 at 5, 4, 12.
    DequantSummary sum[2] = {{1, 12, 0, 0, {5, 4, 12}}, {1, 9, 0, 0, {2, 4, 9}}};
    LsfIsInfo info{{4, 4, 4}, {1, 1, 1}, 0};  // bands 0..11 offset 1, band 12 offset 0
    int32_t sf[62] = {};                      // position 0 + offset 1 = entry 1: {1, 1}
    sf[23 + 13 * 0 + 3] = 1;                  // entry 2, the largest of slen 1: not coded
    l3_intensity_stereo_lsf(d.get(), l, sf, sum, &info, 576, 0);
    auto at = [&](int band, int w) { return d->l3.long_end[22 + band - 1] + w; };
    struct Expect { int band, w; float right; const char* why; };
    const Expect ex[] = {
        {2, 0, 0.0f, "window 0 below channel 1's end"},
        {3, 0, 0.0f, "window 0 band 3: largest position, not coded"},
        {4, 0, 2.0f, "window 0 band 4 coded"},
        {5, 0, 2.0f, "window 0 band 5 (channel 0's last) coded"},
        {6, 0, 0.0f, "window 0 beyond channel 0's last band"},
        {4, 1, 0.0f, "window 1: channel 1 reaches channel 0's last band"},
        {9, 2, 0.0f, "window 2 below channel 1's end"},
        {10, 2, 2.0f, "window 2 band 10 coded"},
        {12, 2, 0.0f, "window 2 band 12: offset 0, position 0 is not coded"},
    };
    for (const Expect& e : ex) {
        EXPECT_EQ(e.right, r[at(e.band, e.w)]) << e.why;
        EXPECT_EQ(e.right, r[at(e.band, e.w) + 3]) << e.why << " (second line)";
        EXPECT_EQ(2.0f, l[at(e.band, e.w)]) << e.why;
    }
}

TEST(L3Setup, RatioTablesAndStreamConstants) {
    DecoderHolder d(l3_header(1, 1, 0, 0));
    EXPECT_EQ(1.0f, d->l3.is_ratio[7][0]);
    EXPECT_EQ(0.0f, d->l3.is_ratio[7][1]);
    EXPECT_EQ(1.0f, d->l3.is_ratio[15][1]);
    EXPECT_NEAR(0.5, d->l3.is_ratio[3][0], 1e-7);  // tan(pi/4) = 1: an even split
    const float(*t)[2] = d->l3.is_ratio_lsf[0][0];
    const double base = std::pow(2.0, -0.25);
    EXPECT_EQ(1.0f, t[0][0]);
    EXPECT_EQ(0.0f, t[0][1]);  // slen 0: every position is "not coded"
    EXPECT_EQ(1.0f, t[3][1]);
    EXPECT_NEAR(base, t[4][0], 1e-7);
    EXPECT_NEAR(base, t[5][1], 1e-7);
    EXPECT_NEAR(std::pow(2.0, -0.5) * std::sqrt(2.0), d->l3.is_ratio_lsf[1][1][4][0], 1e-6);
    EXPECT_EQ(1.0f, d->l3.is_ratio_lsf[1][1][6][1]);  // last of group 2 with MS: {1, 1}
    // Full rate decodes every line and subband; half rate the 15 the synthesis hears.
    EXPECT_EQ(576, d->l3.huff_limit);
    EXPECT_EQ(32, d->l3.limit_subbands);
    DecoderHolder half(l3_header(0, 1, 0, 3), 0, 1);
    EXPECT_EQ(270, half->l3.huff_limit);
    EXPECT_EQ(522, half->l3.long_end[20]);
}

TEST(L3Setup, OutputFormats) {
    struct Case { int id, sync, sf, mode, convert, reduction; MpegOutputFormat want; int gain; };
    const Case cases[] = {
        {1, 1, 0, 0, 0, 0, {2, 2304, 44100, 16, 417, 0}, 0},
        {1, 1, 0, 1, 9, 0, {1, 1152, 44100, 8, 417, 0}, -4},
        {1, 1, 1, 3, 1, 0, {1, 1152, 48000, 16, 417, 0}, 0},  // mono source ignores the mix
        {0, 1, 0, 2, 3, 2, {1, 144, 5512, 16, 417, 0}, 0},
        {0, 2, 2, 3, 8, 1, {1, 288, 4000, 8, 417, 0}, 0},    // MPEG-2.5 8 kHz
        {1, 1, 2, 0, 0, 7, {2, 576, 8000, 16, 417, 0}, 0},   // reduction clamped to 2
    };
    for (const Case& c : cases) {
        DecoderHolder d(l3_header(c.id, c.sync, c.sf, c.mode), c.convert, c.reduction);
        MpegOutputFormat f;
        mpeg_decoder_get_format(d.get(), &f);
        EXPECT_EQ(0, std::memcmp(&f, &c.want, sizeof f))
            << "id " << c.id << " sf " << c.sf << " mode " << c.mode << " convert " << c.convert
            << ": got " << f.channels << "/" << f.out_samples << "/" << f.sample_rate << "/"
            << f.bits;
        EXPECT_EQ(c.gain, d->l3.gain_offset);
        EXPECT_EQ(d->l3.out_bytes, f.out_samples * f.bits / 8);
        EXPECT_EQ(c.convert & 8 ? 0x80 : 0, d->l3.silence_byte);
    }
    std::unique_ptr<MpegDecoder> d(new MpegDecoder());
    mpeg_decoder_init(d.get(), 1);
    const MpegSetup params = mpeg_setup_params(417, 0, 0, 24000);
    MpegHeader bad = l3_header(1, 1, 3, 0);
    EXPECT_EQ(0, l3_setup(d.get(), &bad, &params)) << "reserved sampling index";
    bad = l3_header(1, 1, 0, 0);
    bad.layer = 2;
    EXPECT_EQ(0, l3_setup(d.get(), &bad, &params)) << "not Layer III";
    mpeg_decoder_free(d.get());
}

// Output variants: which channels reach the synthesis, with a recording synthesis.
struct SynthCall {
    int32_t ch;
    std::vector<float> rows;
};
std::vector<SynthCall> g_synth_calls;
void record_synth(MpegDecoder*, const float* rows, uint8_t*, int32_t ch) {
    g_synth_calls.push_back({ch, std::vector<float>(rows, rows + 576)});
}

void fill_granule(MpegDecoder* d, int g, int ch, float scale, int extent) {
    std::mt19937 rng(100 + ch);
    std::vector<float> x = random_lines(rng, extent, scale);
    float* dst = d->samples.xr[ch][g];
    std::fill(dst, dst + 576, 0.0f);
    std::copy(x.begin(), x.end(), dst);
    d->l3.line_extent[g][ch] = extent;
    d->l3.gr[g][ch].block_type = 0;
    d->l3.gr[g][ch].mixed_block_flag = 0;
}

TEST(L3Output, SingleChannelFrameInTwoChannelStream) {
    // Stereo output: the one channel is synthesised once and plays on both sides, sample for
    // sample; channel 1's own overlap is left for its return.
    DecoderHolder st(l3_header(1, 1, 0, 0));
    st->l3.synth_l3 = record_synth;
    st->l3.nch = 1;
    fill_granule(st.get(), 0, 0, 100.0f, 200);
    st->l3.line_extent[0][1] = 36;
    std::vector<int16_t> pcm(size_t(2 * st->l3.granule_frames), -5);
    for (size_t i = 0; i < pcm.size(); i += 2) pcm[i] = int16_t(i);  // what channel 0 wrote
    g_synth_calls.clear();
    l3_output_stereo(st.get(), reinterpret_cast<uint8_t*>(pcm.data()), 0);
    ASSERT_EQ(1u, g_synth_calls.size());
    EXPECT_EQ(0, g_synth_calls[0].ch);
    for (size_t i = 0; i < pcm.size(); i += 2) ASSERT_EQ(int16_t(i), pcm[i + 1]) << "sample " << i;
    EXPECT_EQ(36, st->l3.line_extent[0][1]) << "channel 1's state untouched";

    // Mix: the one channel at full level (twice the half-gain spectrum), not half of it.
    DecoderHolder mix(l3_header(1, 1, 0, 0), 1);
    DecoderHolder left(l3_header(1, 1, 0, 0), 2);
    for (MpegDecoder* d : {mix.get(), left.get()}) {
        d->l3.synth_l3 = record_synth;
        d->l3.nch = 1;
        fill_granule(d, 0, 0, 100.0f, 200);
    }
    g_synth_calls.clear();
    l3_output_mix(mix.get(), nullptr, 0);
    l3_output_left(left.get(), nullptr, 0);
    ASSERT_EQ(2u, g_synth_calls.size());
    for (int i = 0; i < 576; ++i)
        ASSERT_EQ(2.0f * g_synth_calls[1].rows[i], g_synth_calls[0].rows[i]) << "cell " << i;

    // Right only: a single-channel frame has no channel 1; its channel 0 is heard.
    DecoderHolder right(l3_header(1, 1, 0, 0), 3);
    DecoderHolder left2(l3_header(1, 1, 0, 0), 2);
    for (MpegDecoder* d : {right.get(), left2.get()}) {
        d->l3.synth_l3 = record_synth;
        d->l3.nch = 1;
        fill_granule(d, 0, 0, 100.0f, 200);
        std::fill(d->samples.xr[1][0], d->samples.xr[1][0] + 576, 0.0f);
    }
    g_synth_calls.clear();
    l3_output_right(right.get(), nullptr, 0);
    l3_output_left(left2.get(), nullptr, 0);
    ASSERT_EQ(2u, g_synth_calls.size());
    EXPECT_EQ(g_synth_calls[1].rows, g_synth_calls[0].rows);
}

TEST(L3Output, MixOfDifferentBlockTypesCoversTheWiderChannel) {
    // Channel 1 (long block) reaches further than channel 0 (short): its subbands are inverted
    // and its overlap is carried to the next granule.
    DecoderHolder d(l3_header(1, 1, 0, 0), 1);
    d->l3.synth_l3 = record_synth;
    d->l3.nch = 2;
    fill_granule(d.get(), 0, 0, 100.0f, 36);
    fill_granule(d.get(), 0, 1, 100.0f, 360);
    d->l3.gr[0][0].block_type = 2;
    g_synth_calls.clear();
    l3_output_mix(d.get(), nullptr, 0);
    EXPECT_EQ(360, d->l3.line_extent[0][0]);
    // Compare with channel 1 alone through the plain path, inverted the same way.
    DecoderHolder ref(l3_header(1, 1, 0, 0), 2);
    ref->l3.synth_l3 = record_synth;
    ref->l3.nch = 2;
    fill_granule(ref.get(), 0, 0, 100.0f, 360);
    std::mt19937 rng(101);
    std::vector<float> c1 = random_lines(rng, 360, 100.0f);
    std::copy(c1.begin(), c1.end(), ref->samples.xr[0][0]);
    l3_output_left(ref.get(), nullptr, 0);
    ASSERT_EQ(2u, g_synth_calls.size());
    // Above channel 0's two subbands only channel 1 contributes.
    for (int t = 0; t < 18; ++t)
        for (int sb = 2; sb < 20; ++sb)
            ASSERT_NEAR(g_synth_calls[1].rows[t * 32 + sb], g_synth_calls[0].rows[t * 32 + sb],
                        1e-3) << "slot " << t << " subband " << sb;
}

// Start and stop blocks flagged mixed take the normal window in subbands 0-1 and their own
// window above, in the one-channel output and in the mix of two channels (whose second channel
// goes through the adding form): every output slot against the textbook filter bank with the
// overlap carried across granules, the synthesis' polarity and the frequency inversion.
TEST(L3Output, MixedStartAndStopBlocksUseTheNormalWindowBelowSubbandTwo) {
    struct Granule { int bt; int mixed; };
    const Granule seq[] = {{1, 1}, {2, 0}, {3, 1}, {0, 0}, {3, 1}, {1, 1}, {1, 0}, {2, 0}};
    for (int channels : {1, 2}) {
        SCOPED_TRACE(channels == 1 ? "one channel" : "mix of two");
        DecoderHolder d(l3_header(1, 1, 0, channels == 1 ? 3 : 0), channels == 1 ? 0 : 1);
        d->l3.synth_l3 = record_synth;
        d->l3.nch = channels;
        std::mt19937 rng(ziv::test_seed(11));
        std::vector<double> overlap(576, 0.0);
        for (size_t n = 0; n < sizeof seq / sizeof seq[0]; ++n) {
            const int g = int(n & 1), bt = seq[n].bt;
            std::vector<double> sum(36 * 32, 0.0);
            for (int ch = 0; ch < channels; ++ch) {
                const std::vector<float> spec = random_lines(rng, 576, 100.0f);
                std::copy(spec.begin(), spec.end(), d->samples.xr[ch][g]);
                d->l3.line_extent[g][ch] = 576;
                d->l3.gr[g][ch].block_type = bt;
                d->l3.gr[g][ch].mixed_block_flag = seq[n].mixed;
                for (int sb = 0; sb < 32; ++sb) {
                    const bool normal = seq[n].mixed && sb < 2;
                    double z[36];
                    std_subband(&spec[size_t(18 * sb)], normal ? 0 : bt, z);
                    for (int i = 0; i < 36; ++i) sum[size_t(36 * sb + i)] += z[i];
                }
            }
            g_synth_calls.clear();
            if (channels == 1) l3_output_left(d.get(), nullptr, g);
            else l3_output_mix(d.get(), nullptr, g);
            ASSERT_EQ(1u, g_synth_calls.size());
            double worst = 0;
            for (int sb = 0; sb < 32; ++sb)
                for (int t = 0; t < 18; ++t) {
                    const double inv = (t & 1) && (sb & 1) ? -1.0 : 1.0;
                    const double want = -inv * (sum[size_t(36 * sb + t)] + overlap[size_t(18 * sb + t)]);
                    worst = std::max(worst, std::fabs(g_synth_calls[0].rows[size_t(32 * t + sb)] - want));
                    overlap[size_t(18 * sb + t)] = sum[size_t(36 * sb + 18 + t)];
                }
            EXPECT_LT(worst, 0.05) << "granule " << n << " block type " << bt
                                   << (seq[n].mixed ? " mixed" : "");
        }
    }
}

}  // namespace
