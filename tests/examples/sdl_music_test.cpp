// The SDL2 example as a game author gets it: built with gcc as strict C99 against the decoder's
// installed packages alone (`cmake --install --component decoder/decoder-dev`, pkg-config modules
// mpegdec and sdl2), then run under a private Xvfb server with SDL's PulseAudio output going into
// a null sink whose monitor parec records. Two noise tracks (lame) are played with timings given
// on the command line: the first's intro and loop, a crossfade to the second, a seek in the second.
// The run prints the output sample each event took effect at; from those and mp3dec's decode of
// the same files the test builds the output the run should have made, finds where it lies in the
// recording (the sound server's latency) and follows it window by window at that one offset, the
// silence a starved server inserts taken out: every window matches, so the loop's restarts and
// the seek land on their sample (and the windows after them do not match what a whole-file loop
// or no seek would give); the crossfade's two gains follow the ramp; the positions printed and
// the window's title are those of the decode.
#include "pcm_match.h"
#include "sound_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <tuple>

namespace {

using ziv::best_offset;
using ziv::correlation;
using ziv::now_s;
using ziv::sleep_ms;

std::string q(const std::string& s) { return "'" + s + "'"; }

constexpr long kRate = 44100;
constexpr long kWin = 2048; // frames of output compared at a time

// A shell command's exit status, its output (stdout and stderr) in `out`.
int capture(const std::string& cmd, std::string* out) {
    static int n = 0;
    std::string f = ziv::tmp_path("capture" + std::to_string(n++) + ".txt");
    int st = ziv::run("(" + cmd + ") >" + q(f) + " 2>&1");
    std::vector<uint8_t> t = ziv::read_file(f);
    *out = std::string(t.begin(), t.end());
    return st;
}

// The example built from the installed decoder packages alone: its path, or why it is missing.
struct Built {
    std::string exe, error;
};

const Built& built() {
    static Built b = [] {
        Built r;
        const std::string prefix = ziv::tmp_path("prefix");
        std::string out;
        for (const char* component : {"decoder", "decoder-dev"})
            if (capture("cmake --install " + q(ZIV_BINARY_DIR) + " --prefix " + q(prefix) +
                            " --component " + component, &out) != 0) {
                r.error = "cmake --install failed:\n" + out;
                return r;
            }
        capture("dirname \"$(find " + q(prefix) + " -name mpegdec.pc | head -n 1)\"", &out);
        const std::string pc = out.substr(0, out.find('\n'));
        const std::string lib = pc.substr(0, pc.rfind('/'));
        r.exe = ziv::tmp_path("sdl_music");
        if (capture("export PKG_CONFIG_PATH=" + q(pc) + " && gcc -std=c99 -pedantic -Wall -Wextra "
                    "-Werror " ZIV_INSTALL_TEST_FLAGS " " ZIV_SOURCE_DIR "/examples/sdl_music.c -o " +
                    q(r.exe) + " -Wl,-rpath," + lib + " $(pkg-config --cflags --libs mpegdec sdl2)",
                    &out) != 0)
            r.error = "the example does not build against the installed tree:\n" + out;
        return r;
    }();
    return b;
}

// What the run printed: the tracks' lengths and loops, the events with the output sample each
// took effect at, and the positions.
struct Printed {
    long len[2] = {-1, -1}, loop_start[2] = {-1, -1}, loop_end[2] = {-1, -1};
    long xfade_at = -1, xfade_len = -1, seek_at = -1, seek_to = -1, seek_reached = -1, end = -1;
    struct Pos {
        long at, first, second; // -1: not playing
    };
    std::vector<Pos> pos;
};

Printed parse(const std::string& text) {
    Printed p;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        long a = 0, b = 0, c = 0, at = 0;
        int k = l.rfind("first:", 0) == 0 ? 0 : l.rfind("second:", 0) == 0 ? 1 : -1;
        if (k >= 0 && l.find(" samples, loop [") != std::string::npos) {
            const size_t s = l.rfind(", ", l.find(" samples, loop ["));
            if (std::sscanf(l.c_str() + s, ", %ld samples, loop [%ld, %ld)", &a, &b, &c) == 3) {
                p.len[k] = a;
                p.loop_start[k] = b;
                p.loop_end[k] = c;
            }
        } else if (std::sscanf(l.c_str(), "at %ld: crossfade from first to second over %ld", &at, &a) == 2) {
            p.xfade_at = at;
            p.xfade_len = a;
        } else if (std::sscanf(l.c_str(), "at %ld: second seeks to %ld: %ld", &at, &a, &b) == 3) {
            p.seek_at = at;
            p.seek_to = a;
            p.seek_reached = b;
        } else if (std::sscanf(l.c_str(), "end at %ld", &at) == 1) {
            p.end = at;
        } else if (std::sscanf(l.c_str(), "at %ld:", &at) == 1) {
            Printed::Pos pos{at, -1, -1};
            std::istringstream w(l.substr(l.find(':') + 1));
            for (std::string n; w >> n >> a;) (n == "first" ? pos.first : pos.second) = a;
            p.pos.push_back(pos);
        }
    }
    return p;
}

