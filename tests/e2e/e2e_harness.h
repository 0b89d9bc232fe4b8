// The end-to-end harness: the real demo under private Xvfb servers (one per run) with one private
// PulseAudio server whose null sinks (one per run) are recorded from their monitors; screenshots
// read straight from each X server and classified against pictures rendered here with Allegro (no
// screen) from the same zivivev.dat, in 5-6-5 colour, the depth of the demo; the timeline with its
// tolerances; data files with a replaced soundtrack; and the sound helpers of the recordings.
// Every time is in seconds from the demo's first frame on screen, so the start-up of the program
// (Allegro, the data file) does not blur the timeline.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pcm_match.h"

namespace e2e {

constexpr int kW = 800;
constexpr int kH = 600;
constexpr int kRate = 44100;
constexpr int kLoud = 300;  // a recorded sample above this is music, not silence or dither

// ---- what the demo shows ------------------------------------------------------------------

// Pixels in 5-6-5; kHole where nothing is drawn.
struct Picture {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    uint32_t at(int x, int y) const { return px[size_t(y) * size_t(w) + size_t(x)]; }
};

struct Text {
    const char* name;
    int x, y, grey;
    const char* text;
    double appears;  // seconds after the first frame
};

extern const Text kLoading[2];
extern const Text kTitles[4];
extern const Text kClosing;
extern const Text kStatus;

// The pictures a run is compared with: the texts in the data file's font (or Allegro's own font
// when the demo has no data file), and with the data: the background, the scroller band and the
// animation's frames (decoded by ffmpeg as a black box).
struct Expected {
    bool ok = false;
    std::string error;
    bool with_data = false;
    std::map<std::string, Picture> texts;
    Picture background;
    Picture band;
    std::vector<std::vector<uint32_t>> fli;  // frames sampled on a grid
    double fli_play_s = 0;
};
const Expected& expected_with_data();
const Expected& expected_builtin_font();

// ---- the timeline and its tolerances ------------------------------------------------------------

constexpr double kMusicAt = 6.0;       // the loading screen's rest, then the soundtrack starts
constexpr double kEffectAt = 40.5;     // the last title's rest ends
constexpr double kClosingAt = 80.5;    // forty seconds of effects (plus the first pass's catch-up)
constexpr double kClosingRest = 7.5;

// How far a run may stray from the timeline. `alone` holds for the main runs, which have the
// machine to themselves but for the other watched runs (ten side by side on two cores keep the
// timeline to a few tenths of a second); `crowded`, wider, for the damaged-data runs.
struct Tolerances {
    double loading_by;                       // loading texts (and status text) on screen by then
    double loading_last_min, loading_last_max;
    double title_early, title_late;          // first sight of a title around its time
    double title_last_min, title_last_max;   // titles stay up to the effect section
    int effect_frames_min;
    double effect_first_min, effect_first_max, effect_last_min;
    size_t moves_min;                        // distinct bar tops and band positions
    double closing_min, closing_max;
    size_t fli_frames_div;                   // at least fli.size() / this frames seen
    double fli_after_closing;                // first animation frame after the closing text
    double plays_min_factor, plays_max_extra;  // five plays: in (f * play, 5 * play + extra)
    int unknown_div;                         // at most screenshots / this unrecognised
    double missing_exit_min, missing_exit_max;  // the missing-data path ends after the titles
    double music_min, music_max;             // soundtrack first heard
};
extern const Tolerances kAlone;
extern const Tolerances kCrowded;

// ---- runs ---------------------------------------------------------------------------------

enum class Sound { recorded, no_server };
enum class Escape { never, from_closing };

struct RunSpec {
    std::string name;  // also its sink's name
    std::string dir;   // the demo's working folder
    const Expected* expect = nullptr;
    Sound sound = Sound::recorded;
    Escape escape = Escape::never;
    double limit_s = 240;
};

struct Observed {
    int exit_code = -1;
    double exit_at = -1;
    std::map<std::string, double> first_seen, last_seen;  // text name -> seconds
    int effect_frames = 0;
    double effect_first = -1, effect_last = -1;
    std::set<int> bar_tops, band_xs;
    std::set<int> fli_frames;
    double fli_first = -1;
    int closing_only_after_escape = 0;  // screenshots of the bare closing screen after Escape
    int other_after_escape = 0;         // anything else after Escape, but for the teardown's
                                        // unrecognised screens after the last closing screen
    int screenshots = 0, unknown = 0;
    double heard_at = -1;               // first loud sample recorded
    std::vector<int16_t> rec;           // interleaved stereo from the sink's monitor
    std::string error, log;
};

struct DemoRun {
    RunSpec spec;
    Observed o;
};

// Starts the sound server, then every run side by side, each under its own Xvfb, and watches
// them to their ends. Returns an empty string, or why the runs could not take place.
std::string run_all(std::vector<DemoRun>& runs);

// The missing tools, as a failure message (empty when all are there).
std::string missing_tools();

// ---- checks ---------------------------------------------------------------------------------

std::string report(const DemoRun& r);
void expect_no_crash(const DemoRun& r);
// Loading screen, the titles at their times, the effect section with moving bars and band, the
// closing text, five plays of the animation, exit 0.
void expect_full_timeline(const DemoRun& r, const Tolerances& t);
// The status text from the start, the titles, no closing screen or animation, shutdown right
// after the last title, a failure exit code.
void expect_missing_data_path(const DemoRun& r, const Tolerances& t);
// The recording lasts the run and holds no sound.
void expect_silence(const DemoRun& r);

// ---- data files ---------------------------------------------------------------------------

std::string built_datafile();  // the run folder's zivivev.dat
// Byte offset of object 3 in an uncompressed four-object data file, 0 when it is not one.
size_t object3_offset(const std::vector<uint8_t>& f);
// Writes dir/zivivev.dat: the built data file with object 3 replaced by `obj`. Returns an error.
std::string write_with_object3(const std::string& dir, const std::vector<uint8_t>& obj);
// Object 3 of the built data file.
std::vector<uint8_t> real_soundtrack();
// Decodes MP3 bytes with mp3dec into interleaved samples (empty on failure).
std::vector<int16_t> decode_with_mp3dec(const std::vector<uint8_t>& mp3, const std::string& name);

// ---- recordings (interleaved stereo) ------------------------------------------------------------

long first_loud_frame(const std::vector<int16_t>& s);
long last_loud_frame(const std::vector<int16_t>& s);
long loud_frames(const std::vector<int16_t>& s, long from, long to);  // frames [from, to)
int max_abs(const std::vector<int16_t>& s, size_t from = 0);
using ziv::best_offset;
using ziv::correlation;

// ---- the runs ------------------------------------------------------------------------------

// Every run the checks share, made once per test program, all side by side: each lasts the
// demo's own timeline and leaves most of the processor idle, so together they take the time of
// one. The main runs: the demo with its data file and its soundtrack recorded (screen and sound
// of one run), the same with Escape held from the closing screen, the same without any sound
// server, and a run in a folder without zivivev.dat. Then the damaged data files, in the order
// damaged_runs() gives them.
struct AllRuns {
    std::string error;
    std::vector<DemoRun> runs;
    const DemoRun& music() const { return runs[0]; }
    const DemoRun& escape() const { return runs[1]; }
    const DemoRun& no_server() const { return runs[2]; }
    const DemoRun& no_data() const { return runs[3]; }
    static constexpr size_t kDamaged = 4;  // the first damaged-data run
};
const AllRuns& all_runs();

// The damaged-data runs, their data files written: object 3 random, cut, empty or damaged, then
// zivivev.dat unreadable or cut short. Returns an error.
std::string damaged_runs(std::vector<DemoRun>& runs);
// The soundtrack cut about half way, inside a frame, as the cut case holds it.
std::vector<uint8_t> cut_soundtrack(const std::vector<uint8_t>& music);

}  // namespace e2e
