// Loop points in both players, gapless on, on files made at test time: the PCM handed back is
// exactly mp3dec's default (gapless) decode's [0, end), then its [start, end) again and again,
// byte for byte, for loop points on frame boundaries and off them, from the start, up to the end,
// and for loops shorter than a buffer; Layer III CBR, VBR, MPEG-2 and 2.5, Layer II, mono and
// stereo. The streamed player is fed at the offsets it names, in blocks of 4 KB to 1 MB. Fades
// ramp the gain sample by sample on top of that, across buffer edges and loop seams.
#include <algorithm>
#include <cstdio>

#include "mpeg_core.h"
#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

const ptest::Encoded kLoopFiles[] = {
    {"loop_cbr", "lame", "44.1", 44100, 2, 2.1, "-b 128"},
    {"loop_vbr", "lame", "44.1", 44100, 1, 1.7, "-V 4"},
    {"loop_m2", "lame", "22.05", 22050, 2, 2.3, "-V 3"},
    {"loop_m25", "lame", "11.025", 11025, 1, 2.9, "-b 32"},
    {"loop_l2", "twolame", "44.1", 44100, 2, 1.9, "-b 192"},
};

// The handed-back PCM that loop points [start, end) give: [0, end), then [start, end) until
// `bytes` bytes.
std::vector<uint8_t> looped(const std::vector<uint8_t>& ref, size_t ss, int64_t start,
                            int64_t end, size_t bytes) {
    std::vector<uint8_t> v(ref.begin(), ref.begin() + long(size_t(end) * ss));
    while (v.size() < bytes)
        v.insert(v.end(), ref.begin() + long(size_t(start) * ss), ref.begin() + long(size_t(end) * ss));
    v.resize(bytes);
    return v;
}

struct Points {
    const char* what;
    int64_t start, end;  // handed-back samples; end 0: the end
};

// The handed-back index of the next sample once `handed` samples have been handed back with
// loop points [start, end): inside the loop from the first seam on.
int64_t next_sample(int64_t handed, int64_t start, int64_t end) {
    return handed < end ? handed : start + (handed - end) % (end - start);
}

// The position of a looping player, checked after every poll: the time of the next sample it
// hands back. After a poll that handed nothing back (a buffer kept while blocks come), the time
// of a sample less than a buffer on from that one, the part of the buffer filled so far.
class PositionWatch {
public:
    PositionWatch(int64_t start, int64_t end, int32_t rate, int64_t buffer)
        : start_(start), end_(end), rate_(rate), buffer_(buffer) {}