// The output the run should have made, from the decodes of its two files and what it printed:
// the first track from output sample 0, its intro once and then its loop; from the crossfade on,
// its gain ramping from 1 to 0 over the crossfade while the second's rises from 0 to 1, the
// second starting at its sample 0 and going on from the sample sought to after the seek.
struct Expected {
    const std::vector<int16_t>&a, &b;
    Printed p;
    Expected(const std::vector<int16_t>& a_, const std::vector<int16_t>& b_, const Printed& p_)
        : a(a_), b(b_), p(p_) {}

    long frames_a() const { return long(a.size() / 2); }
    long frames_b() const { return long(b.size() / 2); }
    long first_at(long n) const {
        return n < p.loop_end[0] ? n : p.loop_start[0] + (n - p.loop_start[0]) % (p.loop_end[0] - p.loop_start[0]);
    }
    long second_at(long n) const {
        return (n < p.seek_at ? n - p.xfade_at : p.seek_to + n - p.seek_at) % frames_b();
    }
    double gain_first(long n) const {
        if (n < p.xfade_at) return 1;
        if (n >= p.xfade_at + p.xfade_len) return 0;
        return 1 - double(n - p.xfade_at + 1) / double(p.xfade_len);
    }
    double gain_second(long n) const { return n < p.xfade_at ? 0 : 1 - gain_first(n); }

    // Output frames [0, p.end) of each track at unity, of their mix, and of the two runs the test
    // must tell from this one: the first track looped whole, the second never sought in.
    std::vector<int16_t> first, second, mix, whole_loop, no_seek;
    void make() {
        for (auto* v : {&first, &second, &mix, &whole_loop, &no_seek}) v->assign(size_t(2 * p.end), 0);
        for (long n = 0; n < p.end; ++n)
            for (long c = 0; c < 2; ++c) {
                const size_t o = size_t(2 * n + c);
                first[o] = a[size_t(2 * first_at(n) + c)];
                if (n >= p.xfade_at) second[o] = b[size_t(2 * second_at(n) + c)];
                mix[o] = int16_t(std::lround(gain_first(n) * first[o] + gain_second(n) * second[o]));
                whole_loop[o] = int16_t(std::lround(gain_first(n) * a[size_t(2 * (n % frames_a()) + c)] +
                                                    gain_second(n) * second[o]));
                no_seek[o] = n < p.xfade_at ? mix[o]
                                            : int16_t(std::lround(
                                                  gain_first(n) * first[o] +
                                                  gain_second(n) * b[size_t(2 * ((n - p.xfade_at) % frames_b()) + c)]));
            }
    }
};

long first_loud(const std::vector<int16_t>& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (std::abs(s[i]) > 1000) return long(i / 2);
    return -1;
}

// The recording without the silence the sound server inserts when a stream is starved of data:
// every run of two or more exact zero frames between the first and the last loud frame (the
// sink's monitor shows them exactly, and the noise the tracks are made of has none). What is
// left is the run's output as played, frame after frame.
struct Compacted {
    std::vector<int16_t> rec;
    std::vector<std::pair<long, long>> runs; // recording frame, frames
    std::vector<long> cuts;                  // frame of rec where each run was
    long inserted = 0;
};

