// The end-to-end harness (see e2e_harness.h).
#include "e2e_harness.h"

#include "allegro_headless.h"
#include "process_util.h"
#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

// In a sanitizer build: the harness keeps the data file it renders its pictures from loaded
// until exit on purpose, which LeakSanitizer would report as a leak of this test program.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace e2e {

const Text kLoading[2] = {
    {"loading 1", 0, 30, 30, "Thinking of ways to calculate PI with abnormal precision...", 0},
    {"loading 2", 0, 65, 30, "Loading some data...", 0},
};
const Text kTitles[4] = {
    {"title 1", 150, 300, 128, "Gr1mP0t4x & bR0kW1Nd", 15.0},
    {"title 2", 100, 421, 128, "extremely proudly presentsly!", 22.5},
    {"title 3", 230, 80, 150, "a very specially ZaRkOvIlMe", 33.0},
    {"title 4", 0, 190, 150, "the journey into KW\xC4X", 40.5},
};
const Text kClosing = {"closing", 150, 300, 128, "Get ready to KW\xC4X!!", 0};
const Text kStatus = {"status", 0, 100, 128,
                      "Ok, fine... Somehting went terribly wrong. Data File Error", 0};

const Tolerances kAlone = {
    2.0,  13.0, 16.5,    // loading
    0.5,  2.0,           // titles appear
    40.0, 46.0,          // titles leave
    40,   40.5, 47.0, 78.0, 10,
    80.0, 88.0,          // closing text
    4,    7.0,  4.6, 6.0,
    50,
    40.5, 44.0,          // missing data
    5.8,  9.5,           // music
};
const Tolerances kCrowded = {
    3.0,  12.0, 19.0,
    1.0,  4.0,
    39.0, 50.0,
    20,   40.0, 50.0, 75.0, 5,
    80.0, 95.0,
    8,    6.5,  4.0, 15.0,
    10,
    40.0, 47.0,
    5.8,  11.0,
};

namespace {

const char kScroller[] =
    "YOUR BRAIN MUST BE BIGGER THAN OURS... TO COMPREHEND THE EXPERIENCE OF KW\xC4X!            "
    "WORD!";
const int kGreys[12] = {55, 78, 101, 124, 147, 170, 193, 170, 147, 124, 101, 78};
constexpr uint32_t kHole = 0xFFFFFFFFu;

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string q(const std::string& s) { return "'" + s + "'"; }

// ---- pictures in 5-6-5 ----------------------------------------------------------------------

uint32_t q565(int r, int g, int b) {
    return uint32_t(r >> 3) << 11 | uint32_t(g >> 2) << 5 | uint32_t(b >> 3);
}

Picture from_bitmap(BITMAP* b, int mask = -1) {
    Picture p;
    p.w = b->w;
    p.h = b->h;
    p.px.resize(size_t(p.w) * size_t(p.h));
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            int c = getpixel(b, x, y);
            p.px[size_t(y) * size_t(p.w) + size_t(x)] =
                c == mask ? kHole : q565(getr16(c), getg16(c), getb16(c));
        }
    return p;
}

// Within one step per channel: the FLI's 8-bit palette reaches the screen through Allegro's
// 6-bit palette, the reference through ffmpeg's 8-bit one.
bool close565(uint32_t a, uint32_t b) {
    auto near = [](int x, int y) { return x - y <= 1 && y - x <= 1; };
    return near(int(a >> 11), int(b >> 11)) && near(int(a >> 5 & 63), int(b >> 5 & 63)) &&
           near(int(a & 31), int(b & 31));
}

// Pixels of `want` (holes skipped) that differ from the screen at (x0, y0); stops after `limit`.
long mismatches(const Picture& screen, const Picture& want, int x0, int y0, long limit) {
    long bad = 0;
    for (int y = 0; y < want.h; ++y)
        for (int x = 0; x < want.w; ++x) {
            uint32_t v = want.at(x, y);
            int sx = x0 + x, sy = y0 + y;
            if (v == kHole || sx < 0 || sy < 0 || sx >= screen.w || sy >= screen.h) continue;
            if (screen.at(sx, sy) != v && ++bad >= limit) return bad;
        }
    return bad;
}

Picture render_text(FONT* f, const Text& t) {
    BITMAP* b = create_bitmap(text_length(f, t.text), text_height(f));
    textprintf_ex(b, f, 0, 0, makecol(t.grey, t.grey, t.grey), 0, "%s", t.text);
    Picture p = from_bitmap(b);
    destroy_bitmap(b);
    return p;
}