    void after_poll(int64_t handed, bool gave, int32_t ms) {
        ++polls_;
        if (!gave && holds_++ == 0) first_hold_ = polls_;
        const int64_t want = next_sample(handed, start_, end_);
        bool ok = ms == ms_of(want);
        for (int64_t h = 1; !ok && !gave && h < buffer_; ++h)
            ok = ms == ms_of(next_sample(handed + h, start_, end_));
        if (!ok && wrong_++ == 0)
            first_ = "poll " + std::to_string(polls_) + " (" + std::to_string(handed) +
                     " samples handed back): " + std::to_string(ms) + " ms, want " +
                     std::to_string(ms_of(want)) + " ms (sample " + std::to_string(want) + ")";
    }
    ::testing::AssertionResult ok() const {
        if (wrong_ == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << wrong_ << " of " << polls_ << " positions wrong, first at " << first_;
    }
    int64_t polls() const { return polls_; }
    int64_t holds() const { return holds_; }
    int64_t first_hold() const { return first_hold_; }

private:
    int32_t ms_of(int64_t sample) const { return int32_t(sample * 1000 / rate_); }
    int64_t start_, end_;
    int32_t rate_;
    int64_t buffer_;
    int64_t polls_ = 0, holds_ = 0, first_hold_ = -1, wrong_ = 0;
    std::string first_;
};

class PlayerLoop : public ptest::FakeAllegroTest<::testing::TestWithParam<ptest::Encoded>> {};

TEST_P(PlayerLoop, HandsBackTheIntroThenTheLoopSampleExact) {
    const ptest::Encoded& file = GetParam();
    ZIV_REQUIRE_TOOL(file.tool);
    const std::vector<uint8_t> data = ptest::encode(file);
    ASSERT_FALSE(data.empty());
    const std::string in = ziv::tmp_path(std::string(file.name) + ".in"),
                      out = ziv::tmp_path(std::string(file.name) + ".raw");
    ASSERT_TRUE(ziv::write_file(in, data.data(), data.size()));
    ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' '" + in + "' '" + out + "'"), 0);
    const std::vector<uint8_t> ref = ziv::read_file(out);
    const size_t ss = size_t(2 * file.channels);
    const int64_t length = int64_t(ref.size() / ss);
    ASSERT_GT(length, 20000);

    Mp3Player* probe = mp3_create(data.data(), int32_t(data.size()));
    ASSERT_NE(probe, nullptr);
    ASSERT_EQ(mp3_set_gapless(probe, 1), 0);
    const int64_t spf = probe->format.frame_pcm_bytes / int64_t(ss);
    // Handed-back index of a decoded frame's first sample (the run starts inside a frame).
    const int64_t frame0 = probe->core->gap.start;
    const int32_t buffer = int32_t(3 * spf * int64_t(ss));
    int64_t s0 = -1, e0 = -1;
    EXPECT_EQ(mp3_get_loop_points(probe, &s0, &e0), 0);
    EXPECT_EQ(s0, 0);
    EXPECT_EQ(e0, length) << "no loop points: 0 and the length";
    EXPECT_EQ(mp3_set_loop_points(probe, 0, int32_t(length) + 1), -1) << "past the data";
    EXPECT_EQ(mp3_set_loop_points(probe, 100, 100), -1);
    EXPECT_EQ(mp3_set_loop_points(probe, -1, 0), -1);
    mp3_destroy(probe);

    const Points points[] = {
        {"the whole run", 0, 0},
        {"on frame boundaries", 7 * spf - frame0, 23 * spf - frame0},
        {"off them", 1234, length - 777},
        {"from the start, to inside", 0, length / 2 + 13},
        {"up to the end", length / 3 + 1, 0},
        {"shorter than a buffer", length / 2 + 5, length / 2 + 5 + spf / 3},
    };
    size_t compared = 0;
    int64_t polls = 0;
    for (const Points& pt : points) {
        SCOPED_TRACE(pt.what);
        const int64_t end = pt.end == 0 ? length : pt.end;
        // The intro and at least three passes of the loop.
        const size_t want_bytes = size_t(end + 3 * (end - pt.start)) * ss + size_t(buffer);
        const std::vector<uint8_t> want = looped(ref, ss, pt.start, end, want_bytes);

        fake_al::reset();
        Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(mp3_set_gapless(p, 1), 0);
        ASSERT_EQ(mp3_set_loop_points(p, int32_t(pt.start), int32_t(pt.end)), 0);
        int64_t s = -1, e = -1;
        EXPECT_EQ(mp3_get_loop_points(p, &s, &e), 0);
        EXPECT_EQ(s, pt.start);
        EXPECT_EQ(e, end);
        ASSERT_EQ(mp3_play_ex(p, buffer, 255, 128, 1000, 1), 0);
        const int64_t buffer_samples = buffer / int64_t(ss);
        const auto& handed = fake_al::st().handed;
        PositionWatch at(pt.start, end, file.rate, buffer_samples);
        for (int i = 0; i < 100000 && handed.size() * size_t(buffer) < want_bytes; ++i) {
            const size_t n = handed.size();
            ASSERT_EQ(mp3_poll(p), 0);
            at.after_poll(int64_t(handed.size()) * buffer_samples, handed.size() > n,
                          mp3_position_ms(p));
        }
        EXPECT_TRUE(at.ok()) << "in-memory";
        polls += at.polls();
        const std::vector<uint8_t> got = ptest::handed_signed();
        ASSERT_GE(got.size(), want.size());
        const auto d = std::mismatch(want.begin(), want.end(), got.begin());
        EXPECT_TRUE(d.first == want.end())
            << "in-memory: differs at sample " << (d.first - want.begin()) / long(ss);
        compared += want.size();
        mp3_destroy(p);

        for (int32_t block : {4096, 65536, 1 << 20}) {
            SCOPED_TRACE(block);
            fake_al::reset();
            const bool last = data.size() <= size_t(block);
            Mp3StreamPlayer* sp =
                mp3s_create(data.data(), last ? int32_t(data.size()) : block, last);
            ASSERT_NE(sp, nullptr);
            ASSERT_EQ(mp3s_set_gapless(sp, 1), 0);
            ASSERT_EQ(mp3s_set_loop_points(sp, int32_t(pt.start), int32_t(pt.end)), 0);
            EXPECT_EQ(mp3s_is_looping(sp), 1);
            ASSERT_EQ(mp3s_play(sp, buffer, 255, 128), 0);
            int32_t r = 0;
            PositionWatch sat(pt.start, end, file.rate, buffer_samples);
            for (int i = 0; i < 1000000 && r == 0 && handed.size() * size_t(buffer) < want_bytes;
                 ++i) {
                ptest::feed_named(sp, data.data(), data.size(), block);
                const size_t n = handed.size();
                r = mp3s_poll(sp);
                sat.after_poll(int64_t(handed.size()) * buffer_samples, handed.size() > n,
                               mp3s_position_ms(sp));
            }
            EXPECT_EQ(r, 0) << "played on";
            EXPECT_TRUE(sat.ok()) << "streamed";
            polls += sat.polls();
            const std::vector<uint8_t> sgot = ptest::handed_signed();
            ASSERT_GE(sgot.size(), want.size());
            const auto sd = std::mismatch(want.begin(), want.end(), sgot.begin());
            EXPECT_TRUE(sd.first == want.end())
                << "streamed: differs at sample " << (sd.first - want.begin()) / long(ss);
            compared += want.size();
            mp3s_destroy(sp);
        }
    }
    std::printf("[ loops    ] %s: %zu bytes compared, the position checked after %lld polls\n",
                file.name, compared, (long long)polls);
}

// A fade to silence over one second, started between two buffers while a short loop repeats,
// then a jump back to full volume, in both players and in the public core that reads the same
// buffers: the PCM is the looped decode times the ramp's gain, sample by sample (within the
// rounding of one LSB), silence after it while the player plays on, and the looped decode
// exactly once the gain is back at 255; the three give the same bytes.
using GameMusic = ptest::FakeAllegro;

TEST_F(GameMusic, RampsSampleBySampleAcrossBuffersAndLoops) {
    const ptest::Encoded& file = kLoopFiles[0];
    ZIV_REQUIRE_TOOL(file.tool);
    const std::vector<uint8_t> data = ptest::encode(file);
    ASSERT_FALSE(data.empty());
    const std::string in = ziv::tmp_path("fade.in"), out = ziv::tmp_path("fade.raw");
    ASSERT_TRUE(ziv::write_file(in, data.data(), data.size()));
    ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' '" + in + "' '" + out + "'"), 0);
    const std::vector<uint8_t> ref = ziv::read_file(out);
    const size_t ss = 4;
    const int64_t start = 3001, end = 30017, ramp = 44100;  // a second at 44.1 kHz
    const int32_t buffer = 3 * 1152 * 4;
    const int polls = 40, fade_at = 3, back_at = 32;  // before those polls
    const std::vector<int16_t> want = ziv::to_s16(looped(ref, ss, start, end, size_t(polls) * buffer));

    EXPECT_EQ(mp3_fade(nullptr, 0, 0), -1);
    EXPECT_EQ(mp3s_fade(nullptr, 0, 0), -1);
    std::vector<int16_t> first;
    for (int source : {0, 1, 2}) {
        const bool streamed = source == 1, core = source == 2;
        SCOPED_TRACE(streamed ? "streamed" : core ? "core" : "in memory");
        fake_al::reset();
        Mp3Player* p = nullptr;
        Mp3StreamPlayer* sp = nullptr;
        MpegCore* c = nullptr;
        std::vector<uint8_t> read;  // the core's reads
        if (core) {
            c = mpeg_core_create(0, 0, 24000);
            ASSERT_EQ(mpeg_core_set_data(c, data.data(), data.size()), MP3_OK);
            ASSERT_EQ(mpeg_core_set_loop(c, start, end), MP3_OK);
        } else if (streamed) {
            sp = mp3s_create(data.data(), 8192, 0);
            ASSERT_NE(sp, nullptr);
            ASSERT_EQ(mp3s_set_gapless(sp, 1), 0);
            ASSERT_EQ(mp3s_set_loop_points(sp, int32_t(start), int32_t(end)), 0);
            ASSERT_EQ(mp3s_play(sp, buffer, 255, 128), 0);
        } else {
            p = mp3_create(data.data(), int32_t(data.size()));
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(mp3_set_gapless(p, 1), 0);
            ASSERT_EQ(mp3_set_loop_points(p, int32_t(start), int32_t(end)), 0);
            ASSERT_EQ(mp3_play_ex(p, buffer, 255, 128, 1000, 1), 0);
        }
        const auto fade = [&](int32_t v, int32_t ms) {
            if (core) {
                const int64_t gain = v == 255 ? MPEG_CORE_UNITY : int64_t(v) * MPEG_CORE_UNITY / 255;
                return mpeg_core_fade(c, v < 0 || v > 255 ? -1 : int32_t(gain),
                                      ms < 0 ? -1 : int64_t(ms) * 44100 / 1000) == MP3_OK ? 0 : -1;
            }
            return streamed ? mp3s_fade(sp, v, ms) : mp3_fade(p, v, ms);
        };
        EXPECT_EQ(fade(256, 10), -1);
        EXPECT_EQ(fade(-1, 10), -1);
        EXPECT_EQ(fade(100, -1), -1);
        for (int k = 0; k < polls; ++k) {
            if (k == fade_at) {
                ASSERT_EQ(fade(0, 1000), 0);
            }
            if (k == back_at) {
                ASSERT_EQ(fade(255, 0), 0);
            }
            if (core) {
                std::vector<uint8_t> b(static_cast<size_t>(buffer));
                int32_t got = 0;
                ASSERT_EQ(mpeg_core_read(c, b.data(), buffer, &got), MP3_OK);
                read.insert(read.end(), b.begin(), b.end());
                continue;
            }
            const size_t n = fake_al::st().handed.size();
            for (int i = 0; i < 1000 && fake_al::st().handed.size() == n; ++i) {
                if (streamed) {
                    ptest::feed_named(sp, data.data(), data.size(), 8192);
                    ASSERT_EQ(mp3s_poll(sp), 0);
                } else {
                    ASSERT_EQ(mp3_poll(p), 0);
                }
            }
        }
        const std::vector<int16_t> got =
            core ? ziv::to_s16(read) : fake_al::signed_samples(ptest::handed_bytes());
        ASSERT_EQ(got.size(), want.size());
        if (first.empty()) first = got;
        EXPECT_TRUE(got == first) << "the same bytes as the in-memory player";
        const int64_t from = int64_t(fade_at) * buffer / int64_t(ss), back = int64_t(back_at) * buffer / int64_t(ss);
        int64_t off = 0, worst = 0;
        for (int64_t i = 0; i < int64_t(got.size()) / 2; ++i) {
            double g = 1.0;
            if (i >= from && i < back) g = std::max(0.0, 1.0 - double(i - from + 1) / ramp);
            for (int c = 0; c < 2; ++c) {
                const double w = want[size_t(2 * i + c)] * g;
                const double d = std::abs(got[size_t(2 * i + c)] - w);
                if (d > 1.0) ++off;
                worst = std::max<int64_t>(worst, int64_t(d));
            }
        }
        EXPECT_EQ(off, 0) << "samples more than 1 LSB off the ramp; worst " << worst;
        // Past the ramp, silence; from back_at on, exactly the looped decode.
        EXPECT_TRUE(std::all_of(got.begin() + long(2 * (from + ramp)), got.begin() + long(2 * back),
                                [](int16_t v) { return v == 0; }));
        EXPECT_TRUE(std::equal(got.begin() + long(2 * back), got.end(), want.begin() + long(2 * back)));
        mpeg_core_destroy(c);
        if (streamed) mp3s_destroy(sp); else mp3_destroy(p);
    }
}

// An ID3v2.3 tag of TXXX frames (description, value), made here.
std::vector<uint8_t> id3_txxx(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<uint8_t> frames;
    for (const auto& [desc, value] : pairs) {
        const size_t n = 1 + desc.size() + 1 + value.size();
        const uint8_t head[10] = {'T', 'X', 'X', 'X', uint8_t(n >> 24), uint8_t(n >> 16),
                                  uint8_t(n >> 8), uint8_t(n), 0, 0};
        frames.insert(frames.end(), head, head + 10);
        frames.push_back(0);  // ISO-8859-1
        frames.insert(frames.end(), desc.begin(), desc.end());
        frames.push_back(0);
        frames.insert(frames.end(), value.begin(), value.end());
    }
    const size_t n = frames.size();
    std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0, uint8_t((n >> 21) & 127),
                                uint8_t((n >> 14) & 127), uint8_t((n >> 7) & 127), uint8_t(n & 127)};
    tag.insert(tag.end(), frames.begin(), frames.end());
    return tag;
}

