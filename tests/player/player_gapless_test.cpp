// Gapless playback in both players, on files made at test time with lame: the whole-file decode
// equals mpg123's gapless decode, the buffers over two loops equal that decode twice with nothing
// between (the join inside a stream buffer), the streamed player hands back the same samples,
// and the position and length queries count them. mp3dec, the whole-file decode, the in-memory
// player's polls and the streamed player give the same bytes, gapless or not, on every kind of
// file, the LAME tag's frame count ending the gapless run whatever data follows.
#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

struct GapFile { const char* name; int channels; const char* args; };
const GapFile kGapFiles[] = {{"gap_cbr", 2, "-b 128"}, {"gap_vbr", 1, "-V 5"}};  // Info / Xing

std::vector<int16_t> handed_samples() {
    std::vector<int16_t> v;
    for (const auto& b : fake_al::st().handed) {
        const std::vector<int16_t> s = fake_al::signed_samples(b);
        v.insert(v.end(), s.begin(), s.end());
    }
    return v;
}

bool silent_from(const std::vector<int16_t>& v, size_t from) {
    return std::all_of(v.begin() + long(from), v.end(), [](int16_t s) { return s == 0; });
}

class PlayerGapless : public ptest::FakeAllegroTest<::testing::TestWithParam<GapFile>> {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        ZIV_REQUIRE_TOOL("lame");
        ZIV_REQUIRE_TOOL("mpg123");
        const std::string name = GetParam().name;
        data_ = ptest::lame_file(name, "44.1", 44100, GetParam().channels, 2.3, GetParam().args);
        ASSERT_FALSE(data_.empty());
        const std::string out = ziv::tmp_path(name + ".mpg123");
        const std::string mp3 = ziv::tmp_path(name + ".mp3");
        ASSERT_EQ(ziv::run("mpg123 -q -s '" + mp3 + "' > '" + out + "'"), 0);
        ref_ = ziv::read_s16(out);
        p_ = mp3_create(data_.data(), int32_t(data_.size()));
        ASSERT_NE(p_, nullptr);
        ASSERT_EQ(mp3_set_gapless(p_, 1), 0);
        SAMPLE* s = mp3_decode_all(p_);
        ASSERT_NE(s, nullptr);
        const uint8_t* d = static_cast<uint8_t*>(s->data);
        gapless_ = fake_al::signed_samples({d, d + size_t(s->len) * 2 * size_t(ch())});
        destroy_sample(s);
        buffer_ = 3 * 1152 * ch();
        ASSERT_NE(gapless_.size() % buffer_, 0u) << "the end must fall inside a buffer";
    }
    void TearDown() override {
        mp3_destroy(p_);
        FakeAllegroTest::TearDown();
    }
    size_t ch() const { return size_t(GetParam().channels); }
    int32_t ms(size_t samples) const { return int32_t(samples / ch() * 1000 / 44100); }
    std::vector<uint8_t> data_;
    std::vector<int16_t> ref_, gapless_;
    size_t buffer_ = 0;  // samples of one stream buffer of three frames
    Mp3Player* p_ = nullptr;
};

// With gapless on, a time counts from the first sample handed back, in the player as in the
// core: both land on the frame that holds it, and the buffer after the seek starts there.
TEST_P(PlayerGapless, SeeksByTimeCountFromTheFirstSampleHandedBack) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_set_data(c, data_.data(), data_.size()), MP3_OK);
    for (int32_t ms : {0, 13, 26, 27, 500, 1000, 2000}) {
        mp3_seek_ms(p_, ms);
        const int32_t at = mpeg_core_seek_ms(c, ms);
        ASSERT_GE(at, 0);
        EXPECT_EQ(mp3_current_frame(p_), int32_t(mpeg_core_frame(c))) << ms << " ms";
        EXPECT_EQ(mp3_current_frame(p_), (int64_t(ms) * 44100 / 1000 + p_->core->gap.start) / 1152)
            << ms << " ms";
        EXPECT_EQ(mp3_position_samples(p_), mpeg_core_tell(c));
        // The first buffer after it: the gapless decode from there.
        fake_al::reset();
        ASSERT_EQ(mp3_play(p_, int32_t(buffer_ * 2), 255, 128), 0);
        ASSERT_EQ(mp3_poll(p_), 0);
        const std::vector<int16_t> got = handed_samples();
        const size_t from = size_t(mpeg_core_tell(c)) * ch();
        ASSERT_EQ(got.size(), buffer_);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), gapless_.begin() + long(from)))
            << ms << " ms, from sample " << from / ch();
        mp3_stop(p_);
    }
    mpeg_core_destroy(c);
}