// Subsampled FLI frames: the animation is compared on a grid, which tolerates a screenshot
// taken while a frame is being copied.
constexpr int kGrid = 7;

std::vector<uint32_t> sample(const Picture& p) {
    std::vector<uint32_t> s;
    for (int y = 3; y < kH; y += kGrid)
        for (int x = 3; x < kW; x += kGrid) s.push_back(x < p.w && y < p.h ? p.at(x, y) : 0);
    return s;
}

bool allegro_up() {
    static bool up = [] {
        if (!ziv::allegro_headless()) return false;
        set_color_conversion(COLORCONV_TOTAL);
        return true;
    }();
    return up;
}

void add_texts(Expected& e, FONT* f) {
    for (const Text& t : kLoading) e.texts[t.name] = render_text(f, t);
    for (const Text& t : kTitles) e.texts[t.name] = render_text(f, t);
    e.texts[kClosing.name] = render_text(f, kClosing);
    e.texts[kStatus.name] = render_text(f, kStatus);
}

}  // namespace

const Expected& expected_with_data() {
    static Expected e = [] {
        Expected e;
        e.with_data = true;
        if (!allegro_up()) { e.error = "Allegro did not start without a screen"; return e; }
        std::string path = built_datafile();
        DATAFILE* d = load_datafile(path.c_str());
        if (!d) { e.error = "cannot load " + path + " (build the zivivev_data target)"; return e; }
        FONT* f = static_cast<FONT*>(d[1].dat);
        add_texts(e, f);
        BITMAP* bg = static_cast<BITMAP*>(d[2].dat);
        BITMAP* bg800 = create_bitmap(kW, kH);
        clear_bitmap(bg800);
        blit(bg, bg800, 0, 0, 0, 0, kW, kH);
        e.background = from_bitmap(bg800);
        destroy_bitmap(bg800);

        BITMAP* band = create_bitmap(1024, 32);
        int mask = makecol(255, 0, 255);
        clear_to_color(band, mask);
        textprintf_ex(band, f, 0, 0, mask, 0, "%s", kScroller);
        e.band = from_bitmap(band, mask);
        destroy_bitmap(band);

        // The FLI frames, decoded by ffmpeg, at the top-left of a black 800x600 picture as the
        // demo's frame bitmap shows them.
        const uint8_t* fli = static_cast<const uint8_t*>(d[0].dat);
        if (d[0].size < 128) { e.error = "object 0 is too short for an FLI"; return e; }
        const int fw = fli[8] | fli[9] << 8, fh = fli[10] | fli[11] << 8;
        const int frames = fli[6] | fli[7] << 8;
        const uint32_t speed = uint32_t(fli[16]) | uint32_t(fli[17]) << 8 |
                               uint32_t(fli[18]) << 16 | uint32_t(fli[19]) << 24;
        const bool flc = fli[4] == 0x12 && fli[5] == 0xAF;
        e.fli_play_s = frames * (flc ? speed / 1000.0 : speed / 70.0);
        std::string anim = ziv::tmp_path("anim.flc");
        ziv::write_file(anim, fli, size_t(d[0].size));
        std::string cmd = "ffmpeg -v error -i " + q(anim) + " -f rawvideo -pix_fmt rgb24 -";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) { e.error = "cannot run ffmpeg"; return e; }
        std::vector<uint8_t> raw(size_t(fw) * size_t(fh) * 3);
        while (fw > 0 && fh > 0 && fread(raw.data(), 1, raw.size(), p) == raw.size()) {
            Picture fr;
            fr.w = kW;
            fr.h = kH;
            fr.px.assign(size_t(kW) * kH, 0);
            for (int y = 0; y < std::min(fh, kH); ++y)
                for (int x = 0; x < std::min(fw, kW); ++x) {
                    const uint8_t* c = &raw[(size_t(y) * size_t(fw) + size_t(x)) * 3];
                    fr.px[size_t(y) * kW + size_t(x)] = q565(c[0], c[1], c[2]);
                }
            e.fli.push_back(sample(fr));
        }
        pclose(p);
        e.ok = !e.fli.empty() && frames > 0;
        if (!e.ok) e.error = "ffmpeg decoded no frame of the FLI";
        // The data file stays loaded: unloading it at exit is not needed for a test process.
        return e;
    }();
    return e;
}