// A file whose tag gives LOOPSTART and LOOPLENGTH: with gapless on, both players take them as
// their loop points (and loop on them once the loop flag is set), switching gapless off and on
// again restores them after the clear, and loop points set by the game override them.
TEST_F(GameMusic, LoopPointsFromTheTags) {
    const ptest::Encoded& file = kLoopFiles[0];
    ZIV_REQUIRE_TOOL(file.tool);
    const std::vector<uint8_t> audio = ptest::encode(file);
    ASSERT_FALSE(audio.empty());
    const std::string in = ziv::tmp_path("tagloop.in"), out = ziv::tmp_path("tagloop.raw");
    ASSERT_TRUE(ziv::write_file(in, audio.data(), audio.size()));
    ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' '" + in + "' '" + out + "'"), 0);
    const std::vector<uint8_t> ref = ziv::read_file(out);
    const int32_t start = 12345, end = start + 23456;
    std::vector<uint8_t> data =
        id3_txxx({{"LOOPSTART", std::to_string(start)}, {"LOOPLENGTH", std::to_string(end - start)}});
    data.insert(data.end(), audio.begin(), audio.end());
    const int32_t buffer = 3 * 1152 * 4;
    const size_t want_bytes = size_t(end + 3 * (end - start)) * 4;
    const std::vector<uint8_t> want = looped(ref, 4, start, end, want_bytes);

    for (bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "in memory");
        fake_al::reset();
        Mp3Player* p = streamed ? nullptr : mp3_create(data.data(), int32_t(data.size()));
        Mp3StreamPlayer* sp = streamed ? mp3s_create(data.data(), 8192, 0) : nullptr;
        ASSERT_TRUE(p || sp);
        const auto gapless = [&](int32_t on) {
            return streamed ? mp3s_set_gapless(sp, on) : mp3_set_gapless(p, on);
        };
        const auto points = [&]() {
            int64_t s = -1, e = -1;
            EXPECT_EQ(streamed ? mp3s_get_loop_points(sp, &s, &e) : mp3_get_loop_points(p, &s, &e), 0);
            return std::make_pair(s, e);
        };
        ASSERT_EQ(gapless(1), 0);
        EXPECT_EQ(points(), std::make_pair(int64_t(start), int64_t(end))) << "from the tags";
        ASSERT_EQ(gapless(0), 0);
        EXPECT_EQ(points().first, 0) << "gapless off: none";
        ASSERT_EQ(gapless(1), 0);
        EXPECT_EQ(points(), std::make_pair(int64_t(start), int64_t(end))) << "restored";
        if (streamed) {
            mp3s_set_loop(sp, 1);
            ASSERT_EQ(mp3s_play(sp, buffer, 255, 128), 0);
        } else {
            ASSERT_EQ(mp3_play_ex(p, buffer, 255, 128, 1000, 1), 0);
        }
        for (int i = 0; i < 100000 && fake_al::st().handed.size() * size_t(buffer) < want_bytes; ++i) {
            if (streamed) {
                ptest::feed_named(sp, data.data(), data.size(), 8192);
                ASSERT_EQ(mp3s_poll(sp), 0);
            } else {
                ASSERT_EQ(mp3_poll(p), 0);
            }
        }
        const std::vector<uint8_t> got = ptest::handed_signed();
        ASSERT_GE(got.size(), want.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()));
        EXPECT_EQ(streamed ? mp3s_set_loop_points(sp, 100, 200) : mp3_set_loop_points(p, 100, 200), 0);
        EXPECT_EQ(points(), std::make_pair(int64_t(100), int64_t(200))) << "the game's override";
        if (streamed) mp3s_destroy(sp); else mp3_destroy(p);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, PlayerLoop, ::testing::ValuesIn(kLoopFiles),
                         [](const ::testing::TestParamInfo<ptest::Encoded>& i) {
                             return std::string(i.param.name);
                         });

