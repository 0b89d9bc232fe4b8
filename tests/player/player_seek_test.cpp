// Seeking in the in-memory player with the real decoder, on files made at test time: constant
// bitrate, variable bitrate with a Xing table of contents and without one, MPEG-2 and Layer II.
// A seek by time lands on the frame that holds the time (checked against an independent walk of
// the frame headers), and the first buffer after a seek or a skip is byte for byte the one an
// uninterrupted decode gives at that frame.
#include <algorithm>

#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

using SeekFile = ptest::Encoded;
constexpr double kSecs = 8.0;

const SeekFile kSeekFiles[] = {
    {"seek_cbr", "lame", "44.1", 44100, 2, kSecs, "-b 128"},
    {"seek_vbr_toc", "lame", "44.1", 44100, 2, kSecs, "-V 2"},
    {"seek_vbr_no_toc", "lame", "44.1", 44100, 2, kSecs, "-V 2 -t"}, // no Xing frame at all
    {"seek_mpeg2", "lame", "22.05", 22050, 1, kSecs, "-V 5 -t"},     // 576 samples per frame
    {"seek_layer2", "twolame", "44.1", 44100, 2, kSecs, "-b 192"},
};

class PlayerSeek : public ptest::FakeAllegroTest<::testing::TestWithParam<SeekFile>> {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        const SeekFile& f = GetParam();
        ZIV_REQUIRE_TOOL(f.tool);
        data_ = ptest::encode(f);
        ASSERT_FALSE(data_.empty()) << "encoding " << f.name << " failed";
        offs_ = ptest::frame_offsets(data_);
        ASSERT_GT(offs_.size(), 100u);
        p_ = mp3_create(data_.data(), int32_t(data_.size()));
        ASSERT_NE(p_, nullptr);
        ASSERT_EQ(ptest::data_start(p_), data_.data());
        spf_ = p_->format.frame_pcm_bytes / 2 / (p_->format.stereo ? 2 : 1);
    }
    void TearDown() override {
        mp3_destroy(p_);
        FakeAllegroTest::TearDown();
    }
    // The frame that holds the time `ms` after the start of frame `from` (a time not before the
    // start), worked out from the sample rate.
    int32_t frame_of_ms(int64_t ms, int32_t from = 0) const {
        return int32_t((int64_t(from) * spf_ * 1000 + ms * GetParam().rate) / (int64_t(spf_) * 1000));
    }
    // The player is on frame f: its number, its first byte and its time.
    void expect_at(int32_t f) const {
        ASSERT_LT(size_t(f), offs_.size());
        EXPECT_EQ(mp3_current_frame(p_), f);
        EXPECT_EQ(size_t(ptest::read_pos(p_) - ptest::data_start(p_)), offs_[size_t(f)]) << "frame " << f;
        EXPECT_NEAR(mp3_position_ms(p_), double(f) * spf_ * 1000 / GetParam().rate, 1.0);
    }
    std::vector<uint8_t> data_;
    std::vector<size_t> offs_;
    Mp3Player* p_ = nullptr;
    int32_t spf_ = 0;
};

