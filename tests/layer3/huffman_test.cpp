// Huffman decoding and dequantisation of Layer III: the generated tables against the standard's
// figures in ../shared/tables (every code decoded back through l3_huffman_pairs, complete prefix
// codes, count1 tables), the bit reader's bounds, the count1 stopping rules and requantisation
// (power path, extents, short-block reordering, summaries).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "l3a_test_support.h"
#include "tables/huffman_tables.h"
#include "test_util.h"

using namespace l3a;

namespace {

struct Row {
    int x, y;
    std::string bits;
};

struct SharedCodes {
    std::map<int, std::vector<Row>> pairs; // by table number of the text
    std::vector<Row> quad_a, quad_b;       // x holds vwxy
};

// Independent reading of the shared figures.
SharedCodes parse_shared() {
    SharedCodes c;
    std::ifstream f(ziv::shared_dir() + "/tables/huffman_codes.txt");
    EXPECT_TRUE(f.good()) << "missing huffman_codes.txt";
    std::string line;
    std::vector<Row>* cur = nullptr;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string w;
        ls >> w;
        if (w == "table") {
            int t;
            ls >> t;
            cur = &c.pairs[t];
        } else if (w == "quad") {
            ls >> w;
            cur = w == "A" ? &c.quad_a : &c.quad_b;
        } else if (cur) {
            std::istringstream rs(line);
            Row r;
            int len;
            if (cur == &c.quad_a || cur == &c.quad_b) {
                int v, ww, x, y;
                rs >> v >> ww >> x >> y >> len >> r.bits;
                r.x = v << 3 | ww << 2 | x << 1 | y;
                r.y = 0;
            } else {
                rs >> r.x >> r.y >> len >> r.bits;
            }
            EXPECT_EQ(size_t(len), r.bits.size()) << line;
            cur->push_back(r);
        }
    }
    return c;
}

int source_table(int t) { return t >= 24 ? 24 : t >= 16 ? 16 : t; }

TEST(HuffmanTables, DescriptorsMatchTheStandard) {
    const int lin[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         1, 2, 3, 4, 6, 8, 10, 13, 4, 5, 6, 7, 8, 9, 11, 13};
    for (int t = 0; t < 32; ++t) {
        int kind = (t == 0 || t == 4 || t == 14) ? 0 : t <= 6 ? 1 : t <= 15 ? 2 : 3;
        EXPECT_EQ(huff_tables[t].kind, kind) << "table " << t;
        EXPECT_EQ(huff_tables[t].linbits, lin[t]) << "table " << t;
        ASSERT_NE(huff_tables[t].lookup, nullptr);
    }
    EXPECT_EQ(huff_tables[16].lookup, huff_tables[23].lookup);
    EXPECT_EQ(huff_tables[24].lookup, huff_tables[31].lookup);
    EXPECT_EQ(huff_tables[0].lookup, huff_tables[14].lookup);
    // Tree numbers (which the whole-pair lookups are built by): one per distinct code tree.
    for (int a = 0; a < 32; ++a) {
        const HuffTableDesc& x = huff_tables[a];
        EXPECT_EQ(x.tree < 0, x.kind == 0) << "table " << a;
        EXPECT_LT(x.tree, 15) << "table " << a;
        for (int b = 0; b < 32; ++b) {
            if (x.kind == 0 || huff_tables[b].kind == 0) continue;
            EXPECT_EQ(x.tree == huff_tables[b].tree, x.lookup == huff_tables[b].lookup)
                << a << " " << b;
        }
    }
}