// Loop seams of a streamed player fed as a game feeds it: once per poll, the one block it names.
// At 4 KB the files' frames fill much of a block: a poll of a 16 KB buffer (three frames) takes
// up to about 3 KB, and the poll at a seam takes the pass's last frames and the restart's
// pre-roll together. lame -V 0 on dense material, looped whole (gapless, no loop points) and
// over a loop shorter than a buffer that the intro reaches only a poll before its first seam;
// Layer II at 256 and 192 kbit/s between loop points; and 10 s at 128 kbit/s in 64 KB blocks,
// where the restart's blocks are far behind the seam's.
struct Seam {
    const char* name;
    ptest::Encoded file;
    int64_t start, end;  // loop points; end 0: the whole run, looped without points
    int32_t block;
};

const ptest::Encoded kDenseV0 = {"seam_v0", "lame", "44.1", 44100, 2, 20.0, "-V 0"};
const Seam kSeams[] = {
    {"v0_whole", kDenseV0, 0, 0, 4096},
    {"v0_short", kDenseV0, 700000, 701000, 4096},
    {"l2_256", {"seam_l2_256", "twolame", "48", 48000, 2, 3.0, "-b 256"}, 44100, 52000, 4096},
    {"l2_192", {"seam_l2_192", "twolame", "44.1", 44100, 2, 4.0, "-b 192"}, 22050, 120001, 4096},
    {"cbr_64k", {"seam_128_64k", "lame", "44.1", 44100, 2, 10.0, "-b 128"}, 3000, 400000, 65536},
};

