// What both players add to the core's first frame, format and time queries (whose values the
// core's own tests check): create refuses null data and data without a frame and starts at the
// core's first frame; each query forwards the core's value under the player's lock, 0 for a null
// player; the frame count is the Xing header's, or else the in-memory player's index count and
// the streamed player's bytes over the first frame's size; the length is counted in samples and
// agrees with the position at the end of the data.
#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Both players over a copy of the same data: the in-memory one over all of it, the streamed one
// over it as its first and last block.
struct Both {
    explicit Both(const Bytes& data) : copy(ziv::exact_copy(data, data.size())) {
        mem = mp3_create(copy.get(), int32_t(data.size()));
        streamed = mp3s_create(copy.get(), int32_t(data.size()), 1);
    }
    ~Both() {
        mp3_destroy(mem);
        mp3s_destroy(streamed);
    }
    std::unique_ptr<uint8_t[]> copy;
    Mp3Player* mem = nullptr;
    Mp3StreamPlayer* streamed = nullptr;
};

using BothPlayers = ptest::FakeAllegro;

TEST_F(BothPlayers, QueriesForwardTheCoreAndAreZeroForNull) {
    const struct Query {
        const char* name;
        int32_t (*mem)(const Mp3Player*);
        int32_t (*streamed)(const Mp3StreamPlayer*);
        int32_t want_mem, want_streamed;
    } queries[] = {
        {"frequency", mp3_frequency, mp3s_frequency, 44100, 44100},
        {"stereo", mp3_is_stereo, mp3s_is_stereo, -1, -1},
        {"bits", mp3_bits, mp3s_bits, 16, 16},
        {"layer", mp3_layer, mp3s_layer, 3, 3},
        {"bitrate", mp3_bitrate, mp3s_bitrate, 128000, 128000},
        {"bytes a second", mp3_bytes_per_second, mp3s_bytes_per_second, 176400, 176400},
        {"frame ms", mp3_frame_ms, mp3s_frame_ms, 26, 26},
        // The in-memory player sought to frame 50 (50 * 1152 / 44100 s), the streamed one after
        // one poll of three frames.
        {"current frame", mp3_current_frame, mp3s_current_frame, 50, 3},
        {"position ms", mp3_position_ms, mp3s_position_ms, 1306, 78},
        {"position secs", mp3_position_secs, mp3s_position_secs, 1, 0},
    };
    Both b(ptest::synth_stream(100));
    ASSERT_NE(b.mem, nullptr);
    ASSERT_NE(b.streamed, nullptr);
    mp3_seek_frame(b.mem, 50);
    mpeg_core_decoder(b.streamed->core)->decode_frame = ptest::pattern_decode;
    ASSERT_EQ(mp3s_play(b.streamed, 3 * 4608, 255, 128), 0);
    ASSERT_EQ(mp3s_poll(b.streamed), 0);
    for (const Query& q : queries) {
        SCOPED_TRACE(q.name);
        EXPECT_EQ(q.mem(b.mem), q.want_mem);
        EXPECT_EQ(q.streamed(b.streamed), q.want_streamed);
        EXPECT_EQ(q.mem(nullptr), 0);
        EXPECT_EQ(q.streamed(nullptr), 0);
    }
}