// Every code of every table, with linbits and sign bits, decodes through the real path to its
// values and consumes exactly its bits; the shared text is the reference, so tables that were
// not regenerated after a change of the figures fail here.
TEST(HuffmanTables, EveryCodeDecodesThroughThePairDecoder) {
    SharedCodes sc = parse_shared();
    auto d = make_decoder();
    int checked = 0;
    for (int t = 1; t < 32; ++t) {
        if (huff_tables[t].kind == 0) continue;
        ASSERT_TRUE(sc.pairs.count(source_table(t))) << "table " << t;
        const int lin = huff_tables[t].linbits;
        int n = 0;
        for (const Row& r : sc.pairs[source_table(t)]) {
            BitWriter w;
            w.put_bits(r.bits);
            int x = r.x, y = r.y;
            // Escapes: exercise the largest and a mid-range linbits value.
            if (lin && x == 15) {
                uint32_t e = (n & 1) ? (1u << lin) - 1 : (1u << lin) / 2;
                w.put(e, lin);
                x += int(e);
            }
            if (x) w.put(n & 1, 1);
            if (lin && y == 15) {
                uint32_t e = (n & 2) ? (1u << lin) - 1 : 1;
                w.put(e, lin);
                y += int(e);
            }
            if (y) w.put((n >> 1) & 1, 1);
            const size_t used = w.nbits;
            w.put(0x5A5A5A5Au, 32); // trailing bits that must not be consumed
            read_from(d.get(), w.bytes);
            float cells[2] = {99.0f, 99.0f};
            l3_huffman_pairs(d.get(), cells, 2, t);
            float ex = float((x && (n & 1)) ? -x : x), ey = float((y && ((n >> 1) & 1)) ? -y : y);
            ASSERT_EQ(cells[0], ex) << "table " << t << " code " << r.bits;
            ASSERT_EQ(cells[1], ey) << "table " << t << " code " << r.bits;
            ASSERT_EQ(size_t(l3_bits_used(&d->l3.br)), used) << "table " << t << " code " << r.bits;
            ++n;
            ++checked;
        }
    }
    EXPECT_GT(checked, 3000);
}

// Long runs of pairs in one call, as a granule's regions decode: every table, codes drawn at
// random from its figures (short and long ones, escapes with random extra bits, both signs),
// so each code starts at every position of the reader's held bits. Values in order, and the
// bits consumed exactly.
TEST(HuffmanPairs, LongRunsOfMixedCodesDecodeInOrder) {
    SharedCodes sc = parse_shared();
    auto d = make_decoder();
    uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    for (int t = 1; t < 32; ++t) {
        if (huff_tables[t].kind == 0) continue;
        const std::vector<Row>& rows = sc.pairs[source_table(t)];
        ASSERT_FALSE(rows.empty()) << "table " << t;
        const int lin = huff_tables[t].linbits;
        BitWriter w;
        std::vector<float> expect;
        for (int i = 0; i < 300; ++i) {
            const Row& r = rows[next() % rows.size()];
            w.put_bits(r.bits);
            int v[2] = {r.x, r.y};
            for (int k = 0; k < 2; ++k) {
                if (lin && v[k] == 15) {
                    const uint32_t e = next() & ((1u << lin) - 1);
                    w.put(e, lin);
                    v[k] += int(e);
                }
                const bool neg = v[k] != 0 && (next() & 1);
                if (v[k]) w.put(neg, 1);
                expect.push_back(neg ? -float(v[k]) : float(v[k]));
            }
        }
        const size_t used = w.nbits;
        w.put(0xA5A5A5A5u, 32);
        read_from(d.get(), w.bytes);
        std::vector<float> cells(expect.size(), 99.0f);
        l3_huffman_pairs(d.get(), cells.data(), int32_t(cells.size()), t);
        for (size_t i = 0; i < cells.size(); ++i)
            ASSERT_EQ(cells[i], expect[i]) << "table " << t << " value " << i;
        EXPECT_EQ(size_t(l3_bits_used(&d->l3.br)), used) << "table " << t;
    }
}

