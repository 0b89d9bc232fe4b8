// A private desktop and sound server for the examples' end-to-end tests: an Xvfb server on a free
// display and a PulseAudio server whose only sink is a 44.1 kHz stereo null sink, "examplesink",
// whose monitor parec records. env() is what a program started in the session needs: the display,
// a private HOME whose ~/.asoundrc routes ALSA's default device (Allegro's) to PulseAudio, and the
// server's socket (SDL's PulseAudio output, and parec).
#pragma once

#include "process_util.h"
#include "test_util.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace ziv {

inline double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The programs of the sound path run at a raised priority where allowed: on a machine busy with
// other work, a starved sound server makes gaps that are not the program's.
constexpr int kSoundNice = -15;

struct SoundSession {
    std::string dir, home, sock;
    pid_t xvfb = -1, pulse = -1;
    int display = -1;

    static std::string q(const std::string& s) { return "'" + s + "'"; }

    std::vector<std::string> env() const {
        return {"DISPLAY=:" + std::to_string(display), "HOME=" + home,
                "XDG_RUNTIME_DIR=" + dir + "/xdg", "PULSE_SERVER=unix:" + sock,
                "PULSE_SINK=examplesink", "PULSE_CLIENTCONFIG=" + home + "/client.conf",
                "ALSA_CONFIG_PATH"};
    }

    // Empty on success, else what failed.
    std::string start() {
        dir = tmp_path("session");
        home = dir + "/home";
        sock = dir + "/pulse.sock";
        run("mkdir -p " + q(home) + " " + q(dir + "/xdg") + " && chmod 700 " + q(dir + "/xdg"));
        const char asound[] = "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
        write_file(home + "/.asoundrc", asound, sizeof asound - 1);
        const char client[] = "autospawn = no\n";
        write_file(home + "/client.conf", client, sizeof client - 1);

        // Xvfb picks a free display and writes its number to the descriptor it is given.
        std::string dfile = dir + "/display";
        xvfb = spawn({"sh", "-c", "exec Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>" + q(dfile)},
                     {}, "", dir + "/xvfb.log");
        for (double until = now_s() + 20; now_s() < until && display < 0; sleep_ms(50)) {
            std::vector<uint8_t> d = read_file(dfile);
            if (!d.empty() && d.back() == '\n') display = std::atoi(std::string(d.begin(), d.end()).c_str());
        }
        if (display < 0) return "Xvfb did not start, see " + dir + "/xvfb.log";

        pulse = spawn({"pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                       "--disallow-exit", "--use-pid-file=no", "--disable-shm=yes", "-L",
                       "module-null-sink sink_name=examplesink rate=44100 channels=2", "-L",
                       "module-native-protocol-unix socket=" + sock + " auth-anonymous=1"},
                      env(), "", dir + "/pulse.log", kSoundNice);
        for (double until = now_s() + 20; now_s() < until; sleep_ms(100))
            if (run("PULSE_SERVER=unix:" + q(sock) + " pactl info >/dev/null 2>&1") == 0) return "";
        return "PulseAudio did not start, see " + dir + "/pulse.log";
    }

    ~SoundSession() {
        end_process(pulse);
        end_process(xvfb);
    }
};

}  // namespace ziv
