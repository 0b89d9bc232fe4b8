// Frame header parsing: field extraction, frame sizes and bitrates of every header kind, the
// free-format search over chains of frames built in the test, the sync scan, and reads bounded by
// the length given (buffers are heap blocks of exactly that length, so ASan sees any over-read).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "decoder_internal.h"

namespace {

struct Known {
    uint8_t b1, b2, b3;
    int32_t size, bitrate;
    const char* what;
};

// Exact-size heap copy of four header bytes.
std::vector<uint8_t> header4(uint8_t b1, uint8_t b2, uint8_t b3) { return {0xFF, b1, b2, b3}; }

TEST(HeaderParse, FrameSizesAndBitrates) {
    const Known cases[] = {
        {0xFB, 0x90, 0x64, 417, 128000, "MPEG-1 Layer III 128 kbit/s 44100 Hz"},
        {0xFB, 0x92, 0x64, 417, 128000, "the same, padded"},
        {0xFD, 0xE4, 0x00, 1152, 384000, "MPEG-1 Layer II 384 kbit/s 48000 Hz"},
        {0xFF, 0x10, 0x00, 32, 32000, "MPEG-1 Layer I 32 kbit/s 44100 Hz"},
        {0xFF, 0xE8, 0xC0, 4 * (12000 * 448 / 32000), 448000, "MPEG-1 Layer I 448 kbit/s 32000 Hz"},
        {0xE3, 0x40, 0xC0, 208, 32000, "MPEG-2.5 Layer III 32 kbit/s 11025 Hz"},
        {0xE2, 0x40, 0xC0, 208, 32000, "MPEG-2.5 Layer III with CRC"},
        {0xF3, 0x80, 0xC0, 72000 * 64 / 22050, 64000, "MPEG-2 Layer III 64 kbit/s 22050 Hz"},
        {0xF5, 0xE8, 0xC0, 144000 * 160 / 16000, 160000, "MPEG-2 Layer II 160 kbit/s 16000 Hz"},
        {0xF7, 0xE4, 0xC0, 4 * (12000 * 256 / 24000), 256000, "MPEG-2 Layer I 256 kbit/s 24000 Hz"},
    };
    for (const Known& c : cases) {
        std::vector<uint8_t> b = header4(c.b1, c.b2, c.b3);
        MpegHeader h{};
        int32_t rate = -1;
        EXPECT_EQ(mpeg_header_parse_rate(b.data(), int32_t(b.size()), &h, &rate), c.size) << c.what;
        EXPECT_EQ(rate, c.bitrate) << c.what;
        EXPECT_EQ(mpeg_header_parse(b.data(), int32_t(b.size()), &h), c.size) << c.what;
    }
}

TEST(HeaderParse, WholeFrameAddsTheLayersPaddingSlot) {
    struct Case {
        uint8_t b1, b2;
        int32_t whole, largest;
        const char* what;
    };
    const Case cases[] = {
        {0xFB, 0x92, 418, 418, "MPEG-1 Layer III, padded: one byte"},
        {0xFB, 0x90, 417, 418, "MPEG-1 Layer III, unpadded"},
        {0xFD, 0xE6, 1153, 1153, "MPEG-1 Layer II, padded: one byte"},
        {0xFF, 0x12, 36, 36, "MPEG-1 Layer I, padded: a slot of four bytes"},
        {0xFF, 0x10, 32, 36, "MPEG-1 Layer I, unpadded"},
        {0xF7, 0xE6, 516, 516, "MPEG-2 Layer I, padded"},
        {0xE3, 0x42, 209, 209, "MPEG-2.5 Layer III, padded"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = header4(c.b1, c.b2, 0xC0);
        MpegHeader h{};
        const int32_t size = mpeg_header_parse(b.data(), 4, &h);
        EXPECT_EQ(mpeg_header_frame_bytes(&h, size), c.whole) << c.what;
        EXPECT_EQ(mpeg_header_frame_bytes(&h, 0), c.whole - size) << c.what << ": the padding alone";
        EXPECT_EQ(mpeg_header_max_frame_bytes(&h, size), c.largest) << c.what;
    }
}

TEST(HeaderParse, Fields) {
    std::vector<uint8_t> b = header4(0xFB, 0x93, 0x6D);
    MpegHeader h{};
    ASSERT_EQ(mpeg_header_parse(b.data(), 4, &h), 417);
    const int32_t want[13] = {1, 1, 1, 1, 9, 0, 1, 1, 1, 2, 1, 1, 1};
    const int32_t got[13] = {h.sync, h.id, h.layer, h.protection_bit, h.bitrate_index,
                             h.sampling_frequency, h.padding_bit, h.private_bit, h.mode,
                             h.mode_extension, h.copy_bit, h.home_bit, h.emphasis};
    for (int i = 0; i < 13; ++i) EXPECT_EQ(got[i], want[i]) << "field " << i;

    b = header4(0xEA, 0x90, 0x00);
    mpeg_header_parse(b.data(), 4, &h);
    EXPECT_EQ(h.sync, 2);
    EXPECT_EQ(h.id, 1);
}

TEST(HeaderParse, UnusableHeadersGiveZeroButKeepFields) {
    struct Bad {
        uint8_t b0, b1, b2;
        int32_t sync;
        const char* what;
    } cases[] = {
        {0xFF, 0xFB, 0xF0, 1, "bitrate index 15"},
        {0xFF, 0xFB, 0x9C, 1, "sampling frequency 3"},
        {0xFF, 0xF9, 0x90, 1, "reserved layer"},
        {0xFF, 0xE9, 0x90, 2, "reserved layer, MPEG-2.5"},
        {0xFF, 0xDB, 0x90, 0, "high nibble 0xD"},
        {0xFE, 0xFB, 0x90, 0, "byte 0 not 0xFF"},
    };
    for (const Bad& c : cases) {
        std::vector<uint8_t> b = {c.b0, c.b1, c.b2, 0x00};
        MpegHeader h{};
        h.sync = 7;
        int32_t rate = -1;
        EXPECT_EQ(mpeg_header_parse_rate(b.data(), 4, &h, &rate), 0) << c.what;
        EXPECT_EQ(rate, 0) << c.what;
        EXPECT_EQ(h.sync, c.sync) << c.what;
    }
    std::vector<uint8_t> b = header4(0xFB, 0xF0, 0x00);
    MpegHeader h{};
    mpeg_header_parse(b.data(), 4, &h);
    EXPECT_EQ(h.bitrate_index, 15);  // filled before the check
}

TEST(HeaderParse, ShortInputReadsNothingPastIt) {
    for (int32_t n = 0; n < 4; ++n) {
        std::vector<uint8_t> b(size_t(n) + (n == 0), 0xFF);  // n bytes (one for n = 0)
        MpegHeader h{};
        h.sync = 5;
        EXPECT_EQ(mpeg_header_parse(b.data(), n, &h), 0) << n;
        EXPECT_EQ(h.sync, 0) << n;
    }
    std::vector<uint8_t> b = header4(0xFB, 0x90, 0x64);
    MpegHeader h{};
    EXPECT_EQ(mpeg_header_parse(b.data(), -5, &h), 0);
}

// Free-format frames: a chain of frames of `size` bytes (plus 4 or 1 for padded ones), each
// starting with the header bytes FF b1 b2, zeros elsewhere.
struct Chain {
    std::vector<uint8_t> bytes;
    void frame(uint8_t b1, uint8_t b2, int32_t len) {
        const size_t at = bytes.size();
        bytes.resize(at + size_t(len), 0);
        bytes[at] = 0xFF;
        bytes[at + 1] = b1;
        bytes[at + 2] = b2;
    }
    int32_t parse(MpegHeader* h, int32_t* rate = nullptr) const {
        std::vector<uint8_t> exact(bytes);  // exactly the chain, nothing readable after it
        return mpeg_header_parse_rate(exact.data(), int32_t(exact.size()), h, rate);
    }
};

TEST(FreeFormat, SizeFoundFromTheNextFrames) {
    Chain c;
    for (int i = 0; i < 6; ++i) c.frame(0xFB, 0x00, 417);  // Layer III, 44100 Hz
    MpegHeader h{};
    int32_t rate = 0;
    EXPECT_EQ(c.parse(&h, &rate), 417);
    EXPECT_EQ(rate, 417 * 44100 / 144);

    // Later frames padded by one byte: each step adds that frame's own padding.
    Chain p;
    p.frame(0xFD, 0x04, 500);  // Layer II, 48000 Hz
    for (int i = 0; i < 5; ++i) p.frame(0xFD, i % 2 ? 0x06 : 0x04, i % 2 ? 501 : 500);
    EXPECT_EQ(p.parse(&h, &rate), 500);
    EXPECT_EQ(rate, 500 * 48000 / 144);
}

TEST(FreeFormat, PaddedLayerIFirstFrame) {
    Chain c;
    c.frame(0xFF, 0x02, 96 + 4);  // Layer I, padded: one 4-byte slot more
    for (int i = 0; i < 8; ++i) c.frame(0xFF, 0x00, 96);
    MpegHeader h{};
    int32_t rate = 0;
    EXPECT_EQ(c.parse(&h, &rate), 96);
    EXPECT_EQ(rate, 96 * 44100 / 48);
}

TEST(FreeFormat, MpegTwoAndTwoPointFiveRates) {
    Chain c;
    for (int i = 0; i < 4; ++i) c.frame(0xF3, 0x00, 300);  // MPEG-2 Layer III 22050 Hz
    MpegHeader h{};
    int32_t rate = 0;
    EXPECT_EQ(c.parse(&h, &rate), 300);
    EXPECT_EQ(rate, 300 * 22050 / 72);
    Chain e;
    for (int i = 0; i < 4; ++i) e.frame(0xE3, 0x00, 300);  // MPEG-2.5: id 0 row over 144
    EXPECT_EQ(e.parse(&h, &rate), 300);
    EXPECT_EQ(rate, 300 * 22050 / 144);
}

TEST(FreeFormat, SizesBelowTwentyFourAreNeverFound) {
    Chain c;
    for (int i = 0; i < 40; ++i) c.frame(0xFB, 0x00, 16);
    MpegHeader h{};
    // The search starts at offset 24: the first copy is the third frame, and every second frame
    // confirms it.
    EXPECT_EQ(c.parse(&h), 32);
}

TEST(FreeFormat, UnconfirmedCandidatesAndTheSearchLimit) {
    // A false copy of the header at `false_at` (its chain fails at twice that offset), then
    // frames of 2500 bytes. The search gives up once a failed candidate lies at 1999 or beyond.
    for (int32_t false_at : {1998, 1999}) {
        Chain c;
        c.frame(0xFB, 0x00, 2500);
        c.bytes[size_t(false_at)] = 0xFF;
        c.bytes[size_t(false_at) + 1] = 0xFB;
        for (int i = 0; i < 3; ++i) c.frame(0xFB, 0x00, 2500);
        MpegHeader h{};
        EXPECT_EQ(c.parse(&h), false_at == 1998 ? 2500 : 0) << "false copy at " << false_at;
    }
    // No copy at all, or one whose chain breaks.
    Chain none;
    none.frame(0xFB, 0x00, 3000);
    MpegHeader h{};
    EXPECT_EQ(none.parse(&h), 0);
    Chain broken;
    for (int i = 0; i < 3; ++i) broken.frame(0xFB, 0x00, 400);
    broken.bytes[800] = 0;
    EXPECT_EQ(broken.parse(&h), 0);
}

TEST(FreeFormat, ChainConfirmedUpToTheLastReadableStart) {
    // The last frame start lies three bytes before the end: it is still checked, and reading its
    // padding bit at +2 stays inside the buffer.
    Chain c;
    for (int i = 0; i < 3; ++i) c.frame(0xFB, 0x00, 200);
    c.bytes.resize(c.bytes.size() - 197);  // third frame keeps FF FB 00
    MpegHeader h{};
    EXPECT_EQ(c.parse(&h), 200);
    c.bytes[402] = 0x00;
    c.bytes[401] = 0xFA;  // the last start no longer matches
    EXPECT_EQ(c.parse(&h), 0);
    // Header copies in the last three bytes are not candidates.
    Chain t;
    t.frame(0xFB, 0x00, 100);
    t.bytes.push_back(0xFF);
    t.bytes.push_back(0xFB);
    EXPECT_EQ(t.parse(&h), 0);
}

TEST(HeaderFind, FirstSyncOnly) {
    std::vector<uint8_t> b = {0x00, 0x12, 0xFF, 0xFB, 0xF0, 0x00,  // sync, bitrate index 15
                              0xFF, 0xFB, 0x90, 0x64};             // a good header follows
    MpegHeader h{};
    int32_t rate = -1, off = -1;
    EXPECT_EQ(mpeg_header_find(b.data(), int32_t(b.size()), &h, &rate, &off), 0);
    EXPECT_EQ(off, 2);
    EXPECT_EQ(rate, 0);

    b[4] = 0x90;
    EXPECT_EQ(mpeg_header_find(b.data(), int32_t(b.size()), &h, &rate, &off), 417);
    EXPECT_EQ(off, 2);
    EXPECT_EQ(rate, 128000);

    // MPEG-2.5 sync is a sync too.
    std::vector<uint8_t> e = {0xFF, 0x00, 0xFF, 0xE3, 0x40, 0xC0};
    EXPECT_EQ(mpeg_header_find(e.data(), int32_t(e.size()), &h, &rate, &off), 208);
    EXPECT_EQ(off, 2);
}

TEST(HeaderFind, NoSyncStoresNothing) {
    // 0xFF as the very last byte cannot start a header; nothing is read after it.
    std::vector<uint8_t> b = {0x00, 0xFF, 0x7F, 0xFF, 0xC0, 0x00, 0xFF};
    MpegHeader h{};
    int32_t rate = 77, off = 77;
    EXPECT_EQ(mpeg_header_find(b.data(), int32_t(b.size()), &h, &rate, &off), 0);
    EXPECT_EQ(rate, 77);
    EXPECT_EQ(off, 77);

    // A sync in the last two bytes: found, but there is no room for a header.
    std::vector<uint8_t> t = {0x00, 0x00, 0xFF, 0xFB};
    EXPECT_EQ(mpeg_header_find(t.data(), int32_t(t.size()), &h, &rate, &off), 0);
    EXPECT_EQ(off, 2);
}

}  // namespace