// Walks a lookup and collects every distinct code it holds as a bit string.
void collect_codes(const uint8_t* level, const std::string& prefix,
                   std::map<std::string, std::pair<int, int>>* codes) {
    const int k = level[0];
    ASSERT_GE(k, 1);
    ASSERT_LE(k, 9);
    ASSERT_EQ(level[3], 0xFF);
    ASSERT_EQ(level[1] | level[2], 0);
    for (int i = 0; i < (1 << k); ++i) {
        const uint8_t* e = level + 4 + 4 * i;
        std::string idx;
        for (int b = k - 1; b >= 0; --b) idx += ((i >> b) & 1) ? '1' : '0';
        if (e[3]) {
            ASSERT_LE(e[3], k);
            ASSERT_EQ(e[0], (e[1] != 0) + (e[2] != 0));
            (*codes)[prefix + idx.substr(0, e[3])] = {e[1], e[2]};
        } else {
            uint32_t off = uint32_t(e[0]) | uint32_t(e[1]) << 8 | uint32_t(e[2]) << 16;
            ASSERT_GT(off, 0u);
            collect_codes(level + 4 * off, prefix + idx, codes);
        }
    }
}

TEST(HuffmanTables, LookupsHoldCompletePrefixCodesOfTheStandard) {
    SharedCodes sc = parse_shared();
    for (int t : {1, 2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 24}) {
        std::map<std::string, std::pair<int, int>> codes;
        collect_codes(huff_tables[t].lookup, "", &codes);
        if (huff_tables[t].kind == 1) {
            size_t longest = 0;
            for (auto& c : codes) longest = std::max(longest, c.first.size());
            EXPECT_EQ(size_t(huff_tables[t].lookup[0]), longest) << "one level, table " << t;
        }
        uint64_t kraft = 0;
        std::set<std::string> seen;
        for (auto& [bits, xy] : codes) {
            kraft += uint64_t(1) << (32 - bits.size());
            for (size_t l = 1; l < bits.size(); ++l)
                EXPECT_FALSE(codes.count(bits.substr(0, l))) << "prefix clash in table " << t;
        }
        EXPECT_EQ(kraft, uint64_t(1) << 32) << "Kraft sum of table " << t;
        ASSERT_EQ(codes.size(), sc.pairs[t].size()) << "table " << t;
        for (const Row& r : sc.pairs[t]) {
            ASSERT_TRUE(codes.count(r.bits)) << "table " << t << " lacks " << r.bits;
            EXPECT_EQ(codes[r.bits], std::make_pair(r.x, r.y)) << "table " << t << " " << r.bits;
        }
    }
}

TEST(HuffmanTables, Count1TablesMatchTheStandard) {
    SharedCodes sc = parse_shared();
    ASSERT_EQ(sc.quad_a.size(), 16u);
    uint64_t kraft = 0;
    for (const Row& r : sc.quad_a) {
        kraft += uint64_t(1) << (32 - r.bits.size());
        const int len = int(r.bits.size());
        const int base = std::stoi(r.bits, nullptr, 2) << (6 - len);
        for (int i = base; i < base + (1 << (6 - len)); ++i) {
            EXPECT_EQ(quad_table_a[i][0], len) << r.bits;
            EXPECT_EQ(quad_table_a[i][1], r.x) << r.bits;
        }
    }
    EXPECT_EQ(kraft, uint64_t(1) << 32);
    // Table B is read as a plain inverted 4-bit field.
    auto d = make_decoder();
    for (const Row& r : sc.quad_b) {
        BitWriter w;
        w.put_bits(r.bits);
        for (int b = 0; b < 4; ++b)
            if (r.x & (8 >> b)) w.put(1, 1); // all negative
        read_from(d.get(), w.bytes);
        float c[4];
        int32_t n = l3_huffman_quads(d.get(), c, 4, int32_t(w.nbits), 1);
        for (int b = 0; b < 4; ++b) EXPECT_EQ(c[b], (r.x & (8 >> b)) ? -1.0f : 0.0f) << r.bits;
        EXPECT_EQ(n, r.x == 0 ? 0 : (r.x & 3) ? 4 : 2) << r.bits;
        EXPECT_EQ(size_t(l3_bits_used(&d->l3.br)), w.nbits);
    }
}