TEST_P(PlayerSeek, SeeksAndSkipsLandOnTheFrameThatHoldsTheTime) {
    const std::string name = GetParam().name;
    if (name == "seek_vbr_toc") {
        ASSERT_NE(p_->core->xing, nullptr);
        EXPECT_EQ(p_->core->xing->flags & 5, 5) << "frame count and table of contents";
    }
    if (name == "seek_vbr_no_toc") {
        EXPECT_EQ(p_->core->xing, nullptr);
    }
    ASSERT_EQ(size_t(p_->core->index.frames), offs_.size());

    for (int32_t ms : {0, 1, 25, 26, 27, 999, 1000, 2500, 4321, 6000, 7500}) {
        SCOPED_TRACE(ms);
        mp3_seek_ms(p_, ms);
        const int32_t f = frame_of_ms(ms);
        expect_at(f);
        EXPECT_LE(mp3_position_ms(p_), ms);
        EXPECT_GT(double(f + 1) * spf_ * 1000.0 / GetParam().rate, double(ms));
    }
    mp3_seek_secs(p_, 5);
    expect_at(frame_of_ms(5000));

    // Skips count from the start of the current frame.
    mp3_seek_ms(p_, 4000);
    const int32_t f = frame_of_ms(4000);
    mp3_skip_frames(p_, 7);
    expect_at(f + 7);
    mp3_skip_frames(p_, -(f + 7));
    expect_at(0);
    mp3_seek_frame(p_, f);
    mp3_skip_ms(p_, -1500);
    expect_at(frame_of_ms(-1500, f));
    mp3_seek_frame(p_, f);
    mp3_skip_secs(p_, 2);
    expect_at(frame_of_ms(2000, f));
    mp3_skip_secs(p_, -100);
    mp3_skip_ms(p_, 100000);
    EXPECT_EQ(mp3_current_frame(p_), frame_of_ms(2000, f)) << "before the start or past the end";
}

TEST_P(PlayerSeek, FirstBufferAfterASeekIsTheUninterruptedDecode) {
    SAMPLE* all = mp3_decode_all(p_);
    ASSERT_NE(all, nullptr);
    const uint8_t* ref = static_cast<const uint8_t*>(all->data);
    const size_t fpcm = size_t(p_->format.frame_pcm_bytes);
    const size_t total = size_t(all->len) * 2 * (all->stereo ? 2 : 1);
    const int32_t fpb = 3;
    const auto& handed = fake_al::st().handed;
    // The buffer a poll hands back now equals the uninterrupted decode's frames from f on.
    auto expect_buffer_from = [&](int32_t f, const char* how) {
        const size_t n = handed.size();
        ASSERT_EQ(mp3_poll(p_), 0);
        ASSERT_EQ(handed.size(), n + 1);
        ASSERT_LE((size_t(f) + fpb) * fpcm, total);
        const bool same =
            std::memcmp(handed.back().data(), ref + size_t(f) * fpcm, fpb * fpcm) == 0;
        EXPECT_TRUE(same) << how << " frame " << f;
    };

    // A lame file's Xing count leaves out the Info frame, which the player decodes as frame 0:
    // the whole-file decode holds total_frames frames.
    const int32_t last = std::min(p_->core->index.frames, mp3_total_frames(p_)) - fpb;
    // Seeks while stopped, then play: from the first frames on (where the pre-roll is cut short
    // by the start of the data) to the end.
    for (int32_t f : {1, 2, 3, 5, 17, 60, 111, 150, 201, last}) {
        mp3_seek_frame(p_, f);
        ASSERT_EQ(mp3_play(p_, fpb * p_->format.frame_pcm_bytes, 255, 128), 0);
        expect_buffer_from(f, "seek");
        mp3_stop(p_);
    }
    // While playing: a seek by time, a skip back and a skip forward between polls.
    ASSERT_EQ(mp3_play(p_, fpb * p_->format.frame_pcm_bytes, 255, 128), 0);
    mp3_seek_ms(p_, 3000);
    expect_buffer_from(frame_of_ms(3000), "seek_ms");
    expect_buffer_from(frame_of_ms(3000) + fpb, "the poll after");
    mp3_skip_frames(p_, -40);
    expect_buffer_from(frame_of_ms(3000) + 2 * fpb - 40, "skip back");
    mp3_skip_frames(p_, 25);
    expect_buffer_from(frame_of_ms(3000) + 3 * fpb - 15, "skip forward");
    mp3_stop(p_);
    destroy_sample(all);
}

