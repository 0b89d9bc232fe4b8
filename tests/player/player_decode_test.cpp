// Both players with the real decoder on files made at test time with lame and twolame: the whole
// file decoded into a SAMPLE, and the buffers the polls hand back, match mp3dec's output byte
// for byte after the sign conversion; the streamed player fed in blocks gives the same PCM as
// the in-memory player; a looping player's first buffer after the restart equals its first.
#include "player_state.h"
#include "player_test_util.h"

namespace {

using File = ptest::Encoded;

const File kFiles[] = {
    {"cbr128", "lame", "44.1", 44100, 2, 3.0, "-b 128"},         // "Info" frame, not Xing
    {"vbr", "lame", "44.1", 44100, 2, 3.0, "-V 4"},              // Xing header, flags 0x0F
    {"plain_mono", "lame", "44.1", 44100, 1, 2.0, "-b 64 -t"},   // no tag frame at all
    {"mpeg2", "lame", "22.05", 22050, 1, 2.0, "-b 32"},          // lower sampling frequencies
    {"mpeg25", "lame", "8", 8000, 2, 2.0, "-b 16"},              // MPEG-2.5
    {"tagged", "lame", "44.1", 44100, 2, 2.0, "-b 96 --add-id3v2 --tt Zivivev --ta Demo"},
    {"layer2", "twolame", "44.1", 44100, 2, 2.0, "-b 192"},      // Layer II
    {"long", "lame", "44.1", 44100, 2, 12.0, "-b 160"},          // over 10 s: decode_all threads
};

// mp3dec's raw signed 16-bit output for a file, every frame decoded as the players do.
std::vector<uint8_t> mp3dec_pcm(const File& f, const std::vector<uint8_t>& data) {
    std::string in = ziv::tmp_path(std::string(f.name) + ".in");
    std::string out = ziv::tmp_path(std::string(f.name) + ".pcm");
    ziv::write_file(in, data.data(), data.size());
    if (ziv::run("'" + ziv::mp3dec_path() + "' --no-gapless '" + in + "' '" + out + "'") != 0)
        return {};
    return ziv::read_file(out);
}

using ptest::to_signed;

class PlayerDecode : public ptest::FakeAllegroTest<::testing::TestWithParam<File>> {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        ZIV_REQUIRE_TOOL(GetParam().tool);
        data_ = ptest::encode(GetParam());
        ASSERT_FALSE(data_.empty()) << "encoding " << GetParam().name << " failed";
        ref_ = mp3dec_pcm(GetParam(), data_);
        ASSERT_FALSE(ref_.empty()) << "mp3dec failed on " << GetParam().name;
    }
    std::vector<uint8_t> data_, ref_;
};

TEST_P(PlayerDecode, DecodeAllMatchesMp3dec) {
    Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
    ASSERT_NE(p, nullptr);
    if (std::string(GetParam().name) == "vbr") {
        ASSERT_NE(p->core->xing, nullptr);
        EXPECT_EQ(p->core->xing->flags, 0x0F);
        EXPECT_EQ(mp3_total_frames(p), p->core->xing->frames);
    }
    if (std::string(GetParam().name) == "tagged") {
        EXPECT_EQ(std::memcmp(data_.data(), "ID3", 3), 0);
        EXPECT_EQ(std::memcmp(data_.data() + data_.size() - 128, "TAG", 3), 0);
        EXPECT_GT(ptest::data_start(p), data_.data() + 10);
        EXPECT_EQ(ptest::data_start(p) + ptest::data_len(p), data_.data() + data_.size() - 128);
    }
    SAMPLE* s = mp3_decode_all(p);
    ASSERT_NE(s, nullptr);
    size_t bytes = size_t(s->len) * 2 * (s->stereo ? 2 : 1);
    // Every frame the data holds, the Xing frame (silence) included: exactly mp3dec's output.
    std::vector<uint8_t> got = to_signed(static_cast<uint8_t*>(s->data), bytes);
    EXPECT_EQ(got.size(), ref_.size());
    EXPECT_TRUE(ptest::same_then_silent(got, ref_));
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(mp3_current_frame(p), 0);
    destroy_sample(s);
    mp3_destroy(p);
}

// Every buffer the polls hand back, to the end, as signed PCM.
std::vector<uint8_t> poll_all(Mp3Player* p, int32_t buffer_bytes, int* result) {
    mp3_play(p, buffer_bytes, 255, 128);
    int r = 0;
    for (int i = 0; i < 100000 && r == 0; ++i) r = mp3_poll(p);
    *result = r;
    return ptest::handed_signed();
}

TEST_P(PlayerDecode, PolledBuffersMatchMp3dec) {
    Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
    ASSERT_NE(p, nullptr);
    int r = 0;
    std::vector<uint8_t> pcm = poll_all(p, 16384, &r);
    EXPECT_EQ(r, 1);
    // Then the rest of the last buffer and two whole buffers of silence.
    EXPECT_TRUE(ptest::same_then_silent(pcm, ref_));
    size_t buf = size_t(p->frames_per_buffer) * size_t(p->format.frame_pcm_bytes);
    EXPECT_GE(pcm.size(), ref_.size() + 2 * buf);
    EXPECT_LT(pcm.size(), ref_.size() + 3 * buf);
    mp3_destroy(p);
}

TEST_P(PlayerDecode, StreamedInBlocksMatchesInMemory) {
    for (int32_t block : {3000, 8192, 65536}) {
        SCOPED_TRACE(block);
        const ptest::Streamed s = ptest::stream_in_blocks(data_.data(), data_.size(), block);
        ASSERT_TRUE(s.created);
        ASSERT_TRUE(s.played);
        EXPECT_EQ(s.result, 1);
        EXPECT_TRUE(ptest::same_then_silent(s.pcm, ref_));
    }
}

TEST_P(PlayerDecode, LoopRestartsWithTheSameFirstBuffer) {
    Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(mp3_play_ex(p, 16384, 255, 128, 1000, 1), 0);
    const auto& h = fake_al::st().handed;
    size_t buf = 0;
    int32_t prev = 0;
    for (int i = 0; i < 100000; ++i) {
        ASSERT_EQ(mp3_poll(p), 0) << "poll " << i;
        if (i == 0) buf = h[0].size();
        // The end rewinds to frame 0; the restart is the first poll that leaves it again.
        int32_t now = mp3_current_frame(p);
        if (i > 0 && prev == 0 && now == p->frames_per_buffer) break;
        prev = now;
    }
    ASSERT_EQ(mp3_is_playing(p), -1);
    ASSERT_GT(h.size(), 3u);
    std::vector<uint8_t> silence(buf, 0);
    for (size_t i = 0; i < silence.size(); i += 2) silence[i + 1] = 0x80; // unsigned 0x8000
    EXPECT_EQ(h[h.size() - 2], silence);
    EXPECT_EQ(h[h.size() - 3], silence);
    EXPECT_EQ(h.back(), h.front()) << "the restart decodes exactly what the first pass did";
    mp3_destroy(p);
}

INSTANTIATE_TEST_SUITE_P(Files, PlayerDecode, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<File>& i) { return std::string(i.param.name); });

}  // namespace
