// The vectorised decoder stages against their plain forms on inputs the encoded files rarely
// reach: every subband extent (not only multiples of eight, so the part groups and the plain
// remainders meet), every block type, overlaps longer than the transform, extreme and
// non-finite subband samples in the synthesis (saturation, NaN). Each case runs the same
// input on the plain path and on every vector path this processor runs (SSE2 or NEON, AVX2:
// groups of four and of eight) and compares the results bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "decoder_internal.h"
#include "decoder_util.h"
#include "kernels.h"
#include "layer3_bits.h"
#include "layer3_hybrid.h"
#include "test_util.h"

namespace {

struct Decoder : ziv::TestDecoder {
    // A 44.1 kHz joint-stereo Layer III stream, 128 kbit/s.
    explicit Decoder(int32_t path, int32_t freq_limit = 24000) {
        const uint8_t hdr[4] = {0xFF, 0xFB, 0x90, 0x64};
        MpegHeader h{};
        const int32_t fb = mpeg_header_parse(hdr, 4, &h);
        EXPECT_GT(fb, 0);
        EXPECT_EQ(1, init_ok);
        mpeg_decoder_request_path(get(), path);
        EXPECT_EQ(1, setup(h, fb, 0, 0, freq_limit));
        EXPECT_EQ(path, mpeg_decoder_path(get()));
    }
};

// The vector paths to compare with the plain one; a test skips where there is none.
#define ZIV_VECTOR_PATHS(paths)                                                              \
    const std::vector<int32_t> paths = ziv::vector_paths();                                  \
    if (paths.empty()) GTEST_SKIP() << "this build runs only the plain path on this processor"

std::vector<float> random_floats(std::mt19937& rng, size_t n, float range) {
    std::uniform_real_distribution<float> dist(-range, range);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

// Bitwise equality of float arrays; reports the first differing index.
::testing::AssertionResult same_bits(const float* a, const float* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t x, y;
        std::memcpy(&x, a + i, 4);
        std::memcpy(&y, b + i, 4);
        if (x != y)
            return ::testing::AssertionFailure()
                   << "index " << i << ": plain " << a[i] << " (0x" << std::hex << x
                   << "), vector " << b[i] << " (0x" << y << ")";
    }
    return ::testing::AssertionSuccess();
}

TEST(StageIdentity, HybridFilterBankEveryExtentAndBlockType) {
    ZIV_VECTOR_PATHS(paths);
    for (int32_t path : paths) {
        std::mt19937 rng(ziv::test_seed());
        for (int32_t limit : {24000, 8000}) {  // limit_subbands 32, then fewer
            Decoder dec[2] = {Decoder(MPEG_PATH_PLAIN, limit), Decoder(path, limit)};
            for (int32_t bt = 0; bt < 4; ++bt) {
                for (int32_t total : {0, 1, 17, 18, 19, 35, 144, 145, 160, 288, 306, 431, 558, 576}) {
                    for (int32_t prev_lines : {0, 90, 576}) {
                        // Long lines: all of them, none (short blocks) or a mixed block's 36.
                        for (int32_t long_lines : {total, 0, total < 36 ? total : 36}) {
                            const std::vector<float> cur0 = random_floats(rng, 576, 30000.0f);
                            const std::vector<float> prev = random_floats(rng, 576, 3000.0f);
                            std::vector<float> cur[2] = {cur0, cur0};
                            std::vector<float> out[2] = {std::vector<float>(576, 7.0f),
                                                         std::vector<float>(576, 7.0f)};
                            int32_t ext[2];
                            for (int p = 0; p < 2; ++p)
                                ext[p] = l3_hybrid(dec[p].get(), cur[p].data(), prev.data(),
                                                   out[p].data(), bt, long_lines, total, prev_lines);
                            SCOPED_TRACE(::testing::Message()
                                         << ziv::path_name(path) << " bt " << bt << " long "
                                         << long_lines << " total "
                                         << total << " prev " << prev_lines << " limit "
                                         << dec[0].get()->l3.limit_subbands);
                            EXPECT_EQ(ext[0], ext[1]);
                            EXPECT_TRUE(same_bits(out[0].data(), out[1].data(), 576)) << "output";
                            EXPECT_TRUE(same_bits(cur[0].data(), cur[1].data(), 576)) << "overlap";
                        }
                    }
                }
            }
        }
    }
}

TEST(StageIdentity, StereoAliasAndInversion) {
    ZIV_VECTOR_PATHS(paths);
    for (int32_t path : paths) {
        SCOPED_TRACE(ziv::path_name(path));
        std::mt19937 rng(ziv::test_seed() + 1);
        const MpegKernels* k[2] = {mpeg_kernels(MPEG_PATH_PLAIN), mpeg_kernels(path)};
        float cc[8][2];
        for (auto& c : cc)
            for (float& x : c) x = random_floats(rng, 1, 1.0f)[0];
        for (int32_t n : {0, 1, 7, 8, 9, 100, 575, 576}) {
            const std::vector<float> src = random_floats(rng, 2304, 1e4f);
            std::vector<float> a = src, b = src;
            k[0]->ms_stereo(a.data(), n);
            k[1]->ms_stereo(b.data(), n);
            EXPECT_TRUE(same_bits(a.data(), b.data(), a.size())) << "ms lines " << n;
        }
        for (int32_t boundaries = 0; boundaries <= 31; ++boundaries) {
            const std::vector<float> src = random_floats(rng, 576, 1e4f);
            std::vector<float> a = src, b = src;
            k[0]->antialias(cc, a.data(), boundaries);
            k[1]->antialias(cc, b.data(), boundaries);
            EXPECT_TRUE(same_bits(a.data(), b.data(), a.size())) << "boundaries " << boundaries;
        }
        for (int32_t top = -1; top <= 31; top += 2) {
            const std::vector<float> src = random_floats(rng, 576, 1e4f);
            std::vector<float> a = src, b = src;
            k[0]->freq_invert(a.data(), top);
            k[1]->freq_invert(b.data(), top);
            EXPECT_TRUE(same_bits(a.data(), b.data(), a.size())) << "inversion top " << top;
        }
        for (int32_t from = 0; from <= 32; from += 3) {
            for (int32_t to = from; to <= 32; to += 5) {
                const std::vector<float> prev = random_floats(rng, 576, 1e4f);
                const std::vector<float> src = random_floats(rng, 576, 1e4f);
                std::vector<float> a = src, b = src;
                k[0]->copy_overlap(a.data(), prev.data(), from, to);
                k[1]->copy_overlap(b.data(), prev.data(), from, to);
                EXPECT_TRUE(same_bits(a.data(), b.data(), a.size())) << "copy " << from << ".." << to;
                k[0]->clear_subbands(a.data(), from, to);
                k[1]->clear_subbands(b.data(), from, to);
                EXPECT_TRUE(same_bits(a.data(), b.data(), a.size())) << "clear " << from << ".." << to;
            }
        }
        // Dequantisation: decoded integers in and out of the table's range, band layouts of every
        // width parity, every number of bands.
        std::uniform_int_distribution<int> value(-40, 40), big(0, 20), width(1, 30);
        const std::vector<float> pow43 = random_floats(rng, 64, 100.0f);
        for (int32_t bands = 0; bands <= 22; ++bands) {
            std::vector<int32_t> widths(22);
            int32_t total = 0;
            for (int32_t i = 0; i < bands; ++i) total += widths[size_t(i)] = std::min(width(rng), 576 - total);
            const std::vector<float> factor = random_floats(rng, 22, 100.0f);
            std::vector<float> a(576);
            for (float& x : a) x = float(big(rng) == 0 ? value(rng) * 200 : big(rng) < 8 ? 0 : value(rng));
            std::vector<float> b = a;
            // The highest nonzero line of the bands, from the input as it was.
            int32_t want_top = -1;
            for (int32_t i = 0; i < total; ++i)
                if (a[size_t(i)] != 0.0f) want_top = i;
            int32_t top[2];
            EXPECT_EQ(k[0]->dequant(a.data(), factor.data(), widths.data(), bands, pow43.data(), &top[0]),
                      k[1]->dequant(b.data(), factor.data(), widths.data(), bands, pow43.data(), &top[1]))
                << "dequant bands " << bands;
            EXPECT_EQ(top[0], top[1]) << "dequant bands " << bands;
            EXPECT_EQ(top[0], want_top) << "dequant bands " << bands;
            EXPECT_TRUE(same_bits(a.data(), b.data(), a.size())) << "dequant bands " << bands;
        }
    }
}

// The Layer III reader's refill takes up to four bytes in one load away from its limit; it must
// leave exactly the state of fetching them one by one (zeros and an overrun count at the limit),
// from every fill level and every distance to the limit.
TEST(StageIdentity, ReaderRefillMatchesByteLoop) {
    std::mt19937 rng(ziv::test_seed() + 3);
    uint8_t data[16];
    for (uint8_t& b : data) b = uint8_t(rng());
    for (int32_t avail = 0; avail <= 8; ++avail) {
        for (int32_t nbits = 0; nbits <= 32; ++nbits) {
            L3BitReader r;
            l3_bits_begin(&r, data + 4, data + 4 + avail);
            r.nbits = nbits;
            r.acc = nbits ? uint32_t(rng()) >> (32 - nbits) : 0u;
            L3BitReader want = r;
            while (want.nbits <= 24) {
                uint32_t b = 0;
                if (want.cur < want.limit) b = *want.cur++;
                else ++want.overrun;
                want.acc = want.acc << 8 | b;
                want.nbits += 8;
            }
            l3_bits_fill(&r);
            EXPECT_EQ(r.acc, want.acc) << "avail " << avail << " nbits " << nbits;
            EXPECT_EQ(r.nbits, want.nbits) << "avail " << avail << " nbits " << nbits;
            EXPECT_EQ(r.cur, want.cur) << "avail " << avail << " nbits " << nbits;
            EXPECT_EQ(r.overrun, want.overrun) << "avail " << avail << " nbits " << nbits;
        }
    }
}

// Rows that drive the window sums far out of range, into infinities and NaNs, and rows of
// exact half-integers near the saturation points; then rows of ordinary values, whose sums
// show any lane or row out of place: every variant of both tables, all paths.
TEST(StageIdentity, SynthesisExtremesAndEveryBatch) {
    ZIV_VECTOR_PATHS(paths);
    for (int32_t path : paths)
    for (bool extreme : {true, false}) {
        SCOPED_TRACE(::testing::Message() << ziv::path_name(path) << (extreme ? " extreme" : " ordinary"));
        std::mt19937 rng(ziv::test_seed() + 2);
        const float inf = std::numeric_limits<float>::infinity();
        const float nan = std::numeric_limits<float>::quiet_NaN();
        std::vector<float> rows(36 * 64);
        std::uniform_int_distribution<int> pick(0, 9);
        std::uniform_real_distribution<float> small(-40000.0f, 40000.0f), ordinary(-2000.0f, 2000.0f);
        for (float& x : rows) {
            if (!extreme) {
                x = ordinary(rng);
                continue;
            }
            switch (pick(rng)) {
                case 0: x = 1e30f; break;
                case 1: x = -1e30f; break;
                case 2: x = pick(rng) < 3 ? inf : -inf; break;
                case 3: x = pick(rng) < 2 ? nan : 0.0f; break;
                case 4: x = 32767.5f; break;
                case 5: x = -32768.5f; break;
                default: x = small(rng); break;
            }
        }
        // Every output form: the 16-bit and 8-bit ones, rounded 16-bit, 24- and 32-bit integers
        // truncated and rounded, and float.
        constexpr size_t kL12 = kSynthVariants, kAll = kSynthVariants + kSynthL3Variants;
        for (size_t v = 0; v < kAll; ++v) {
            std::vector<uint8_t> out[2];
            for (int p = 0; p < 2; ++p) {
                Decoder dec(p ? path : MPEG_PATH_PLAIN);
                synth_reset(dec.get());
                // The histories fill over the calls, each written to its own region. The
                // Layer I/II counts end in every kind of batch: whole ones, part ones of more
                // and of fewer rows than half the lanes (the stereo form packs the latter).
                constexpr size_t kRegion = 36 * 32 * 2 * 4;
                const int32_t counts[4] = {36, 3, 6, 1};
                out[p].assign(4 * kRegion, 0x5A);
                for (int call = 0; call < 4; ++call) {
                    uint8_t* o = out[p].data() + call * kRegion;
                    if (v < kL12) {
                        dec.get()->kernels->synth[v](dec.get(), rows.data() + 64 * call, o, counts[call]);
                    } else {
                        dec.get()->kernels->synth_l3[v - kL12](dec.get(), rows.data() + 32 * call, o, 0);
                        dec.get()->kernels->synth_l3[v - kL12](dec.get(), rows.data() + 600, o, 1);
                        // The two-channel forms also take both channels in one call.
                        if ((v - kL12) % 2 == 1)
                            dec.get()->kernels->synth_l3[v - kL12](dec.get(), rows.data() + 32 * call,
                                                                   o + kRegion / 2, 2);
                    }
                }
            }
            size_t at = 0;
            while (at < out[0].size() && out[0][at] == out[1][at]) ++at;
            EXPECT_EQ(at, out[0].size()) << (v < kL12 ? "synth_variants[" : "synth_l3_variants[")
                                         << (v < kL12 ? v : v - kL12) << "]: first differing byte " << at;
        }
    }
}

}  // namespace