// Create refuses data without a frame and starts at the first one; the frame count and length.
// Lengths are counted in samples: the in-memory player's are the frames its data holds (a Xing
// count that promises more is the streamed player's only count, the Info frame's silence added);
// the streamed player's without a count is the time of the bytes at the first frame's bitrate,
// within a frame of the frames' time.
TEST_F(BothPlayers, CreateFrameCountAndLength) {
    EXPECT_EQ(mp3_create(nullptr, 100), nullptr);
    EXPECT_EQ(mp3s_create(nullptr, 1000, 0), nullptr);
    const auto ms = [](int64_t frames, int64_t spf, int64_t rate) { return int32_t(frames * spf * 1000 / rate); };
    const struct Case {
        const char* what;
        Bytes data;
        int32_t start, frames, mem_ms, streamed_ms;  // start -1: no player
    } cases[] = {
        {"nothing", {}, -1, 0, 0, 0},
        {"three bytes of a header", {0xFF, 0xFB, 0x90}, -1, 0, 0, 0},
        {"random data", ziv::noise(100000, 7), -1, 0, 0, 0},
        {"junk in front", ziv::concat({0x00, 0xFF, 0xFB}, ptest::synth_stream(4)), 3, 4,
         ms(4, 1152, 44100), ms(4, 1152, 44100)},
        {"counted, or bytes over the frame size", ptest::synth_stream(100), 0, 100,
         ms(100, 1152, 44100), ms(100, 1152, 44100)},
        {"the Xing header's count", ziv::xing_stream(0x0F, 3), 0, 1000, ms(4, 1152, 44100),
         ms(1001, 1152, 44100)},
        {"one tiny frame, its Xing fields unread", ziv::tiny_xing_frame(), 0, 1, ms(1, 576, 22050),
         ms(1, 576, 22050)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Both b(k.data);
        if (k.start < 0) {
            EXPECT_EQ(b.mem, nullptr);
            EXPECT_EQ(b.streamed, nullptr);
            continue;
        }
        ASSERT_NE(b.mem, nullptr);
        ASSERT_NE(b.streamed, nullptr);
        EXPECT_EQ(ptest::data_start(b.mem), b.copy.get() + k.start);
        EXPECT_EQ(ptest::read_pos(b.mem), ptest::data_start(b.mem));
        EXPECT_EQ(ptest::stream_read_off(b.streamed), k.start);
        const int32_t bytes = int32_t(k.data.size());
        EXPECT_EQ(mp3_total_frames(b.mem), k.frames);
        EXPECT_EQ(mp3s_total_frames(b.streamed, bytes), k.frames);
        EXPECT_EQ(mp3_length_ms(b.mem), k.mem_ms);
        EXPECT_NEAR(mp3s_length_ms(b.streamed, bytes), k.streamed_ms, mp3s_frame_ms(b.streamed) + 1);
        EXPECT_EQ(mp3_length_secs(b.mem), k.mem_ms / 1000);
        EXPECT_EQ(mp3s_length_secs(b.streamed, bytes), mp3s_length_ms(b.streamed, bytes) / 1000);
    }
    EXPECT_EQ(mp3_total_frames(nullptr), 0);
    EXPECT_EQ(mp3s_total_frames(nullptr, 41700), 0);
    EXPECT_EQ(mp3_length_ms(nullptr), 0);
    EXPECT_EQ(mp3s_length_ms(nullptr, 41700), 0);
}

// The length agrees with the position at the end of the data within one frame, gapless on or
// off, in both players (the streamed one's length known from a frame count or a constant
// bitrate), on files long enough that a length of whole frame milliseconds (26 for 26.12) would
// fall more than a frame short.
TEST_F(BothPlayers, LengthAgreesWithThePositionAtTheEnd) {
    ZIV_REQUIRE_TOOL("lame");
    const ptest::Encoded files[] = {
        {"len_cbr", "lame", "44.1", 44100, 2, 20.0, "-b 128"},       // Info frame with a count
        {"len_cbr_bare", "lame", "44.1", 44100, 1, 20.0, "-b 96 -t"}, // no Info frame
        {"len_vbr", "lame", "44.1", 44100, 2, 20.0, "-V 4"},
        {"len_mpeg2", "lame", "22.05", 22050, 1, 20.0, "-b 32 -t"},
    };
    for (const ptest::Encoded& f : files) {
        const Bytes data = ptest::encode(f);
        ASSERT_FALSE(data.empty());
        for (int32_t gapless : {0, -1}) {
            SCOPED_TRACE(std::string(f.name) + (gapless ? " gapless" : ""));
            fake_al::reset();
            Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(mp3_set_gapless(p, gapless), 0);
            const int32_t frame = mp3_frame_ms(p) + 1;
            // One frame a buffer: the last position seen is within a frame of the end (the poll
            // that reaches the end rewinds).
            ASSERT_EQ(mp3_play(p, p->format.frame_pcm_bytes, 255, 128), 0);
            int32_t last = 0;
            for (int i = 0; i < 100000 && mp3_poll(p) == 0; ++i)
                last = std::max(last, mp3_position_ms(p));
            EXPECT_GE(mp3_length_ms(p), last);
            EXPECT_LE(mp3_length_ms(p) - last, frame);
            const int32_t length = mp3_length_ms(p);
            mp3_destroy(p);

            const ptest::Streamed st = ptest::stream_in_blocks(data.data(), data.size(), 8192,
                                                               16384, gapless);
            ASSERT_EQ(st.result, 1);
            EXPECT_NEAR(st.length_ms, st.end_ms, frame) << "streamed";
            EXPECT_NEAR(st.length_ms, length, frame) << "the two players";
        }
    }
}

// Positions, lengths and loop points in samples are 64-bit: the length is mp3dec's sample count,
// the position the samples handed back, and an end past 2^32 is refused, not taken modulo 2^32.
TEST_F(BothPlayers, SampleCountsAreSixtyFourBit) {
    ZIV_REQUIRE_TOOL("lame");
    const ptest::Encoded f{"len_cbr", "lame", "44.1", 44100, 2, 20.0, "-b 128"};
    const Bytes data = ptest::encode(f);
    ASSERT_FALSE(data.empty());
    const std::string in = ziv::tmp_path("len_cbr.mp3"), out = ziv::tmp_path("len_cbr.pcm");
    for (int32_t gapless : {0, -1}) {
        SCOPED_TRACE(gapless ? "gapless" : "every frame");
        ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' " + (gapless ? "" : "--no-gapless ") + "'" +
                           in + "' '" + out + "'"),
                  0);
        const int64_t samples = int64_t(ziv::read_file(out).size() / 4);
        fake_al::reset();
        Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(mp3_set_gapless(p, gapless), 0);
        EXPECT_EQ(mp3_length_samples(p), samples);
        EXPECT_EQ(mp3_position_samples(p), 0);
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(mp3_poll(p), 0);
        int32_t size = 0;
        ASSERT_NE(mp3_output_buffer(p, &size), nullptr);
        EXPECT_EQ(mp3_position_samples(p), int64_t(fake_al::st().handed.size()) * size / 4);
        const int64_t past = (int64_t(1) << 32) + 5000;
        EXPECT_EQ(mp3_set_loop_points(p, 100, past), -1) << "an end past the data";
        ASSERT_EQ(mp3_set_loop_points(p, 100, 5000), 0);
        int64_t s = 0, e = 0;
        EXPECT_EQ(mp3_get_loop_points(p, &s, &e), 0);
        EXPECT_EQ(s, 100);
        EXPECT_EQ(e, 5000);
        mp3_destroy(p);
    }
    Mp3StreamPlayer* sp = mp3s_create(data.data(), 8192, 0);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(mp3s_set_gapless(sp, 1), 0);
    EXPECT_EQ(mp3s_length_samples(sp), 20 * 44100) << "the LAME tag's length";
    EXPECT_EQ(mp3s_position_samples(sp), 0);
    EXPECT_EQ(mp3s_set_loop_points(sp, 100, (int64_t(1) << 32) + 5000), -1);
    mp3s_destroy(sp);
    EXPECT_EQ(mp3_length_samples(nullptr), 0);
    EXPECT_EQ(mp3s_length_samples(nullptr), -1);
}

}  // namespace