TEST(HuffmanPairs, ZeroTablesReadNothing) {
    auto d = make_decoder();
    std::vector<uint8_t> bytes(8, 0xFF);
    for (int t : {0, 4, 14}) {
        read_from(d.get(), bytes);
        float cells[6] = {1, 2, 3, 4, 5, 6};
        l3_huffman_pairs(d.get(), cells, 6, t);
        for (float c : cells) EXPECT_EQ(c, 0.0f) << "table " << t;
        EXPECT_EQ(l3_bits_used(&d->l3.br), 0);
    }
}

TEST(BitReader, GetPeekUsedAndTheHardLimit) {
    auto d = make_decoder();
    L3BitReader* br = &d->l3.br;
    const std::vector<uint8_t> v = {0xA5, 0x3C, 0xFF};
    read_from(d.get(), v);
    EXPECT_EQ(l3_bits_get(br, 0), 0u);
    EXPECT_EQ(l3_bits_peek(br, 4), 0xAu);
    EXPECT_EQ(l3_bits_used(br), 0);
    EXPECT_EQ(l3_bits_get(br, 4), 0xAu);
    EXPECT_EQ(l3_bits_get(br, 7), 0x29u); // 0101 001
    EXPECT_EQ(l3_bits_used(br), 11);
    EXPECT_EQ(l3_bits_get(br, 13), 0x1CFFu); // 1 1100 1111 1111
    // Past the limit: zero bits, and cur stays at the limit.
    EXPECT_EQ(l3_bits_get(br, 16), 0u);
    EXPECT_EQ(l3_bits_get(br, 24), 0u);
    EXPECT_EQ(br->cur, v.data() + v.size());
    EXPECT_EQ(l3_bits_used(br), 24 + 40);
    // A guard at or past the limit lies below it, so an exhausted reader is past the guard.
    read_from(d.get(), v);
    l3_bits_set_end(br, v.data() + 100);
    EXPECT_FALSE(l3_bits_past_end(br));
    l3_bits_get(br, 20);
    EXPECT_TRUE(l3_bits_past_end(br));
}

TEST(HuffmanPairs, StopAtTheGuard) {
    auto d = make_decoder();
    std::vector<uint8_t> v(64, 0x00); // table 1: code 000 = (1, 1), two sign bits
    read_from(d.get(), v);
    l3_bits_set_end(&d->l3.br, v.data() + 2);
    std::vector<float> cells(100, 7.0f);
    l3_huffman_pairs(d.get(), cells.data(), 100, 1);
    EXPECT_LE(d->l3.br.cur, v.data() + 3 + 4);
    EXPECT_EQ(cells[99], 7.0f); // decoding stopped long before the end
}