Compacted compact(const std::vector<int16_t>& rec) {
    Compacted c;
    const long first = first_loud(rec), frames = long(rec.size() / 2);
    long last = frames - 1;
    while (last > 0 && std::abs(rec[2 * size_t(last)]) <= 1000) --last;
    auto zero = [&](long g) { return rec[2 * size_t(g)] == 0 && rec[2 * size_t(g) + 1] == 0; };
    for (long g = 0; g < frames;) {
        long h = g;
        while (h < frames && zero(h)) ++h;
        if (h - g >= 2 && g > first && h <= last) {
            c.runs.emplace_back(g, h - g);
            c.cuts.push_back(long(c.rec.size() / 2));
            c.inserted += h - g;
        } else {
            h = std::max(h, g + 1);
            c.rec.insert(c.rec.end(), rec.begin() + 2 * g, rec.begin() + 2 * h);
        }
        g = h;
    }
    return c;
}

// Runs the example with `args` while parec records the sink; its exit status, its output, the
// recording and the window's title read while the first track plays.
struct Played {
    int status = -1;
    std::string out, title;
    std::vector<int16_t> rec;
};

Played play(const ziv::SoundSession& s, const std::string& name, const std::vector<std::string>& args) {
    Played r;
    const std::string raw = s.dir + "/" + name + ".raw", log = s.dir + "/" + name + ".log";
    std::vector<std::string> env = s.env();
    env.push_back("SDL_AUDIODRIVER=pulseaudio");
    pid_t parec = ziv::spawn({"parec", "--latency-msec=20", "-d", "examplesink.monitor",
                              "--format=s16le", "--rate=44100", "--channels=2", "--raw", raw},
                             env, "", s.dir + "/parec-" + name + ".log", ziv::kSoundNice);
    // The recording starts once parec writes the sink's silence (a new server takes a while).
    for (double until = now_s() + 20; now_s() < until && ziv::read_file(raw).size() < size_t(kRate);)
        sleep_ms(50);
    std::vector<std::string> argv = {built().exe};
    argv.insert(argv.end(), args.begin(), args.end());
    const double t0 = now_s();
    pid_t game = ziv::spawn(argv, env, s.dir, log, ziv::kSoundNice);
    for (double until = t0 + 60; now_s() < until && r.status < 0; sleep_ms(100)) {
        if (r.title.rfind("sdl_music: ", 0) != 0 && now_s() > t0 + 0.5) {
            std::string t;
            capture("DISPLAY=:" + std::to_string(s.display) +
                    " xdotool search --name '^sdl_music' getwindowname", &t);
            r.title = t.substr(0, t.find('\n'));
        }
        r.status = ziv::exited(game);
    }
    if (r.status < 0) ziv::end_process(game, SIGKILL);
    sleep_ms(300);
    ziv::end_process(parec, SIGINT);
    r.rec = ziv::read_s16(raw);
    std::vector<uint8_t> o = ziv::read_file(log);
    r.out.assign(o.begin(), o.end());
    return r;
}

// A track of white noise, `secs` seconds (with `effects` after), made by sox in its repeatable mode
// and lame (whose LAME tag makes the gapless samples sox's own), and mp3dec's decode of it. Noise
// matches itself at one alignment only: a sample early or late does not correlate.
std::string noise(const std::string& dir, const std::string& name, double secs,
                  const std::string& effects, std::vector<int16_t>* decoded) {
    const std::string wav = dir + "/" + name + ".wav", mp3 = dir + "/" + name + ".mp3",
                      raw = dir + "/" + name + ".raw";
    const std::string cmd = "sox -R -n -r 44100 -c 2 -b 16 " + q(wav) + " synth " + std::to_string(secs) +
                            " whitenoise gain -10 " + effects + " && lame --quiet -b 160 " + q(wav) + " " + q(mp3) +
                            " && " + q(ziv::mp3dec_path()) + " " + q(mp3) + " " + q(raw);
    if (ziv::run(cmd) != 0) return "";
    *decoded = ziv::read_s16(raw);
    return mp3;
}

const char* const kTools[] = {"Xvfb", "pulseaudio", "pactl", "parec", "lame", "sox", "xdotool",
                              "gcc", "pkg-config"};

