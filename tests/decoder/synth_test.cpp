// Polyphase synthesis: every entry of both variant tables against a slow textbook filter bank
// (matrixing with the 64 x 32 cosines and the 512-tap window D read from the standard's figures,
// within 1 LSB) and, to the byte, against a plain transcription of the factored arithmetic,
// the fast transforms against the direct cosine sum, the window table against D, and the
// properties the layers rely on: gain and sign, conversion to PCM, channel placement, positions,
// output sizes and a decoder copied by value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "decoder_internal.h"
#include "decoder_util.h"
#include "kernels.h"
#include "synth.h"
#include "test_util.h"

namespace {

// The window D[0..511] of ISO/IEC 11172-3 Table 3-B.3 from the shared figures.
const std::vector<double>& window_d() {
    static std::vector<double> d = [] {
        std::vector<double> v;
        std::ifstream f(ziv::shared_dir() + "/tables/synthesis_window.txt");
        std::string line;
        while (std::getline(f, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream s(line);
            double x;
            while (s >> x) v.push_back(x);
        }
        return v;
    }();
    return d;
}

int32_t to_pcm16(double y) {
    if (!(y < 32767.0)) return 32767;
    if (y <= -32768.0) return -32768;
    return int32_t(std::trunc(y));
}
int32_t to_pcm8(int32_t v) { return ((v >> 8) ^ 0x80) & 0xFF; }

// The textbook synthesis of one channel for n = 32, 16 or 8 bands: shift the 32n-value history V
// by 2n, matrix V[i] = sum_k cos((n/2 + i)(2k + 1) pi / (2n)) S[k], build U from alternate
// halves of sixteen 2n-value slots, window with D decimated by 32/n and sum sixteen terms.
// The factored bank windows with W = -D, so its output is this one negated (the layer decoders
// fold the sign into their scaling); the reference returns the negated sum.
struct RefBank {
    int n;
    std::vector<double> v;
    explicit RefBank(int bands) : n(bands), v(size_t(32 * bands), 0.0) {}

    void slot(const double* s, double* out) {
        const double pi = 4.0 * std::atan(1.0);
        const std::vector<double>& d = window_d();
        std::memmove(v.data() + 2 * n, v.data(), sizeof(double) * size_t(30 * n));
        for (int i = 0; i < 2 * n; ++i) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k)
                sum += std::cos((n / 2 + i) * (2 * k + 1) * pi / (2 * n)) * s[k];
            v[size_t(i)] = sum;
        }
        std::vector<double> u(size_t(16 * n));
        for (int i = 0; i < 8; ++i)
            for (int j = 0; j < n; ++j) {
                u[size_t(2 * n * i + j)] = v[size_t(4 * n * i + j)];
                u[size_t(2 * n * i + n + j)] = v[size_t(4 * n * i + 3 * n + j)];
            }
        const int dec = 32 / n;
        for (int j = 0; j < n; ++j) {
            double y = 0.0;
            for (int i = 0; i < 16; ++i) y += u[size_t(j + n * i)] * d[size_t((j + n * i) * dec)];
            out[j] = -y;
        }
    }
};

// Subband inputs of one reference channel from a row, as the channel form gathers them. The
// 16-band bank never sees subband 15.
enum Pick { kMono, kLeft, kRight, kMix };
void gather(const float* row, int n, Pick how, double* s) {
    for (int k = 0; k < n; ++k) {
        float x = 0.0f;
        switch (how) {
        case kMono: x = row[k]; break;
        case kLeft: x = row[2 * k]; break;
        case kRight: x = row[2 * k + 1]; break;
        case kMix: x = (row[2 * k] + row[2 * k + 1]) * 0.5f; break;
        }
        s[k] = (n == 16 && k == 15) ? 0.0 : double(x);
    }
}
void gather_float(const float* row, int n, Pick how, float* x) {
    double s[32];
    gather(row, n, how, s);
    for (int k = 0; k < n; ++k) x[k] = float(s[k]);  // exact: each came from a float
}

// The factored bank exactly as its rules state it, written plainly with runtime sizes and a mask
// per product: float stages in the transform, double sums over t = 0..7 first product first.
// The fast variants must agree with it to the byte, however they are scheduled.
struct ExactBank {
    int n;
    const float* coef;
    std::vector<float> v;
    int p = 0;
    ExactBank(int bands, const float* c) : n(bands), coef(c), v(size_t(16 * bands), 0.0f) {}

