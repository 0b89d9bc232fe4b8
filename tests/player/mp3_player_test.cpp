// In-memory player against the fake Allegro calls: create and its tags, buffer sizes, the poll
// sequence to the end and through a loop, failures, automatic polling, seeking with a Xing
// table and without one, time queries, and the decode of a whole file (compared with mp3dec).
#include <random>

#include "player_common.h"
#include "mp3_player.h"
#include "player_test_util.h"

namespace {

using ptest::marks;
using ptest::synth_stream;

class Player : public ::testing::Test {
protected:
    void SetUp() override { fake_al::reset(); }
    void TearDown() override {
        EXPECT_EQ(fake_al::st().errors, 0) << "the fake saw a buffer handed back twice or a dead stream";
        EXPECT_EQ(fake_al::st().live_samples, 0);
        fake_al::reset();
    }
    // A player over a copy of v on the heap, exactly v.size() bytes, so that any read past the
    // data is caught by AddressSanitizer.
    Mp3Player* make(const std::vector<uint8_t>& v) {
        data_ = ziv::exact_copy(v, v.size());
        return mp3_create(data_.get(), int32_t(v.size()));
    }
    static void use_pattern(Mp3Player* p) {
        mp3_core_decoder(&p->core)->decode_frame = ptest::pattern_decode;
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

std::vector<uint8_t> id3v2(int32_t size, bool footer) {
    std::vector<uint8_t> t = {'I', 'D', '3', 4, 0, uint8_t(footer ? 0x10 : 0),
                              uint8_t(size >> 21 & 127), uint8_t(size >> 14 & 127),
                              uint8_t(size >> 7 & 127), uint8_t(size & 127)};
    t.resize(size_t(size) + 10 + (footer ? 10 : 0), 0xFF); // 0xFF bytes: look like sync to a search
    return t;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> id3v1() {
    std::vector<uint8_t> t(128, ' ');
    std::memcpy(t.data(), "TAG", 3);
    return t;
}

TEST_F(Player, CreateFindsTheFirstConfirmedFrame) {
    std::vector<uint8_t> s = synth_stream(4);
    EXPECT_EQ(mp3_create(nullptr, 100), nullptr);
    EXPECT_EQ(make({}), nullptr);
    EXPECT_EQ(make({0xFF, 0xFB, 0x90}), nullptr);
    // Junk in front, or an unusable first header, is searched past to the first frame that the
    // next header confirms.
    Mp3Player* p = make(concat({0x00, 0xFF, 0xFB}, s));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start, data_.get() + 3);
    EXPECT_EQ(mp3_total_frames(p), 4);
    mp3_destroy(p);
    std::vector<uint8_t> bad = s;
    bad[2] = 0xF0; // bitrate index 15
    p = make(bad);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start, data_.get() + 417);
    mp3_destroy(p);
    std::mt19937 rng(7);
    std::vector<uint8_t> noise(100000);
    for (auto& b : noise) b = uint8_t(rng());
    EXPECT_EQ(make(noise), nullptr) << "random data";
    // An ID3v2 tag that claims more bytes than there are must not move the start past the end.
    std::vector<uint8_t> tag = id3v2(100, false);
    tag[6] = 0x7F; // about 256 MB
    EXPECT_EQ(make(concat(tag, s)), nullptr);
    EXPECT_EQ(make(id3v2(100, true)), nullptr) << "nothing after the tag";
}

TEST_F(Player, CreateStepsOverLeadingAndTrailingTags) {
    std::vector<uint8_t> s = synth_stream(10);
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        size_t skip;
    } cases[] = {
        {"ID3v2 and TAG", concat(concat(id3v2(300, false), s), id3v1()), 310},
        {"ID3v2 with footer", concat(id3v2(300, true), s), 320},
        {"TAG only", concat(s, id3v1()), 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        Mp3Player* p = make(c.data);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->start, data_.get() + c.skip);
        EXPECT_EQ(p->data_len, int32_t(s.size()));
        EXPECT_EQ(mp3_total_frames(p), 10);
        use_pattern(p);
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        std::vector<int> r = poll_out(p);
        EXPECT_EQ(r.back(), 1) << "ends cleanly before the trailing tag";
        // Frames 1..10 in order in the first four buffers.
        ASSERT_GE(fake_al::st().handed.size(), 4u);
        EXPECT_EQ(marks(fake_al::st().handed[0]).front(), 1);
        EXPECT_EQ(marks(fake_al::st().handed[3]).front(), 10);
        mp3_destroy(p);
        fake_al::reset();
    }
}

TEST_F(Player, BufferHoldsAWholeNumberOfFrames) {
    Mp3Player* p = make(synth_stream(20));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3_frequency(p), 44100);
    EXPECT_EQ(mp3_is_stereo(p), -1);
    EXPECT_EQ(mp3_bits(p), 16);
    EXPECT_EQ(mp3_layer(p), 3);
    EXPECT_EQ(mp3_bitrate(p), 128000);
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
    EXPECT_EQ(mp3_is_stereo(p), 0);
    ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
    EXPECT_EQ(p->frames_per_buffer, 14);
    EXPECT_EQ(fake_al::st().len, 14 * 576);
    EXPECT_EQ(fake_al::st().stereo, 0);
    mp3_destroy(p);
}

