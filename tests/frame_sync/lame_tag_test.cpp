// The LAME tag reader and the gapless cut on files made at test time with lame and with ffmpeg's
// libmp3lame encoder: the cut decode equals mpg123's gapless decode sample for sample in length
// (and within rounding in value) at full, half and quarter rate; damaged, missing and cut-off
// tags are refused without reading past the bytes given.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "decoder_util.h"
#include "lame_tag.h"
#include "test_util.h"

namespace {

// An odd number of samples of two tones, encoded; `input` is the samples per channel.
std::string make(const std::string& name, bool ffmpeg, int rate, int ch, int kbps, int64_t* input) {
    *input = int64_t(rate) * 13 / 10 + 37;
    std::vector<int16_t> pcm(size_t(*input) * size_t(ch));
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double t = double(i / size_t(ch)) / rate;
        pcm[i] = int16_t(9000 * std::sin(2073 * t) + 6000 * std::sin(7600 * t + double(i % 2)));
    }
    const std::string raw = ziv::tmp_path(name + ".raw"), mp3 = ziv::tmp_path(name + ".mp3");
    EXPECT_TRUE(ziv::write_file(raw, pcm.data(), pcm.size() * 2));
    const std::string cmd =
        ffmpeg ? "ffmpeg -loglevel error -y -f s16le -ar " + std::to_string(rate) + " -ac " +
                     std::to_string(ch) + " -i '" + raw + "' -c:a libmp3lame -b:a " +
                     std::to_string(kbps) + "k '" + mp3 + "'"
               : "lame --quiet -r --bitwidth 16 --signed --little-endian -s " +
                     std::to_string(rate / 1000.0) + " -m " + (ch == 2 ? "j" : "m") + " -b " +
                     std::to_string(kbps) + " '" + raw + "' '" + mp3 + "'";
    EXPECT_EQ(ziv::run(cmd), 0) << cmd;
    return mp3;
}

// The first frame of a file, tags stepped over: its bytes to the end of the data (trailing tags
// cut off), and its header.
const uint8_t* first_frame(const std::vector<uint8_t>& file, int32_t* avail, MpegHeader* h) {
    const int32_t len = mpeg_trailing_tags(file.data(), int32_t(file.size()));
    MpegSync sync;
    mpeg_sync_init(&sync);
    int32_t at = 0, frame_bytes = 0, bitrate = 0;
    if (mpeg_sync_lock(&sync, file.data(), len, 1, &at, h, &frame_bytes, &bitrate) !=
        MPEG_SYNC_FRAME)
        return nullptr;
    *avail = len - at;
    return file.data() + at;
}

TEST(MpegLameTag, CutDecodeEqualsMpg123GaplessDecode) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("ffmpeg");
    ZIV_REQUIRE_TOOL("mpg123");
    struct Case { const char* name; bool ffmpeg; int rate, ch, kbps; };
    const Case cases[] = {{"lame44s", false, 44100, 2, 128}, {"lame22m", false, 22050, 1, 64},
                          {"ffmpeg44s", true, 44100, 2, 128}, {"ffmpeg32s", true, 32000, 2, 96}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t input = 0;
        const std::string path = make(c.name, c.ffmpeg, c.rate, c.ch, c.kbps, &input);
        const std::vector<uint8_t> file = ziv::read_file(path);
        int32_t avail = 0;
        MpegHeader h{};
        const uint8_t* f = first_frame(file, &avail, &h);
        MpegLameTag tag{};
        ASSERT_EQ(mpeg_lame_tag_read(f, avail, &h, &tag), 1);
        MpegFrameInfo info{};
        ASSERT_EQ(mpeg_header_info(&h, &info), 1);
        ASSERT_EQ(info.sample_rate, c.rate);
        EXPECT_GE(tag.delay, 576);
        // mpg123 gives no output below 8 kHz.
        for (int32_t r = 0; r <= 2 && (c.rate >> r) >= 8000; ++r) {
            SCOPED_TRACE(r);
            const ziv::Decoded d = ziv::decode_whole(file, r);
            ASSERT_TRUE(d.set_up);
            // A whole-file decode plays the Info frame too (as silence): it is not audio.
            const int64_t spf = info.samples >> r, audio = int64_t(d.frames - 1) * spf;
            EXPECT_EQ(mpeg_lame_info_frames(f, avail, &h), d.frames - 1);
            if (r == 0) {
                EXPECT_EQ(audio, input + tag.delay + tag.padding);
            }
            int64_t skip = -1, keep = -1;
            mpeg_lame_trim(&tag, audio, r, &skip, &keep);
            const std::vector<int16_t> all = ziv::to_s16(d.pcm);
            const std::vector<int16_t> cut(all.begin() + (spf + skip) * c.ch,
                                           all.begin() + (spf + skip + keep) * c.ch);
            const std::string out = path + std::to_string(r) + ".pcm";
            ASSERT_EQ(ziv::run("mpg123 -q " + (r ? "-" + std::to_string(1 << r) : "") + " -s '" +
                               path + "' > '" + out + "'"), 0);
            const std::vector<int16_t> ref = ziv::read_s16(out);
            ASSERT_EQ(cut.size(), ref.size());
            if (r > 0) continue;  // mpg123 reduces the rate its own way: lengths only
            EXPECT_EQ(keep, input);
            const ziv::PcmDiff diff = ziv::pcm_diff(cut, ref);
            EXPECT_LE(diff.rms, 0.8);
            EXPECT_LE(diff.max, 2) << "at " << diff.max_at;
        }
    }
}