// Dense music-like material, encoded by the file's tool: two sawtooth tones, a square-wave
// arpeggio on the left, and 5 ms clicks of white noise 16 times a second over a low noise floor
// (a fixed seed). lame -V 0 then spends 320 kbit/s on nearly every frame.
std::vector<uint8_t> dense_file(const ptest::Encoded& f) {
    const bool lame = std::string(f.tool) == "lame";
    const std::string raw = ziv::tmp_path(std::string(f.name) + ".raw"),
                      enc = ziv::tmp_path(std::string(f.name) + (lame ? ".mp3" : ".mp2"));
    if (!ziv::file_exists(enc)) {
        const size_t n = size_t(f.rate * f.secs);
        std::vector<int16_t> pcm(n * size_t(f.channels));
        uint32_t seed = 2026;
        for (size_t i = 0; i < n; ++i) {
            const double t = double(i) / f.rate;
            const double saw = (std::fmod(t * 220.0, 1.0) - 0.5) * 0.3 +
                               (std::fmod(t * 277.2, 1.0) - 0.5) * 0.3;
            const double step = 1.0 + double(int64_t(t * 8) % 4) / 4;
            const double square = std::fmod(t * 880.0 * step, 1.0) < 0.5 ? 0.25 : -0.25;
            const bool click = int64_t(i) % (f.rate / 16) < f.rate * 5 / 1000;
            seed = seed * 1664525u + 1013904223u;
            const double noise = (double(seed >> 17) - 16384.0) / 16384.0 * (click ? 0.9 : 0.15);
            for (int c = 0; c < f.channels; ++c) {
                const double v = c == 0 ? saw + noise + square : saw + noise * 0.7;
                pcm[i * size_t(f.channels) + size_t(c)] =
                    int16_t(std::clamp(v * 20000.0, -32768.0, 32767.0));
            }
        }
        if (!ziv::write_file(raw, pcm.data(), pcm.size() * 2)) return {};
        const std::string ch = std::to_string(f.channels);
        const std::string cmd =
            lame ? std::string("lame --quiet -r -s ") + f.khz +
                       " --bitwidth 16 --signed --little-endian -m " +
                       (f.channels == 2 ? "j " : "m ") + f.args + " '" + raw + "' '" + enc + "'"
                 : "twolame --quiet -r -s " + std::to_string(f.rate) + " -N " + ch + " " +
                       f.args + " '" + raw + "' '" + enc + "'";
        if (ziv::run(cmd) != 0) return {};
    }
    return ziv::read_file(enc);
}

