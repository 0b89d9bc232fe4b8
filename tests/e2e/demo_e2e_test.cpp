// End-to-end runs of the real demo, read back from its screen: the loading and title texts at
// their times and places, the copper bars and the text band over the background, the closing
// text, the animation, the exit code; Escape held from the closing screen; a run without a sound
// server; a run without zivivev.dat; and a start without any display.
#include "e2e_harness.h"
#include "test_util.h"

namespace e2e {

const AllRuns& all_runs() {
    static AllRuns p = [] {
        AllRuns p;
        std::string none = ziv::tmp_path("no-data");
        ziv::run("mkdir -p '" + none + "'");
        const Expected* with = &expected_with_data();
        p.runs = {DemoRun{{"music", ZIV_RUN_DIR, with, Sound::recorded, Escape::never, 240}, {}},
                  DemoRun{{"escape", ZIV_RUN_DIR, with, Sound::recorded, Escape::from_closing, 240}, {}},
                  DemoRun{{"noserver", ZIV_RUN_DIR, with, Sound::no_server, Escape::never, 240}, {}},
                  DemoRun{{"nodata", none, &expected_builtin_font(), Sound::recorded, Escape::never,
                       90},
                      {}}};
        p.error = damaged_runs(p.runs);
        if (p.error.empty()) p.error = run_all(p.runs);
        for (const DemoRun& r : p.runs) std::printf("%s\n", report(r).c_str());
        return p;
    }();
    return p;
}

}  // namespace e2e

namespace {

using namespace e2e;

TEST(DemoRun, FullTimelineOnTheRealScreen) {
    const AllRuns& p = all_runs();
    ASSERT_EQ(p.error, "");
    const DemoRun& r = p.music();
    SCOPED_TRACE(report(r));
    expect_no_crash(r);
    expect_full_timeline(r, kAlone);
}

TEST(DemoRun, EscapeHeldFromTheClosingScreenEndsEveryPlayAtOnce) {
    const AllRuns& p = all_runs();
    ASSERT_EQ(p.error, "");
    const DemoRun& r = p.escape();
    const Observed& o = r.o;
    SCOPED_TRACE(report(r));
    expect_no_crash(r);
    EXPECT_EQ(o.exit_code, 0);
    ASSERT_TRUE(o.first_seen.count(kClosing.name)) << "closing text never seen";
    double closing = o.first_seen.at(kClosing.name);
    EXPECT_GT(closing, kAlone.closing_min);
    EXPECT_LT(closing, kAlone.closing_max);
    // Nothing but the closing text after Escape, until the process ends: no animation frame.
    EXPECT_TRUE(o.fli_frames.empty());
    EXPECT_EQ(o.other_after_escape, 0);
    EXPECT_GT(o.closing_only_after_escape, 10);
    EXPECT_GT(o.exit_at, closing + kClosingRest - 1.0);
    EXPECT_LT(o.exit_at, closing + kClosingRest + std::min(2.0, r.spec.expect->fli_play_s))
        << "the plays did not end at once";
}

TEST(DemoRun, WithoutASoundServerTheTimelineIsTheSame) {
    const AllRuns& p = all_runs();
    ASSERT_EQ(p.error, "");
    const DemoRun& r = p.no_server();
    SCOPED_TRACE(report(r));
    expect_no_crash(r);
    expect_full_timeline(r, kAlone);
    EXPECT_NEAR(r.o.exit_at, p.music().o.exit_at, 4.0) << "the timeline should last as with sound";
}

TEST(DemoRun, WithoutTheDataFileTheTextScreensRunAndTheDemoStops) {
    const AllRuns& p = all_runs();
    ASSERT_EQ(p.error, "");
    const DemoRun& r = p.no_data();
    SCOPED_TRACE(report(r));
    EXPECT_TRUE(r.o.error.empty()) << r.o.error;
    EXPECT_LT(r.o.exit_code, 128) << "crashed";
    expect_missing_data_path(r, kAlone);
    expect_silence(r);
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
