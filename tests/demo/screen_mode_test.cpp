// The screen mode's fall-back order, against link-time stand-ins for Allegro's two calls: full
// screen, then the same mode windowed, then failure (which the demo reports and exits on).
#include "demo.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct ModeCall {
    int card, w, h, v_w, v_h, depth;
};
std::vector<ModeCall> calls;
int depth_now = 0;
int refuse_fullscreen = 0;
int refuse_windowed = 0;

}  // namespace

extern "C" void set_color_depth(int depth) { depth_now = depth; }

extern "C" int set_gfx_mode(int card, int w, int h, int v_w, int v_h) {
    calls.push_back({card, w, h, v_w, v_h, depth_now});
    if (card == GFX_AUTODETECT_FULLSCREEN) return refuse_fullscreen ? -1 : 0;
    if (card == GFX_AUTODETECT_WINDOWED) return refuse_windowed ? -1 : 0;
    return -1;
}

namespace {

void reset(int full, int win) {
    calls.clear();
    depth_now = 0;
    refuse_fullscreen = full;
    refuse_windowed = win;
}

void expect_mode(const ModeCall& c, int card) {
    EXPECT_EQ(c.card, card);
    EXPECT_EQ(c.w, 800);
    EXPECT_EQ(c.h, 600);
    EXPECT_EQ(c.v_w, 0);
    EXPECT_EQ(c.v_h, 0);
    EXPECT_EQ(c.depth, 16) << "colour depth must be set before the mode";
}

TEST(ScreenMode, FullScreenWhenTheDesktopAllowsIt) {
    reset(0, 0);
    EXPECT_TRUE(set_screen_mode());
    ASSERT_EQ(calls.size(), 1u);
    expect_mode(calls[0], GFX_AUTODETECT_FULLSCREEN);
}

TEST(ScreenMode, FallsBackToTheSameModeInAWindow) {
    reset(1, 0);
    EXPECT_TRUE(set_screen_mode());
    ASSERT_EQ(calls.size(), 2u);
    expect_mode(calls[0], GFX_AUTODETECT_FULLSCREEN);
    expect_mode(calls[1], GFX_AUTODETECT_WINDOWED);
}

TEST(ScreenMode, ReportsFailureWhenNeitherCanBeSet) {
    reset(1, 1);
    EXPECT_FALSE(set_screen_mode());
    EXPECT_EQ(calls.size(), 2u);
}

}  // namespace
