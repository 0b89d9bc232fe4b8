// In-memory player against the fake Allegro calls: the data between its tags, buffer sizes, the
// poll sequence to the end (junk after the frames included) and through a loop, failures,
// automatic polling, and the bounds of seeks and skips, by frame and by time, with and without a
// Xing header. The first frame, the format and the time arithmetic are the core's (core_open_test,
// and player_queries_test for what both players forward).
#include <random>

#include "player_common.h"
#include "player_state.h"
#include "player_test_util.h"

namespace {

using ptest::marks;
using ptest::synth_stream;
using ziv::concat;

class Player : public ptest::FakeAllegro {
protected:
    // A player over a copy of v on the heap, exactly v.size() bytes, so that any read past the
    // data is caught by AddressSanitizer.
    Mp3Player* make(const std::vector<uint8_t>& v) {
        data_ = ziv::exact_copy(v, v.size());
        return mp3_create(data_.get(), int32_t(v.size()));
    }
    static void use_pattern(Mp3Player* p) {
        mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
    }

    // Polls by hand until the player stops (or `limit` polls); returns the results.
    static std::vector<int> poll_out(Mp3Player* p, int limit = 10000) {
        std::vector<int> r;
        for (int i = 0; i < limit; ++i) {
            int v = mp3_poll(p);
            r.push_back(v);
            if (v != 0) break;
        }
        return r;
    }
    std::unique_ptr<uint8_t[]> data_;
};

TEST_F(Player, BufferHoldsAWholeNumberOfFrames) {
    Mp3Player* p = make(synth_stream(20));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
    EXPECT_EQ(p->frames_per_buffer, 3);
    const fake_al::State& f = fake_al::st();
    EXPECT_EQ(f.len, 3456) << "samples per channel of three 1152-sample frames";
    EXPECT_EQ(f.bits, 16);
    EXPECT_NE(f.stereo, 0);
    EXPECT_EQ(f.freq, 44100);
    EXPECT_EQ(f.vol, 255);
    EXPECT_EQ(f.pan, 128);
    int32_t size = 0;
    EXPECT_EQ(mp3_output_buffer(p, &size), f.stream->samp->data);
    EXPECT_EQ(size, 13824);
    mp3_destroy(p);

    // MPEG-2 Layer III, 22.05 kHz mono, 64 kbit/s: 576 samples (1152 bytes) per frame.
    const uint8_t lsf[4] = {0xFF, 0xF3, 0x80, 0xC0};
    p = make(synth_stream(20, lsf, 208));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
    EXPECT_EQ(p->frames_per_buffer, 14);
    EXPECT_EQ(fake_al::st().len, 14 * 576);
    EXPECT_EQ(fake_al::st().stereo, 0);
    mp3_destroy(p);
}

// The data ends with its last frame, before a trailing tag, or at junk after it: the polls hand
// back every frame in order, then two silent buffers, then stop and rewind. Junk is found only by
// the poll after the last frame's, whose buffer it leaves silent; a tag is cut off at create.
TEST_F(Player, PollsToTheEndThenTwoSilentBuffersThenStop) {
    const std::vector<uint8_t> none, junk(4000, 0);
    const struct {
        const char* what;
        std::vector<uint8_t> lead;
        int frames;
        std::vector<uint8_t> trail;
        int tag_bytes, data_polls;
    } cases[] = {
        {"10 frames", none, 10, none, 0, 4},
        {"9 frames", none, 9, none, 0, 3},
        {"junk after 3 frames", none, 3, junk, 0, 2},
        {"ID3v2 and TAG", ziv::id3v2(300, false), 10, ziv::id3v1(), 128, 4},
        {"ID3v2 with footer", ziv::id3v2(300, true), 10, none, 0, 4},
        {"TAG only", none, 10, ziv::id3v1(), 128, 4},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        const int frames = k.frames, data_polls = k.data_polls;
        fake_al::reset();
        Mp3Player* p = make(concat(concat(k.lead, synth_stream(frames)), k.trail));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(ptest::data_start(p), data_.get() + k.lead.size());
        EXPECT_EQ(ptest::data_len(p), int32_t(417 * frames + k.trail.size()) - k.tag_bytes);
        EXPECT_EQ(mp3_total_frames(p), frames);
        use_pattern(p);
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        // No buffer free: nothing happens.
        fake_al::st().buffer_free = false;
        EXPECT_EQ(mp3_poll(p), 0);
        EXPECT_TRUE(fake_al::st().handed.empty());
        fake_al::st().buffer_free = true;

        std::vector<int> r = poll_out(p);
        std::vector<int> want(size_t(data_polls) + 1, 0);
        want.push_back(1);
        EXPECT_EQ(r, want);
        EXPECT_EQ(mp3_poll(p), -1);
        EXPECT_EQ(mp3_is_playing(p), 0);
        EXPECT_EQ(mp3_current_frame(p), 0) << "rewound";
        EXPECT_EQ(fake_al::st().stops, 1);

        const auto& h = fake_al::st().handed;
        ASSERT_EQ(h.size(), size_t(data_polls) + 2);
        EXPECT_EQ(fake_al::st().frees, int(h.size()));
        EXPECT_EQ(fake_al::st().gets, fake_al::st().frees + 1) << "one get found no buffer free";
        const size_t per_frame = 4608 / 2;
        for (int b = 0; b < data_polls + 2; ++b) {
            std::vector<int16_t> m = marks(h[size_t(b)]);
            ASSERT_EQ(m.size(), 3 * per_frame);
            for (size_t i = 0; i < m.size(); ++i) {
                int frame = 3 * b + int(i / per_frame);
                int want_mark = frame < frames ? frame + 1 : 0;
                ASSERT_EQ(m[i], want_mark) << "buffer " << b << " sample " << i;
            }
        }
        mp3_destroy(p);
    }
}

TEST_F(Player, UnsignedConversion) {
    // Silence is 0x8000 and every sample has its sign bit flipped, including an odd last one.
    int16_t s[5] = {0, -1, 32767, -32768, 5};
    mp3_to_unsigned(s, sizeof(s));
    uint16_t u[5];
    std::memcpy(u, s, sizeof(s));
    EXPECT_EQ(u[0], 0x8000);
    EXPECT_EQ(u[1], 0x7FFF);
    EXPECT_EQ(u[2], 0xFFFF);
    EXPECT_EQ(u[3], 0x0000);
    EXPECT_EQ(u[4], 0x8005);

    Mp3Player* p = make(synth_stream(2));
    ASSERT_NE(p, nullptr);
    use_pattern(p);
    mp3_play(p, 16384, 255, 128);
    mp3_poll(p);
    const std::vector<uint8_t>& b = fake_al::st().handed.at(0);
    uint16_t first, last;
    std::memcpy(&first, &b[0], 2);
    std::memcpy(&last, &b[b.size() - 2], 2);
    EXPECT_EQ(first, 0x8001);
    EXPECT_EQ(last, 0x8000) << "the undecoded third frame is unsigned silence";
    mp3_destroy(p);
}

TEST_F(Player, LoopingRestartsAtFrameZeroAfterTwoSilentBuffers) {
    Mp3Player* p = make(synth_stream(4));
    ASSERT_NE(p, nullptr);
    use_pattern(p);
    ASSERT_EQ(mp3_play_ex(p, 16384, 255, 128, 1000, 1), 0);
    EXPECT_EQ(mp3_is_looping(p), 1);
    // Frames 1-3, frame 4 and silence, two silent buffers; each handed back exactly once.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(mp3_poll(p), 0) << i;
    EXPECT_EQ(fake_al::st().handed.size(), 4u);
    EXPECT_EQ(marks(fake_al::st().handed[2]), std::vector<int16_t>(3 * 2304, 0));
    EXPECT_EQ(marks(fake_al::st().handed[3]), std::vector<int16_t>(3 * 2304, 0));
    EXPECT_EQ(mp3_is_playing(p), -1);
    EXPECT_EQ(mp3_current_frame(p), 0);
    // The next poll sets the decoder up again and decodes frames 0-2 (the real decoder now:
    // the synthetic frames are silent Layer III frames to it).
    EXPECT_EQ(mp3_poll(p), 0);
    EXPECT_EQ(mp3_current_frame(p), 3);
    EXPECT_EQ(fake_al::st().handed.size(), 5u);
    EXPECT_EQ(fake_al::st().gets, fake_al::st().frees);
    mp3_destroy(p);
}

// The set-up after a seek uses the header that set the decoder up at create, so through the
// calls it cannot fail; a header damaged in the record shows what the poll does when it does.
TEST_F(Player, SetUpFailingAfterASeekStopsAndRewindsWithMinusFour) {
    Mp3Player* p = make(synth_stream(20));
    ASSERT_NE(p, nullptr);
    mp3_play(p, 16384, 255, 128);
    mp3_seek_frame(p, 10);
    p->core->header.sampling_frequency = 3; // reserved
    EXPECT_EQ(mp3_poll(p), -4);
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(mp3_current_frame(p), 0);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p));
    EXPECT_EQ(mp3_poll(p), -1);
    EXPECT_EQ(fake_al::st().gets, fake_al::st().frees) << "the buffer was handed back";
    mp3_destroy(p);
}

