// The real demo on damaged data files, end to end: object 3 replaced by random bytes, by the
// soundtrack cut off in the middle of a frame or sprinkled with random bursts, by nothing at
// all; and zivivev.dat that cannot be read (a directory of that name) or that ends half way.
// Each case runs side by side with the others under its own Xvfb server and its own PulseAudio
// null sink, is watched through screenshots with the demo's own e2e harness, and its sound is
// recorded from the sink's monitor.
// The demo's e2e harness (pictures, Xvfb, screenshots, classification) without its test cases:
// each of them becomes an unused function here.
#define GTEST_DONT_DEFINE_TEST 1
#define TEST(suite, name) [[maybe_unused]] void suite##_##name##_not_here()
#include "demo_e2e_test.cpp"
#undef TEST
#define TEST(suite, name) GTEST_TEST(suite, name)

#include <sys/resource.h>

#include "process_util.h"

#include <atomic>
#include <memory>
#include <random>

// In a sanitizer build: the harness keeps the data file it renders its pictures from loaded
// until exit on purpose, which LeakSanitizer would report as a leak of this test program.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

constexpr int kRate = 44100;
constexpr int kLoud = 300;  // a recorded sample above this is music, not silence or dither

std::string shq(const std::string& s) { return "'" + s + "'"; }

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put_be32(std::vector<uint8_t>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

// Byte offset of object 3 in an uncompressed Allegro data file ("slh." "ALL." count, then per
// object its "prop" records, its type and two sizes, and its bytes), or 0 when the file is not
// laid out so. Every step is checked against the file's length.
size_t object3_offset(const std::vector<uint8_t>& f) {
    if (f.size() < 12 || std::memcmp(f.data(), "slh.ALL.", 8) != 0 || be32(&f[8]) < 4) return 0;
    size_t p = 12;
    for (int obj = 0; obj < 3; ++obj) {
        while (p + 12 <= f.size() && std::memcmp(&f[p], "prop", 4) == 0) {
            uint32_t n = be32(&f[p + 8]);
            if (n > f.size() - p - 12) return 0;
            p += 12 + n;
        }
        if (p + 12 > f.size()) return 0;
        uint32_t n = be32(&f[p + 4]);
        if (n > f.size() - p - 12) return 0;
        p += 12 + n;
    }
    return p;
}

// The real zivivev.dat with object 3 replaced by `obj` (any length, zero too: Allegro's dat tool
// refuses an empty file, so the object is written here).
std::string write_with_object3(const std::string& dir, const std::vector<uint8_t>& obj) {
    std::vector<uint8_t> f = ziv::read_file(std::string(ZIV_RUN_DIR) + "/zivivev.dat");
    size_t head = object3_offset(f);
    if (head == 0) return "the built zivivev.dat is not an uncompressed four-object data file";
    f.resize(head);
    const char name[] = "D_BAD_BIN";
    const char prop[] = "propNAME";
    f.insert(f.end(), prop, prop + 8);
    put_be32(f, sizeof name - 1);
    f.insert(f.end(), name, name + sizeof name - 1);
    const char type[] = "DATA";
    f.insert(f.end(), type, type + 4);
    put_be32(f, uint32_t(obj.size()));
    put_be32(f, uint32_t(obj.size()));
    f.insert(f.end(), obj.begin(), obj.end());
    if (ziv::run("mkdir -p " + shq(dir)) != 0 ||
        !ziv::write_file(dir + "/zivivev.dat", f.data(), f.size()))
        return "cannot write " + dir + "/zivivev.dat";
    return "";
}

// The soundtrack as it lies in the built data file (object 3).
std::vector<uint8_t> real_soundtrack() {
    std::vector<uint8_t> f = ziv::read_file(std::string(ZIV_RUN_DIR) + "/zivivev.dat");
    size_t p = object3_offset(f);
    if (p == 0) return {};
    while (p + 12 <= f.size() && std::memcmp(&f[p], "prop", 4) == 0) p += 12 + be32(&f[p + 8]);
    if (p + 12 > f.size() || std::memcmp(&f[p], "DATA", 4) != 0) return {};
    uint32_t n = be32(&f[p + 4]);
    if (n > f.size() - p - 12) return {};
    return std::vector<uint8_t>(f.begin() + long(p) + 12, f.begin() + long(p) + 12 + n);
}

// ---- processes ---------------------------------------------------------------------------------

using ziv::end_process;
using ziv::spawn;

// One PulseAudio server for all cases, one null sink per case; ALSA's default device (what
// Allegro opens) is routed to it through a private HOME's ~/.asoundrc, and PULSE_SINK picks
// the case's sink.
struct SoundServer {
    std::string dir, home, sock, error;
    pid_t pid = -1;

    bool start(const std::vector<std::string>& sinks) {
        dir = ziv::tmp_path("pulse");
        home = dir + "/home";
        sock = dir + "/pulse.sock";
        ziv::run("mkdir -p " + shq(home + "/.config/pulse") + " " + shq(dir + "/xdg") +
                 " && chmod 700 " + shq(dir + "/xdg"));
        const char asound[] = "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
        ziv::write_file(home + "/.asoundrc", asound, sizeof asound - 1);
        const char client[] = "autospawn = no\n";
        ziv::write_file(home + "/.config/pulse/client.conf", client, sizeof client - 1);
        std::vector<std::string> argv = {"pulseaudio", "--daemonize=no", "-n",
                                         "--exit-idle-time=-1", "--disallow-exit",
                                         "--use-pid-file=no", "--disable-shm=yes"};
        for (const std::string& s : sinks) {
            argv.push_back("-L");
            argv.push_back("module-null-sink sink_name=" + s + " rate=44100 channels=2");
        }
        argv.push_back("-L");
        argv.push_back("module-native-protocol-unix socket=" + sock + " auth-anonymous=1");
        pid = spawn(argv, env("", -1), "", dir + "/pulse.log");
        for (double until = now_s() + 20; now_s() < until;) {
            if (ziv::run("PULSE_SERVER=unix:" + shq(sock) + " pactl info >/dev/null 2>&1") == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        error = "PulseAudio did not start, see " + dir + "/pulse.log";
        return false;
    }

    std::vector<std::string> env(const std::string& sink, int display) const {
        std::vector<std::string> e = {
            "HOME=" + home, "XDG_RUNTIME_DIR=" + dir + "/xdg", "PULSE_SERVER=unix:" + sock,
            "PULSE_CLIENTCONFIG=" + home + "/.config/pulse/client.conf", "ALSA_CONFIG_PATH",
            // Allegro unloads its driver modules before LeakSanitizer runs (see the demo's e2e).
            "ASAN_OPTIONS=detect_leaks=0"};
        if (!sink.empty()) e.push_back("PULSE_SINK=" + sink);
        if (display >= 0) e.push_back("DISPLAY=:" + std::to_string(display));
        return e;
    }

    ~SoundServer() { end_process(pid, SIGTERM); }
};

// ---- one case ----------------------------------------------------------------------------------

struct Case {
    Case(const char* n, const std::string& d, const Expected* e, double limit)
        : name(n), dir(d), expect(e), limit_s(limit) {}
    std::string name;  // also its sink's name
    std::string dir;   // the demo's working folder
    const Expected* expect = nullptr;
    double limit_s = 0;
    Observed o;
    std::vector<int16_t> rec;  // interleaved stereo from the sink's monitor
    double heard_at = -1;      // seconds after launch when the first loud sample was recorded
};

// Watches a growing recording for its first loud sample, reading only what is new.
struct LoudWatch {
    std::string path;
    size_t scanned = 0;

    bool heard() {
        std::ifstream f(path, std::ios::binary);
        f.seekg(0, std::ios::end);
        size_t end = size_t(std::max<std::streamoff>(f.tellg(), 0)) & ~size_t(1);
        if (end <= scanned) return false;
        std::vector<char> buf(end - scanned);
        f.seekg(std::streamoff(scanned));
        f.read(buf.data(), std::streamsize(buf.size()));
        scanned = end;
        for (size_t i = 0; i + 1 < buf.size(); i += 2) {
            int v = int16_t(uint16_t(uint8_t(buf[i]) | uint8_t(buf[i + 1]) << 8));
            if (std::abs(v) > kLoud) return true;
        }
        return false;
    }
};

// Runs the demo of one case to its end (or `limit_s`), screenshots every ~0.4 s, classified as
// in the demo's e2e runs.
void run_case(Case& c, const SoundServer& snd) {
    Observed& o = c.o;
    const Expected& e = *c.expect;
    Xvfb x;
    if (!xvfb_start(x)) {
        o.error = "Xvfb did not start";
        xvfb_stop(x);
        return;
    }
    std::string raw = snd.dir + "/" + c.name + ".raw", log = snd.dir + "/" + c.name + ".log";
    pid_t parec = spawn({"parec", "--latency-msec=20", "-d", c.name + ".monitor",
                         "--format=s16le", "--rate=44100", "--channels=2", "--raw", raw},
                        snd.env("", -1), "", snd.dir + "/" + c.name + "-parec.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    double start = now_s();
    LoudWatch watch{raw};
    pid_t pid = spawn({std::string(ZIV_RUN_DIR) + "/zivivev"}, snd.env(c.name, x.display), c.dir,
                      log);
    while (true) {
        double t = now_s() - start;
        if (c.heard_at < 0 && watch.heard()) c.heard_at = t;
        int code = demo_exited(pid);
        if (code >= 0) {
            o.exit_code = code;
            o.exit_at = t;
            break;
        }
        if (t > c.limit_s) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            o.error = "the demo was still running after " + std::to_string(int(c.limit_s)) + " s";
            break;
        }
        Picture s;
        std::string err;
        if (!screenshot(x.display, s, err) || s.w != kW || s.h != kH) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        ++o.screenshots;
        bool known = false;
        for (const Text& txt : kLoading)
            if (text_shown(s, e, txt)) seen(o, txt.name, t), known = true;
        if (text_shown(s, e, kStatus)) seen(o, kStatus.name, t);
        for (const Text& txt : kTitles)
            if (text_shown(s, e, txt)) seen(o, txt.name, t), known = true;
        if (text_shown(s, e, kClosing) && black_except(s, e, {&kClosing}))
            seen(o, kClosing.name, t), known = true;
        if (!e.fli.empty() && !known) {
            Effect fx;
            if (find_effect(s, e, fx)) {
                ++o.effect_frames;
                if (o.effect_first < 0) o.effect_first = t;
                o.effect_last = t;
                o.bar_tops.insert(fx.bar_top);
                o.band_xs.insert(fx.band_x);
                known = true;
            } else if (o.first_seen.count(kClosing.name)) {
                int f = fli_frame_index(s, e);
                if (f >= 0) {
                    o.fli_frames.insert(f);
                    if (o.fli_first < 0) o.fli_first = t;
                    known = true;
                }
            }
        }
        if (!known) ++o.unknown;
        // The last title shows for well under a second before the effect section: look often.
        const bool last_title = t > 38.0 && t < 44.0;
        std::this_thread::sleep_for(std::chrono::milliseconds(last_title ? 100 : 400));
    }
    // The sink's monitor keeps running: a little silence after the exit, then the recording ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    end_process(parec, SIGINT);
    xvfb_stop(x);
    auto bytes = ziv::read_file(log);
    o.log.assign(bytes.begin(), bytes.end());
    c.rec = ziv::read_s16(raw);
}

// A crash, a sanitizer report or an abort in the log is a failure whatever the exit code says.
void expect_no_crash(const Case& c) {
    const Observed& o = c.o;
    EXPECT_TRUE(o.error.empty()) << c.name << ": " << o.error;
    EXPECT_GE(o.exit_code, 0) << c.name << ": did not end";
    EXPECT_LT(o.exit_code, 128) << c.name << ": killed by signal " << o.exit_code - 128;
    for (const char* bad : {"Sanitizer", "runtime error", "Assertion", "terminate called"})
        EXPECT_EQ(o.log.find(bad), std::string::npos) << c.name << ": '" << bad << "' in the log";
}

// The timeline of a demo whose data file loaded: loading screen, titles at their times, the
// effect section with moving bars and band, the closing text, the animation, exit 0. Loose times:
// the cases share two cores.
void expect_full_timeline(const Case& c) {
    const Observed& o = c.o;
    const Expected& e = *c.expect;
    SCOPED_TRACE(c.name);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_LE(o.unknown * 10, o.screenshots) << "too many screens that are none of the demo's";
    EXPECT_FALSE(o.first_seen.count(kStatus.name)) << "status text shown with the data file there";
    for (const Text& t : kLoading) {
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_LT(o.first_seen.at(t.name), 3.0) << t.name;
    }
    for (const Text& t : kTitles) {
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_GT(o.first_seen.at(t.name), t.appears - 1.0) << t.name;
        EXPECT_LT(o.first_seen.at(t.name), t.appears + 4.0) << t.name;
    }
    EXPECT_GT(o.effect_frames, 20);
    EXPECT_GT(o.effect_first, 40.0);
    EXPECT_LT(o.effect_first, 50.0);
    EXPECT_GT(o.effect_last, 75.0);
    EXPECT_GE(o.bar_tops.size(), 5u) << "the bars do not move";
    EXPECT_GE(o.band_xs.size(), 5u) << "the text band does not move";
    ASSERT_TRUE(o.first_seen.count(kClosing.name)) << "closing text never seen";
    double closing = o.first_seen.at(kClosing.name);
    EXPECT_GT(closing, 80.0);
    EXPECT_LT(closing, 95.0);
    EXPECT_GE(o.fli_frames.size(), e.fli.size() / 8) << "animation frames on screen";
    EXPECT_GT(o.fli_first, closing + 6.5);
    double plays = o.exit_at - (closing + 7.5);
    EXPECT_GT(plays, 4.0 * e.fli_play_s) << "five plays of " << e.fli_play_s << " s each";
    EXPECT_LT(plays, 5.0 * e.fli_play_s + 15.0);
}

// The missing-data path: the status text from the start, the titles, no closing screen or
// animation, shutdown right after the last title, a failure exit code.
void expect_missing_data_path(const Case& c) {
    const Observed& o = c.o;
    SCOPED_TRACE(c.name);
    EXPECT_NE(o.exit_code, 0) << "a run without its data must not report success";
    EXPECT_NE(o.log.find("Data File Error"), std::string::npos);
    for (const Text* t : {&kLoading[0], &kLoading[1], &kStatus}) {
        ASSERT_TRUE(o.first_seen.count(t->name)) << t->name << " never seen";
        EXPECT_LT(o.first_seen.at(t->name), 3.0) << t->name;
    }
    for (int i = 0; i < 3; ++i) {
        const Text& t = kTitles[i];
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_GT(o.first_seen.at(t.name), t.appears - 1.0) << t.name;
        EXPECT_LT(o.first_seen.at(t.name), t.appears + 4.0) << t.name;
    }
    EXPECT_FALSE(o.first_seen.count(kClosing.name));
    EXPECT_LE(o.unknown * 10, o.screenshots) << "screens that are none of the text screens";
    // An effect section would keep it running for 40 s more.
    EXPECT_GT(o.exit_at, 40.0);
    EXPECT_LT(o.exit_at, 47.0);
}

int max_abs(const std::vector<int16_t>& s, size_t from = 0) {
    int m = 0;
    for (size_t i = from; i < s.size(); ++i) m = std::max(m, std::abs(int(s[i])));
    return m;
}

long first_loud(const std::vector<int16_t>& s) {
    for (size_t i = 0; i < s.size(); ++i)
        if (std::abs(int(s[i])) > kLoud) return long(i / 2);
    return -1;
}

long last_loud(const std::vector<int16_t>& s) {
    for (size_t i = s.size(); i-- > 0;)
        if (std::abs(int(s[i])) > kLoud) return long(i / 2);
    return -1;
}

void expect_silence(const Case& c) {
    double secs = double(c.rec.size() / 2) / kRate;
    EXPECT_GT(secs, c.o.exit_at - 2.0) << c.name << ": the recording is too short";
    EXPECT_LE(max_abs(c.rec), 2) << c.name << ": sound from a demo that has no soundtrack";
}

void report_case(const Case& c) {
    std::printf("[ case     ] %s: %s\n", c.name.c_str(), report(c.o).c_str());
    std::printf("[ case     ] %s: %.1f s recorded, peak %d\n", c.name.c_str(),
                double(c.rec.size() / 2) / kRate, max_abs(c.rec));
}

TEST(BadData, EveryDamagedDataFileKeepsItsTimelineAndEndsCleanly) {
    require_tools();
    for (const char* t : {"pulseaudio", "pactl", "parec"}) ZIV_REQUIRE_TOOL(t);
    ASSERT_TRUE(ziv::file_exists(std::string(ZIV_RUN_DIR) + "/zivivev")) << "demo not built";
    const Expected& with_data = expected_with_data();
    ASSERT_TRUE(with_data.ok) << with_data.error;
    const Expected& builtin = expected_builtin_font();
    ASSERT_TRUE(builtin.ok) << builtin.error;

    const std::vector<uint8_t> music = real_soundtrack();
    ASSERT_GT(music.size(), 100000u) << "no soundtrack in object 3 of the built zivivev.dat";

    // Object 3: random bytes.
    std::mt19937 rng(ziv::test_seed());
    std::vector<uint8_t> noise(256 * 1024);
    for (uint8_t& b : noise) b = uint8_t(rng());
    const std::string root = ziv::tmp_path("cases");
    ASSERT_EQ(write_with_object3(root + "/random", noise), "");
    // Object 3: the soundtrack cut about half way, inside a frame (frames are ~627 bytes).
    std::vector<uint8_t> cut(music.begin(), music.begin() + long(music.size() / 2 + 301));
    ASSERT_EQ(write_with_object3(root + "/truncated", cut), "");
    // Object 3: the soundtrack with twenty bursts of random bytes, as a damaged copy would be.
    std::vector<uint8_t> damaged = music;
    for (int k = 0; k < 20; ++k) {
        size_t at = 4096 + rng() % (damaged.size() - 8192);
        for (size_t i = at; i < at + 2048; ++i) damaged[i] = uint8_t(rng());
    }
    ASSERT_EQ(write_with_object3(root + "/damaged", damaged), "");
    // Object 3: zero bytes long.
    ASSERT_EQ(write_with_object3(root + "/empty", {}), "");
    // zivivev.dat that cannot be read: a directory of that name (the tests run as root, for whom
    // a file without read permission stays readable).
    ASSERT_EQ(ziv::run("mkdir -p " + shq(root + "/unreadable/zivivev.dat")), 0);
    // zivivev.dat cut in the middle of object 2, the background picture.
    std::vector<uint8_t> whole = ziv::read_file(std::string(ZIV_RUN_DIR) + "/zivivev.dat");
    size_t obj3 = object3_offset(whole);
    ASSERT_GT(obj3, 0u);
    ASSERT_EQ(ziv::run("mkdir -p " + shq(root + "/cutfile")), 0);
    ASSERT_TRUE(ziv::write_file(root + "/cutfile/zivivev.dat", whole.data(), obj3 - 500000));

    // What the cut soundtrack decodes to, for its length.
    std::string cut_mp3 = ziv::tmp_path("cut.mp3"), cut_pcm = ziv::tmp_path("cut.pcm");
    ASSERT_TRUE(ziv::write_file(cut_mp3, cut.data(), cut.size()));
    ASSERT_EQ(ziv::run(shq(ziv::mp3dec_path()) + " " + shq(cut_mp3) + " " + shq(cut_pcm)),
              0);
    std::vector<int16_t> cut_ref = ziv::read_s16(cut_pcm);
    double cut_music_s = double(last_loud(cut_ref) - first_loud(cut_ref)) / kRate;
    ASSERT_GT(cut_music_s, 20.0);

    std::vector<Case> cases;
    cases.emplace_back("random", root + "/random", &with_data, 300);
    cases.emplace_back("truncated", root + "/truncated", &with_data, 300);
    cases.emplace_back("empty", root + "/empty", &with_data, 300);
    cases.emplace_back("unreadable", root + "/unreadable", &builtin, 120);
    cases.emplace_back("cutfile", root + "/cutfile", &builtin, 120);
    cases.emplace_back("damaged", root + "/damaged", &with_data, 300);
    std::vector<std::string> sinks;
    for (const Case& c : cases) sinks.push_back(c.name);
    SoundServer snd;
    ASSERT_TRUE(snd.start(sinks)) << snd.error;

    std::vector<std::thread> threads;
    for (Case& c : cases) threads.emplace_back(run_case, std::ref(c), std::cref(snd));
    for (std::thread& t : threads) t.join();
    for (const Case& c : cases) report_case(c);
    for (const Case& c : cases) expect_no_crash(c);

    // Random bytes and an empty object: no player, the full timeline in silence.
    for (int i : {0, 2}) {
        expect_full_timeline(cases[size_t(i)]);
        expect_silence(cases[size_t(i)]);
    }

    // The cut soundtrack plays from the end of the loading screen until its data runs out, then
    // silence while the timeline goes on to its normal end.
    const Case& tr = cases[1];
    expect_full_timeline(tr);
    long a = first_loud(tr.rec), b = last_loud(tr.rec);
    ASSERT_GE(a, 0) << "the cut soundtrack was not heard";
    // The start as watched in real time; the end from the recording's own length of music.
    double from = tr.heard_at, to = from + double(b - a) / kRate;
    std::printf("[ case     ] truncated: music from %.1f s to %.1f s (decode: %.1f s of music)\n",
                from, to, cut_music_s);
    EXPECT_GT(from, 5.8) << "music before the loading screen's rest ended";
    EXPECT_LT(from, 11.0);
    // Underruns of a loaded machine may stretch it a little; it never plays longer than a second
    // more than the decode holds, nor does it stop early.
    EXPECT_GT(to - from, cut_music_s - 2.0) << "the soundtrack stopped before its data ended";
    EXPECT_LT(to - from, cut_music_s + 8.0);
    EXPECT_GT(tr.o.exit_at - to, 20.0) << "the timeline should run on after the music";
    EXPECT_LE(max_abs(tr.rec, size_t(b + kRate) * 2), 2) << "sound after the music ended";

    // The damaged soundtrack plays (with its glitches) and the timeline runs as ever.
    const Case& dm = cases[5];
    std::printf("[ case     ] damaged: music heard from %.1f s\n", dm.heard_at);
    expect_full_timeline(dm);
    EXPECT_GT(dm.heard_at, 5.8) << "music before the loading screen's rest ended";
    EXPECT_LT(dm.heard_at, 11.0) << "the damaged soundtrack was not heard in time";

    // A data file that cannot be read, or ends early: the missing-data path, in silence.
    for (int i : {3, 4}) {
        expect_missing_data_path(cases[size_t(i)]);
        expect_silence(cases[size_t(i)]);
    }
}

}  // namespace