TEST_F(Player, PollsToTheEndThenTwoSilentBuffersThenStop) {
    for (int frames : {10, 9}) {
        SCOPED_TRACE(frames);
        fake_al::reset();
        Mp3Player* p = make(synth_stream(frames));
        ASSERT_NE(p, nullptr);
        use_pattern(p);
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        // No buffer free: nothing happens.
        fake_al::st().buffer_free = false;
        EXPECT_EQ(mp3_poll(p), 0);
        EXPECT_TRUE(fake_al::st().handed.empty());
        fake_al::st().buffer_free = true;

        std::vector<int> r = poll_out(p);
        int data_polls = (frames + 2) / 3;
        std::vector<int> want(size_t(data_polls) + 1, 0);
        want.push_back(1);
        EXPECT_EQ(r, want);
        EXPECT_EQ(mp3_poll(p), -1);
        EXPECT_EQ(mp3_is_playing(p), 0);
        EXPECT_EQ(mp3_current_frame(p), 0) << "rewound";
        EXPECT_EQ(fake_al::st().stops, 1);

        const auto& h = fake_al::st().handed;
        ASSERT_EQ(h.size(), size_t(data_polls) + 2);
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

TEST_F(Player, JunkToTheEndIsTheEndOfTheData) {
    std::vector<uint8_t> v = concat(synth_stream(3), std::vector<uint8_t>(4000, 0));
    Mp3Player* p = make(v);
    ASSERT_NE(p, nullptr);
    use_pattern(p);
    mp3_play(p, 16384, 255, 128);
    EXPECT_EQ(poll_out(p), (std::vector<int>{0, 0, 0, 1}));
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(mp3_current_frame(p), 0);
    EXPECT_EQ(marks(fake_al::st().handed[0])[2 * 2304], 3);
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
    p->core.header.sampling_frequency = 3; // reserved
    EXPECT_EQ(mp3_poll(p), -4);
    EXPECT_EQ(mp3_is_playing(p), 0);
    EXPECT_EQ(mp3_current_frame(p), 0);
    EXPECT_EQ(p->pos, p->start);
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
    // The timer is installed only once the stream plays, and removed before the stream stops.
    std::vector<std::string> calls(f.calls.begin(), f.calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"play", "install", "remove", "stop", "play", "install",
                                                "remove", "stop"}));
}