TEST_P(PlayerGapless, DecodeAllEqualsMpg123GaplessDecode) {
    ASSERT_EQ(gapless_.size(), ref_.size());
    const ziv::PcmDiff d = ziv::pcm_diff(gapless_, ref_);
    std::printf("[ gapless  ] %zu samples, rms %.3f, max %d LSB against mpg123\n", d.compared,
                d.rms, d.max);
    EXPECT_LE(d.rms, 0.8);
    EXPECT_LE(d.max, 2) << "at " << d.max_at;
    EXPECT_EQ(mp3_length_ms(p_), ms(ref_.size()));
    // Off again, the whole decode is the plain one, the Info frame included.
    ASSERT_EQ(mp3_set_gapless(p_, 0), 0);
    SAMPLE* s = mp3_decode_all(p_);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->len, p_->core->index.frames * 1152);
    destroy_sample(s);
}

TEST_P(PlayerGapless, LoopJoinsLastSampleToFirstInsideABuffer) {
    const size_t n = gapless_.size();
    ASSERT_EQ(mp3_play_ex(p_, 3 * p_->format.frame_pcm_bytes, 255, 128, 1000, 1), 0);
    EXPECT_EQ(mp3_set_gapless(p_, 0), -1) << "not while playing";
    int positions = 0;
    for (size_t h = 0; h < 2 * n + buffer_;) {
        ASSERT_EQ(mp3_poll(p_), 0);
        h = handed_samples().size();
        // Inside the second pass the position counts the samples handed back in it.
        if (h > n && h < 2 * n) positions += mp3_position_ms(p_) == ms(h - n) ? 1 : -1000;
    }
    EXPECT_GT(positions, 0);
    std::vector<int16_t> got = handed_samples();
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin()));
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin() + long(n)))
        << "the second pass follows the first's last sample at once";

    // Not looping: the gapless samples, then silence and the stop.
    mp3_stop(p_);
    mp3_rewind(p_);
    fake_al::st().handed.clear();
    ASSERT_EQ(mp3_play(p_, 3 * p_->format.frame_pcm_bytes, 255, 128), 0);
    int r = 0;
    for (int i = 0; i < 1000 && r == 0; ++i) r = mp3_poll(p_);
    EXPECT_EQ(r, 1);
    got = handed_samples();
    ASSERT_GE(got.size(), n + 2 * buffer_);
    EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin()));
    EXPECT_TRUE(silent_from(got, n));
}

// Also behind a leading tag longer than a block: the first frame, and its LAME tag, come later.
TEST_P(PlayerGapless, StreamedPlayerHandsBackTheSameSamples) {
    const size_t block = 3000;
    EXPECT_EQ(mp3s_set_gapless(nullptr, 1), -1);
    std::vector<uint8_t> tagged = {'I', 'D', '3', 3, 0, 0, 0, 0, 4990 >> 7, 4990 & 0x7F};
    tagged.resize(5000, 0);
    tagged.insert(tagged.end(), data_.begin(), data_.end());
    for (const std::vector<uint8_t>* data : {&data_, &tagged}) {
        fake_al::st().handed.clear();
        Mp3StreamPlayer* s = mp3s_create(data->data(), int32_t(block), 0);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->pending, data == &tagged ? -1 : 0);
        ASSERT_EQ(mp3s_set_gapless(s, 1), 0);
        ASSERT_EQ(mp3s_play(s, 3 * 1152 * 2 * int32_t(ch()), 255, 128), 0);
        EXPECT_EQ(mp3s_set_gapless(s, 0), -1) << "not while playing";
        int r = 0, positions = 0;
        for (size_t at = block, i = 0; i < 100000 && r == 0; ++i) {
            if (uint8_t* nb = mp3s_next_block(s); nb && at < data->size()) {
                const size_t n = std::min(block, data->size() - at);
                std::memcpy(nb, data->data() + at, n);
                at += n;
                mp3s_give_block(s, at == data->size() ? int32_t(n) : -1);
            }
            r = mp3s_poll(s);
            const size_t h = handed_samples().size();
            if (r == 0 && h < gapless_.size() && !s->held)
                positions += mp3s_position_ms(s) == ms(h) ? 1 : -1000;
        }
        EXPECT_EQ(r, 1);
        EXPECT_GT(positions, 0);
        EXPECT_EQ(mp3s_length_ms(s, int32_t(data->size())), ms(gapless_.size()));
        const std::vector<int16_t> got = handed_samples();
        ASSERT_GE(got.size(), gapless_.size());
        EXPECT_TRUE(std::equal(gapless_.begin(), gapless_.end(), got.begin()));
        EXPECT_TRUE(silent_from(got, gapless_.size()));
        mp3s_destroy(s);
    }
}

