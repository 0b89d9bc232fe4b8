// The real demo on damaged data files, end to end: object 3 replaced by random bytes (not MPEG
// audio), by the soundtrack cut off in the middle of a frame or sprinkled with random bursts, by
// nothing at all; and zivivev.dat that cannot be read (a directory of that name) or that ends
// half way. The cases run side by side, each under its own Xvfb server with its own PulseAudio
// null sink, are watched through screenshots and recorded from the sink's monitor.
#include "e2e_harness.h"
#include "test_util.h"

#include <random>

namespace e2e {

std::vector<uint8_t> cut_soundtrack(const std::vector<uint8_t>& music) {
    // Frames are ~627 bytes: 301 bytes past the middle falls inside one.
    return std::vector<uint8_t>(music.begin(), music.begin() + long(music.size() / 2 + 301));
}

std::string damaged_runs(std::vector<DemoRun>& runs) {
    const std::vector<uint8_t> music = real_soundtrack();
    if (music.size() <= 100000u) return "no soundtrack in object 3 of the built zivivev.dat";
    std::string err;
    // Object 3: random bytes, not MPEG audio.
    std::mt19937 rng(ziv::test_seed());
    std::vector<uint8_t> noise(256 * 1024);
    for (uint8_t& b : noise) b = uint8_t(rng());
    const std::string root = ziv::tmp_path("cases");
    if (!(err = write_with_object3(root + "/random", noise)).empty()) return err;
    // Object 3: the soundtrack cut about half way, inside a frame.
    if (!(err = write_with_object3(root + "/truncated", cut_soundtrack(music))).empty()) return err;
    // Object 3: the soundtrack with twenty bursts of random bytes, as a damaged copy would be.
    std::vector<uint8_t> damaged = music;
    for (int k = 0; k < 20; ++k) {
        size_t at = 4096 + rng() % (damaged.size() - 8192);
        for (size_t i = at; i < at + 2048; ++i) damaged[i] = uint8_t(rng());
    }
    if (!(err = write_with_object3(root + "/damaged", damaged)).empty()) return err;
    // Object 3: zero bytes long.
    if (!(err = write_with_object3(root + "/empty", {})).empty()) return err;
    // zivivev.dat that cannot be read: a directory of that name (the tests run as root, for whom
    // a file without read permission stays readable).
    if (ziv::run("mkdir -p '" + root + "/unreadable/zivivev.dat'") != 0) return "mkdir failed";
    // zivivev.dat cut in the middle of object 2, the background picture.
    std::vector<uint8_t> whole = ziv::read_file(built_datafile());
    size_t obj3 = object3_offset(whole);
    if (obj3 <= 500000u) return "object 3 of the built zivivev.dat not found past 500000 bytes";
    if (ziv::run("mkdir -p '" + root + "/cutfile'") != 0) return "mkdir failed";
    if (!ziv::write_file(root + "/cutfile/zivivev.dat", whole.data(), obj3 - 500000))
        return "cannot write " + root + "/cutfile/zivivev.dat";

    const Expected* with_data = &expected_with_data();
    const Expected* builtin = &expected_builtin_font();
    for (const char* name : {"random", "truncated", "empty", "damaged"})
        runs.push_back(DemoRun{{name, root + "/" + name, with_data, Sound::recorded, Escape::never, 300}, {}});
    for (const char* name : {"unreadable", "cutfile"})
        runs.push_back(DemoRun{{name, root + "/" + name, builtin, Sound::recorded, Escape::never, 120}, {}});
    return "";
}

}  // namespace e2e

namespace {

using namespace e2e;

size_t frames_of(const std::vector<int16_t>& s) { return s.size() / 2; }

TEST(BadData, EveryDamagedDataFileKeepsItsTimelineAndEndsCleanly) {
    const AllRuns& p = all_runs();
    ASSERT_EQ(p.error, "");

    // What the cut soundtrack decodes to.
    const std::vector<uint8_t> cut = cut_soundtrack(real_soundtrack());
    const std::vector<int16_t> cut_ref = decode_with_mp3dec(cut, "cut");
    const long ref_first = first_loud_frame(cut_ref);
    double cut_music_s = double(last_loud_frame(cut_ref) - ref_first) / kRate;
    ASSERT_GT(cut_music_s, 20.0);

    ASSERT_EQ(p.runs.size(), AllRuns::kDamaged + 6);
    const DemoRun* runs = &p.runs[AllRuns::kDamaged];
    for (size_t i = 0; i < 6; ++i) expect_no_crash(runs[i]);
    const DemoRun &random = runs[0], &tr = runs[1], &empty = runs[2], &dm = runs[3];

    // Random bytes and an empty object: no player, the full timeline in silence.
    for (const DemoRun* r : {&random, &empty}) {
        expect_full_timeline(*r, kCrowded);
        expect_silence(*r);
    }

    // The cut soundtrack plays from the end of the loading screen until its data runs out, once
    // and whole, then silence while the timeline goes on to its normal end: its last poll stops
    // the stream and removes its own timer from inside the timer callback.
    expect_full_timeline(tr, kCrowded);
    long a = first_loud_frame(tr.o.rec), b = last_loud_frame(tr.o.rec);
    ASSERT_GE(a, 0) << "the cut soundtrack was not heard";
    // The start as watched in real time; the end from the recording's own length of music.
    double from = tr.o.heard_at, to = from + double(b - a) / kRate;
    std::printf("[ case     ] truncated: music from %.1f s to %.1f s (decode: %.1f s of music)\n",
                from, to, cut_music_s);
    EXPECT_GT(from, kCrowded.music_min) << "music before the loading screen's rest ended";
    EXPECT_LT(from, kCrowded.music_max);
    // Underruns of a loaded machine may stretch it a little; it never stops early.
    EXPECT_GT(to - from, cut_music_s - 2.0) << "the soundtrack stopped before its data ended";
    EXPECT_LT(to - from, cut_music_s + 8.0);
    EXPECT_GT(tr.o.exit_at - to, 20.0) << "the timeline should run on after the music";
    EXPECT_LE(max_abs(tr.o.rec, size_t(b + kRate) * 2), 2) << "sound after the music ended";
    // Played once, not looped: the count of loud frames matches the decode. The tolerance is a
    // tenth of the soundtrack, since the ALSA-to-PulseAudio path of a loaded machine may stretch
    // a few periods; a second play would double the count.
    long loud_ref = loud_frames(cut_ref, 0, long(frames_of(cut_ref)));
    long loud_rec = loud_frames(tr.o.rec, 0, long(frames_of(tr.o.rec)));
    EXPECT_NEAR(double(loud_rec), double(loud_ref), 0.1 * double(loud_ref))
        << "cut soundtrack not played exactly once";
    long off = best_offset(tr.o.rec, cut_ref, a - ref_first, 2048, size_t(ref_first) + kRate, 4096);
    EXPECT_GT(correlation(tr.o.rec, cut_ref, off, size_t(ref_first), size_t(5 * kRate)), 0.99);

    // The damaged soundtrack plays (with its glitches) and the timeline runs as ever.
    expect_full_timeline(dm, kCrowded);
    EXPECT_GT(dm.o.heard_at, kCrowded.music_min) << "music before the loading screen's rest ended";
    EXPECT_LT(dm.o.heard_at, kCrowded.music_max) << "the damaged soundtrack was not heard in time";

    // A data file that cannot be read, or ends early: the missing-data path, in silence.
    for (size_t i : {4u, 5u}) {
        expect_missing_data_path(runs[i], kCrowded);
        expect_silence(runs[i]);
    }
}

}  // namespace