TEST_F(Player, SeekAndSkipBoundsAndTimes) {
    Mp3Player* p = make(synth_stream(100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->core.xing, nullptr);
    ASSERT_EQ(mp3_total_frames(p), 100);
    mp3_seek_frame(p, 10);
    EXPECT_EQ(p->pos, p->start + 10 * 417);
    EXPECT_EQ(mp3_current_frame(p), 10);
    EXPECT_NE(p->core.needs_setup, 0);
    p->core.needs_setup = 0;
    for (int32_t f : {-1, 100, 1 << 30}) {
        mp3_seek_frame(p, f);
        EXPECT_EQ(mp3_current_frame(p), 10) << f;
        EXPECT_EQ(p->pos, p->start + 10 * 417);
        EXPECT_EQ(p->core.needs_setup, 0);
    }
    mp3_skip_frames(p, 5);
    EXPECT_EQ(mp3_current_frame(p), 15);
    EXPECT_EQ(p->pos, p->start + 15 * 417);
    mp3_skip_frames(p, -16);
    mp3_skip_frames(p, 85);
    EXPECT_EQ(mp3_current_frame(p), 15) << "outside 0..total-1: nothing";
    mp3_skip_frames(p, -15);
    EXPECT_EQ(p->pos, p->start);
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
    EXPECT_EQ(p->pos, p->start);
    mp3_destroy(p);
}

// A first frame with a Xing header (flags 0x0F, 1000 frames, a linear table), then plain frames.
std::vector<uint8_t> xing_stream(int32_t flags, int frames_after) {
    std::vector<uint8_t> v = synth_stream(1 + frames_after);
    uint8_t* x = &v[36];
    std::memcpy(x, "Xing", 4);
    x[7] = uint8_t(flags);
    uint8_t* q = x + 8;
    if (flags & 1) { q[2] = 1000 >> 8; q[3] = 1000 & 255; q += 4; }
    if (flags & 2) { q[3] = 99; q += 4; }
    if (flags & 4) { for (int i = 0; i < 100; ++i) q[i] = uint8_t(i * 256 / 100); q += 100; }
    if (flags & 8) q[3] = 57;
    return v;
}

TEST_F(Player, XingTableOfContents) {
    // The offsets of a table with toc[i] = i * 256 / 100 over 100000 bytes and 1000 frames,
    // worked out by hand: v[49] = 488, v[50] = 500, v[51] = 507, v[99] = 988.
    std::vector<uint8_t> v = xing_stream(0x0F, 3);
    XingInfo* x = xing_read(v.data(), 417, nullptr);
    EXPECT_EQ(x, nullptr) << "no header record: no Xing";
    MpegHeader h;
    ASSERT_EQ(mpeg_header_parse(v.data(), int32_t(v.size()), &h), 417);
    x = xing_read(v.data(), 417, &h);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->flags, 0x0F);
    EXPECT_EQ(x->frames, 1000);
    EXPECT_EQ(x->bytes, 99);
    EXPECT_EQ(x->scale, 57);
    EXPECT_EQ(xing_offset(x, 0, 100000), 0);
    EXPECT_EQ(xing_offset(x, 500, 100000), 50000);
    EXPECT_EQ(xing_offset(x, 495, 100000), 50000 + 1000 * (495 - 500) / 7);
    EXPECT_EQ(xing_offset(x, 999, 100000), 100000) << "past the last entry: the data length";
    EXPECT_EQ(xing_offset(x, 1000, 100000), -1);
    EXPECT_EQ(xing_offset(x, -1, 100000), -1);
    x->flags = 0x0B;
    EXPECT_EQ(xing_offset(x, 500, 100000), -1) << "no table";
    xing_free(x);
    // The header does not fit in the bytes given: none.
    EXPECT_EQ(xing_read(v.data(), 36 + 8 + 4 + 4 + 100 + 3, &h), nullptr);

    // The player takes its frame count from the header; seeks go through the index of the four
    // frames the data holds, so a frame the header promises beyond them is the end of the data.
    Mp3Player* p = make(v);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->core.xing, nullptr);
    EXPECT_EQ(mp3_total_frames(p), 1000);
    EXPECT_EQ(p->core.index.frames, 4);
    mp3_seek_frame(p, 3);
    EXPECT_EQ(p->pos, p->start + 3 * 417) << "not the table's estimate";
    mp3_seek_frame(p, 500);
    EXPECT_EQ(p->pos, p->start + p->data_len);
    EXPECT_EQ(mp3_current_frame(p), 500);
    mp3_skip_frames(p, 499);
    EXPECT_EQ(p->pos, p->start + p->data_len);
    mp3_seek_frame(p, 1000);
    EXPECT_EQ(mp3_current_frame(p), 999);
    mp3_destroy(p);

    // Without the table: the index as well, kept inside the data.
    p = make(xing_stream(0x03, 3));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3_total_frames(p), 1000);
    mp3_seek_frame(p, 2);
    EXPECT_EQ(p->pos, p->start + 2 * 417);
    mp3_seek_frame(p, 900);
    EXPECT_EQ(p->pos, p->start + p->data_len);
    mp3_destroy(p);
}

TEST_F(Player, XingHeaderOfATinyFirstFrameStaysInsideTheData) {
    // MPEG-2 Layer III, 8 kbit/s, 22.05 kHz mono: 26-byte frames; "Xing" at 13 fits, its fields
    // do not. The data is exactly one frame, so a read past it is caught under ASan.
    std::vector<uint8_t> v = {0xFF, 0xF3, 0x10, 0xC0};
    v.resize(26, 0);
    std::memcpy(&v[13], "Xing", 4);
    v[20] = 0x0F;
    Mp3Player* p = make(v);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->core.xing, nullptr);
    EXPECT_EQ(mp3_total_frames(p), 1);
    mp3_destroy(p);
}

TEST_F(Player, TimeQueries) {
    Mp3Player* p = make(synth_stream(100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3_frame_ms(p), 26);
    EXPECT_EQ(mp3_bytes_per_second(p), 176400);
    EXPECT_EQ(mp3_length_ms(p), 2600);
    EXPECT_EQ(mp3_length_secs(p), 2);
    mp3_seek_frame(p, 50);
    EXPECT_EQ(mp3_position_ms(p), 1306) << "50 * 1152 / 44100 s";
    EXPECT_EQ(mp3_position_secs(p), 1);
    mp3_destroy(p);

    const uint8_t lsf[4] = {0xFF, 0xF3, 0x80, 0xC0};
    p = make(synth_stream(10, lsf, 208));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3_frame_ms(p), 26);
    EXPECT_EQ(mp3_bytes_per_second(p), 44100);
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
