// The LAME tag's descriptive fields on a first frame made by lame at test time and then rewritten
// here (the tag's CRC computed again by a plain bitwise CRC-16): encoder string, bitrate method,
// peak, and the track and album gain words in either slot with either sign; a wrong CRC or a cut
// tag gives nothing, without a read past the bytes given.
#include <gtest/gtest.h>

#include <memory>

#include "lame_info.h"
#include "test_util.h"

namespace {

// CRC-16, polynomial 0x8005 reflected (0xA001), bit by bit, start 0.
uint16_t crc16_bitwise(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

int32_t read_exact(const std::vector<uint8_t>& v, size_t n, const MpegHeader& h, MpegLameInfo* out) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
    std::copy(v.begin(), v.begin() + long(n), copy.get());
    return mpeg_lame_info_read(copy.get(), int32_t(n), &h, out);
}

TEST(MpegLameInfo, FieldsAsWrittenCrcAndCuts) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const std::string wav = ziv::tmp_path("li.wav"), mp3 = ziv::tmp_path("li.mp3");
    ASSERT_EQ(0, ziv::run("sox -n -r 44100 -c 2 '" + wav + "' synth 0.5 sine 440 2>/dev/null"));
    ASSERT_EQ(0, ziv::run("lame --quiet -b 128 '" + wav + "' '" + mp3 + "'"));
    const std::vector<uint8_t> file = ziv::read_file(mp3);
    MpegHeader h{};
    const int32_t size = mpeg_header_parse(file.data(), int32_t(file.size()), &h);
    ASSERT_GT(size, 0);
    const std::vector<uint8_t> frame(file.begin(), file.begin() + size + h.padding_bit);
    const size_t at = 36 + 8 + 4 + 4 + 100 + 4;  // lame's Info header with every field flagged
    ASSERT_EQ("Info", std::string(frame.begin() + 36, frame.begin() + 40));
    ASSERT_EQ("LAME", std::string(frame.begin() + long(at), frame.begin() + long(at) + 4));

    // A tag rewritten with the given method nibble, peak word and the two gain words.
    auto rewrite = [&](int method, uint32_t peak, uint16_t w15, uint16_t w17, uint8_t enc0) {
        std::vector<uint8_t> f = frame;
        f[at] = enc0;
        f[at + 9] = uint8_t((f[at + 9] & 0xF0) | method);
        for (int i = 0; i < 4; ++i) f[at + 11 + size_t(i)] = uint8_t(peak >> (24 - 8 * i));
        f[at + 15] = uint8_t(w15 >> 8), f[at + 16] = uint8_t(w15);
        f[at + 17] = uint8_t(w17 >> 8), f[at + 18] = uint8_t(w17);
        const uint16_t crc = crc16_bitwise(f.data(), at + 34);
        f[at + 34] = uint8_t(crc >> 8), f[at + 35] = uint8_t(crc);
        return f;
    };
    // Gain word: name (3 bits), originator (3), sign, tenths of a dB (9).
    auto word = [](int name, int origin, bool minus, int tenths) {
        return uint16_t(name << 13 | origin << 10 | (minus ? 0x200 : 0) | tenths);
    };
    struct Case {
        int method;
        uint32_t peak;
        uint16_t w15, w17;
        uint8_t enc0;
        int32_t mode;
        const char* encoder;
        int has_track, has_album, has_peak;
        double track, album, peak_value;
    };
    const Case cases[] = {
        {1, 1u << 22, word(1, 3, true, 65), word(2, 3, false, 23), 'L', MPEG_BITRATE_CBR,
         "LAME3.100", 1, 1, 1, -6.5, 2.3, 0.5},
        {9, 0, word(2, 1, true, 511), 0, 'L', MPEG_BITRATE_ABR, "LAME3.100", 0, 1, 0, 0, -51.1, 0},
        {4, 3u << 23, 0, word(1, 2, false, 0), 'L', MPEG_BITRATE_VBR, "LAME3.100", 1, 0, 1, 0.0, 0,
         3.0},
        {0, 0, word(0, 0, false, 0), word(3, 1, false, 10), 0x01, MPEG_BITRATE_UNKNOWN, "", 0, 0, 0,
         0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        const std::vector<uint8_t> f = rewrite(c.method, c.peak, c.w15, c.w17, c.enc0);
        MpegLameInfo li;
        ASSERT_EQ(1, read_exact(f, f.size(), h, &li));
        EXPECT_STREQ(c.encoder, li.encoder);
        EXPECT_EQ(c.mode, mpeg_lame_bitrate_mode(&li));
        EXPECT_EQ(c.has_track, li.has_track_gain);
        EXPECT_EQ(c.has_album, li.has_album_gain);
        EXPECT_EQ(c.has_peak, li.has_peak);
        EXPECT_DOUBLE_EQ(c.has_track ? c.track : 0.0, li.track_gain);
        EXPECT_DOUBLE_EQ(c.has_album ? c.album : 0.0, li.album_gain);
        EXPECT_DOUBLE_EQ(c.has_peak ? c.peak_value : 0.0, li.peak);
    }
    // A changed byte fails the CRC: the tag still counts while the rest is as an encoder writes
    // it (the rule of the gapless reader), and not once the encoder string is garbled too; cuts
    // anywhere before the tag's end give nothing, and leave the record zeroed.
    std::vector<uint8_t> bad = rewrite(1, 1u << 22, word(1, 3, true, 65), 0, 'L');
    bad[at + 16] ^= 1;
    MpegLameInfo li;
    EXPECT_EQ(1, read_exact(bad, bad.size(), h, &li));
    bad[at + 1] = 0x01;
    li.has_peak = 7;
    EXPECT_EQ(0, read_exact(bad, bad.size(), h, &li));
    EXPECT_EQ(0, li.has_peak);
    for (size_t n = 0; n < at + 36; ++n) ASSERT_EQ(0, read_exact(frame, n, h, &li)) << n;
    EXPECT_EQ(1, read_exact(frame, at + 36, h, &li));
    EXPECT_EQ(0, mpeg_lame_info_read(nullptr, 400, &h, &li));
}

}  // namespace