const Expected& expected_builtin_font() {
    static Expected e = [] {
        Expected e;
        if (!allegro_up()) { e.error = "Allegro did not start without a screen"; return e; }
        add_texts(e, font);
        e.ok = true;
        return e;
    }();
    return e;
}

// ---- classifying one screenshot ---------------------------------------------------------------

namespace {

// Reads the root window straight from the X server: one connection per run, kept open.
struct Grabber {
    Display* dpy = nullptr;

    bool open(int display) {
        dpy = XOpenDisplay((":" + std::to_string(display)).c_str());
        return dpy != nullptr;
    }

    bool shot(Picture& out, std::string& error) {
        if (!dpy) { error = "no connection to the X server"; return false; }
        XWindowAttributes wa;
        Window root = DefaultRootWindow(dpy);
        if (!XGetWindowAttributes(dpy, root, &wa)) { error = "no root window"; return false; }
        XImage* img = XGetImage(dpy, root, 0, 0, unsigned(wa.width), unsigned(wa.height), AllPlanes,
                                ZPixmap);
        if (!img) { error = "XGetImage failed"; return false; }
        const bool ok = img->bits_per_pixel == 32 && img->red_mask == 0xFF0000 &&
                        img->green_mask == 0xFF00 && img->blue_mask == 0xFF;
        if (ok) {
            out.w = img->width;
            out.h = img->height;
            out.px.resize(size_t(out.w) * size_t(out.h));
            for (int y = 0; y < out.h; ++y) {
                const uint8_t* line =
                    reinterpret_cast<const uint8_t*>(img->data) + size_t(y) * size_t(img->bytes_per_line);
                for (int x = 0; x < out.w; ++x) {
                    uint32_t v;
                    std::memcpy(&v, line + size_t(x) * 4, 4);
                    if (img->byte_order == MSBFirst) v = __builtin_bswap32(v);
                    out.px[size_t(y) * size_t(out.w) + size_t(x)] =
                        q565(int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255));
                }
            }
        } else {
            error = "the screen is not 24-bit TrueColor";
        }
        XDestroyImage(img);
        return ok;
    }

    ~Grabber() {
        if (dpy) XCloseDisplay(dpy);
    }
};

void save_ppm(const Picture& p, const std::string& path) {
    std::string head = "P6\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n255\n";
    std::vector<uint8_t> bytes(head.begin(), head.end());
    for (uint32_t v : p.px) {
        bytes.push_back(uint8_t((v >> 11 & 31) << 3));
        bytes.push_back(uint8_t((v >> 5 & 63) << 2));
        bytes.push_back(uint8_t((v & 31) << 3));
    }
    ziv::write_file(path, bytes.data(), bytes.size());
}

struct Effect {
    int bar_top = -1;  // first bar line
    int band_x = 0;    // left edge of the text band
};

// The effect frame: background everywhere, twelve full-width grey rows from bar_top, the band
// at y 40 with its left edge in -181..21. Returns false when the screen is no such frame.
bool find_effect(const Picture& s, const Expected& e, Effect& out) {
    int top = -1;
    for (int y = 219; y <= 281 && top < 0; ++y) {
        bool all = true;
        for (int i = 0; i < 12 && all; ++i)
            for (int x = 0; x < kW && all; ++x)
                all = s.at(x, y + i) == q565(kGreys[i], kGreys[i], kGreys[i]);
        if (all) top = y;
    }
    if (top < 0) return false;
    for (int y = 0; y < kH; ++y) {
        if ((y >= top && y < top + 12) || (y >= 40 && y < 72)) continue;
        for (int x = 0; x < kW; ++x)
            if (s.at(x, y) != e.background.at(x, y)) return false;
    }
    for (int bx = -181; bx <= 21; ++bx) {
        bool same = true;
        for (int y = 0; y < 32 && same; ++y)
            for (int x = 0; x < kW && same; ++x) {
                int u = x - bx;
                uint32_t want = u >= 0 && u < e.band.w && e.band.at(u, y) != kHole
                                    ? e.band.at(u, y)
                                    : e.background.at(x, 40 + y);
                same = s.at(x, 40 + y) == want;
            }
        if (same) {
            out.bar_top = top;
            out.band_x = bx;
            return true;
        }
    }
    return false;
}

bool text_shown(const Picture& s, const Expected& e, const Text& t) {
    return mismatches(s, e.texts.at(t.name), t.x, t.y, 1) == 0;
}