    static void butterfly(int count, int size, const float* src, float* dst, const float* c) {
        for (int o = 0; o < count * size; o += size)
            for (int i = 0; i < size / 2; ++i) {
                dst[o + i] = src[o + i] + src[o + size - 1 - i];
                dst[o + size / 2 + i] = (src[o + i] - src[o + size - 1 - i]) * c[i];
            }
    }
    static void recombine(int count, int size, const float* src, float* dst) {
        for (int o = 0; o < count * size; o += size) {
            for (int j = 0; j < size / 2; ++j) dst[o + 2 * j] = src[o + j];
            for (int j = 0; j < size / 2 - 1; ++j)
                dst[o + 2 * j + 1] = src[o + size / 2 + j] + src[o + size / 2 + j + 1];
            dst[o + size - 1] = src[o + size - 1];
        }
    }
    // x: the n gathered inputs as floats; out: the n converted 16-bit values.
    void slot(const float* x, int32_t* out) {
        float a[32], b[32];
        const int h = n / 2, mask = 16 * n - 1, s = 32 / n;
        const float* g = coef + 32 - n;
        for (int i = 0; i < h; ++i) {
            const float hi = (n == 16 && i == 0) ? 0.0f : x[n - 1 - i];
            a[i] = x[i] + hi;
            a[h + i] = (x[i] - hi) * g[i];
        }
        float *src = a, *dst = b;
        for (int size = h; size >= 2; size /= 2, std::swap(src, dst))
            butterfly(n / size, size, src, dst, coef + 32 - size);
        for (int size = 4; size <= n; size *= 2, std::swap(src, dst))
            recombine(n / size, size, src, size == n ? &v[size_t(p)] : dst);
        const float* W = synth_window;
        for (int j = 0; j < h; ++j) {
            double y = 0.0;
            for (int t = 0; t < 8; ++t) {
                y += double(v[size_t((p + h + j + 2 * n * t) & mask)]) * W[16 * s * j + 2 * t];
                y -= double(v[size_t((p + n + h - j + 2 * n * t) & mask)]) * W[16 * s * j + 2 * t + 1];
            }
            out[j] = to_pcm16(y);
        }
        double y = 0.0;
        for (int t = 0; t < 8; ++t) y += double(v[size_t((p + n + 2 * n * t) & mask)]) * W[256 + t];
        out[h] = to_pcm16(y);
        for (int m = 0; m < h - 1; ++m) {
            const int q = 255 - 16 * (s - 1) - 16 * s * m;
            y = 0.0;
            for (int t = 0; t < 8; ++t) {
                y += double(v[size_t((p + n - 1 - m + 2 * n * t) & mask)]) * W[q - 2 * t];
                y += double(v[size_t((p + n + 1 + m + 2 * n * t) & mask)]) * W[q - 2 * t - 1];
            }
            out[h + 1 + m] = to_pcm16(y);
        }
        p = (p - n) & mask;
    }
};

struct Decoder : ziv::TestDecoder {
    Decoder() {
        EXPECT_EQ(init_ok, 1);
        synth_reset(get());
    }
};

int32_t sample_at(const std::vector<uint8_t>& out, size_t i, bool eight) {
    if (eight) return out[i];
    int16_t s;
    std::memcpy(&s, &out[2 * i], 2);
    return s;
}

std::vector<float> random_rows(std::mt19937& rng, size_t count, float amp) {
    std::uniform_real_distribution<float> dist(-amp, amp);
    std::vector<float> r(count);
    for (float& x : r) x = dist(rng);
    return r;
}

constexpr uint8_t kGuard = 0xA5;
constexpr int kGuardBytes = 64;

