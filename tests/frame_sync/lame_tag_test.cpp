// The LAME tag reader and the gapless cut on files made at test time with lame and with ffmpeg's
// libmp3lame encoder: the cut decode equals mpg123's gapless decode sample for sample in length
// (and within rounding in value), at full, half and quarter rate; damaged, missing and cut-off
// tags are refused without reading past the bytes given.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "decoder_util.h"
#include "frame_walk.h"
#include "lame_tag.h"
#include "test_util.h"

namespace {

struct Made {
    std::vector<uint8_t> file;
    std::string path;
    int64_t input = 0;  // samples per channel given to the encoder
    int channels = 0;
};

// An odd number of samples of two tones, so that neither the delay nor the padding is round.
Made make(const std::string& name, const std::string& encoder, int rate, int channels,
          int kbps) {
    Made m;
    m.channels = channels;
    m.input = int64_t(rate) * 13 / 10 + 37;
    std::vector<int16_t> pcm(size_t(m.input) * size_t(channels));
    for (size_t i = 0; i < pcm.size(); ++i) {
        double t = double(i / size_t(channels)) / rate;
        pcm[i] = int16_t(9000 * std::sin(2 * M_PI * 330 * t) + 6000 * std::sin(2 * M_PI * 1210 * t + double(i % 2)));
    }
    std::string raw = ziv::tmp_path(name + ".raw");
    m.path = ziv::tmp_path(name + ".mp3");
    EXPECT_TRUE(ziv::write_file(raw, pcm.data(), pcm.size() * 2));
    const std::string ch = std::to_string(channels), hz = std::to_string(rate);
    std::string cmd = encoder == "lame"
        ? "lame --quiet -r --bitwidth 16 --signed --little-endian -s " + std::to_string(rate / 1000.0) +
              " -m " + (channels == 2 ? "j" : "m") + " -b " + std::to_string(kbps) + " '" + raw + "' '" + m.path + "'"
        : "ffmpeg -loglevel error -y -f s16le -ar " + hz + " -ac " + ch + " -i '" + raw +
              "' -c:a libmp3lame -b:a " + std::to_string(kbps) + "k '" + m.path + "'";
    EXPECT_EQ(ziv::run(cmd), 0) << cmd;
    m.file = ziv::read_file(m.path);
    return m;
}

// The first frame of a file (tags stripped): where it is and how many bytes follow it.
struct First {
    const uint8_t* at = nullptr;
    int32_t avail = 0;
    MpegHeader h{};
};

First first_frame(const std::vector<uint8_t>& file) {
    First f;
    const uint8_t* audio = nullptr;
    int32_t len = 0, bitrate = 0, offset = 0;
    if (!mp3_strip_tags(file.data(), int32_t(file.size()), &audio, &len)) return f;
    if (mp3_first_frame(audio, len, 1, &f.h, &bitrate, &offset) <= 0) return f;
    f.at = audio + offset;
    f.avail = len - offset;
    return f;
}

std::vector<int16_t> mpg123(const std::string& path, const std::string& args) {
    std::string out = path + args + ".pcm";
    EXPECT_EQ(ziv::run("mpg123 -q " + args + " -s '" + path + "' > '" + out + "'"), 0);
    return ziv::read_s16(out);
}

TEST(LameTag, CutDecodeEqualsMpg123GaplessDecode) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("ffmpeg");
    ZIV_REQUIRE_TOOL("mpg123");
    struct Case { const char* name; const char* encoder; int rate; int channels; int kbps; };
    for (const Case& c : {Case{"lame44s", "lame", 44100, 2, 128}, Case{"ffmpeg44s", "ffmpeg", 44100, 2, 128},
                          Case{"lame22m", "lame", 22050, 1, 64}, Case{"ffmpeg32s", "ffmpeg", 32000, 2, 96}}) {
        SCOPED_TRACE(c.name);
        Made m = make(c.name, c.encoder, c.rate, c.channels, c.kbps);
        First f = first_frame(m.file);
        ASSERT_NE(f.at, nullptr);
        LameTag tag{};
        ASSERT_EQ(lame_tag_read(f.at, f.avail, &f.h, &tag), 1);
        MpegFrameInfo info{};
        ASSERT_EQ(mpeg_header_info(&f.h, &info), 1);
        ASSERT_EQ(info.sample_rate, c.rate);
        // mpg123 gives no output below 8 kHz.
        for (int32_t reduction = 0; reduction <= 2 && (c.rate >> reduction) >= 8000; ++reduction) {
            SCOPED_TRACE(reduction);
            ziv::Decoded d = ziv::decode_whole(m.file, reduction);
            ASSERT_TRUE(d.set_up);
            const int64_t per_frame = info.samples >> reduction;
            // The Info frame is decoded as silence by a plain walk: it is not audio.
            const int64_t audio = int64_t(d.frames - 1) * per_frame;
            if (reduction == 0) {
                EXPECT_EQ(audio, m.input + tag.delay + tag.padding);
                EXPECT_GE(tag.delay, 576);
            }
            int64_t skip = -1, keep = -1;
            lame_trim(&tag, audio, reduction, &skip, &keep);
            std::vector<int16_t> all = ziv::to_s16(d.pcm);
            std::vector<int16_t> cut(all.begin() + (per_frame + skip) * c.channels,
                                     all.begin() + (per_frame + skip + keep) * c.channels);
            std::vector<int16_t> ref = mpg123(m.path, reduction ? " -" + std::to_string(1 << reduction) : "");
            ASSERT_EQ(cut.size(), ref.size());
            if (reduction == 0) {
                EXPECT_EQ(keep, m.input);
                ziv::PcmDiff diff = ziv::pcm_diff(cut, ref);
                EXPECT_LE(diff.rms, 0.8);
                EXPECT_LE(diff.max, 2) << "at " << diff.max_at;
            }
        }
    }
}