TEST(HuffmanQuads, TableBStopsWithThreeBitsLeft) {
    auto d = make_decoder();
    BitWriter w;
    w.put(0b1110, 4); // y = 1
    w.put(0, 1);      // +
    w.put(0b000, 3);  // three bits left: not a quadruple
    w.put(0xFFFF, 16);
    read_from(d.get(), w.bytes);
    float c[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(l3_huffman_quads(d.get(), c, 8, 8, 1), 4);
    EXPECT_EQ(c[3], 1.0f);
    EXPECT_EQ(c[4], 9.0f); // not written
    EXPECT_EQ(l3_bits_used(&d->l3.br), 5);
}

TEST(HuffmanQuads, TableAGoesOnWhileBitsRemainAndClearsAnOverrun) {
    auto d = make_decoder();
    BitWriter w;
    w.put_bits("0111"); // v = 1
    w.put(1, 1);        // -
    w.put_bits("0110"); // w = 1: its 4 bits and sign overrun a budget of 6
    w.put(0, 1);
    w.put(0xFFFF, 16);
    read_from(d.get(), w.bytes);
    float c[12];
    int32_t n = l3_huffman_quads(d.get(), c, 12, 6, 0);
    EXPECT_EQ(c[0], -1.0f);
    for (int i = 4; i < 8; ++i) EXPECT_EQ(c[i], 0.0f) << "overrunning quadruple cleared";
    EXPECT_EQ(l3_bits_used(&d->l3.br), 10); // the second quadruple was read: one bit was left
    // The cleared quadruple was the last nonzero one; its extent stays (only zeros beyond).
    EXPECT_EQ(n, 4 * 1 + 2);
}

TEST(HuffmanQuads, ResultEndsAtTheLastNonzeroQuadruple) {
    auto d = make_decoder();
    BitWriter w;
    w.put_bits("0001"); // table B: 1110 -> v w x = 1, y = 0 ... inverted: 0001 -> v w x = 1
    w.put(0, 3);
    w.put_bits("1011"); // 0100 -> w only
    w.put(1, 1);
    w.put_bits("1111"); // zero quadruple
    w.put_bits("1111");
    read_from(d.get(), w.bytes);
    float c[16];
    EXPECT_EQ(l3_huffman_quads(d.get(), c, 16, int32_t(w.nbits), 1), 4 * 1 + 2);
    EXPECT_EQ(c[5], -1.0f);
    EXPECT_EQ(c[0], 1.0f);
    EXPECT_EQ(c[3], 0.0f);
    // Nothing nonzero: 0.
    std::vector<uint8_t> ones(8, 0xFF);
    read_from(d.get(), ones);
    EXPECT_EQ(l3_huffman_quads(d.get(), c, 16, 64, 1), 0);
}

struct DequantFixture : ::testing::Test {
    DecoderPtr d = make_decoder();
    GranuleInfo gi{};
    DequantSummary sum{};
    int32_t sf[62] = {};
    std::vector<float> cells = std::vector<float>(576, 0.0f);
    void SetUp() override {
        l3_build_dequant_tables(d.get());
        fill_bands(d.get(), 3); // 44.1 kHz
        gi.global_gain = 146;
    }
    double gain() const { return std::pow(2.0, (gi.global_gain + 6 - 156) / 4.0); }
};

TEST_F(DequantFixture, LargeEscapeValuesTakeThePowerPath) {
    // Table 23 (linbits 13): x = 15 + 8191 = 8206.
    SharedCodes sc = parse_shared();
    std::string code;
    for (const Row& r : sc.pairs[16])
        if (r.x == 15 && r.y == 0) code = r.bits;
    ASSERT_FALSE(code.empty());
    BitWriter v;
    v.put_bits(code);
    v.put(8191, 13);
    v.put(1, 1); // negative
    v.put(0, 16);
    read_from(d.get(), v.bytes);
    l3_huffman_pairs(d.get(), cells.data(), 2, 23);
    ASSERT_EQ(cells[0], -8206.0f);
    int32_t extent = 2;
    l3_dequantize(d.get(), cells.data(), &extent, sf, &gi, &sum, 8);
    const double want = -std::pow(8206.0, 4.0 / 3.0) * gain();
    EXPECT_NEAR(cells[0] / want, 1.0, 2e-6);
    EXPECT_EQ(extent, 2) << "a long block leaves the extent unchanged";
    EXPECT_EQ(sum.is_short, 0);
    EXPECT_EQ(sum.last_band, 0);
    EXPECT_EQ(sum.long_bands, 22);
    EXPECT_EQ(sum.first_short, 12);
}

TEST_F(DequantFixture, SmallValuesScalefactorsAndPretab) {
    // Band 17 of 44.1 kHz (lines 196..237) with pretab 3 and scalefactor 2 at scale 1.
    gi.preflag = 1;
    gi.scalefac_scale = 1;
    sf[17] = 2;
    cells[200] = 3.0f;
    cells[10] = -31.0f;
    cells[11] = 32.0f;
    int32_t extent = 238;
    l3_dequantize(d.get(), cells.data(), &extent, sf, &gi, &sum, 8);
    EXPECT_NEAR(cells[200] / (std::pow(3.0, 4.0 / 3.0) * gain() * std::pow(2.0, -1.0 * 5)), 1.0, 2e-6);
    EXPECT_NEAR(cells[10] / (-std::pow(31.0, 4.0 / 3.0) * gain()), 1.0, 2e-6);
    EXPECT_NEAR(cells[11] / (std::pow(32.0, 4.0 / 3.0) * gain()), 1.0, 2e-6);
    EXPECT_EQ(sum.last_band, 17);
    EXPECT_EQ(extent, 238);
}

TEST_F(DequantFixture, PureShortReordersAndSetsTheExtentToTheLastBandProcessed) {
    gi.block_type = 2;
    gi.window_switching_flag = 1;
    gi.subblock_gain[1] = 1;
    // Band 1 (width 4, input lines 12..23): window w's line k holds 1 + w*4 + k.
    for (int w = 0; w < 3; ++w)
        for (int k = 0; k < 4; ++k) cells[12 + 4 * w + k] = float(1 + 4 * w + k);
    int32_t extent = 20;
    l3_dequantize(d.get(), cells.data(), &extent, sf, &gi, &sum, 8);
    EXPECT_EQ(extent, 24) << "short_end3 of band 1";
    for (int w = 0; w < 3; ++w)
        for (int k = 0; k < 4; ++k) {
            double v = std::pow(1.0 + 4 * w + k, 4.0 / 3.0) * gain() * (w == 1 ? 0.25 : 1.0);
            EXPECT_NEAR(cells[12 + 3 * k + w] / v, 1.0, 2e-6) << "window " << w << " line " << k;
        }
    EXPECT_EQ(sum.is_short, 1);
    EXPECT_EQ(sum.first_short, 0);
    EXPECT_EQ(sum.long_bands, 0);
    EXPECT_EQ(sum.last_band_w[0], 1);
    EXPECT_EQ(sum.last_band, 1);
}

TEST_F(DequantFixture, MixedBlockEndingInsideItsLongPart) {
    gi.block_type = 2;
    gi.window_switching_flag = 1;
    gi.mixed_block_flag = 1;
    cells[5] = 1.0f; // long band 1 (lines 4..7)
    int32_t extent = 6;
    l3_dequantize(d.get(), cells.data(), &extent, sf, &gi, &sum, 8);
    // Long part stops at line 8; short band 3 (width 4) follows and ends the block.
    EXPECT_EQ(extent, 8 + 3 * 4);
    EXPECT_EQ(sum.first_short, 3);
    EXPECT_EQ(sum.long_bands, 8);
    EXPECT_EQ(sum.is_short, 1);
    EXPECT_EQ(sum.last_band, 3);
    EXPECT_NEAR(cells[5] / gain(), 1.0, 2e-6);
    for (int i = 8; i < 20; ++i) EXPECT_EQ(cells[i], 0.0f);
}

TEST_F(DequantFixture, MixedBlockShortPartStartsAtLine36) {
    gi.block_type = 2;
    gi.window_switching_flag = 1;
    gi.mixed_block_flag = 1;
    sf[23 + 13 * 2 + 3] = 1; // window 2, band 3
    cells[36 + 8] = 2.0f;    // band 3, window 2, line 0
    int32_t extent = 48;
    l3_dequantize(d.get(), cells.data(), &extent, sf, &gi, &sum, 8);
    EXPECT_EQ(extent, 48);
    EXPECT_NEAR(cells[36 + 2] / (std::pow(2.0, 4.0 / 3.0) * gain() * std::pow(2.0, -0.5)), 1.0, 2e-6);
    EXPECT_EQ(cells[44], 0.0f);
    EXPECT_EQ(sum.last_band_w[2], 3);
    EXPECT_EQ(sum.last_band_w[0], 3);
}

}  // namespace
