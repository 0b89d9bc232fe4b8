// The game example runs as a player would see it: under a private Xvfb server with a private
// PulseAudio server whose only sink is a null sink (Allegro plays through ALSA, whose default
// device a private HOME's ~/.asoundrc routes to PulseAudio). Both modes, the streamed player fed
// from disk and the in-memory player, play tone files for a few seconds and quit by themselves;
// parec records the sink's monitor, and the tones are told apart by their pitch and level: the
// gapless loop of one tone, an intro that plays once before the loop points, and, through keys
// pressed with xdotool, a crossfade (C) from one track to another and a fade out (F).
#include "sound_session.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

using ziv::now_s;
using ziv::sleep_ms;
using Session = ziv::SoundSession;

constexpr int kLoud = 1000; // a sample above this is the tone, not silence
constexpr size_t kRate = 44100;

// Whether the left channel is loud within 60 frames of interleaved sample i.
bool loud_near(const std::vector<int16_t>& rec, size_t i) {
    size_t lo = i > 120 ? i - 120 : 0, hi = std::min(rec.size(), i + 120);
    for (size_t k = lo; k < hi; k += 2)
        if (std::abs(int(rec[k])) > kLoud) return true;
    return false;
}

// The first and one past the last loud frame of the left channel (0, 0 when none).
std::pair<size_t, size_t> loud_span(const std::vector<int16_t>& rec) {
    size_t first = 0, end = 0;
    for (size_t i = 0; i < rec.size(); i += 2)
        if (std::abs(int(rec[i])) > kLoud) {
            if (end == 0) first = i / 2;
            end = i / 2 + 1;
        }
    return {first, end};
}

// The pitch of the left channel over frames [from, to): the median spacing of its zero crossings
// where it is loud taken as half a period; 0 with fewer than 20 crossings.
double pitch(const std::vector<int16_t>& rec, size_t from, size_t to) {
    std::vector<size_t> crossings, half;
    for (size_t i = std::max<size_t>(from, 1) * 2; i < std::min(to * 2, rec.size()); i += 2)
        if ((rec[i - 2] < 0) != (rec[i] < 0) && loud_near(rec, i)) crossings.push_back(i / 2);
    for (size_t k = 1; k < crossings.size(); ++k) half.push_back(crossings[k] - crossings[k - 1]);
    if (half.size() < 20) return 0;
    std::nth_element(half.begin(), half.begin() + half.size() / 2, half.end());
    return double(kRate) / (2.0 * half[half.size() / 2]);
}

// The amplitude of the left channel's component at `hz` over frames [from, to).
double level(const std::vector<int16_t>& rec, size_t from, size_t to, double hz) {
    double re = 0, im = 0;
    for (size_t f = from; f < to && 2 * f < rec.size(); ++f) {
        const double w = 2 * M_PI * hz * double(f) / kRate;
        re += rec[2 * f] * std::cos(w);
        im -= rec[2 * f] * std::sin(w);
    }
    return 2 * std::hypot(re, im) / double(to - from);
}

// The longest run of frames in [from, to) without a loud sample.
size_t longest_quiet(const std::vector<int16_t>& rec, size_t from, size_t to) {
    size_t best = 0, run = 0;
    for (size_t f = from; f < to && 2 * f < rec.size(); ++f) {
        run = std::abs(int(rec[2 * f])) > kLoud ? 0 : run + 1;
        best = std::max(best, run);
    }
    return best;
}

// A key pressed in the example's window this many seconds after it starts.
struct Press {
    double at;
    const char* key;
};