TEST(SdlMusicExample, IntroLoopCrossfadeAndSeekReachTheSinkAsDecoded) {
    for (const char* t : kTools) ZIV_REQUIRE_TOOL(t);
    ASSERT_EQ(ziv::run("pkg-config --exists sdl2"), 0)
        << "SDL2's development files are missing (run ./test.sh to set up: libsdl2-dev)";
    ASSERT_EQ(built().error, "");
    ziv::SoundSession s;
    ASSERT_EQ(s.start(), "");
    std::vector<int16_t> a, b;
    // The second is reversed: the same noise generator's output, not correlated with the first.
    const std::string mp3a = noise(s.dir, "first", 2, "", &a),
                      mp3b = noise(s.dir, "second", 3, "reverse", &b);
    ASSERT_NE(mp3a, "");
    ASSERT_NE(mp3b, "");
    ASSERT_EQ(a.size(), size_t(2 * 2 * kRate)) << "mp3dec's decode is not gapless";

    // Intro [0, 0.5 s), loop [0.5 s, 1.3 s) (the file's last 0.7 s never heard), restarting at
    // 1.3, 2.1 and 2.9 s; the crossfade at 2.3 s over 1 s, across the third restart; the seek at
    // 4.5 s takes the second track from 2.2 s back to 0.25 s; six seconds in all.
    const long loop_start = kRate / 2, loop_end = 13 * kRate / 10, seek_to = kRate / 4;
    Played r = play(s, "run", {"--loop", std::to_string(loop_start), std::to_string(loop_end),
                            "--crossfade-at", "2300", "--crossfade-ms", "1000", "--seek-at", "4500",
                            std::to_string(seek_to), "--print-every", "250", "--seconds", "6",
                            mp3a, mp3b});
    ASSERT_EQ(r.status, 0) << r.out << "see " << s.dir;

    // What it printed: the tracks as decoded, the events at the times asked for (the game loop
    // acts at its next turn after the music's clock passed them: within a quarter second).
    Printed p = parse(r.out);
    EXPECT_EQ(p.len[0], long(a.size() / 2));
    EXPECT_EQ(p.len[1], long(b.size() / 2));
    EXPECT_EQ(p.loop_start[0], loop_start);
    EXPECT_EQ(p.loop_end[0], loop_end);
    EXPECT_EQ(p.loop_start[1], 0);
    EXPECT_EQ(p.loop_end[1], long(b.size() / 2)) << "the second track loops whole";
    EXPECT_EQ(p.xfade_len, kRate);
    EXPECT_EQ(p.seek_to, seek_to);
    EXPECT_EQ(p.seek_reached, seek_to);
    for (auto [what, at, asked] : {std::tuple{"crossfade", p.xfade_at, 23 * kRate / 10},
                                   std::tuple{"seek", p.seek_at, 45 * kRate / 10},
                                   std::tuple{"end", p.end, 6 * kRate}}) {
        EXPECT_GE(at, asked) << what << "\n" << r.out;
        EXPECT_LT(at, asked + kRate / 4) << what << "\n" << r.out;
    }
    ASSERT_TRUE(p.xfade_at > 0 && p.seek_at > p.xfade_at + p.xfade_len && p.end > p.seek_at) << r.out;

    Expected e(a, b, p);
    e.make();
    // The positions printed are the decode's: the first track's back at the loop's start after
    // each restart, the second's counted from the crossfade and then from the sample sought to;
    // the first is no longer read once it has faded out.
    int wrapped = 0;
    ASSERT_GT(p.pos.size(), 15u) << r.out;
    for (const Printed::Pos& t : p.pos) {
        if (t.at < p.xfade_at + p.xfade_len) {
            EXPECT_EQ(t.first, e.first_at(t.at)) << "at " << t.at;
        } else if (t.at > p.xfade_at + p.xfade_len + kRate / 4) {
            EXPECT_EQ(t.first, -1) << "at " << t.at;
        }
        EXPECT_EQ(t.second, t.at >= p.xfade_at ? e.second_at(t.at) : -1) << "at " << t.at;
        wrapped += t.first >= 0 && t.first < t.at;
    }
    EXPECT_GE(wrapped, 3) << "positions printed after a restart of the loop";
    // The title shows the first track's position and length while it plays.
    int m = -1, sec = -1, ms = -1;
    char len[16] = "";
    EXPECT_EQ(std::sscanf(r.title.c_str(), "sdl_music: first %d:%d.%d / %15s", &m, &sec, &ms, len), 4)
        << r.title;
    EXPECT_STREQ(len, "0:02.000") << r.title;
    EXPECT_LT(m * 60000 + sec * 1000 + ms, 2000) << r.title;

    // Where the run's output lies in the recording: the first loud frames, then the best match.
    ASSERT_GE(first_loud(r.rec), 0) << "nothing reached the sink, see " << s.dir;
    const Compacted cr = compact(r.rec);
    const std::vector<int16_t>& rec = cr.rec;
    for (auto [at, n] : cr.runs)
        std::printf("[ sdl      ] the sound server inserted %ld frames of silence at frame %ld\n", n, at);
    long off = best_offset(rec, e.mix, first_loud(rec) - first_loud(e.mix), 4096, 0, kWin);
    std::printf("[ sdl      ] the run's output starts at frame %ld of the recording\n", off);

    // Every frame of the output is in the recording once the silence the sound server inserted
    // is taken out, window after window at one offset. A sample of the loop, the crossfade or the
    // seek early or late moves what follows and fails. Only where the server was starved (where
    // silence was cut out, within a window) may the offset move: a starved server also drops or
    // shifts the music that came late. Those moves are reported and bounded.
    struct Window {
        long f, off; // output frames [f, f + kWin) at recording frame + off
    };
    std::vector<Window> clean;
    const long until = p.end - kRate / 8; // the last 1/8 s may stay unplayed at exit
    long worst_max = 0, moved = 0;
    double worst = 1, worst_rms = 0;
    int failed = 0;
    for (long f = 0; f + kWin <= until && failed <= 5; f += kWin) {
        const double c = correlation(rec, e.mix, off, f, kWin);
        if (c >= 0.99) {
            worst = std::min(worst, c);
            double sum = 0;
            for (long g = f; g < f + kWin; ++g)
                for (int ch = 0; ch < 2; ++ch) {
                    const long d = std::abs(rec[2 * size_t(g + off) + ch] - e.mix[2 * size_t(g) + ch]);
                    sum += double(d) * double(d);
                    worst_max = std::max(worst_max, d);
                }
            worst_rms = std::max(worst_rms, std::sqrt(sum / double(2 * kWin)));
            clean.push_back({f, off});
            continue;
        }
        // Where silence was cut out next to it, the offset of one of the next eight windows (a
        // starved server may spoil several in a row).
        long m = off, j = 1;
        for (; j <= 8; ++j) {
            const bool starved = std::any_of(cr.cuts.begin(), cr.cuts.end(), [&](long k) {
                return k - off >= f - kWin && k - off <= f + (j + 1) * kWin;
            });
            m = best_offset(rec, e.mix, off, kRate / 4, f + j * kWin, kWin);
            if (starved && correlation(rec, e.mix, m, f + j * kWin, kWin) >= 0.99) break;
        }
        if (j <= 8) {
            std::printf("[ sdl      ] at %.3f s of output, where the sound server was starved, the "
                        "recording moves by %ld frames\n", double(f) / kRate, m - off);
            moved += std::abs(m - off);
            off = m;
            f += (j - 1) * kWin;
            continue;
        }
        const bool starved = std::any_of(cr.cuts.begin(), cr.cuts.end(), [&](long k) {
            return k - off >= f - kWin && k - off <= f + 2 * kWin;
        });
        m = best_offset(rec, e.mix, off, kRate / 4, f + kWin, kWin);
        ++failed;
        ADD_FAILURE() << "at " << double(f) / kRate << " s of output the recording matches the expected "
                      << "output " << m - off << " frames later (correlation " << c << " in place, "
                      << correlation(rec, e.mix, m, f + kWin, kWin) << " there, one window on)"
                      << (starved ? "" : ", with no silence inserted near") << ", see " << s.dir;
    }
    std::printf("[ sdl      ] %zu of %ld windows in place, worst correlation %.6f, worst error %.2f LSB "
                "rms, %ld LSB largest; %ld frames of silence inserted, moves of %ld frames\n",
                clean.size(), until / kWin, worst, worst_rms, worst_max, cr.inserted, moved);
    ASSERT_EQ(failed, 0);
    EXPECT_GT(long(clean.size()), until / kWin * 3 / 4) << "the sound path was starved throughout";
    EXPECT_LE(worst_max, 2) << "the recording differs from the expected output beyond the fade's rounding";
    EXPECT_LT(cr.inserted, 2 * kRate) << "the sound path was starved for over two seconds";
    EXPECT_LT(moved, kRate / 2) << "the sound server moved the music by over half a second";

    // A window of the output from frame n on that matched in place, and its offset.
    auto window = [&](long n, long* wf, long* o) {
        for (const Window& w : clean)
            if (w.f >= n) {
                *wf = w.f;
                *o = w.off;
                return true;
            }
        return false;
    };
    // What a broken run would have given is told apart: after each restart of the loop before
    // the crossfade, the whole file looped; after the seek, the second track not sought in.
    auto differs = [&](const std::vector<int16_t>& other, long n, const char* what) {
        long f = 0, o = 0;
        ASSERT_TRUE(window(n, &f, &o)) << what << " at output " << n;
        EXPECT_LT(f - n, kRate / 4) << what << " at output " << n;
        EXPECT_GT(correlation(rec, e.mix, o, f, kWin), 0.99) << what << " at output " << n;
        EXPECT_LT(correlation(rec, other, o, f, kWin), 0.5) << what << " at output " << n;
    };
    int seams = 0;
    for (long n = loop_end; n + 2 * kWin <= p.xfade_at; n += loop_end - loop_start, ++seams)
        differs(e.whole_loop, n, "the whole file looped instead of the loop");
    EXPECT_GE(seams, 2);
    differs(e.no_seek, p.seek_at, "no seek");

    // The crossfade: the recording as a sum of the two tracks' expected output, their gains fitted
    // by least squares over windows across it, follows the ramp (1 to 0 and 0 to 1).
    std::printf("[ sdl      ] crossfade, gains fitted (expected): ");
    for (long k = -1; k <= 9; ++k) {
        long f = 0, o = 0;
        ASSERT_TRUE(window(p.xfade_at + k * p.xfade_len / 8 - kWin / 2, &f, &o));
        const long mid = f + kWin / 2;
        double aa = 0, bb = 0, ab = 0, ra = 0, rb = 0;
        for (long g = f; g < f + kWin; ++g)
            for (int c = 0; c < 2; ++c) {
                const double x = rec[2 * size_t(g + o) + c], ya = e.first[2 * size_t(g) + c],
                             yb = e.second[2 * size_t(g) + c];
                aa += ya * ya, bb += yb * yb, ab += ya * yb, ra += x * ya, rb += x * yb;
            }
        // Before the crossfade the second track is silent: the first's gain alone.
        const double det = aa * bb - ab * ab;
        const double ga = bb == 0 ? ra / aa : (ra * bb - rb * ab) / det,
                     gb = bb == 0 ? 0 : (rb * aa - ra * ab) / det;
        std::printf("%.2f/%.2f (%.2f/%.2f) ", ga, gb, e.gain_first(mid), e.gain_second(mid));
        EXPECT_NEAR(ga, e.gain_first(mid), 0.03) << "first track's gain at output " << mid;
        EXPECT_NEAR(gb, e.gain_second(mid), 0.03) << "second track's gain at output " << mid;
    }
    std::printf("\n");
}