// Everything outside the text is black.
bool black_except(const Picture& s, const Expected& e, const Text& t) {
    const Picture& p = e.texts.at(t.name);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            bool inside = x >= t.x && x < t.x + p.w && y >= t.y && y < t.y + p.h;
            if (!inside && s.at(x, y) != 0) return false;
        }
    return true;
}

int fli_frame_index(const Picture& s, const Expected& e) {
    std::vector<uint32_t> got = sample(s);
    for (size_t i = 0; i < e.fli.size(); ++i) {
        size_t bad = 0;
        for (size_t k = 0; k < got.size(); ++k) bad += !close565(got[k], e.fli[i][k]);
        if (bad * 100 < got.size()) return int(i);  // under 1%: a frame caught mid-copy
    }
    return -1;
}

void seen(Observed& o, const std::string& name, double t) {
    if (!o.first_seen.count(name)) o.first_seen[name] = t;
    o.last_seen[name] = t;
}

// Files one screenshot taken at `t` under what it shows; returns whether it is the bare
// closing screen, and sets `known` when it is one of the demo's pictures.
bool classify(const Picture& s, const Expected& e, double t, Observed& o, bool& known) {
    known = false;
    for (const Text& txt : kLoading)
        if (text_shown(s, e, txt)) seen(o, txt.name, t), known = true;
    if (text_shown(s, e, kStatus)) seen(o, kStatus.name, t);
    for (const Text& txt : kTitles)
        if (text_shown(s, e, txt)) seen(o, txt.name, t), known = true;
    bool closing = text_shown(s, e, kClosing) && black_except(s, e, kClosing);
    if (closing) seen(o, kClosing.name, t), known = true;
    if (e.with_data && !known) {
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
    return closing;
}

// Short-lived screens are looked for often: the start (the first frame fixes time zero) and
// the last title, which shows for well under a second before the effect section.
int shot_interval_ms(double t, const Observed& o) {
    const double last = kTitles[3].appears;
    if (t > last - 0.5 && t < last + 1.5 && !o.first_seen.count(kTitles[3].name) &&
        o.effect_frames == 0)
        return 0;
    if (t > last - 2.5 && t < last + 3.5) return 80;
    return 200;
}

// ---- processes: Xvfb, PulseAudio, parec, the demo ---------------------------------------------

// The programs of the sound path run at a raised priority where allowed: on a machine busy with
// other work, a starved timer thread or sound server would make gaps that are not the player's.
constexpr int kSoundNice = -15;

struct Xvfb {
    pid_t pid = -1;
    int display = -1;

    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            setpgid(0, 0);
            close(fds[0]);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            std::string fd = std::to_string(fds[1]);
            // -noreset: without it the server resets when its last client leaves, and a demo
            // that connects just as a screenshot disconnects finds no display.
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24",
                   "-nolisten", "tcp", "-noreset", (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string got;
        for (double until = now_s() + 20; now_s() < until && got.find('\n') == std::string::npos;) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) > 0) {
                char buf[32];
                ssize_t n = read(fds[0], buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, size_t(n));
            }
        }
        close(fds[0]);
        if (got.find('\n') == std::string::npos) return false;
        display = std::atoi(got.c_str());
        return true;
    }

    ~Xvfb() { ziv::end_process(pid); }
};

// One PulseAudio server for all runs, one null sink per run; ALSA's default device (what
// Allegro opens) is routed to it through a private HOME's ~/.asoundrc (the libasound2-plugins
// "pulse" plugin), and PULSE_SINK picks the run's sink. The client never spawns a server.
struct SoundServer {
    std::string dir, home, sock, error;
    pid_t pid = -1;

    bool start(const std::vector<std::string>& sinks) {
        dir = ziv::tmp_path("pulse");
        home = dir + "/home";
        sock = dir + "/pulse.sock";
        ziv::run("mkdir -p " + q(home + "/.config/pulse") + " " + q(dir + "/xdg") +
                 " && chmod 700 " + q(dir + "/xdg"));
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
        pid = ziv::spawn(argv, env(true, "", -1), "", dir + "/pulse.log", kSoundNice);
        for (double until = now_s() + 20; now_s() < until;) {
            if (ziv::run("PULSE_SERVER=unix:" + q(sock) + " pactl info >/dev/null 2>&1") == 0)
                return true;
            sleep_ms(100);
        }
        error = "PulseAudio did not start, see " + dir + "/pulse.log";
        return false;
    }