// Runs the example with `args` (before the file names) for `seconds` while recording the sink,
// pressing `keys`; returns its exit status and the recording.
int play(const Session& s, const std::string& name, const std::vector<std::string>& args,
         int seconds, std::vector<int16_t>* rec, std::vector<Press> keys = {}) {
    std::string raw = s.dir + "/" + name + ".raw";
    pid_t parec = ziv::spawn({"parec", "--latency-msec=20", "-d", "examplesink.monitor",
                              "--format=s16le", "--rate=44100", "--channels=2", "--raw", raw},
                             s.env(), "", s.dir + "/parec-" + name + ".log");
    // The recording starts once parec writes the sink's silence (a new server takes a while).
    for (double until = now_s() + 20; now_s() < until && ziv::read_file(raw).size() < kRate;)
        sleep_ms(50);
    std::vector<std::string> argv = {ZIV_GAME_MUSIC, "--seconds", std::to_string(seconds)};
    argv.insert(argv.end(), args.begin(), args.end());
    const double t0 = now_s();
    pid_t game = ziv::spawn(argv, s.env(), s.dir, s.dir + "/game-" + name + ".log");
    int status = -1;
    for (double until = t0 + seconds + 60; now_s() < until && status < 0; sleep_ms(100)) {
        if (!keys.empty() && now_s() >= t0 + keys.front().at) {
            // No window manager: focus the window, then type into it as a keyboard does.
            pid_t xdo = ziv::spawn({"xdotool", "search", "--sync", "--name", "game_music",
                                    "windowfocus", "--sync", "key", keys.front().key},
                                   s.env(), "", s.dir + "/xdotool-" + name + ".log");
            for (double t = now_s() + 10; now_s() < t && ziv::exited(xdo) < 0;) sleep_ms(20);
            ziv::end_process(xdo);
            keys.erase(keys.begin());
        }
        status = ziv::exited(game);
    }
    if (status < 0) ziv::end_process(game, SIGKILL);
    sleep_ms(300);
    ziv::end_process(parec, SIGINT);
    *rec = ziv::read_s16(raw);
    return status;
}

// A tone file: sines of `secs` seconds each at the pitches `hz` one after the other, at half
// scale, encoded by lame (whose LAME tag makes the gapless samples the tones' own).
std::string tones(const Session& s, const std::string& name, std::initializer_list<int> hz,
                  double secs) {
    std::string cmd, wavs, mp3 = s.dir + "/" + name + ".mp3";
    int k = 0;
    for (int f : hz) {
        std::string wav = s.dir + "/" + name + std::to_string(k++) + ".wav";
        cmd += "sox -n -r 44100 -c 2 -b 16 " + q(wav) + " synth " + std::to_string(secs) +
               " sine " + std::to_string(f) + " gain -6 && ";
        wavs += q(wav) + " ";
    }
    std::string all = s.dir + "/" + name + ".wav";
    cmd += "sox " + wavs + q(all) + " && lame --quiet -b 128 " + q(all) + " " + q(mp3);
    return ziv::run(cmd) == 0 ? mp3 : "";
}

const char* const kTools[] = {"Xvfb", "pulseaudio", "pactl", "parec", "lame", "sox", "xdotool"};

TEST(GameMusicExample, BothModesPlayTheToneThroughTheSoundServer) {
    for (const char* t : kTools) ZIV_REQUIRE_TOOL(t);
    Session s;
    ASSERT_EQ(s.start(), "");
    // A two-second 440 Hz tone, looped over four seconds of play.
    std::string mp3 = tones(s, "tone", {440}, 2);
    ASSERT_NE(mp3, "");
    for (const char* mode : {"streamed", "memory"}) {
        std::vector<std::string> args = {mp3};
        if (std::string(mode) == "memory") args.insert(args.begin(), "--memory");
        std::vector<int16_t> rec;
        EXPECT_EQ(play(s, mode, args, 4, &rec), 0) << mode << ", see " << s.dir;
        auto [on, off] = loud_span(rec);
        ASSERT_GT(off - on, kRate * 3) << mode << ": no tone reached the sink, see " << s.dir;
        EXPECT_NEAR(pitch(rec, on, off), 440, 440 * 0.05) << mode;
        // Gapless: the loop joins the tone's end to its start without a pause.
        EXPECT_LT(longest_quiet(rec, on, off), kRate / 20) << mode << ", see " << s.dir;
    }
}