// Runs a Layer I/II variant over `calls` frames of `rows` rows, checks every sample against the
// reference and that nothing is written past the expected size.
void check_l12_variant(const MpegKernels* k, int index, std::mt19937& rng) {
    const bool eight = index / 15 != 0;
    const int red = (index / 5) % 3, code = index % 5;
    const int n = 32 >> red, bytes = eight ? 1 : 2;
    const int channels = code == 1 ? 2 : 1;
    const Pick picks[5][2] = {{kMono, kMono}, {kLeft, kRight}, {kMix, kMix}, {kLeft, kLeft},
                              {kRight, kRight}};
    Decoder dec;
    std::vector<RefBank> ref(size_t(channels), RefBank{n});
    std::vector<ExactBank> exact(size_t(channels), ExactBank{n, dec->syn.dct_coef});
    const int rows_per_call = 12, calls = 3;
    int worst = 0;
    for (int c = 0; c < calls; ++c) {
        std::vector<float> rows = random_rows(rng, size_t(64 * rows_per_call), 3000.0f);
        const size_t expect = size_t(rows_per_call * n * channels * bytes);
        std::vector<uint8_t> out(expect + kGuardBytes, kGuard);
        k->synth[index](dec.get(), rows.data(), out.data(), rows_per_call);
        for (size_t i = expect; i < out.size(); ++i)
            ASSERT_EQ(out[i], kGuard) << "variant " << index << " wrote past " << expect << " bytes";
        for (int r = 0; r < rows_per_call; ++r)
            for (int ch = 0; ch < channels; ++ch) {
                double s[32], y[32];
                float x[32];
                int32_t e[32];
                gather(&rows[size_t(64 * r)], n, picks[code][ch], s);
                ref[size_t(ch)].slot(s, y);
                gather_float(&rows[size_t(64 * r)], n, picks[code][ch], x);
                exact[size_t(ch)].slot(x, e);
                for (int j = 0; j < n; ++j) {
                    int32_t want = to_pcm16(y[j]);
                    if (eight) want = to_pcm8(want);
                    const size_t at = size_t((r * n + j) * channels + ch);
                    const int32_t got = sample_at(out, at, eight);
                    ASSERT_EQ(got, eight ? to_pcm8(e[j]) : e[j])
                        << "variant " << index << " call " << c << " row " << r << " channel "
                        << ch << " sample " << j << " differs from the exact rules";
                    worst = std::max(worst, std::abs(got - want));
                    ASSERT_LE(std::abs(got - want), 1) << "variant " << index << " call " << c
                                                       << " row " << r << " channel " << ch
                                                       << " sample " << j;
                }
            }
    }
    std::printf("path %d variant %2d: worst difference %d\n", k->path, index, worst);
}

void check_l3_variant(const MpegKernels* k, int index, std::mt19937& rng) {
    const bool eight = index / 6 != 0;
    const int red = (index / 2) % 3, channels = index % 2 + 1;
    const int n = 32 >> red, bytes = eight ? 1 : 2;
    Decoder dec;
    std::vector<RefBank> ref(size_t(channels), RefBank{n});
    std::vector<ExactBank> exact(size_t(channels), ExactBank{n, dec->syn.dct_coef});
    for (int granule = 0; granule < 3; ++granule) {
        const size_t expect = size_t(18 * n * channels * bytes);
        std::vector<uint8_t> out(expect + kGuardBytes, kGuard);
        std::vector<std::vector<float>> rows;
        for (int ch = 0; ch < channels; ++ch) rows.push_back(random_rows(rng, 18 * 32, 3000.0f));
        if (channels == 2 && granule == 1) {
            // Both channels in one call, from their rows back to back.
            std::vector<float> both = rows[0];
            both.insert(both.end(), rows[1].begin(), rows[1].end());
            k->synth_l3[index](dec.get(), both.data(), out.data(), 2);
        } else {
            for (int ch = 0; ch < channels; ++ch)
                k->synth_l3[index](dec.get(), rows[size_t(ch)].data(), out.data(), ch);
        }
        for (size_t i = expect; i < out.size(); ++i)
            ASSERT_EQ(out[i], kGuard) << "variant " << index << " wrote past " << expect << " bytes";
        for (int ch = 0; ch < channels; ++ch)
            for (int r = 0; r < 18; ++r) {
                double s[32], y[32];
                int32_t e[32];
                gather(&rows[size_t(ch)][size_t(32 * r)], n, kMono, s);
                ref[size_t(ch)].slot(s, y);
                exact[size_t(ch)].slot(&rows[size_t(ch)][size_t(32 * r)], e);
                for (int j = 0; j < n; ++j) {
                    int32_t want = to_pcm16(y[j]);
                    if (eight) want = to_pcm8(want);
                    const int32_t got = sample_at(out, size_t((r * n + j) * channels + ch), eight);
                    ASSERT_EQ(got, eight ? to_pcm8(e[j]) : e[j])
                        << "Layer III variant " << index << " granule " << granule << " channel "
                        << ch << " row " << r << " sample " << j << " differs from the exact rules";
                    ASSERT_LE(std::abs(got - want), 1) << "Layer III variant " << index
                                                       << " granule " << granule << " channel "
                                                       << ch << " row " << r << " sample " << j;
                }
            }
    }
}