    // The environment of a program run here; without `sound` the server's address leads nowhere.
    std::vector<std::string> env(bool sound, const std::string& sink, int display) const {
        std::vector<std::string> e = {
            "HOME=" + home, "XDG_RUNTIME_DIR=" + dir + "/xdg",
            "PULSE_SERVER=unix:" + (sound ? sock : dir + "/no-such-server"),
            "PULSE_CLIENTCONFIG=" + home + "/.config/pulse/client.conf", "ALSA_CONFIG_PATH",
            // In a sanitizer build: Allegro unloads its driver modules (and the sound libraries
            // they pulled in) before LeakSanitizer runs, so their few start-up allocations would
            // show as leaks of an unknown module. Access and undefined-behaviour checks stay on.
            "ASAN_OPTIONS=detect_leaks=0"};
        if (!sink.empty()) e.push_back("PULSE_SINK=" + sink);
        if (display >= 0) e.push_back("DISPLAY=:" + std::to_string(display));
        return e;
    }

    ~SoundServer() { ziv::end_process(pid); }
};

// Watches a growing recording for its first loud sample, reading only what is new.
struct LoudWatch {
    std::string path;
    size_t scanned = 0;

    bool heard() {
        std::ifstream f(path, std::ios::binary);
        if (!f) return false;
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

// One run, watched to its end (or its limit). Time zero is the start of the last screenshot
// taken before the loading screen appeared: the first frame came after it.
void watch(DemoRun& r, const SoundServer& snd, int display, const std::string& raw, double launch_at,
           pid_t demo) {
    Observed& o = r.o;
    const Expected& e = *r.spec.expect;
    const bool recorded = r.spec.sound == Sound::recorded;
    LoudWatch loud{raw};
    Grabber grab;
    if (!grab.open(display)) {
        ziv::end_process(demo, SIGKILL);
        o.error = "cannot connect to the X server";
        return;
    }
    double t0 = -1, prev_shot = launch_at, next_shot = launch_at, heard_real = -1;
    bool escape_down = false;
    int saved = 0, failed_shots = 0;
    int unknown_since_closing = 0;  // after Escape: unrecognised screens since the closing screen
    while (true) {
        const double now = now_s();
        const double t = now - (t0 < 0 ? launch_at : t0);
        if (recorded && heard_real < 0 && loud.heard()) heard_real = now;
        int code = ziv::exited(demo);
        if (code >= 0) {
            if (unknown_since_closing > 2) o.other_after_escape += unknown_since_closing;
            o.exit_code = code;
            o.exit_at = t;
            break;
        }
        if (t > r.spec.limit_s) {
            ziv::end_process(demo, SIGKILL);
            o.error = "the demo was still running after " + std::to_string(int(r.spec.limit_s)) +
                      " s";
            break;
        }
        if (now < next_shot) {
            sleep_ms(std::min(40, int((next_shot - now) * 1000) + 1));
            continue;
        }
        Picture s;
        std::string err;
        const bool ok = grab.shot(s, err);
        if (!ok || s.w != kW || s.h != kH) {
            // One failed shot may be the demo closing its window as it exits.
            if (t0 >= 0 && ++failed_shots >= 3)
                o.error = ok ? "the screen is " + std::to_string(s.w) + "x" + std::to_string(s.h)
                             : "screenshot failed: " + err;
            next_shot = now + 0.1;
            continue;
        }
        failed_shots = 0;
        if (t0 < 0) {
            bool first = text_shown(s, e, kLoading[0]) || text_shown(s, e, kLoading[1]);
            if (!first) {
                prev_shot = now;
                continue;
            }
            t0 = prev_shot;
        }
        const double ts = now - t0;
        ++o.screenshots;
        bool known = false;
        bool closing = classify(s, e, ts, o, known);
        // After Escape, an unrecognised screen counts once the closing screen is seen again: the
        // last one or two (some 400 ms) may be the window as the demo closes it.
        if (escape_down && closing) {
            ++o.closing_only_after_escape;
            o.other_after_escape += unknown_since_closing;
            unknown_since_closing = 0;
        } else if (escape_down) {
            (known ? o.other_after_escape : unknown_since_closing) += 1;
        }
        if (!known) {
            ++o.unknown;
            if (std::getenv("ZIV_KEEP_TMP") && saved < 20)
                save_ppm(s, ziv::tmp_path(r.spec.name + "-unknown-" + std::to_string(saved++) +
                                          ".ppm"));
        }
        if (r.spec.escape == Escape::from_closing && closing && !escape_down) {
            ziv::run("DISPLAY=:" + std::to_string(display) + " xdotool keydown Escape");
            escape_down = true;
        }
        next_shot = now + shot_interval_ms(ts, o) / 1000.0;
    }
    if (escape_down) ziv::run("DISPLAY=:" + std::to_string(display) + " xdotool keyup Escape");
    if (t0 < 0 && o.error.empty()) o.error = "the loading screen never appeared";
    if (heard_real >= 0 && t0 >= 0) o.heard_at = heard_real - t0;
    (void)snd;
}

}  // namespace

std::string missing_tools() {
    std::string missing;
    for (const char* t : {"Xvfb", "xdotool", "ffmpeg", "pulseaudio", "pactl", "parec"})
        if (!ziv::have_tool(t)) missing += std::string(missing.empty() ? "" : ", ") + t;
    return missing.empty() ? "" : "required tools missing (run ./test.sh to set up): " + missing;
}

std::string run_all(std::vector<DemoRun>& runs) {
    std::string missing = missing_tools();
    if (!missing.empty()) return missing;
    if (!ziv::file_exists(std::string(ZIV_RUN_DIR) + "/zivivev")) return "demo not built";
    for (const DemoRun& r : runs)
        if (!r.spec.expect || !r.spec.expect->ok)
            return r.spec.name + ": " + (r.spec.expect ? r.spec.expect->error : "no pictures");
    std::vector<std::string> sinks;
    for (const DemoRun& r : runs) sinks.push_back(r.spec.name);
    SoundServer snd;
    if (!snd.start(sinks)) return snd.error;

    struct Live {
        Xvfb x;
        pid_t parec = -1, demo = -1;
        std::string raw, log;
        double launch_at = 0;
    };
    std::vector<Live> live(runs.size());
    for (size_t i = 0; i < runs.size(); ++i) {
        if (!live[i].x.start()) return runs[i].spec.name + ": Xvfb did not start";
        live[i].raw = snd.dir + "/" + runs[i].spec.name + ".raw";
        live[i].log = snd.dir + "/" + runs[i].spec.name + ".log";
        if (runs[i].spec.sound == Sound::recorded)
            live[i].parec = ziv::spawn({"parec", "--latency-msec=20", "-d",
                                        runs[i].spec.name + ".monitor", "--format=s16le",
                                        "--rate=44100", "--channels=2", "--raw", live[i].raw},
                                       snd.env(true, "", -1), "",
                                       snd.dir + "/" + runs[i].spec.name + "-parec.log", kSoundNice);
    }
    sleep_ms(1000);  // the recordings are running before any demo starts
    for (size_t i = 0; i < runs.size(); ++i) {
        const RunSpec& s = runs[i].spec;
        live[i].launch_at = now_s();
        live[i].demo = ziv::spawn({std::string(ZIV_RUN_DIR) + "/zivivev"},
                                  snd.env(s.sound == Sound::recorded, s.name, live[i].x.display),
                                  s.dir, live[i].log, kSoundNice);
    }
    XInitThreads();
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i)
        threads.emplace_back([&, i] {
            watch(runs[i], snd, live[i].x.display, live[i].raw, live[i].launch_at, live[i].demo);
        });
    for (std::thread& t : threads) t.join();
    // The sink's monitor keeps running: a little silence after the exit, then the recording ends.
    sleep_ms(500);
    for (size_t i = 0; i < runs.size(); ++i) {
        ziv::end_process(live[i].parec, SIGINT);
        auto bytes = ziv::read_file(live[i].log);
        runs[i].o.log.assign(bytes.begin(), bytes.end());
        if (runs[i].spec.sound == Sound::recorded) runs[i].o.rec = ziv::read_s16(live[i].raw);
    }
    return "";
}