// The frame in an exactly sized heap block, so that a read past it is caught by the sanitizers.
int32_t read_copy(const uint8_t* p, int32_t n, const MpegHeader& h, LameTag* tag) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size_t(n > 0 ? n : 1)]);
    if (n > 0) std::memcpy(copy.get(), p, size_t(n));
    return lame_tag_read(copy.get(), n, &h, tag);
}

TEST(LameTag, DamagedMissingAndCutTagsAreRefused) {
    ZIV_REQUIRE_TOOL("lame");
    Made m = make("damage", "lame", 44100, 2, 128);
    First f = first_frame(m.file);
    ASSERT_NE(f.at, nullptr);
    const int32_t bytes = mpeg_header_parse(f.at, f.avail, &f.h) + f.h.padding_bit;
    ASSERT_GT(bytes, 200);
    std::vector<uint8_t> frame(f.at, f.at + bytes);
    const size_t lame_at = 36 + 8 + 4 + 4 + 100 + 4;  // after a fully flagged Info header
    ASSERT_EQ(std::memcmp(&frame[lame_at], "LAME", 4), 0);
    LameTag tag{-1, -1};
    ASSERT_EQ(read_copy(frame.data(), int32_t(frame.size()), f.h, &tag), 1);

    // Any changed byte before the CRC (here one delay bit) makes the CRC fail.
    std::vector<uint8_t> bad = frame;
    bad[lame_at + 21] ^= 0x10;
    LameTag untouched{-7, -7};
    EXPECT_EQ(read_copy(bad.data(), int32_t(bad.size()), f.h, &untouched), 0);
    EXPECT_EQ(untouched.delay, -7);

    // A Xing header with nothing after its fields: no LAME tag.
    std::vector<uint8_t> bare = frame;
    const char xing[] = "Xing";
    for (int i = 0; i < 4; ++i) bare.at(size_t(36 + i)) = uint8_t(xing[i]);
    std::fill(bare.begin() + long(lame_at), bare.end(), 0);
    EXPECT_EQ(read_copy(bare.data(), int32_t(bare.size()), f.h, &tag), 0);

    // An audio frame has no tag word.
    MpegHeader h2{};
    int32_t size = mpeg_header_parse(f.at + bytes, f.avail - bytes, &h2);
    ASSERT_GT(size, 0);
    EXPECT_EQ(read_copy(f.at + bytes, size, h2, &tag), 0);

    // Every cut short of the CRC's last byte is refused; the whole tag is enough.
    const int32_t need = int32_t(lame_at) + 36;
    for (int32_t n = 0; n < need; ++n) ASSERT_EQ(read_copy(frame.data(), n, f.h, &tag), 0) << n;
    EXPECT_EQ(read_copy(frame.data(), need, f.h, &tag), 1);
    EXPECT_EQ(lame_tag_read(nullptr, need, &f.h, &tag), 0);
    EXPECT_EQ(lame_tag_read(frame.data(), need, nullptr, &tag), 0);
}

}  // namespace
