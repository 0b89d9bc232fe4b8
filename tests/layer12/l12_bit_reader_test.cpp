// The Layer I/II bit reader: field extraction across byte boundaries, long skips, and the bound:
// nothing at or past the reader's end is read (the buffers here are exact-size heap copies, so
// an address sanitizer build catches any stray read), and bits beyond it read as zero.
#include <cstdint>
#include <random>
#include <vector>

#include "bit_reader.h"
#include "test_util.h"

namespace {

// Reference: bit `pos` of the buffer, most significant first, zero past its end.
uint32_t ref_bits(const std::vector<uint8_t>& b, size_t pos, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos) {
        const uint32_t bit = pos / 8 < b.size() ? (b[pos / 8] >> (7 - pos % 8)) & 1 : 0;
        v = (v << 1) | bit;
    }
    return v;
}

TEST(L12BitReader, RandomGetsAndSkipsFollowTheBitPosition) {
    std::mt19937 rng(ziv::test_seed());
    for (int round = 0; round < 200; ++round) {
        const size_t len = rng() % 64;
        std::vector<uint8_t> buf(len);  // heap, exact size
        for (uint8_t& x : buf) x = uint8_t(rng());
        BitReader br;
        bits_begin(&br, buf.data(), buf.data() + len);
        size_t pos = 0;
        for (int op = 0; op < 60; ++op) {
            if (rng() % 3 == 0) {
                const int32_t n = int32_t(rng() % 200);
                bits_skip(&br, n);
                pos += size_t(n);
            } else {
                const int n = 1 + int(rng() % 24);
                ASSERT_EQ(bits_get(&br, n), ref_bits(buf, pos, n))
                    << "round " << round << " op " << op << " bit " << pos << " n " << n;
                pos += size_t(n);
            }
        }
    }
}

TEST(L12BitReader, SkipsOfEveryRemainderLandOnTheRightBit) {
    std::vector<uint8_t> buf(40);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i * 37 + 11);
    for (int held_first = 1; held_first <= 24; ++held_first) {
        for (int32_t skip = 0; skip <= 100; ++skip) {
            BitReader br;
            bits_begin(&br, buf.data(), buf.data() + buf.size());
            bits_get(&br, held_first);
            bits_skip(&br, skip);
            ASSERT_EQ(bits_get(&br, 13), ref_bits(buf, size_t(held_first + skip), 13))
                << "after " << held_first << " bits and a skip of " << skip;
        }
    }
}

TEST(L12BitReader, ReadsZerosAtAndPastItsEnd) {
    const std::vector<uint8_t> src = {0xFF, 0xFF, 0xFF};
    // An exact-size heap copy, so a read of byte 3 is a sanitizer error.
    std::vector<uint8_t> buf(src);
    BitReader br;
    bits_begin(&br, buf.data(), buf.data() + buf.size());
    EXPECT_EQ(bits_get(&br, 20), 0xFFFFFu);
    EXPECT_EQ(bits_get(&br, 8), 0xF0u);
    EXPECT_EQ(bits_get(&br, 24), 0u);
    bits_skip(&br, 100000);
    EXPECT_EQ(bits_get(&br, 24), 0u);

    // A reader whose end lies before the bytes it could otherwise see.
    bits_begin(&br, buf.data(), buf.data() + 1);
    EXPECT_EQ(bits_get(&br, 12), 0xFF0u);

    // An empty range.
    bits_begin(&br, buf.data(), buf.data());
    EXPECT_EQ(bits_get(&br, 24), 0u);
    bits_skip(&br, 7);
    EXPECT_EQ(bits_get(&br, 1), 0u);
}

}  // namespace
