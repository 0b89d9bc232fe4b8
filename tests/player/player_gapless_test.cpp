// Gapless playback in both players, on files made at test time with lame: the whole-file decode
// equals mpg123's gapless decode, the buffers handed back over two loops equal that decode twice
// with nothing between (the join inside a stream buffer), the streamed player hands back the
// same samples, and the position and length queries count them.
#include "mp3_player.h"
#include "mp3_stream_player.h"
#include "player_test_util.h"

namespace {

struct GapFile {
    const char* name;
    int channels;
    const char* args;
};

const GapFile kGapFiles[] = {
    {"gap_cbr", 2, "-b 128"},  // "Info" frame
    {"gap_vbr", 1, "-V 5"},    // "Xing" frame
};

// Every handed-back buffer as one run of signed samples.
std::vector<int16_t> handed_samples() {
    std::vector<int16_t> v;
    for (const auto& b : fake_al::st().handed) {
        std::vector<int16_t> s = fake_al::signed_samples(b);
        v.insert(v.end(), s.begin(), s.end());
    }
    return v;
}

class PlayerGapless : public ::testing::TestWithParam<GapFile> {
protected:
    void SetUp() override {
        fake_al::reset();
        ZIV_REQUIRE_TOOL("lame");
        ZIV_REQUIRE_TOOL("mpg123");
        const GapFile& f = GetParam();
        data_ = ptest::lame_file(f.name, "44.1", 44100, f.channels, 2.3, f.args);
        ASSERT_FALSE(data_.empty());
        const std::string out = ziv::tmp_path(std::string(f.name) + ".mpg123");
        ASSERT_EQ(ziv::run("mpg123 -q -s '" + ziv::tmp_path(std::string(f.name) + ".mp3") +
                           "' > '" + out + "'"), 0);
        ref_ = ziv::read_s16(out);
        ASSERT_EQ(ref_.size(), ptest::test_pcm(44100, f.channels, 2.3).size())
            << "mpg123 gives the encoder's input length";
        p_ = mp3_create(data_.data(), int32_t(data_.size()));
        ASSERT_NE(p_, nullptr);
        ASSERT_EQ(mp3_set_gapless(p_, 1), 0);
        SAMPLE* s = mp3_decode_all(p_);
        ASSERT_NE(s, nullptr);
        gapless_ = fake_al::signed_samples(std::vector<uint8_t>(
            static_cast<uint8_t*>(s->data),
            static_cast<uint8_t*>(s->data) + size_t(s->len) * 2 * size_t(f.channels)));
        destroy_sample(s);
    }
    void TearDown() override {
        mp3_destroy(p_);
        EXPECT_EQ(fake_al::st().errors, 0);
        EXPECT_EQ(fake_al::st().live_samples, 0);
        fake_al::reset();
    }
    int32_t ms(size_t samples) const {
        return int32_t(samples / size_t(GetParam().channels) * 1000 / 44100);
    }
    std::vector<uint8_t> data_;
    std::vector<int16_t> ref_, gapless_;
    Mp3Player* p_ = nullptr;
};

TEST_P(PlayerGapless, DecodeAllEqualsMpg123GaplessDecode) {
    ASSERT_EQ(gapless_.size(), ref_.size());
    ziv::PcmDiff d = ziv::pcm_diff(gapless_, ref_);
    std::printf("[ gapless  ] %zu samples, rms %.3f, max %d LSB against mpg123\n", d.compared, d.rms, d.max);
    EXPECT_LE(d.rms, 0.8);
    EXPECT_LE(d.max, 2) << "at " << d.max_at;
    EXPECT_EQ(mp3_length_ms(p_), ms(ref_.size()));
    EXPECT_EQ(mp3_position_ms(p_), 0);
    // Off again, the whole decode is the plain one: every frame, the Info frame included.
    ASSERT_EQ(mp3_set_gapless(p_, 0), 0);
    SAMPLE* s = mp3_decode_all(p_);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->len, mp3_total_frames(p_) * 1152);
    destroy_sample(s);
}