TEST(SynthWindow, DerivedFromTheStandardWindow) {
    const std::vector<double>& d = window_d();
    ASSERT_EQ(d.size(), 512u) << "synthesis_window.txt";
    for (int i = 1; i < 512; ++i)
        if (i % 64) {
            ASSERT_EQ(d[size_t(i)], -d[size_t(512 - i)]) << "D antisymmetry at " << i;
        }
    // Entries stored as documented rather than derived: W[4] (D[128]), W[12] (D[384]) and
    // W[257] (D[112]).
    const double documented[3] = {-0.031082151, -0.031082151, -0.023910521};
    const int doc_at[3] = {4, 12, 257};
    for (int j = 0; j < 16; ++j)
        for (int t = 0; t < 8; ++t) {
            const int i0 = 16 * j + 2 * t;
            if (i0 != 4 && i0 != 12) {
                EXPECT_EQ(synth_window[i0], float(-d[size_t(j + 64 * t)])) << i0;
            }
            EXPECT_EQ(synth_window[i0 + 1], float(-d[size_t(j + 32 + 64 * t)])) << i0 + 1;
        }
    for (int t = 0; t < 8; ++t)
        if (256 + t != 257) {
            EXPECT_EQ(synth_window[256 + t], float(d[size_t(48 + 64 * t)])) << 256 + t;
        }
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(synth_window[doc_at[k]], float(documented[k])) << doc_at[k];
        EXPECT_NEAR(synth_window[doc_at[k]], doc_at[k] == 257 ? d[112] : -d[128], 2.5e-9);
    }
    EXPECT_EQ(synth_window[0], 0.0f);
    EXPECT_EQ(synth_window[8], -1.144989014f);
    EXPECT_EQ(synth_window[259], -0.976852417f);
}

TEST(SynthTransform, CoefficientsAndDirectCosineSum) {
    Decoder dec;
    const float* c = dec->syn.dct_coef;
    EXPECT_EQ(dec->syn.dct_coef_pending, 0);
    const struct { int at; double v; } telling[] = {
        {0, 0.50060302}, {15, 10.1900082}, {16, 0.502419293}, {23, 5.10114861},
        {24, 0.509795606}, {25, 0.601344883}, {26, 0.899976194}, {27, 2.56291556},
        {28, 0.541196108}, {29, 1.30656302}, {30, 0.707106769}};
    for (const auto& t : telling) EXPECT_NEAR(c[t.at], t.v, 1e-6 * t.v) << "dct_coef " << t.at;

    std::mt19937 rng(ziv::test_seed());
    const double pi = 4.0 * std::atan(1.0);
    for (int n : {32, 16, 8})
        for (int trial = 0; trial < 50; ++trial) {
            std::vector<float> x = random_rows(rng, size_t(n), 1000.0f);
            if (n == 16) x[15] = 0.0f;
            float got[32];
            synth_transform(n, x.data(), got, c);
            for (int m = 0; m < n; ++m) {
                double want = 0.0;
                for (int k = 0; k < n; ++k) want += x[size_t(k)] * std::cos(m * (2 * k + 1) * pi / (2 * n));
                ASSERT_NEAR(got[m], want, 0.02) << "N " << n << " output " << m;
            }
        }
}

// The kernel records this build and processor run.
std::vector<const MpegKernels*> every_path() {
    std::vector<const MpegKernels*> r;
    for (int32_t p :
         {MPEG_PATH_PLAIN, MPEG_PATH_SSE2, MPEG_PATH_AVX2, MPEG_PATH_AVX512, MPEG_PATH_NEON})
        if (const MpegKernels* k = mpeg_kernels(p)) r.push_back(k);
    return r;
}

TEST(SynthVariants, EveryLayerOneTwoVariantMatchesTheTextbookBank) {
    for (const MpegKernels* k : every_path()) {
        std::mt19937 rng(ziv::test_seed());
        for (int i = 0; i < 30; ++i) {
            SCOPED_TRACE(::testing::Message() << "path " << k->path << " variant " << i);
            check_l12_variant(k, i, rng);
        }
    }
}

TEST(SynthVariants, EveryLayerThreeVariantMatchesTheTextbookBank) {
    for (const MpegKernels* k : every_path()) {
        std::mt19937 rng(ziv::test_seed() + 1);
        for (int i = 0; i < 12; ++i) {
            SCOPED_TRACE(::testing::Message() << "path " << k->path << " variant " << i);
            check_l3_variant(k, i, rng);
        }
    }
}