// A file for the agreement of every way to decode: lame CBR and VBR, MPEG-2 at 22.05 kHz, Layer II
// from twolame, and an encoding followed by a second one (the first's tag counts only its own
// frames).
struct AgreeFile {
    const char* name;
    std::vector<uint8_t> (*build)();
    size_t input_bytes;  // the encoder's input (of the first encoding); 0: no LAME tag
};
std::vector<uint8_t> agree_cbr() {
    return ptest::lame_file("agree_cbr", "44.1", 44100, 2, 1.7, "-b 128");
}
std::vector<uint8_t> agree_vbr() {
    return ptest::lame_file("agree_vbr", "44.1", 44100, 1, 1.3, "-V 4");
}
std::vector<uint8_t> agree_m2() {
    return ptest::lame_file("agree_m2", "22.05", 22050, 2, 1.5, "-b 64");
}
std::vector<uint8_t> agree_l2() { return ptest::twolame_file("agree_l2", 44100, 2, 1.2, "-b 192"); }
std::vector<uint8_t> agree_joined() {
    std::vector<uint8_t> v = agree_cbr();
    const std::vector<uint8_t> more =
        ptest::lame_file("agree_cbr2", "44.1", 44100, 2, 0.9, "-b 128");
    v.insert(v.end(), more.begin(), more.end());
    return v;
}
const AgreeFile kAgreeFiles[] = {{"cbr", agree_cbr, size_t(44100 * 1.7) * 4},
                                  {"vbr", agree_vbr, size_t(44100 * 1.3) * 2},
                                  {"mpeg2", agree_m2, size_t(22050 * 1.5) * 4},
                                  {"layer2", agree_l2, 0},
                                  {"joined", agree_joined, size_t(44100 * 1.7) * 4}};

class DecodeAgreement : public ::testing::TestWithParam<AgreeFile> {};

TEST_P(DecodeAgreement, Mp3decDecodeAllPollsAndStreamedPlayerGiveTheSameBytes) {
    for (const char* tool : {"lame", "twolame"}) ZIV_REQUIRE_TOOL(tool);
    const std::vector<uint8_t> data = GetParam().build();
    ASSERT_GT(data.size(), 4096u);
    const std::string in = ziv::tmp_path(std::string("agree_") + GetParam().name + ".in"),
                      out = ziv::tmp_path(std::string("agree_") + GetParam().name + ".raw");
    ASSERT_TRUE(ziv::write_file(in, data.data(), data.size()));
    for (int32_t gapless : {0, -1}) {
        SCOPED_TRACE(gapless ? "gapless" : "every frame");
        ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' " + (gapless ? "" : "--no-gapless ") +
                           "'" + in + "' '" + out + "'"),
                  0);
        const std::vector<uint8_t> want = ziv::read_file(out);
        ASSERT_FALSE(want.empty());
        // Gapless, a lame file gives back its encoder's input, sample for sample in length.
        if (gapless && GetParam().input_bytes) {
            EXPECT_EQ(want.size(), GetParam().input_bytes);
        }

        fake_al::reset();
        Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(mp3_set_gapless(p, gapless), 0);
        SAMPLE* s = mp3_decode_all(p);
        ASSERT_NE(s, nullptr);
        const size_t bytes = size_t(s->len) * 2 * (s->stereo ? 2 : 1);
        EXPECT_EQ(ptest::to_signed(static_cast<uint8_t*>(s->data), bytes), want)
            << "mp3_decode_all";
        destroy_sample(s);
        if (gapless) {
            const int64_t samples = int64_t(want.size()) / (mp3_is_stereo(p) ? 4 : 2);
            EXPECT_EQ(mp3_length_ms(p), int32_t(samples * 1000 / mp3_frequency(p)));
        }
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        int r = 0;
        for (int i = 0; i < 100000 && r == 0; ++i) r = mp3_poll(p);
        EXPECT_EQ(r, 1);
        EXPECT_TRUE(ptest::same_then_silent(ptest::handed_signed(), want)) << "mp3_poll";
        mp3_destroy(p);

        for (int32_t block : {4096, 65536, int32_t(data.size()) + 1000}) {
            const ptest::Streamed st =
                ptest::stream_in_blocks(data.data(), data.size(), block, 16384, gapless);
            EXPECT_EQ(st.result, 1) << "block " << block;
            EXPECT_TRUE(ptest::same_then_silent(st.pcm, want)) << "streamed, block " << block;
        }
        fake_al::reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DecodeAgreement, ::testing::ValuesIn(kAgreeFiles),
                         [](const ::testing::TestParamInfo<AgreeFile>& i) { return i.param.name; });

INSTANTIATE_TEST_SUITE_P(Files, PlayerGapless, ::testing::ValuesIn(kGapFiles),
                         [](const ::testing::TestParamInfo<GapFile>& i) { return i.param.name; });

}  // namespace