TEST_F(Player, PlayRules) {
    Mp3Player* p = make(synth_stream(20));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3_play(p, 4607, 255, 128), -1) << "smaller than one frame's PCM";
    EXPECT_EQ(fake_al::st().plays, 0);
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(mp3_poll(p), -1);

    ASSERT_EQ(mp3_play(p, 4608, 255, 128), 0);
    EXPECT_EQ(p->frames_per_buffer, 1);
    EXPECT_EQ(fake_al::st().adjusts, 0) << "normal speed needs no adjust";
    // Playing again while playing changes nothing.
    EXPECT_EQ(mp3_play_ex(p, 16384, 10, 20, 1500, 1), 0);
    EXPECT_EQ(fake_al::st().plays, 1);
    EXPECT_EQ(p->frames_per_buffer, 1);
    EXPECT_EQ(mp3_is_looping(p), 0);
    EXPECT_EQ(fake_al::st().adjusts, 0);

    mp3_adjust(p, 1, 2, 900, 1);
    EXPECT_EQ(fake_al::st().adjusts, 1);
    EXPECT_EQ(fake_al::st().adj_vol, 1);
    EXPECT_EQ(fake_al::st().adj_pan, 2);
    EXPECT_EQ(fake_al::st().adj_freq, 900);
    EXPECT_NE(fake_al::st().adj_loop, 0);
    EXPECT_EQ(mp3_is_looping(p), 1);
    mp3_set_loop(p, 0);
    EXPECT_EQ(mp3_is_looping(p), 0);

    mp3_stop(p);
    mp3_adjust(p, 1, 2, 900, 1);
    mp3_set_loop(p, 1);
    EXPECT_EQ(fake_al::st().adjusts, 1) << "no adjust while stopped";
    EXPECT_EQ(mp3_is_looping(p), 0);
    int32_t size = -7;
    EXPECT_EQ(mp3_output_buffer(p, &size), nullptr);
    EXPECT_EQ(size, -7);

    // Another speed adjusts the new stream, looping on.
    ASSERT_EQ(mp3_play_ex(p, 16384, 200, 100, 1500, 0), 0);
    EXPECT_EQ(fake_al::st().adjusts, 2);
    EXPECT_EQ(fake_al::st().adj_freq, 1500);
    EXPECT_EQ(fake_al::st().adj_vol, 200);
    EXPECT_NE(fake_al::st().adj_loop, 0);
    mp3_destroy(p);
    mp3_destroy(nullptr);
}