TEST_P(PlayerGapless, LoopJoinsLastSampleToFirst) {
    const size_t n = gapless_.size();
    ASSERT_EQ(mp3_play_ex(p_, 3 * p_->frame_pcm_bytes, 255, 128, 1000, 1), 0);
    EXPECT_EQ(mp3_set_gapless(p_, 0), -1) << "not while playing";
    const size_t buffer = size_t(3 * 1152 * GetParam().channels);
    ASSERT_NE(n % buffer, 0u) << "the join must fall inside a buffer";
    bool position_checked = false;
    for (int i = 0; i < 1000 && handed_samples().size() < 2 * n + buffer; ++i) {
        ASSERT_EQ(mp3_poll(p_), 0);
        const size_t h = handed_samples().size();
        // Inside the second pass the position counts the samples handed back in it.
        if (h > n && h < 2 * n && h % n) {
            EXPECT_EQ(mp3_position_ms(p_), ms(h - n));
            position_checked = true;
        }
    }
    EXPECT_TRUE(position_checked);
    std::vector<int16_t> got = handed_samples();
    ASSERT_GE(got.size(), 2 * n);
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin()));
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin() + long(n)))
        << "the second pass follows the first's last sample at once";

    // Not looping, the end is the gapless samples, then silence and the stop.
    mp3_stop(p_);
    mp3_rewind(p_);
    fake_al::st().handed.clear();
    ASSERT_EQ(mp3_play(p_, 3 * p_->frame_pcm_bytes, 255, 128), 0);
    int r = 0;
    for (int i = 0; i < 1000 && r == 0; ++i) r = mp3_poll(p_);
    EXPECT_EQ(r, 1);
    got = handed_samples();
    ASSERT_GE(got.size(), n + 2 * buffer);
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + long(n), got.end(), [](int16_t v) { return v == 0; }));
}

TEST_P(PlayerGapless, StreamedPlayerHandsBackTheSameSamples) {
    const int32_t block = 3000;
    EXPECT_EQ(mp3s_set_gapless(nullptr, 1), -1);
    Mp3StreamPlayer* s = mp3s_create(data_.data(), block, 0);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(mp3s_set_gapless(s, 1), 0);
    EXPECT_EQ(mp3s_length_ms(s, int32_t(data_.size())), ms(gapless_.size()));
    ASSERT_EQ(mp3s_play(s, 3 * s->frame_pcm_bytes, 255, 128), 0);
    EXPECT_EQ(mp3s_set_gapless(s, 0), -1) << "not while playing";
    size_t at = size_t(block);
    int r = 0;
    bool position_checked = false;
    for (int i = 0; i < 100000 && r == 0; ++i) {
        if (uint8_t* nb = mp3s_next_block(s); nb && at < data_.size()) {
            size_t n = std::min(size_t(block), data_.size() - at);
            std::memcpy(nb, data_.data() + at, n);
            at += n;
            mp3s_give_block(s, at == data_.size() ? int32_t(n) : -1);
        }
        r = mp3s_poll(s);
        const size_t h = handed_samples().size();
        if (r == 0 && h > 0 && h < gapless_.size() && !s->held) {
            EXPECT_EQ(mp3s_position_ms(s), ms(h));
            position_checked = true;
        }
    }
    EXPECT_EQ(r, 1);
    EXPECT_TRUE(position_checked);
    std::vector<int16_t> got = handed_samples();
    ASSERT_GE(got.size(), gapless_.size());
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + long(gapless_.size()), got.end(),
                            [](int16_t v) { return v == 0; }));
    mp3s_destroy(s);
}

INSTANTIATE_TEST_SUITE_P(Files, PlayerGapless, ::testing::ValuesIn(kGapFiles),
                         [](const ::testing::TestParamInfo<GapFile>& i) { return std::string(i.param.name); });

}  // namespace