// The streamed player, fed at the offsets it names: the offset is the bytes given so far until
// it seeks; a seek to any time it has passed hands back the uninterrupted decode from the frame
// that holds the time (as the in-memory player's seek lands), and a time not passed yet is
// refused with no change.
TEST_P(PlayerSeek, StreamedSeeksAreExactToAnyTimePassed) {
    SAMPLE* all = mp3_decode_all(p_);
    ASSERT_NE(all, nullptr);
    const uint8_t* ref = static_cast<const uint8_t*>(all->data);
    const size_t fpcm = size_t(p_->format.frame_pcm_bytes);
    const int32_t fpb = 3, block = 4096;
    const auto& handed = fake_al::st().handed;
    Mp3StreamPlayer* s = mp3s_create(data_.data(), block, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(mp3s_next_block_offset(s), block);
    ASSERT_TRUE(ptest::feed_named(s, data_.data(), data_.size(), block));
    EXPECT_EQ(mp3s_next_block_offset(s), -1) << "both blocks held";
    ASSERT_EQ(mp3s_play(s, fpb * int32_t(fpcm), 255, 128), 0);
    // The next buffer handed back, the player fed as it asks.
    auto next_buffer = [&]() -> const std::vector<uint8_t>* {
        const size_t n = handed.size();
        for (int i = 0; i < 10000 && handed.size() == n; ++i) {
            ptest::feed_named(s, data_.data(), data_.size(), block);
            if (mp3s_poll(s) != 0) return nullptr;
        }
        return handed.size() > n ? &handed.back() : nullptr;
    };
    // Play to about 6 s without a seek: the blocks come in order.
    int64_t given = 2 * block;
    while (mp3s_position_ms(s) < 6000) {
        const int64_t off = mp3s_next_block_offset(s);
        if (off >= 0) {
            EXPECT_EQ(off, given);
            given += block;
        }
        ASSERT_NE(next_buffer(), nullptr);
    }
    const int32_t at = mp3s_current_frame(s);
    EXPECT_EQ(mp3s_seek_ms(s, 7900), -1) << "not passed yet";
    EXPECT_EQ(mp3s_current_frame(s), at);
    for (int32_t ms : {0, 1, 27, 1000, 2500, 4321, 5500, 100}) {
        SCOPED_TRACE(ms);
        // A block asked for before the seek (as the game's thread may, while the automatic
        // poll loops back) and given after it holds the old offset's bytes: it is not taken.
        uint8_t* early = mp3s_next_block(s);
        ASSERT_EQ(mp3s_seek_ms(s, ms), 0);
        if (early) {
            std::memset(early, 0xA5, block);
            mp3s_give_block(s, -1);
        }
        const int32_t f = frame_of_ms(ms);
        const std::vector<uint8_t>* b = next_buffer();
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::memcmp(b->data(), ref + size_t(f) * fpcm, fpb * fpcm), 0) << "frame " << f;
    }
    ASSERT_EQ(mp3s_rewind(s), 0);
    const std::vector<uint8_t>* b = next_buffer();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::memcmp(b->data(), ref, fpb * fpcm), 0) << "rewound";
    mp3s_destroy(s);
    destroy_sample(all);
}

INSTANTIATE_TEST_SUITE_P(Files, PlayerSeek, ::testing::ValuesIn(kSeekFiles),
                         [](const ::testing::TestParamInfo<SeekFile>& i) {
                             return std::string(i.param.name);
                         });

// MPEG-2 and MPEG-2.5 Layer III frames hold one granule, so the history a frame needs (the bit
// reservoir of the frame before it, and the overlap of the one before that) reaches further back
// in frames than in MPEG-1. A seek to every frame of each file: the first buffer after every one
// (twelve frames) is the uninterrupted decode's.
// High bitrates: a frame's own main data is then larger than the reservoir's reach.
const SeekFile kOneGranuleFiles[] = {
    {"burst_m2_22", "lame", "22.05", 22050, 2, kSecs, "-V 0"},
    {"burst_m2_24", "lame", "24", 24000, 1, kSecs, "-b 160"},
    {"burst_m2_16", "lame", "16", 16000, 2, kSecs, "-b 128"},
    {"burst_m25_11", "lame", "11.025", 11025, 2, kSecs, "-b 160"},
    {"burst_m25_12", "lame", "12", 12000, 1, kSecs, "-V 0"},
    {"burst_m25_8", "lame", "8", 8000, 1, kSecs, "-b 64"},
};

