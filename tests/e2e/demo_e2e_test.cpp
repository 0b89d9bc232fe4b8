// End-to-end runs of the real demo under a private Xvfb server, read back through `xwd -root`:
// the loading and title texts at their times and places, the copper bars and the text band over
// the background, the closing text, the animation, the exit code; Escape held from the closing
// screen; and a run without zivivev.dat. The expected pictures are rendered here with Allegro
// (no screen) from the same zivivev.dat, and compared in 5-6-5 colour, the depth of the demo.
#include "test_util.h"
#include "xwd_image.h"

#include <allegro.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

namespace {

constexpr int kW = 800;
constexpr int kH = 600;

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- pictures in 5-6-5 ----------------------------------------------------------------------

uint32_t q565(int r, int g, int b) {
    return uint32_t(r >> 3) << 11 | uint32_t(g >> 2) << 5 | uint32_t(b >> 3);
}

struct Picture {
    int w = 0, h = 0;
    std::vector<uint32_t> px;  // q565 values; kHole where nothing is drawn
    uint32_t at(int x, int y) const { return px[size_t(y) * w + x]; }
};
constexpr uint32_t kHole = 0xFFFFFFFFu;

Picture from_bitmap(BITMAP* b, int mask = -1) {
    Picture p;
    p.w = b->w;
    p.h = b->h;
    p.px.resize(size_t(p.w) * p.h);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            int c = getpixel(b, x, y);
            p.px[size_t(y) * p.w + x] = c == mask ? kHole : q565(getr16(c), getg16(c), getb16(c));
        }
    return p;
}