// ---- checks ---------------------------------------------------------------------------------

std::string report(const DemoRun& r) {
    const Observed& o = r.o;
    std::string s = r.spec.name + ": exit " + std::to_string(o.exit_code) + " at " +
                    std::to_string(o.exit_at) + " s, " + std::to_string(o.screenshots) +
                    " screenshots, " + std::to_string(o.unknown) + " unrecognised; seen:";
    for (auto& [k, v] : o.first_seen)
        s += " [" + k + " " + std::to_string(v) + ".." + std::to_string(o.last_seen.at(k)) + "]";
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "; effect frames %d (%.2f..%.2f); FLI frames %zu from %.2f; heard at %.2f; "
                  "%.1f s recorded, peak %d",
                  o.effect_frames, o.effect_first, o.effect_last, o.fli_frames.size(), o.fli_first,
                  o.heard_at, double(o.rec.size() / 2) / kRate, max_abs(o.rec));
    return s + buf + (o.error.empty() ? "" : "; error: " + o.error) + "\nlog:\n" + o.log;
}

void expect_no_crash(const DemoRun& r) {
    const Observed& o = r.o;
    SCOPED_TRACE(r.spec.name);
    EXPECT_TRUE(o.error.empty()) << o.error;
    EXPECT_GE(o.exit_code, 0) << "did not end";
    EXPECT_LT(o.exit_code, 128) << "killed by signal " << o.exit_code - 128;
    // A sanitizer build reports through the log; its exit code could pass for the demo's own.
    for (const char* bad : {"Sanitizer", "runtime error", "Assertion", "terminate called"})
        EXPECT_EQ(o.log.find(bad), std::string::npos) << "'" << bad << "' in the log";
}