// Tones broken by bursts of noise that come and go: lame saves bits in the quiet stretches and
// spends them from the bit reservoir on the attacks.
std::vector<uint8_t> bursty_file(const SeekFile& f) {
    const std::string raw = ziv::tmp_path(std::string(f.name) + ".raw"),
                      mp3 = ziv::tmp_path(std::string(f.name) + ".mp3");
    if (!ziv::file_exists(mp3)) {
        std::vector<int16_t> pcm = ptest::test_pcm(f.rate, f.channels, f.secs);
        uint32_t seed = 12345;
        for (size_t i = 0; i < pcm.size(); ++i) {
            const size_t t = i / size_t(f.channels);
            const bool burst = (t * 7 / size_t(f.rate)) % 3 == 0;
            seed = seed * 1664525u + 1013904223u;
            const int noise = burst ? int(seed >> 17) - 16384 : 0;
            pcm[i] = int16_t(std::clamp(pcm[i] / (burst ? 4 : 1) + noise, -32768, 32767));
        }
        if (!ziv::write_file(raw, pcm.data(), pcm.size() * 2)) return {};
        const std::string cmd = std::string("lame --quiet -r -s ") + f.khz +
                                " --bitwidth 16 --signed --little-endian -m " +
                                (f.channels == 2 ? "j " : "m ") + f.args + " '" + raw + "' '" +
                                mp3 + "'";
        if (ziv::run(cmd) != 0) return {};
    }
    return ziv::read_file(mp3);
}

class OneGranuleSeek : public ptest::FakeAllegroTest<::testing::TestWithParam<SeekFile>> {};

TEST_P(OneGranuleSeek, FirstBufferAfterEverySeekIsTheUninterruptedDecode) {
    ZIV_REQUIRE_TOOL("lame");
    const std::vector<uint8_t> data = bursty_file(GetParam());
    ASSERT_FALSE(data.empty());
    Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->format.frequency, GetParam().rate);
    SAMPLE* all = mp3_decode_all(p);
    ASSERT_NE(all, nullptr);
    const uint8_t* ref = static_cast<const uint8_t*>(all->data);
    const size_t fpcm = size_t(p->format.frame_pcm_bytes);
    const int32_t fpb = 12, frames = p->core->index.frames;
    ASSERT_GT(frames, 100);
    int32_t exact = 0;
    for (int32_t k = 0; k < frames - fpb - 2; ++k) {
        const int32_t f = 1 + k;
        const auto& handed = fake_al::st().handed;
        const size_t n = handed.size();
        mp3_seek_frame(p, f);
        ASSERT_EQ(mp3_play(p, fpb * int32_t(fpcm), 255, 128), 0);
        ASSERT_EQ(mp3_poll(p), 0);
        ASSERT_EQ(handed.size(), n + 1);
        exact += std::memcmp(handed.back().data(), ref + size_t(f) * fpcm, fpb * fpcm) == 0;
        mp3_stop(p);
    }
    EXPECT_EQ(exact, frames - fpb - 2) << "seeks whose first buffer is the uninterrupted decode's";
    std::printf("[ seeks    ] %s: %d of %d exact\n", GetParam().name, exact, frames - fpb - 2);
    destroy_sample(all);
    mp3_destroy(p);
}

INSTANTIATE_TEST_SUITE_P(Files, OneGranuleSeek, ::testing::ValuesIn(kOneGranuleFiles),
                         [](const ::testing::TestParamInfo<SeekFile>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
