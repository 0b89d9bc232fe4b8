// What both players add to the core's first frame, format and time queries (whose values the
// core's own tests check): create refuses null data and data without a frame and starts at the
// core's first frame; each query forwards the core's value under the player's lock, 0 for a null
// player; the frame count is the Xing header's, or else the in-memory player's index count and
// the streamed player's bytes over the first frame's size, and the length that many whole frame
// milliseconds.
#include "player_state.h"
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
    mpeg_core_decoder(&b.streamed->core)->decode_frame = ptest::pattern_decode;
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
TEST_F(BothPlayers, CreateFrameCountAndLength) {
    EXPECT_EQ(mp3_create(nullptr, 100), nullptr);
    EXPECT_EQ(mp3s_create(nullptr, 1000, 0), nullptr);
    const struct Case {
        const char* what;
        Bytes data;
        int32_t start, frames, ms;  // start -1: no player
    } cases[] = {
        {"nothing", {}, -1, 0, 0},
        {"three bytes of a header", {0xFF, 0xFB, 0x90}, -1, 0, 0},
        {"random data", ziv::noise(100000, 7), -1, 0, 0},
        {"junk in front", ziv::concat({0x00, 0xFF, 0xFB}, ptest::synth_stream(4)), 3, 4, 104},
        {"counted, or bytes over the frame size", ptest::synth_stream(100), 0, 100, 2600},
        {"the Xing header's count", ziv::xing_stream(0x0F, 3), 0, 1000, 26000},
        {"one tiny frame, its Xing fields unread", ziv::tiny_xing_frame(), 0, 1, 26},
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
        EXPECT_EQ(b.mem->start, b.copy.get() + k.start);
        EXPECT_EQ(b.mem->pos, b.mem->start);
        EXPECT_EQ(b.streamed->read_off, k.start);
        const int32_t bytes = int32_t(k.data.size());
        EXPECT_EQ(mp3_total_frames(b.mem), k.frames);
        EXPECT_EQ(mp3s_total_frames(b.streamed, bytes), k.frames);
        EXPECT_EQ(mp3_length_ms(b.mem), k.ms);
        EXPECT_EQ(mp3s_length_ms(b.streamed, bytes), k.ms);
        EXPECT_EQ(mp3_length_secs(b.mem), k.ms / 1000);
        EXPECT_EQ(mp3s_length_secs(b.streamed, bytes), k.ms / 1000);
    }
    EXPECT_EQ(mp3_total_frames(nullptr), 0);
    EXPECT_EQ(mp3s_total_frames(nullptr, 41700), 0);
    EXPECT_EQ(mp3_length_ms(nullptr), 0);
    EXPECT_EQ(mp3s_length_ms(nullptr, 41700), 0);
}

}  // namespace