// The bytes in an exactly sized heap block, so that a read past them is caught by the sanitizers.
int32_t read_copy(const std::vector<uint8_t>& v, size_t n, const MpegHeader& h, MpegLameTag* tag) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
    std::copy(v.begin(), v.begin() + long(n), copy.get());
    return mpeg_lame_tag_read(copy.get(), int32_t(n), &h, tag);
}

TEST(MpegLameTag, DamagedMissingAndCutTagsAreRefused) {
    ZIV_REQUIRE_TOOL("lame");
    int64_t input = 0;
    const std::vector<uint8_t> file = ziv::read_file(make("damage", false, 44100, 2, 128, &input));
    int32_t avail = 0;
    MpegHeader h{};
    const uint8_t* f = first_frame(file, &avail, &h);
    ASSERT_NE(f, nullptr);
    const std::vector<uint8_t> frame(f, f + mpeg_header_parse(f, avail, &h) + h.padding_bit);
    const size_t tag_at = 36 + 8 + 4 + 4 + 100 + 4, need = tag_at + 36;  // fully flagged header
    ASSERT_EQ(std::string(frame.begin() + long(tag_at), frame.begin() + long(tag_at) + 4), "LAME");
    MpegLameTag tag{-7, -7};
    // Any changed byte before the CRC (here one delay bit) makes the CRC fail.
    std::vector<uint8_t> bad = frame;
    bad[tag_at + 21] ^= 0x10;
    EXPECT_EQ(read_copy(bad, bad.size(), h, &tag), 0);
    EXPECT_EQ(tag.delay, -7) << "untouched";
    // A Xing header with nothing after its fields: no LAME tag.
    bad = frame;
    bad[36] = 'X', bad[37] = 'i', bad[38] = 'n', bad[39] = 'g';
    std::fill(bad.begin() + long(tag_at), bad.end(), 0);
    EXPECT_EQ(read_copy(bad, bad.size(), h, &tag), 0);
    // An audio frame has no tag word.
    MpegHeader h2{};
    const uint8_t* second = f + frame.size();
    EXPECT_EQ(mpeg_lame_tag_read(second, mpeg_header_parse(second, avail - int32_t(frame.size()), &h2),
                            &h2, &tag), 0);
    EXPECT_EQ(mpeg_lame_info_frames(second, 400, &h2), -1);
    // Every cut short of the CRC's last byte is refused; the whole tag is enough.
    for (size_t n = 0; n < need; ++n) ASSERT_EQ(read_copy(frame, n, h, &tag), 0) << n;
    EXPECT_EQ(read_copy(frame, need, h, &tag), 1);
    EXPECT_EQ(mpeg_lame_tag_read(nullptr, int32_t(need), &h, &tag), 0);
}

}  // namespace