TEST(GameMusicExample, LoopPointsPlayTheIntroOnce) {
    for (const char* t : kTools) ZIV_REQUIRE_TOOL(t);
    Session s;
    ASSERT_EQ(s.start(), "");
    // One second of 440 Hz, the intro, then one of 660 Hz, the loop: --loop 44100 0.
    std::string mp3 = tones(s, "intro", {440, 660}, 1);
    ASSERT_NE(mp3, "");
    for (const char* mode : {"streamed", "memory"}) {
        std::vector<std::string> args = {"--loop", "44100", "0", mp3};
        if (std::string(mode) == "memory") args.insert(args.begin(), "--memory");
        std::vector<int16_t> rec;
        std::string name = std::string("loop-") + mode;
        EXPECT_EQ(play(s, name, args, 5, &rec), 0) << mode << ", see " << s.dir;
        auto [on, off] = loud_span(rec);
        ASSERT_GT(off - on, kRate * 4) << mode << ": no tone reached the sink, see " << s.dir;
        EXPECT_NEAR(pitch(rec, on + kRate / 10, on + kRate * 8 / 10), 440, 440 * 0.05) << mode;
        // After the intro, only the loop: looping the whole file would bring 440 Hz back at 2 s.
        for (size_t at = on + kRate * 12 / 10; at + kRate / 4 <= off; at += kRate / 4)
            EXPECT_NEAR(pitch(rec, at, at + kRate / 4), 660, 660 * 0.05)
                << mode << " at " << double(at - on) / kRate << " s, see " << s.dir;
    }
}

TEST(GameMusicExample, CrossfadeHandsTheMusicToTheSecondTrackAndFTakesItOut) {
    for (const char* t : kTools) ZIV_REQUIRE_TOOL(t);
    Session s;
    ASSERT_EQ(s.start(), "");
    std::string a = tones(s, "first", {440}, 2), b = tones(s, "second", {660}, 2);
    ASSERT_NE(a, "");
    ASSERT_NE(b, "");
    for (const char* mode : {"streamed", "memory"}) {
        std::vector<std::string> args = {"--crossfade", b, a};
        if (std::string(mode) == "memory") args.insert(args.begin(), "--memory");
        std::vector<int16_t> rec;
        std::string name = std::string("crossfade-") + mode;
        // C three seconds in: the first track is heard until then, the second from the end of
        // the three-second crossfade on; F at eight seconds fades the second out over two.
        EXPECT_EQ(play(s, name, args, 11, &rec, {{3, "c"}, {8, "f"}}), 0)
            << mode << ", see " << s.dir;
        auto [on, off] = loud_span(rec);
        ASSERT_GT(off - on, kRate * 8) << mode << ": no tone reached the sink, see " << s.dir;
        EXPECT_NEAR(pitch(rec, on + kRate / 10, on + kRate), 440, 440 * 0.05) << mode;
        const size_t b_from = on + kRate * 62 / 10, b_to = on + kRate * 72 / 10;
        EXPECT_NEAR(pitch(rec, b_from, b_to), 660, 660 * 0.05) << mode;
        // The music goes on throughout: one fades in while the other fades out, both heard at
        // once (each above a fifth of its own level) for over a second, where a cut has none.
        EXPECT_LT(longest_quiet(rec, on, off), kRate / 20) << mode << ", see " << s.dir;
        const double full_a = level(rec, on + kRate / 10, on + kRate, 440),
                     full_b = level(rec, b_from, b_to, 660);
        size_t both = 0;
        for (size_t at = on; at + kRate / 4 <= off; at += kRate / 4)
            if (level(rec, at, at + kRate / 4, 440) > full_a / 5 &&
                level(rec, at, at + kRate / 4, 660) > full_b / 5)
                ++both;
        EXPECT_GE(both, 4u) << mode << ": quarter seconds with both tracks heard, see " << s.dir;
        // The fade out: half a second before the tone's end it is partly down, not cut off, and
        // silence follows until the example quits.
        const double fading = level(rec, off - kRate, off - kRate / 2, 660) / full_b;
        EXPECT_GT(fading, 0.2) << mode;
        EXPECT_LT(fading, 0.8) << mode;
        EXPECT_GT(rec.size() / 2 - off, kRate / 2) << mode << ", see " << s.dir;
    }
}

}  // namespace