void expect_full_timeline(const DemoRun& r, const Tolerances& tol) {
    const Observed& o = r.o;
    const Expected& e = *r.spec.expect;
    SCOPED_TRACE(r.spec.name);
    EXPECT_EQ(o.exit_code, 0);
    // Every screenshot is one of the expected pictures, but for the odd one taken mid-copy.
    EXPECT_LE(o.unknown * tol.unknown_div, o.screenshots) << "screens that are none of the demo's";
    EXPECT_FALSE(o.first_seen.count(kStatus.name)) << "status text shown with the data file there";
    // Loading screen from the start until the titles clear it at 15 s.
    for (const Text& t : kLoading) {
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_LT(o.first_seen.at(t.name), tol.loading_by) << t.name;
        EXPECT_GT(o.last_seen.at(t.name), tol.loading_last_min) << t.name;
        EXPECT_LT(o.last_seen.at(t.name), tol.loading_last_max) << t.name;
    }
    // Each title appears at its time and stays until the effect section.
    for (const Text& t : kTitles) {
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_GT(o.first_seen.at(t.name), t.appears - tol.title_early) << t.name;
        EXPECT_LT(o.first_seen.at(t.name), t.appears + tol.title_late) << t.name;
        EXPECT_GT(o.last_seen.at(t.name), tol.title_last_min) << t.name;
        EXPECT_LT(o.last_seen.at(t.name), tol.title_last_max) << t.name;
    }
    // The effect section: 40 s of exact frames, bars and band in motion.
    EXPECT_GT(o.effect_frames, tol.effect_frames_min);
    EXPECT_GT(o.effect_first, tol.effect_first_min);
    EXPECT_LT(o.effect_first, tol.effect_first_max);
    EXPECT_GT(o.effect_last, tol.effect_last_min);
    EXPECT_GE(o.bar_tops.size(), tol.moves_min) << "the bars do not move";
    EXPECT_GE(o.band_xs.size(), tol.moves_min) << "the text band does not move";
    // Closing text for 7.5 s, then five plays of the animation, then exit.
    ASSERT_TRUE(o.first_seen.count(kClosing.name)) << "closing text never seen";
    const double closing = o.first_seen.at(kClosing.name);
    EXPECT_GT(closing, tol.closing_min);
    EXPECT_LT(closing, tol.closing_max);
    EXPECT_GT(o.last_seen.at(kClosing.name), closing + kClosingRest - 1.0);
    EXPECT_GE(o.fli_frames.size(), e.fli.size() / tol.fli_frames_div) << "animation frames";
    EXPECT_GT(o.fli_first, closing + tol.fli_after_closing);
    const double plays = o.exit_at - (closing + kClosingRest);
    EXPECT_GT(plays, tol.plays_min_factor * e.fli_play_s) << "five plays of " << e.fli_play_s
                                                          << " s each";
    EXPECT_LT(plays, 5.0 * e.fli_play_s + tol.plays_max_extra);
}

