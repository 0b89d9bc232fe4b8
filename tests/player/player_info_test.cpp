// What the players tell about the file and the ReplayGain they apply, on a file made with lame
// and tagged with mid3v2 at test time: both players hand the game the tags (the streamed one
// those of its first block), and with ReplayGain on both hand back the factor times the plain
// PCM (within 2 LSB at most unity gain, factor + 1 LSB above), the factor the file's gain capped
// by its peak; off, the bytes are the plain ones.
#include <cmath>

#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

std::vector<int16_t> decode_all(Mp3Player* p) {
    SAMPLE* s = mp3_decode_all(p);
    EXPECT_NE(s, nullptr);
    if (!s) return {};
    const uint8_t* d = static_cast<uint8_t*>(s->data);
    const std::vector<int16_t> v =
        fake_al::signed_samples({d, d + size_t(s->len) * 2 * size_t(s->stereo ? 2 : 1)});
    destroy_sample(s);
    return v;
}

// The streamed player's PCM over the whole file, ReplayGain set before play.
std::vector<int16_t> stream_all(const std::vector<uint8_t>& data, int32_t block, int32_t mode,
                                int32_t preamp) {
    fake_al::reset();
    Mp3StreamPlayer* p = mp3s_create(data.data(), block, 0);
    EXPECT_NE(p, nullptr);
    if (!p) return {};
    EXPECT_EQ(0, mp3s_set_replaygain(p, mode, preamp));
    EXPECT_EQ(0, mp3s_play(p, 16384, 255, 128));
    size_t at = size_t(block);
    int v = 0;
    for (int i = 0; i < 100000 && v == 0; ++i) {
        if (uint8_t* nb = mp3s_next_block(p); nb && at < data.size()) {
            const size_t k = std::min(size_t(block), data.size() - at);
            std::memcpy(nb, data.data() + at, k);
            at += k;
            mp3s_give_block(p, at == data.size() ? int32_t(k) : -1);
        }
        v = mp3s_poll(p);
    }
    mp3s_destroy(p);
    const std::vector<uint8_t> pcm = ptest::handed_signed();
    return ziv::to_s16(pcm);
}

// The largest distance between `got` and factor times `plain`, sample for sample.
double worst(const std::vector<int16_t>& got, const std::vector<int16_t>& plain, double factor) {
    EXPECT_EQ(got.size(), plain.size());
    double w = 0.0;
    for (size_t i = 0; i < std::min(got.size(), plain.size()); ++i)
        w = std::max(w, std::fabs(got[i] - factor * plain[i]));
    return w;
}

using PlayerInfo = ptest::FakeAllegro;

TEST_F(PlayerInfo, TagsAndReplayGainInBothPlayers) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("mid3v2");
    const std::vector<uint8_t> bare = ptest::lame_file("info_bare", "44.1", 44100, 2, 2.0, "-b 128");
    ASSERT_FALSE(bare.empty());
    const std::string tagged = ziv::tmp_path("info_tagged.mp3");
    ASSERT_TRUE(ziv::write_file(tagged, bare.data(), bare.size()));
    // Track gain -6 dB; album gain +20 dB, capped by the album peak (the test signal's true peak
    // is about 0.55).
    ASSERT_EQ(0, ziv::run("LC_ALL=C.UTF-8 mid3v2 -t 'Level 3 – Caverns' -a 'Composer' "
                          "--TXXX 'REPLAYGAIN_TRACK_GAIN:-6.00 dB' "
                          "--TXXX 'REPLAYGAIN_ALBUM_GAIN:+20.00 dB' "
                          "--TXXX 'REPLAYGAIN_ALBUM_PEAK:0.600000' '" + tagged + "'"));
    const std::vector<uint8_t> data = ziv::read_file(tagged);

    // Tags: the in-memory player's and the streamed player's from its first block; none for the
    // untagged file.
    Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
    ASSERT_NE(p, nullptr);
    Mp3StreamPlayer* s = mp3s_create(data.data(), 8192, 0);
    ASSERT_NE(s, nullptr);
    for (const MpegTags* t : {mp3_tags(p), mp3s_tags(s)}) {
        ASSERT_NE(t, nullptr);
        EXPECT_STREQ("Level 3 – Caverns", mpeg_tags_get(t, MPEG_TAG_TITLE));
        EXPECT_STREQ("Composer", mpeg_tags_get(t, MPEG_TAG_ARTIST));
    }
    mp3s_destroy(s);
    Mp3Player* untagged = mp3_create(bare.data(), int32_t(bare.size()));
    ASSERT_NE(untagged, nullptr);
    EXPECT_EQ(nullptr, mp3_tags(untagged));
    mp3_destroy(untagged);
    EXPECT_EQ(nullptr, mp3_tags(nullptr));
    EXPECT_EQ(nullptr, mp3s_tags(nullptr));

    // ReplayGain in the in-memory player: each whole decode set up afresh (the gain holds over
    // set-ups); off gives the plain bytes again.
    const std::vector<int16_t> plain = decode_all(p);
    ASSERT_FALSE(plain.empty());
    struct Mode {
        int32_t mode, preamp;
        double factor;
    };
    const double cap = 32767.0 / 32768.0 / 0.6;
    const Mode modes[] = {{1, 0, std::pow(10.0, -6.0 / 20)},
                          {1, 30, std::pow(10.0, -3.0 / 20)},
                          {2, 0, cap},
                          {0, 0, 1.0}};
    for (const Mode& m : modes) {
        ASSERT_EQ(0, mp3_set_replaygain(p, m.mode, m.preamp));
        const double tolerance = m.factor <= 1.0 ? 2.0 : m.factor + 1.0;
        const double w = worst(decode_all(p), plain, m.factor);
        std::printf("[ rg       ] in memory mode %d preamp %d cB: factor %.6f, worst %.2f LSB\n",
                    m.mode, m.preamp, m.factor, w);
        EXPECT_LE(w, tolerance) << "mode " << m.mode << " preamp " << m.preamp;
    }
    EXPECT_TRUE(decode_all(p) == plain) << "ReplayGain off changes nothing";
    EXPECT_EQ(-1, mp3_set_replaygain(p, 3, 0));
    EXPECT_EQ(-1, mp3_set_replaygain(nullptr, 1, 0));
    EXPECT_EQ(-1, mp3s_set_replaygain(nullptr, 1, 0));
    mp3_destroy(p);

    // The streamed player, block by block.
    const std::vector<int16_t> streamed_plain = stream_all(data, 8192, 0, 0);
    ASSERT_FALSE(streamed_plain.empty());
    for (const Mode& m : modes) {
        const std::vector<int16_t> got = stream_all(data, 8192, m.mode, m.preamp);
        const double w = worst(got, streamed_plain, m.factor);
        std::printf("[ rg       ] streamed mode %d preamp %d cB: factor %.6f, worst %.2f LSB\n",
                    m.mode, m.preamp, m.factor, w);
        EXPECT_LE(w, m.factor <= 1.0 ? 2.0 : m.factor + 1.0) << "mode " << m.mode;
    }
}

}  // namespace