class LoopSeam : public ptest::FakeAllegroTest<::testing::TestWithParam<Seam>> {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        const ptest::Encoded& f = GetParam().file;
        ZIV_REQUIRE_TOOL(f.tool);
        data_ = dense_file(f);
        block_ = GetParam().block;
        ASSERT_GT(data_.size(), size_t(2 * block_)) << "encoding " << f.name;
        const std::string in = ziv::tmp_path(std::string(f.name) + ".in"),
                          out = ziv::tmp_path(std::string(f.name) + ".gapless.raw");
        ASSERT_TRUE(ziv::write_file(in, data_.data(), data_.size()));
        ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' '" + in + "' '" + out + "'"), 0);
        ref_ = ziv::read_file(out);
        ss_ = size_t(2 * f.channels);
    }

    // Feeds a streamed player before a poll: the one block it names, or every block it asks for.
    void feed(Mp3StreamPlayer* sp, bool one) const {
        if (one)
            ptest::feed_named(sp, data_.data(), data_.size(), block_);
        else
            while (ptest::feed_named(sp, data_.data(), data_.size(), block_)) {
            }
    }

    static constexpr int32_t kBuffer = 16384;
    std::vector<uint8_t> data_, ref_;
    size_t ss_ = 0;
    int32_t block_ = 0;
};