TEST_F(Player, NoAudioStreamLeavesThePlayerStoppedWithoutATimer) {
    Mp3Player* p = make(synth_stream(20));
    ASSERT_NE(p, nullptr);
    fake_al::st().fail_stream = true;
    mp3_start_autopoll(p, 25);
    EXPECT_EQ(mp3_play(p, 16384, 255, 128), 0);
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(mp3_poll(p), -1);
    EXPECT_TRUE(fake_al::st().timers.empty()) << "a timer nobody would remove";
    mp3_stop_autopoll(p);
    mp3_destroy(p);
    EXPECT_TRUE(fake_al::st().timers.empty());
}

TEST_F(Player, AutopollFollowsTheStream) {
    Mp3Player* p = make(synth_stream(7));
    ASSERT_NE(p, nullptr);
    use_pattern(p);
    const fake_al::State& f = fake_al::st();
    // Before play: only the wish is recorded.
    mp3_start_autopoll(p, 25);
    EXPECT_TRUE(f.timers.empty());
    mp3_stop_autopoll(p);

    // The demo's order: play, then autopoll.
    mp3_play(p, 16384, 255, 128);
    mp3_start_autopoll(p, 25);
    ASSERT_EQ(f.timers.size(), 1u);
    EXPECT_EQ(f.timers[0].ms, 25);
    mp3_start_autopoll(p, 40);
    EXPECT_EQ(f.installs, 1) << "already on: nothing";
    fake_al::fire_timers();
    EXPECT_EQ(f.handed.size(), 1u);
    EXPECT_EQ(mp3_current_frame(p), 3);

    // Stop removes the timer, play installs it again.
    mp3_stop(p);
    EXPECT_TRUE(f.timers.empty());
    mp3_play(p, 16384, 255, 128);
    ASSERT_EQ(f.timers.size(), 1u);
    // Polled by the timer to the end: the last poll stops the stream and removes its timer.
    for (int i = 0; i < 10 && !f.timers.empty(); ++i) fake_al::fire_timers();
    EXPECT_TRUE(f.timers.empty());
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(f.handed.size(), 1u + 2u + 2u) << "frames 4-6, 7, then two silent buffers";
    mp3_stop_autopoll(p);
    mp3_destroy(p);
    EXPECT_EQ(f.installs, f.removes);
    // The timer is installed only once the stream plays, and removed once it has stopped (outside
    // the player's lock, which a poll that comes between finds on a stopped player).
    std::vector<std::string> calls(f.calls.begin(), f.calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"play", "install", "stop", "remove", "play", "install",
                                                "stop", "remove"}));
}