void expect_missing_data_path(const DemoRun& r, const Tolerances& tol) {
    const Observed& o = r.o;
    SCOPED_TRACE(r.spec.name);
    EXPECT_NE(o.exit_code, 0) << "a run without its data must not report success";
    EXPECT_NE(o.log.find("Data File Error"), std::string::npos);
    for (const Text* t : {&kLoading[0], &kLoading[1], &kStatus}) {
        ASSERT_TRUE(o.first_seen.count(t->name)) << t->name << " never seen";
        EXPECT_LT(o.first_seen.at(t->name), tol.loading_by) << t->name;
    }
    // The fourth title has no rest of its own: shutdown follows it at once.
    for (int i = 0; i < 3; ++i) {
        const Text& t = kTitles[i];
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_GT(o.first_seen.at(t.name), t.appears - tol.title_early) << t.name;
        EXPECT_LT(o.first_seen.at(t.name), t.appears + tol.title_late) << t.name;
    }
    EXPECT_FALSE(o.first_seen.count(kClosing.name));
    EXPECT_LE(o.unknown * tol.unknown_div, o.screenshots) << "screens that are none of the texts";
    // No effect section, closing screen or animation: the run ends after the last title (an
    // effect section would keep it running for 40 s more).
    EXPECT_GT(o.exit_at, tol.missing_exit_min);
    EXPECT_LT(o.exit_at, tol.missing_exit_max);
}

void expect_silence(const DemoRun& r) {
    SCOPED_TRACE(r.spec.name);
    double secs = double(r.o.rec.size() / 2) / kRate;
    EXPECT_GT(secs, r.o.exit_at - 2.0) << "the recording is too short";
    EXPECT_LE(max_abs(r.o.rec), 2) << "sound from a demo that has no soundtrack";
}

// ---- data files ---------------------------------------------------------------------------

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put_be32(std::vector<uint8_t>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

}  // namespace

std::string built_datafile() { return std::string(ZIV_RUN_DIR) + "/zivivev.dat"; }

// "slh." "ALL." count, then per object its "prop" records, its type and two sizes, and its
// bytes. Every step is checked against the file's length.
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

// Any length, zero too (Allegro's dat tool refuses an empty file, so the object is written here).
std::string write_with_object3(const std::string& dir, const std::vector<uint8_t>& obj) {
    std::vector<uint8_t> f = ziv::read_file(built_datafile());
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
    if (ziv::run("mkdir -p " + q(dir)) != 0 ||
        !ziv::write_file(dir + "/zivivev.dat", f.data(), f.size()))
        return "cannot write " + dir + "/zivivev.dat";
    return "";
}

std::vector<uint8_t> real_soundtrack() {
    std::vector<uint8_t> f = ziv::read_file(built_datafile());
    size_t p = object3_offset(f);
    if (p == 0) return {};
    while (p + 12 <= f.size() && std::memcmp(&f[p], "prop", 4) == 0) {
        uint32_t n = be32(&f[p + 8]);
        if (n > f.size() - p - 12) return {};
        p += 12 + n;
    }
    if (p + 12 > f.size() || std::memcmp(&f[p], "DATA", 4) != 0) return {};
    uint32_t n = be32(&f[p + 4]);
    if (n > f.size() - p - 12) return {};
    return std::vector<uint8_t>(f.begin() + long(p) + 12, f.begin() + long(p) + 12 + n);
}

std::vector<int16_t> decode_with_mp3dec(const std::vector<uint8_t>& mp3, const std::string& name) {
    std::string in = ziv::tmp_path(name + ".mp3"), out = ziv::tmp_path(name + ".pcm");
    if (!ziv::write_file(in, mp3.data(), mp3.size())) return {};
    // Every frame decoded, as the demo's player plays it (no gapless cut).
    if (ziv::run(q(ZIV_MP3DEC) + " --no-gapless " + q(in) + " " + q(out)) != 0) return {};
    return ziv::read_s16(out);
}

// ---- recordings ---------------------------------------------------------------------------

namespace {

bool loud_at(const std::vector<int16_t>& s, size_t f) {
    return std::abs(int(s[2 * f])) > kLoud || std::abs(int(s[2 * f + 1])) > kLoud;
}

}  // namespace

long first_loud_frame(const std::vector<int16_t>& s) {
    for (size_t f = 0; f < s.size() / 2; ++f)
        if (loud_at(s, f)) return long(f);
    return -1;
}

long last_loud_frame(const std::vector<int16_t>& s) {
    for (size_t f = s.size() / 2; f-- > 0;)
        if (loud_at(s, f)) return long(f);
    return -1;
}

long loud_frames(const std::vector<int16_t>& s, long from, long to) {
    long n = 0;
    for (long f = std::max(0L, from); f < to && size_t(f) < s.size() / 2; ++f) n += loud_at(s, size_t(f));
    return n;
}

int max_abs(const std::vector<int16_t>& s, size_t from) {
    int m = 0;
    for (size_t i = from; i < s.size(); ++i) m = std::max(m, std::abs(int(s[i])));
    return m;
}

}  // namespace e2e