// Exact against the uninterrupted decode, looped, over two seams, with the position right after
// every poll; fed one block a poll, every poll hands a buffer back. The in-memory player plays
// the same loop against the same decode.
TEST_P(LoopSeam, OneBlockPerPollCarriesTheStreamedPlayerOverEverySeam) {
    const Seam& c = GetParam();
    const int64_t length = int64_t(ref_.size() / ss_), end = c.end ? c.end : length;
    ASSERT_LT(end, length + 1);
    Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
    ASSERT_NE(p, nullptr);
    const int32_t fpcm = p->format.frame_pcm_bytes, buffer = kBuffer / fpcm * fpcm;
    const int64_t buffer_samples = buffer / int64_t(ss_);
    const size_t want_bytes = size_t(end + 2 * (end - c.start)) * ss_ + size_t(buffer);
    const std::vector<uint8_t> want = looped(ref_, ss_, c.start, end, want_bytes);
    const auto& handed = fake_al::st().handed;
    const auto exact = [&](const char* who) {
        const std::vector<uint8_t> got = ptest::handed_signed();
        const size_t n = std::min(got.size(), want.size());
        const auto d = std::mismatch(want.begin(), want.begin() + long(n), got.begin());
        EXPECT_TRUE(got.size() >= want.size() && d.first == want.begin() + long(n))
            << who << ": " << got.size() / ss_ << " samples handed back, first difference at sample "
            << (d.first - want.begin()) / long(ss_);
    };

    ASSERT_EQ(mp3_set_gapless(p, 1), 0);
    if (c.end) {
        ASSERT_EQ(mp3_set_loop_points(p, int32_t(c.start), int32_t(c.end)), 0);
    }
    ASSERT_EQ(mp3_play_ex(p, buffer, 255, 128, 1000, 1), 0);
    PositionWatch mem(c.start, end, c.file.rate, buffer_samples);
    while (handed.size() * size_t(buffer) < want_bytes) {
        const size_t n = handed.size();
        ASSERT_EQ(mp3_poll(p), 0);
        mem.after_poll(int64_t(handed.size()) * buffer_samples, handed.size() > n,
                       mp3_position_ms(p));
    }
    exact("in memory");
    EXPECT_TRUE(mem.ok()) << "in memory";
    mp3_destroy(p);

    int64_t polls = mem.polls();
    for (bool one : {true, false}) {
        SCOPED_TRACE(one ? "one block a poll" : "every block asked for");
        fake_al::reset();
        Mp3StreamPlayer* sp = mp3s_create(data_.data(), block_, 0);
        ASSERT_NE(sp, nullptr);
        ASSERT_EQ(mp3s_set_gapless(sp, 1), 0);
        if (c.end)
            ASSERT_EQ(mp3s_set_loop_points(sp, int32_t(c.start), int32_t(c.end)), 0);
        else
            mp3s_set_loop(sp, 1);
        ASSERT_EQ(mp3s_play(sp, kBuffer, 255, 128), 0);
        PositionWatch at(c.start, end, c.file.rate, buffer_samples);
        int32_t r = 0;
        for (int i = 0; i < 100000 && r == 0 && handed.size() * size_t(buffer) < want_bytes; ++i) {
            feed(sp, one);
            const size_t n = handed.size();
            r = mp3s_poll(sp);
            at.after_poll(int64_t(handed.size()) * buffer_samples, handed.size() > n,
                          mp3s_position_ms(sp));
        }
        EXPECT_EQ(r, 0) << "stopped after " << handed.size() * size_t(buffer_samples)
                        << " samples (MP3_DATA_LATE is " << MP3_DATA_LATE << ")";
        exact("streamed");
        EXPECT_TRUE(at.ok()) << "streamed";
        EXPECT_EQ(at.holds(), 0) << "polls that handed nothing back, the first at poll "
                                 << at.first_hold();
        polls += at.polls();
        mp3s_destroy(sp);
    }
    std::printf("[ seams    ] %s: %zu samples compared in each of 3 runs, %lld polls\n", c.name,
                want.size() / ss_, (long long)polls);
}