// Seeks and skips outside 0..total-1 do nothing; times go to the frame that holds them. With a
// Xing header the total is its count: a frame it promises beyond the frames the data holds is
// the end of the data.
TEST_F(Player, SeekAndSkipBoundsAndTimes) {
    Mp3Player* p = make(synth_stream(100));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(mp3_total_frames(p), 100);
    mp3_seek_frame(p, 10);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p) + 10 * 417);
    EXPECT_EQ(mp3_current_frame(p), 10);
    EXPECT_NE(p->core->needs_setup, 0);
    p->core->needs_setup = 0;
    for (int32_t f : {-1, 100, 1 << 30}) {
        mp3_seek_frame(p, f);
        EXPECT_EQ(mp3_current_frame(p), 10) << f;
        EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p) + 10 * 417);
        EXPECT_EQ(p->core->needs_setup, 0);
    }
    mp3_skip_frames(p, 5);
    EXPECT_EQ(mp3_current_frame(p), 15);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p) + 15 * 417);
    mp3_skip_frames(p, -16);
    mp3_skip_frames(p, 85);
    EXPECT_EQ(mp3_current_frame(p), 15) << "outside 0..total-1: nothing";
    mp3_skip_frames(p, -15);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p));
    // Time: 26 ms per frame.
    mp3_seek_ms(p, 1000);
    EXPECT_EQ(mp3_current_frame(p), 38);
    mp3_seek_secs(p, 2);
    EXPECT_EQ(mp3_current_frame(p), 76);
    mp3_skip_ms(p, -260);
    EXPECT_EQ(mp3_current_frame(p), 66);
    mp3_skip_secs(p, 1);
    EXPECT_EQ(mp3_current_frame(p), 66) << "38 frames on is past the end: nothing";
    mp3_skip_secs(p, -1);
    EXPECT_EQ(mp3_current_frame(p), 27) << "66 * 1152 - 44100 samples lie in frame 27";
    mp3_rewind(p);
    EXPECT_EQ(mp3_current_frame(p), 0);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p));
    mp3_destroy(p);

    p = make(ziv::xing_stream(0x0F, 3));
    ASSERT_NE(p, nullptr);
    mp3_seek_frame(p, 3);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p) + 3 * 417);
    mp3_seek_frame(p, 500);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p) + ptest::data_len(p));
    EXPECT_EQ(mp3_current_frame(p), 500);
    mp3_skip_frames(p, 499);
    EXPECT_EQ(ptest::read_pos(p), ptest::data_start(p) + ptest::data_len(p));
    mp3_seek_frame(p, 1000);
    EXPECT_EQ(mp3_current_frame(p), 999);
    mp3_destroy(p);
}

TEST_F(Player, TruncatedAndDamagedDataEndsWithoutReadingPastIt) {
    std::vector<uint8_t> s = synth_stream(12);
    uint32_t seed = ziv::test_seed();
    std::mt19937 rng(seed);
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> v = s;
        size_t cut = 417 + rng() % (s.size() - 417);
        v.resize(cut);
        // Damage a few bytes after the first frame.
        int damage = round % 2 ? int(rng() % 6) : 0;
        if (v.size() > 417)
            for (int k = 0; k < damage; ++k) v[417 + rng() % (v.size() - 417)] ^= uint8_t(rng() | 1);
        fake_al::reset();
        Mp3Player* p = make(v);
        ASSERT_NE(p, nullptr) << "round " << round;
        use_pattern(p);
        mp3_play(p, 4608 * 2, 255, 128);
        std::vector<int> r = poll_out(p);
        // A frame cut short is the end of the data, and so is damage that leaves no frame.
        EXPECT_EQ(r.back(), MP3_ENDED) << "round " << round << ", cut at " << cut << ", damage " << damage;
        mp3_destroy(p);
    }
}

}  // namespace