TEST(SynthOutput, GainAndSignAtEveryRate) {
    for (int red = 0; red < 3; ++red)
        for (int eight = 0; eight < 2; ++eight) {
            const int n = 32 >> red;
            Decoder dec;
            std::vector<float> rows(64 * 36, 0.0f);
            for (int r = 0; r < 36; ++r) rows[size_t(64 * r)] = 1000.0f;
            std::vector<uint8_t> out(size_t(36 * n * 2));
            synth_variants[size_t(15 * eight + 5 * red)](dec.get(), rows.data(), out.data(), 36);
            for (int s = 15 * n; s < 36 * n; ++s)
                ASSERT_EQ(sample_at(out, size_t(s), eight), eight ? 124 : -1000)
                    << "reduction " << red << " sample " << s;
        }
}

TEST(SynthOutput, ConversionToPcm) {
    const struct { double y; int32_t s16; } cases[] = {
        {40000.5, 32767}, {-40000.5, -32768}, {1.9, 1}, {-1.9, -1}, {0.0, 0},
        {32767.9, 32767}, {-32768.9, -32768}, {1e300, 32767}, {-1e300, -32768}, {NAN, 32767}};
    for (const auto& c : cases) EXPECT_EQ(synth_pcm16(c.y), c.s16) << c.y;
    const struct { int32_t v; int u8; } eight[] = {
        {-32768, 0}, {-256, 127}, {-1, 127}, {0, 128}, {255, 128}, {256, 129}, {32767, 255}};
    for (const auto& c : eight) EXPECT_EQ(synth_pcm8(c.v), c.u8) << c.v;
}

// One subband alone, repeated over 36 rows: is anything heard?
bool heard(int variant, int subband) {
    Decoder dec;
    std::vector<float> rows(64 * 36, 0.0f);
    for (int r = 0; r < 36; ++r) rows[size_t(64 * r + subband)] = (r % 2 ? -1.0f : 1.0f) * 8000.0f;
    std::vector<uint8_t> out(36 * 32 * 2);
    synth_variants[size_t(variant)](dec.get(), rows.data(), out.data(), 36);
    for (size_t i = 0; i < out.size() / 2; ++i)
        if (sample_at(out, i, false) != 0) return true;
    return false;
}

TEST(SynthOutput, ReducedRatesKeepTheLowestSubbands) {
    EXPECT_TRUE(heard(5, 14));   // half rate, subband 14
    EXPECT_FALSE(heard(5, 15));  // half rate, subband 15 never enters
    EXPECT_TRUE(heard(10, 7));   // quarter rate, subband 7
    EXPECT_FALSE(heard(10, 8));
    EXPECT_FALSE(heard(5, 16));
}

TEST(SynthOutput, ChannelPlacement) {
    // Layers I/II stereo: left first. Only the left entries carry a signal.
    {
        Decoder dec;
        std::vector<float> rows(64 * 20, 0.0f);
        for (int r = 0; r < 20; ++r) rows[size_t(64 * r)] = 5000.0f;
        std::vector<uint8_t> out(20 * 32 * 2 * 2);
        synth_variants[1](dec.get(), rows.data(), out.data(), 20);
        bool left = false;
        for (size_t i = 0; i < out.size() / 2; i += 2) {
            left |= sample_at(out, i, false) != 0;
            ASSERT_EQ(sample_at(out, i + 1, false), 0) << "right sample " << i + 1;
        }
        EXPECT_TRUE(left);
    }
    // Layer III stereo: channel 1 writes only the odd positions, channel 0 only the even ones.
    for (int eight = 0; eight < 2; ++eight) {
        Decoder dec;
        const int variant = eight ? 7 : 1, bytes = eight ? 1 : 2;
        std::mt19937 rng(7);
        std::vector<float> rows = random_rows(rng, 18 * 32, 4000.0f);
        std::vector<uint8_t> out(size_t(18 * 32 * 2 * bytes), kGuard);
        synth_l3_variants[size_t(variant)](dec.get(), rows.data(), out.data(), 1);
        int odd_written = 0;
        for (size_t s = 0; s < out.size() / size_t(bytes); ++s)
            for (int b = 0; b < bytes; ++b) {
                const uint8_t v = out[s * size_t(bytes) + size_t(b)];
                if (s % 2 == 0) ASSERT_EQ(v, kGuard) << "even sample " << s << " touched";
                else odd_written += v != kGuard;
            }
        EXPECT_GT(odd_written, int(out.size()) / 4);
        EXPECT_EQ(dec->syn.synth_pos[0], 0);  // channel 0 untouched
        EXPECT_EQ(dec->syn.synth_pos[1], (0 - 18 * 32) & 511);
    }
}