// A seek cannot be foreseen: the blocks at its offset are asked for once it is made. Fed one
// block a poll, the player keeps the buffer until they have come, rather than stopping: the
// buffers after every seek are the uninterrupted decode's from the frame sought.
TEST_P(LoopSeam, SeeksWaitForTheirBlocksWhenFedOneAPoll) {
    // Gapless on, a time counts from the first sample handed back, in both players alike.
    for (int32_t gapless : {0, 1}) {
        SCOPED_TRACE(gapless ? "gapless" : "every frame");
        Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(mp3_set_gapless(p, gapless), 0);
        SAMPLE* all = mp3_decode_all(p);
        ASSERT_NE(all, nullptr);
        const uint8_t* ref = static_cast<const uint8_t*>(all->data);
        const size_t ref_bytes = size_t(all->len) * ss_;
        const size_t fpcm = size_t(p->format.frame_pcm_bytes);
        const int64_t frames = p->core->index.frames;
        const int64_t spf = int64_t(fpcm / ss_);
        const int32_t fpb = kBuffer / int32_t(fpcm);
        const auto& handed = fake_al::st().handed;
        Mp3StreamPlayer* sp = mp3s_create(data_.data(), block_, 0);
        ASSERT_NE(sp, nullptr);
        ASSERT_EQ(mp3s_set_gapless(sp, gapless), 0);
        ASSERT_EQ(mp3s_play(sp, kBuffer, 255, 128), 0);
        int32_t r = 0;
        const auto next_buffer = [&]() -> const std::vector<uint8_t>* {
            const size_t n = handed.size();
            for (int i = 0; i < 100 && r == 0 && handed.size() == n; ++i) {
                feed(sp, true);
                r = mp3s_poll(sp);
            }
            return handed.size() > n ? &handed.back() : nullptr;
        };
        // Played to about two thirds of the file, then seeks back and forth in what has passed.
        while (r == 0 && mp3s_current_frame(sp) < frames * 2 / 3) ASSERT_NE(next_buffer(), nullptr);
        const int64_t ms_of_frame = spf * 1000 / GetParam().file.rate;
        int32_t checked = 0;
        for (int64_t f :
             {frames / 2, int64_t(5), frames / 3, frames * 3 / 5, int64_t(40), frames / 7}) {
            SCOPED_TRACE(f);
            const int32_t ms = int32_t(f * spf * 1000 / GetParam().file.rate + ms_of_frame / 2);
            const int64_t g =
                mpeg_core_frame_of(p->core, int64_t(ms) * GetParam().file.rate / 1000);
            if (!gapless) {
                EXPECT_EQ(g, int64_t(ms) * GetParam().file.rate / (spf * 1000));
            }
            mp3_seek_ms(p, ms);
            EXPECT_EQ(mp3_current_frame(p), g) << "the in-memory player lands on the same frame";
            ASSERT_EQ(mp3s_seek_ms(sp, ms), 0);
            const size_t from = size_t(mpeg_core_frame_sample(p->core, g)) * ss_;
            for (int32_t k = 0; k < 2; ++k) {
                const std::vector<uint8_t>* b = next_buffer();
                ASSERT_NE(b, nullptr) << "poll result " << r;
                const size_t at = from + size_t(k * fpb) * fpcm;
                ASSERT_LE(at + b->size(), ref_bytes);
                const auto d = std::mismatch(b->begin(), b->end(), ref + at);
                EXPECT_TRUE(d.first == b->end())
                    << "buffer " << k << " after the seek to frame " << g << " differs at byte "
                    << d.first - b->begin();
                ++checked;
            }
        }
        EXPECT_EQ(r, 0);
        std::printf("[ seeks    ] %s, gapless %d: %d buffers after seeks compared\n",
                    GetParam().name, gapless, checked);
        mp3s_destroy(sp);
        destroy_sample(all);
        mp3_destroy(p);
        EXPECT_EQ(fake_al::st().errors, 0) << "a buffer handed back twice or a dead stream";
        fake_al::reset();
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LoopSeam, ::testing::ValuesIn(kSeams),
                         [](const ::testing::TestParamInfo<Seam>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