TEST(SdlMusicExample, RefusesWhatItCannotPlay) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("lame");
    ASSERT_EQ(built().error, "");
    const std::string dir = ziv::tmp_path("refused");
    ziv::run("mkdir -p " + q(dir));
    std::vector<int16_t> a, b;
    const std::string mp3 = noise(dir, "ok", 1, "", &a);
    ASSERT_NE(mp3, "");
    ASSERT_EQ(ziv::run("sox -n -r 22050 -c 2 -b 16 " + q(dir + "/slow.wav") +
                       " synth 1 pinknoise && lame --quiet " + q(dir + "/slow.wav") + " " +
                       q(dir + "/slow.mp3")), 0);
    // Each ends with 1 before it reports the tracks. SDL's dummy drivers stand in for a display
    // and a sound server, so that an example that took one of these would play it for a second
    // and end with 0.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not MP3 data", q(dir + "/ok.wav")},
        {"a loop past the end", "--loop 100 " + std::to_string(2 * kRate) + " " + q(mp3)},
        {"a loop ending before it starts", "--loop 200 100 " + q(mp3)},
        {"a second track at another rate", q(mp3) + " " + q(dir + "/slow.mp3")},
        {"a missing file", q(dir + "/none.mp3")}};
    for (const auto& [what, args] : cases) {
        std::string out;
        EXPECT_EQ(capture("SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy " + q(built().exe) +
                              " --seconds 1 " + args, &out), 1)
            << what << ":\n" << out;
        EXPECT_EQ(out.find("first: "), std::string::npos) << what << ": it took it\n" << out;
    }
}

}  // namespace