Picture from_screen(const XwdImage& s) {
    Picture p;
    p.w = s.width;
    p.h = s.height;
    p.px.resize(size_t(p.w) * p.h);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const uint8_t* c = s.at(x, y);
            p.px[size_t(y) * p.w + x] = q565(c[0], c[1], c[2]);
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

// Pixels of `want` (holes skipped) that differ from the screen at (x, y); stops after `limit`.
long mismatches(const Picture& screen, const Picture& want, int x0, int y0, long limit = 1L << 30) {
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

// ---- what the demo should show, rendered without a screen ------------------------------------

struct Text {
    const char* name;
    int x, y, grey;
    const char* text;
    double appears;  // seconds after start
};

const Text kLoading[] = {
    {"loading 1", 0, 30, 30, "Thinking of ways to calculate PI with abnormal precision...", 0},
    {"loading 2", 0, 65, 30, "Loading some data...", 0},
};
const Text kTitles[] = {
    {"title 1", 150, 300, 128, "Gr1mP0t4x & bR0kW1Nd", 15.0},
    {"title 2", 100, 421, 128, "extremely proudly presentsly!", 22.5},
    {"title 3", 230, 80, 150, "a very specially ZaRkOvIlMe", 33.0},
    {"title 4", 0, 190, 150, "the journey into KW\xC4X", 40.5},
};
const Text kClosing = {"closing", 150, 300, 128, "Get ready to KW\xC4X!!", 0};
const Text kStatus = {"status", 0, 100, 128,
                      "Ok, fine... Somehting went terribly wrong. Data File Error", 0};
const char kScroller[] =
    "YOUR BRAIN MUST BE BIGGER THAN OURS... TO COMPREHEND THE EXPERIENCE OF KW\xC4X!            "
    "WORD!";
const int kGreys[12] = {55, 78, 101, 124, 147, 170, 193, 170, 147, 124, 101, 78};

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
using Samples = std::vector<uint32_t>;

Samples sample(const Picture& p) {
    Samples s;
    for (int y = 3; y < kH; y += kGrid)
        for (int x = 3; x < kW; x += kGrid) s.push_back(x < p.w && y < p.h ? p.at(x, y) : 0);
    return s;
}

struct Expected {
    bool ok = false;
    std::string error;
    std::map<std::string, Picture> texts;
    Picture background;  // top-left 800x600 of object 2
    Picture band;        // the 1024x32 scroller band, mask colour as holes
    std::vector<Samples> fli;
    double fli_play_s = 0;
};

bool allegro_up() {
    static bool up = [] {
        set_uformat(U_ASCII);
        if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) return false;
        set_color_depth(16);
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

const Expected& expected_with_data() {
    static Expected e = [] {
        Expected e;
        if (!allegro_up()) { e.error = "Allegro did not start without a screen"; return e; }
        std::string path = std::string(ZIV_RUN_DIR) + "/zivivev.dat";
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

        // The FLI frames, decoded by ffmpeg as a black box, at the top-left of a black 800x600
        // picture as the demo's frame bitmap shows them.
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
        std::string cmd = "ffmpeg -v error -i '" + anim + "' -f rawvideo -pix_fmt rgb24 -";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) { e.error = "cannot run ffmpeg"; return e; }
        std::vector<uint8_t> raw(size_t(fw) * fh * 3);
        while (fw > 0 && fh > 0 && fread(raw.data(), 1, raw.size(), p) == raw.size()) {
            Picture f;
            f.w = kW;
            f.h = kH;
            f.px.assign(size_t(kW) * kH, 0);
            for (int y = 0; y < std::min(fh, kH); ++y)
                for (int x = 0; x < std::min(fw, kW); ++x) {
                    const uint8_t* c = &raw[(size_t(y) * fw + x) * 3];
                    f.px[size_t(y) * kW + x] = q565(c[0], c[1], c[2]);
                }
            e.fli.push_back(sample(f));
        }
        pclose(p);
        e.ok = !e.fli.empty() && frames > 0;
        if (!e.ok) e.error = "ffmpeg decoded no frame of the FLI";
        // The data file stays loaded: the font is used by the pictures above only, but
        // unloading at exit is not needed for a test process.
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

// ---- processes: Xvfb, the demo, xwd, xdotool --------------------------------------------------

struct Xvfb {
    pid_t pid = -1;
    int display = -1;
};

bool xvfb_start(Xvfb& x) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::string fd = std::to_string(fds[1]);
        // -noreset: without it the server resets when its last client leaves, and a demo that
        // connects just as a screenshot disconnects finds no display.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten",
               "tcp", "-noreset", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    x.pid = pid;
    std::string got;
    double until = now_s() + 20;
    while (now_s() < until && got.find('\n') == std::string::npos) {
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
    x.display = std::atoi(got.c_str());
    return true;
}

void xvfb_stop(Xvfb& x) {
    if (x.pid > 0) {
        kill(x.pid, SIGTERM);
        waitpid(x.pid, nullptr, 0);
    }
    x.pid = -1;
}

std::string display_name(int d) { return ":" + std::to_string(d); }

// Starts the demo in `dir` on display `d`; its stdout and stderr go to `log`. Sound: an empty
// ALSA configuration, so that no device is found and the run is silent on any machine.
pid_t demo_start(int d, const std::string& dir, const std::string& log) {
    std::string alsa = ziv::tmp_path("empty-alsa.conf");
    ziv::write_file(alsa, "", 0);
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(dir.c_str()) != 0) _exit(126);
    setenv("DISPLAY", display_name(d).c_str(), 1);
    setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
    unsetenv("PULSE_SERVER");
    // In a sanitizer build: Allegro unloads its driver modules (and the sound libraries they
    // pulled in) before LeakSanitizer runs, so their few start-up allocations would show as
    // leaks of an unknown module. Access and undefined-behaviour checks stay on.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 0);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    std::string exe = std::string(ZIV_RUN_DIR) + "/zivivev";
    execl(exe.c_str(), "zivivev", (char*)nullptr);
    _exit(127);
}

// Exit code once the demo has ended, -1 while it runs.
int demo_exited(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

bool screenshot(int d, Picture& out, std::string& error) {
    std::string cmd = "xwd -root -silent -display " + display_name(d) + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) { error = "cannot run xwd"; return false; }
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    pclose(p);
    XwdImage img;
    error = xwd_parse(bytes, img);
    if (!error.empty()) return false;
    out = from_screen(img);
    return true;
}

void save_ppm(const Picture& p, const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string head = "P6\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n255\n";
    bytes.assign(head.begin(), head.end());
    for (uint32_t v : p.px) {
        bytes.push_back(uint8_t((v >> 11 & 31) << 3));
        bytes.push_back(uint8_t((v >> 5 & 63) << 2));
        bytes.push_back(uint8_t((v & 31) << 3));
    }
    ziv::write_file(path, bytes.data(), bytes.size());
}

// ---- classifying one screenshot ---------------------------------------------------------------

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
    const Picture& p = e.texts.at(t.name);
    return mismatches(s, p, t.x, t.y, 1) == 0;
}

// Everything outside the given texts is black.
bool black_except(const Picture& s, const Expected& e, std::vector<const Text*> texts) {
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            bool inside = false;
            for (const Text* t : texts) {
                const Picture& p = e.texts.at(t->name);
                inside |= x >= t->x && x < t->x + p.w && y >= t->y && y < t->y + p.h;
            }
            if (!inside && s.at(x, y) != 0) return false;
        }
    return true;
}

int fli_frame_index(const Picture& s, const Expected& e) {
    Samples got = sample(s);
    for (size_t i = 0; i < e.fli.size(); ++i) {
        size_t bad = 0;
        for (size_t k = 0; k < got.size(); ++k) bad += !close565(got[k], e.fli[i][k]);
        if (bad * 100 < got.size()) return int(i);  // under 1%: a frame caught mid-copy
    }
    return -1;
}

// ---- one observed run -------------------------------------------------------------------------

enum class Escape { never, from_closing };

struct Observed {
    int exit_code = -1;
    double exit_at = -1;
    std::map<std::string, double> first_seen;  // text name -> seconds after start
    std::map<std::string, double> last_seen;
    int effect_frames = 0;
    double effect_first = -1, effect_last = -1;
    std::set<int> bar_tops, band_xs;
    std::set<int> fli_frames;
    double fli_first = -1;
    int closing_only_after_escape = 0;  // screenshots of the bare closing screen after Escape
    int other_after_escape = 0;         // anything else after Escape
    int screenshots = 0, unknown = 0;
    std::string error;
    std::string log;
};

void seen(Observed& o, const std::string& name, double t) {
    if (!o.first_seen.count(name)) o.first_seen[name] = t;
    o.last_seen[name] = t;
}

Observed observe_run(const std::string& dir, const Expected& e, Escape esc, double limit_s) {
    Observed o;
    Xvfb x;
    if (!xvfb_start(x)) {
        o.error = "Xvfb did not start";
        xvfb_stop(x);
        return o;
    }
    std::string log = ziv::tmp_path("demo-" + std::to_string(x.display) + ".log");
    double start = now_s();
    pid_t pid = demo_start(x.display, dir, log);
    bool escape_down = false;
    double escape_at = -1;
    int saved = 0;
    while (true) {
        double t = now_s() - start;
        int code = demo_exited(pid);
        if (code >= 0) {
            o.exit_code = code;
            o.exit_at = t;
            break;
        }
        if (t > limit_s) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            o.error = "the demo was still running after " + std::to_string(int(limit_s)) + " s";
            break;
        }
        Picture s;
        std::string err;
        if (!screenshot(x.display, s, err)) {
            if (t > 2) o.error = "screenshot failed: " + err;  // the server may be starting up
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            continue;
        }
        // The shot shows what was on screen when it was taken, a moment before now.
        ++o.screenshots;
        if (s.w != kW || s.h != kH) {
            o.error = "the screen is " + std::to_string(s.w) + "x" + std::to_string(s.h);
            continue;
        }
        bool known = false;
        for (const Text& txt : kLoading)
            if (text_shown(s, e, txt)) seen(o, txt.name, t), known = true;
        if (e.texts.count(kStatus.name) && text_shown(s, e, kStatus)) seen(o, kStatus.name, t);
        for (const Text& txt : kTitles)
            if (text_shown(s, e, txt)) seen(o, txt.name, t), known = true;
        bool closing = text_shown(s, e, kClosing) && black_except(s, e, {&kClosing});
        if (closing) seen(o, kClosing.name, t), known = true;
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
        if (escape_down) (closing ? o.closing_only_after_escape : o.other_after_escape) += 1;
        if (!known) {
            ++o.unknown;
            if (std::getenv("ZIV_KEEP_TMP") && saved < 20)
                save_ppm(s, ziv::tmp_path("unknown-" + std::to_string(x.display) + "-" +
                                          std::to_string(saved++) + ".ppm"));
        }
        if (esc == Escape::from_closing && closing && !escape_down) {
            ziv::run("DISPLAY=" + display_name(x.display) + " xdotool keydown Escape");
            escape_down = true;
            escape_at = t;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    if (escape_down) ziv::run("DISPLAY=" + display_name(x.display) + " xdotool keyup Escape");
    (void)escape_at;
    xvfb_stop(x);
    auto bytes = ziv::read_file(log);
    o.log.assign(bytes.begin(), bytes.end());
    // A sanitizer build reports through the log; its exit code could pass for the demo's own.
    if (o.log.find("Sanitizer") != std::string::npos ||
        o.log.find("runtime error") != std::string::npos)
        o.error = "sanitizer report in the demo's output";
    return o;
}

void require_tools() {
    ZIV_REQUIRE_TOOL("ffmpeg");
    ZIV_REQUIRE_TOOL("Xvfb");
    ZIV_REQUIRE_TOOL("xwd");
    ZIV_REQUIRE_TOOL("xdotool");
}

std::string report(const Observed& o) {
    std::string r = "exit " + std::to_string(o.exit_code) + " at " + std::to_string(o.exit_at) +
                    " s, " + std::to_string(o.screenshots) + " screenshots, " +
                    std::to_string(o.unknown) + " unrecognised; seen:";
    for (auto& [k, v] : o.first_seen)
        r += " [" + k + " " + std::to_string(v) + ".." + std::to_string(o.last_seen.at(k)) + "]";
    r += "; effect frames " + std::to_string(o.effect_frames) + "; FLI frames " +
         std::to_string(o.fli_frames.size()) + "\nlog:\n" + o.log;
    return r;
}

TEST(DemoRun, FullTimelineOnTheRealScreen) {
    require_tools();
    const Expected& e = expected_with_data();
    ASSERT_TRUE(e.ok) << e.error;
    Observed o = observe_run(ZIV_RUN_DIR, e, Escape::never, 240);
    ASSERT_TRUE(o.error.empty()) << o.error << "\n" << report(o);
    SCOPED_TRACE(report(o));
    std::printf("%s\n", report(o).c_str());
    EXPECT_EQ(o.exit_code, 0);
    // Every screenshot is one of the expected pictures, but for the odd one taken mid-copy.
    EXPECT_LE(o.unknown * 50, o.screenshots);

    // Loading screen from the start until the titles clear it at 15 s.
    for (const Text& t : kLoading) {
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_LT(o.first_seen[t.name], 2.0) << t.name;
        EXPECT_GT(o.last_seen[t.name], 13.0) << t.name;
        EXPECT_LT(o.last_seen[t.name], 16.5) << t.name;
    }
    EXPECT_FALSE(o.first_seen.count(kStatus.name)) << "status text shown with the data file there";
    // Each title appears at its time and stays until the effect section.
    for (const Text& t : kTitles) {
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_GT(o.first_seen[t.name], t.appears - 0.5) << t.name;
        EXPECT_LT(o.first_seen[t.name], t.appears + 2.0) << t.name;
        EXPECT_GT(o.last_seen[t.name], 40.0) << t.name;
        EXPECT_LT(o.last_seen[t.name], 46.0) << t.name;
    }
    // The effect section: 40 s of exact frames, bars and band in motion.
    EXPECT_GT(o.effect_frames, 40);
    EXPECT_GT(o.effect_first, 40.5);
    EXPECT_LT(o.effect_first, 47.0);
    EXPECT_GT(o.effect_last, 78.0);
    EXPECT_GE(o.bar_tops.size(), 10u) << "the bars do not move";
    EXPECT_GE(o.band_xs.size(), 10u) << "the text band does not move";
    // Closing text for 7.5 s, then five plays of the animation, then exit.
    ASSERT_TRUE(o.first_seen.count(kClosing.name)) << "closing text never seen";
    double closing = o.first_seen[kClosing.name];
    EXPECT_GT(closing, 80.0);
    EXPECT_LT(closing, 88.0);
    EXPECT_GT(o.last_seen[kClosing.name], closing + 6.5);
    EXPECT_GE(o.fli_frames.size(), e.fli.size() / 4) << "animation frames on screen";
    EXPECT_GT(o.fli_first, closing + 7.0);
    double plays = o.exit_at - (closing + 7.5);
    EXPECT_GT(plays, 4.6 * e.fli_play_s) << "five plays of " << e.fli_play_s << " s each";
    EXPECT_LT(plays, 5.0 * e.fli_play_s + 6.0);
}

TEST(DemoRun, EscapeHeldFromTheClosingScreenEndsEveryPlayAtOnce) {
    require_tools();
    const Expected& e = expected_with_data();
    ASSERT_TRUE(e.ok) << e.error;
    Observed o = observe_run(ZIV_RUN_DIR, e, Escape::from_closing, 240);
    ASSERT_TRUE(o.error.empty()) << o.error << "\n" << report(o);
    SCOPED_TRACE(report(o));
    std::printf("%s\n", report(o).c_str());
    EXPECT_EQ(o.exit_code, 0);
    ASSERT_TRUE(o.first_seen.count(kClosing.name)) << "closing text never seen";
    double closing = o.first_seen[kClosing.name];
    // Nothing but the closing text after Escape, until the process ends: no animation frame.
    EXPECT_TRUE(o.fli_frames.empty());
    EXPECT_EQ(o.other_after_escape, 0);
    EXPECT_GT(o.closing_only_after_escape, 10);
    EXPECT_GT(o.exit_at, closing + 6.5);
    EXPECT_LT(o.exit_at, closing + 7.5 + std::min(2.0, e.fli_play_s))
        << "the plays did not end at once";
}

TEST(DemoRun, WithoutTheDataFileTheTextScreensRunAndTheDemoStops) {
    require_tools();
    const Expected& e = expected_builtin_font();
    ASSERT_TRUE(e.ok) << e.error;
    std::string dir = ziv::tmp_path("no-data");
    ASSERT_EQ(ziv::run("mkdir -p '" + dir + "'"), 0);
    Observed o = observe_run(dir, e, Escape::never, 90);
    ASSERT_TRUE(o.error.empty()) << o.error << "\n" << report(o);
    SCOPED_TRACE(report(o));
    std::printf("%s\n", report(o).c_str());
    EXPECT_NE(o.exit_code, 0) << "a run without its data must not report success";
    EXPECT_LT(o.exit_code, 128) << "crashed";
    EXPECT_NE(o.log.find("Data File Error"), std::string::npos);
    for (const Text* t : {&kLoading[0], &kLoading[1], &kStatus}) {
        ASSERT_TRUE(o.first_seen.count(t->name)) << t->name << " never seen";
        EXPECT_LT(o.first_seen[t->name], 2.0);
    }
    // The fourth title has no rest of its own: shutdown follows it at once.
    for (int i = 0; i < 3; ++i) {
        const Text& t = kTitles[i];
        ASSERT_TRUE(o.first_seen.count(t.name)) << t.name << " never seen";
        EXPECT_GT(o.first_seen[t.name], t.appears - 0.5) << t.name;
        EXPECT_LT(o.first_seen[t.name], t.appears + 2.0) << t.name;
    }
    EXPECT_FALSE(o.first_seen.count(kClosing.name));
    // No effect section, closing screen or animation: the run ends after the last title.
    EXPECT_GT(o.exit_at, 40.5);
    EXPECT_LT(o.exit_at, 44.0);
}

TEST(DemoStart, WithoutAnyDisplayItSaysSoAndStops) {
    std::string dir = ziv::tmp_path("no-display");
    std::string log = dir + "/log";
    ASSERT_EQ(ziv::run("mkdir -p '" + dir + "'"), 0);
    int code = ziv::run("cd '" + dir + "' && env -u DISPLAY timeout 30 " + ZIV_RUN_DIR +
                        "/zivivev >'" + log + "' 2>&1");
    auto bytes = ziv::read_file(log);
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(code, 2) << text;
    EXPECT_NE(text.find("zivivev: "), std::string::npos) << text;
}

}  // namespace
