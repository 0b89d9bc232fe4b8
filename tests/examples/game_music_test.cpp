// The game example runs as a player would see it: under a private Xvfb server with a private
// PulseAudio server whose only sink is a null sink (Allegro plays through ALSA, whose default
// device a private HOME's ~/.asoundrc routes to PulseAudio), both modes, the streamed player fed
// from disk and the in-memory player, each play a tone file for a few seconds and quit by
// themselves; parec records the sink's monitor, and the tone must be there.
#include "process_util.h"
#include "test_util.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Session {
    std::string dir, home, sock;
    pid_t xvfb = -1, pulse = -1;
    int display = -1;

    std::vector<std::string> env() const {
        return {"DISPLAY=:" + std::to_string(display), "HOME=" + home,
                "XDG_RUNTIME_DIR=" + dir + "/xdg", "PULSE_SERVER=unix:" + sock,
                "PULSE_SINK=examplesink", "PULSE_CLIENTCONFIG=" + home + "/client.conf",
                "ALSA_CONFIG_PATH"};
    }

    // Empty on success, else what failed.
    std::string start() {
        dir = ziv::tmp_path("session");
        home = dir + "/home";
        sock = dir + "/pulse.sock";
        ziv::run("mkdir -p " + q(home) + " " + q(dir + "/xdg") + " && chmod 700 " + q(dir + "/xdg"));
        const char asound[] = "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
        ziv::write_file(home + "/.asoundrc", asound, sizeof asound - 1);
        const char client[] = "autospawn = no\n";
        ziv::write_file(home + "/client.conf", client, sizeof client - 1);

        // Xvfb picks a free display and writes its number to the descriptor it is given.
        std::string dfile = dir + "/display";
        xvfb = ziv::spawn({"sh", "-c", "exec Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>" + q(dfile)},
                          {}, "", dir + "/xvfb.log");
        for (double until = now_s() + 20; now_s() < until && display < 0; sleep_ms(50)) {
            std::vector<uint8_t> d = ziv::read_file(dfile);
            if (!d.empty() && d.back() == '\n') display = std::atoi(std::string(d.begin(), d.end()).c_str());
        }
        if (display < 0) return "Xvfb did not start, see " + dir + "/xvfb.log";

        pulse = ziv::spawn({"pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                            "--disallow-exit", "--use-pid-file=no", "--disable-shm=yes", "-L",
                            "module-null-sink sink_name=examplesink rate=44100 channels=2", "-L",
                            "module-native-protocol-unix socket=" + sock + " auth-anonymous=1"},
                           env(), "", dir + "/pulse.log");
        for (double until = now_s() + 20; now_s() < until; sleep_ms(100))
            if (ziv::run("PULSE_SERVER=unix:" + q(sock) + " pactl info >/dev/null 2>&1") == 0) return "";
        return "PulseAudio did not start, see " + dir + "/pulse.log";
    }

    ~Session() {
        ziv::end_process(pulse);
        ziv::end_process(xvfb);
    }
};

constexpr int kLoud = 1000; // a sample above this is the tone, not silence

// Whether the left channel is loud within 60 frames of interleaved sample i.
bool loud_near(const std::vector<int16_t>& rec, size_t i) {
    size_t lo = i > 120 ? i - 120 : 0, hi = std::min(rec.size(), i + 120);
    for (size_t k = lo; k < hi; k += 2)
        if (std::abs(int(rec[k])) > kLoud) return true;
    return false;
}

// Runs the example for `seconds` while recording the sink; returns its exit status and the
// recording.
int play(const Session& s, const std::string& mode, const std::string& mp3, int seconds,
         std::vector<int16_t>* rec) {
    std::string raw = s.dir + "/" + mode + ".raw";
    pid_t parec = ziv::spawn({"parec", "--latency-msec=20", "-d", "examplesink.monitor",
                              "--format=s16le", "--rate=44100", "--channels=2", "--raw", raw},
                             s.env(), "", s.dir + "/parec-" + mode + ".log");
    sleep_ms(500);
    std::vector<std::string> argv = {ZIV_GAME_MUSIC, "--seconds", std::to_string(seconds), mp3};
    if (mode == "memory") argv.insert(argv.begin() + 1, "--memory");
    pid_t game = ziv::spawn(argv, s.env(), s.dir, s.dir + "/game-" + mode + ".log");
    int status = -1;
    for (double until = now_s() + seconds + 60; now_s() < until && status < 0; sleep_ms(100))
        status = ziv::exited(game);
    if (status < 0) ziv::end_process(game, SIGKILL);
    sleep_ms(300);
    ziv::end_process(parec, SIGINT);
    *rec = ziv::read_s16(raw);
    return status;
}

TEST(GameMusicExample, BothModesPlayTheToneThroughTheSoundServer) {
    for (const char* t : {"Xvfb", "pulseaudio", "pactl", "parec", "lame", "sox"}) ZIV_REQUIRE_TOOL(t);
    Session s;
    std::string err = s.start();
    ASSERT_EQ(err, "");
    // A two-second 440 Hz tone at half scale, looped over four seconds of play.
    std::string wav = s.dir + "/tone.wav", mp3 = s.dir + "/tone.mp3";
    ASSERT_EQ(ziv::run("sox -n -r 44100 -c 2 -b 16 " + q(wav) + " synth 2 sine 440 gain -6 && lame --quiet -b 128 " +
                       q(wav) + " " + q(mp3)),
              0);
    for (const char* mode : {"streamed", "memory"}) {
        std::vector<int16_t> rec;
        EXPECT_EQ(play(s, mode, mp3, 4, &rec), 0) << mode << ", see " << s.dir;
        // The tone is there: loud samples, whose zero crossings (left channel) are half a
        // period of 440 Hz apart (the median spacing: gaps between loops do not count).
        size_t loud = 0;
        std::vector<size_t> crossings;
        for (size_t i = 2; i < rec.size(); i += 2) {
            if (std::abs(int(rec[i])) > kLoud) ++loud;
            if ((rec[i - 2] < 0) != (rec[i] < 0) && loud_near(rec, i)) crossings.push_back(i / 2);
        }
        ASSERT_GT(loud, 44100u / 2) << mode << ": no tone reached the sink, see " << s.dir;
        std::vector<size_t> half;
        for (size_t k = 1; k < crossings.size(); ++k) half.push_back(crossings[k] - crossings[k - 1]);
        ASSERT_GT(half.size(), 880u) << mode;
        std::nth_element(half.begin(), half.begin() + half.size() / 2, half.end());
        EXPECT_NEAR(44100.0 / (2.0 * half[half.size() / 2]), 440, 440 * 0.05) << mode;
    }
}

}  // namespace