TEST(SynthOutput, PositionsAndRowCounts) {
    Decoder dec;
    std::vector<float> rows(64 * 16, 1.0f);
    std::vector<uint8_t> out(16 * 32 * 4, 0);
    synth_variants[0](dec.get(), rows.data(), out.data(), 1);
    EXPECT_EQ(dec->syn.synth_pos[0], 480);
    synth_variants[0](dec.get(), rows.data(), out.data(), 15);
    EXPECT_EQ(dec->syn.synth_pos[0], 0);
    for (int red = 1; red < 3; ++red) {
        synth_reset(dec.get());
        synth_variants[size_t(5 * red + 1)](dec.get(), rows.data(), out.data(), 1);
        EXPECT_EQ(dec->syn.synth_pos[0], 15 * (32 >> red));
        synth_variants[size_t(5 * red + 1)](dec.get(), rows.data(), out.data(), 15);
        EXPECT_EQ(dec->syn.synth_pos[0], 0);
    }

    // A count of zero or less writes nothing and moves nothing.
    synth_variants[0](dec.get(), rows.data(), out.data(), 3);
    const int32_t pos = dec->syn.synth_pos[0];
    std::vector<uint8_t> guard(64, kGuard);
    for (int count : {0, -1, -1000}) {
        synth_variants[1](dec.get(), rows.data(), guard.data(), count);
        EXPECT_EQ(dec->syn.synth_pos[0], pos);
    }
    for (uint8_t b : guard) ASSERT_EQ(b, kGuard);
}

TEST(SynthOutput, FreshHistoryAndZeroRowsGiveSilence) {
    Decoder dec;
    std::vector<float> rows(64 * 12, 0.0f);
    std::vector<uint8_t> out(12 * 32 * 2, 0x11);
    synth_variants[16](dec.get(), rows.data(), out.data(), 12);  // 8-bit stereo
    for (uint8_t b : out) ASSERT_EQ(b, 128);
}

TEST(SynthOutput, EqualiserOnlyInTheContiguousThirtyTwoPointTransform) {
    std::mt19937 rng(11);
    std::vector<float> rows = random_rows(rng, 64 * 24, 3000.0f);
    auto run = [&](int variant, bool eq_zero) {
        Decoder dec;
        if (eq_zero) {
            dec->eq_settings->enabled = 1;
            for (float& g : dec->eq_settings->band_gain) g = 0.0f;
        }
        std::vector<uint8_t> out(24 * 32 * 4);
        synth_variants[size_t(variant)](dec.get(), rows.data(), out.data(), 24);
        return out;
    };
    const std::vector<uint8_t> silent(24 * 32 * 2, 0);
    std::vector<uint8_t> mono = run(0, true);
    EXPECT_TRUE(std::equal(silent.begin(), silent.end(), mono.begin()));
    for (int variant : {1, 2, 3, 5}) EXPECT_EQ(run(variant, true), run(variant, false)) << variant;
}

TEST(SynthOutput, CopiedDecoderContinuesIdentically) {
    std::mt19937 rng(3);
    Decoder a;
    std::vector<float> first = random_rows(rng, 64 * 36, 3000.0f);
    std::vector<float> next = random_rows(rng, 64 * 36, 3000.0f);
    std::vector<uint8_t> scratch(36 * 32 * 4), out_a(36 * 32 * 4), out_b(36 * 32 * 4);
    synth_variants[1](a.get(), first.data(), scratch.data(), 36);

    MpegDecoder* b = new MpegDecoder;
    std::memcpy(static_cast<void*>(b), a.get(), sizeof(MpegDecoder));
    MpegDecoder c = *a.get();  // by assignment, on the stack
    synth_variants[1](a.get(), next.data(), out_a.data(), 36);
    synth_variants[1](b, next.data(), out_b.data(), 36);
    EXPECT_EQ(out_a, out_b);
    std::vector<uint8_t> out_c(36 * 32 * 4);
    synth_variants[1](&c, next.data(), out_c.data(), 36);
    EXPECT_EQ(out_a, out_c);
    delete b;  // shares a's EqSettings record: not freed twice
}

}  // namespace
