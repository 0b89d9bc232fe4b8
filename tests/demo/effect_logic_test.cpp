// The effect section's arithmetic without a screen: the two angle state machines and their
// hand-overs, the bar and band positions through Allegro's fix rounding, the bar greys and the
// fixed-step catch-up pass.
#include "effect_logic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace {

struct Machine {
    float angle = 0.0f;
    bool rising = true;
    bool falling = false;
};

struct Trace {
    std::vector<int> to_falling;  // step numbers (from 1) that handed over to falling
    std::vector<int> to_rising;   // step numbers that handed back to rising
    std::vector<float> angles;    // angle after each step
};

Trace run_steps(float rise, float fall, int steps) {
    Machine m;
    Trace t;
    for (int s = 1; s <= steps; ++s) {
        bool was_rising = m.rising;
        phase_step(m.angle, m.rising, m.falling, rise, fall);
        EXPECT_NE(m.rising, m.falling) << "exactly one flag after step " << s;
        if (was_rising && m.falling) t.to_falling.push_back(s);
        if (!was_rising && m.rising) t.to_rising.push_back(s);
        t.angles.push_back(m.angle);
    }
    return t;
}

// Both machines: hand-over steps, the first falling value, 0 held for exactly one step, and the
// period, over several periods so drift in the float sums would show.
void check_machine(float rise, float fall, int rising_steps, int falling_steps) {
    const int period = rising_steps + falling_steps;
    Trace t = run_steps(rise, fall, 5 * period);
    ASSERT_EQ(t.to_falling.size(), 5u);
    ASSERT_EQ(t.to_rising.size(), 5u);
    EXPECT_FLOAT_EQ(t.angles[0], rise);
    for (int k = 0; k < 5; ++k) {
        int up = k * period + rising_steps;
        int down = (k + 1) * period;
        EXPECT_EQ(t.to_falling[k], up) << "period " << k;
        EXPECT_EQ(t.to_rising[k], down) << "period " << k;
        EXPECT_EQ(t.angles[up - 1], 360.0f - fall) << "first falling value, period " << k;
        EXPECT_EQ(t.angles[down - 1], 0.0f) << "handed back at exactly 0, period " << k;
        if (down < int(t.angles.size())) {
            EXPECT_EQ(t.angles[down], rise) << "the step after the hand-back adds rise";
        }
    }
    float top = *std::max_element(t.angles.begin(), t.angles.end());
    EXPECT_LT(top, 360.0f) << "360 is never held";
}

TEST(PhaseStep, BarsRise144FallFor239PeriodIs383) { check_machine(kBarRise, kBarFall, 144, 239); }

TEST(PhaseStep, TextRises48FallsFor143PeriodIs191) {
    check_machine(kSwingRise, kSwingFall, 48, 143);
}

TEST(PhaseStep, HandOverThresholdIs359NotThe360Mark) {
    // 358.0 + 1.0 reaches 359 exactly: that counts as the top.
    float angle = 358.0f;
    bool rising = true, falling = false;
    phase_step(angle, rising, falling, 1.0f, 2.0f);
    EXPECT_TRUE(falling);
    EXPECT_FALSE(rising);
    EXPECT_EQ(angle, 358.0f);
    // A falling value that lands slightly below zero is clamped to 0 and hands back.
    angle = 1.0f;
    phase_step(angle, rising, falling, 1.0f, 2.0f);
    EXPECT_EQ(angle, 0.0f);
    EXPECT_TRUE(rising);
    EXPECT_FALSE(falling);
}

TEST(BarTop, CentreExtremesAndRoundingToNearest) {
    EXPECT_EQ(bar_top_for(0.0f), 250);
    EXPECT_EQ(bar_top_for(64.0f), 281);   // a quarter turn: sin 1 * 30.8 rounds to 31
    EXPECT_EQ(bar_top_for(192.0f), 219);  // three quarters: -31
    EXPECT_EQ(bar_top_for(320.0f), 281);  // angles beyond a turn wrap
    // sin(2.5/256 turn) * 30.8 = 1.889: rounds to 2 where truncation would give 1.
    EXPECT_EQ(bar_top_for(2.5f), 252);
    // sin(130/256 turn) * 30.8 = -1.511: rounds to -2 where truncation would give -1.
    EXPECT_EQ(bar_top_for(130.0f), 248);
}

TEST(BarTop, EveryStepOfAPeriodStaysWithin219To281AndReachesBoth) {
    Trace t = run_steps(kBarRise, kBarFall, 383);
    int lo = 1000, hi = -1000;
    for (float a : t.angles) {
        lo = std::min(lo, bar_top_for(a));
        hi = std::max(hi, bar_top_for(a));
    }
    EXPECT_EQ(lo, 219);
    EXPECT_EQ(hi, 281);
}

TEST(SwingX, LeftEdgeAndRange) {
    EXPECT_EQ(swing_x_for(0.0f), 101);
    EXPECT_EQ(swing_x_for(0.0f) - 80, 21);  // the band's left edge at angle 0
    EXPECT_EQ(swing_x_for(128.0f), -101);
    EXPECT_EQ(swing_x_for(64.0f), 0);
    // cos(7.5/256 turn) * 100.8 = 99.10: rounds to 99.
    EXPECT_EQ(swing_x_for(7.5f), 99);
    Trace t = run_steps(kSwingRise, kSwingFall, 191);
    int lo = 1000, hi = -1000;
    for (float a : t.angles) {
        lo = std::min(lo, swing_x_for(a));
        hi = std::max(hi, swing_x_for(a));
    }
    EXPECT_EQ(lo, -101);
    EXPECT_EQ(hi, 101);
}

TEST(BarGrey, TwelveLevelsPeakAtTheSeventhLine) {
    const std::array<int, 12> want = {55, 78, 101, 124, 147, 170, 193, 170, 147, 124, 101, 78};
    ASSERT_EQ(kBarLines, 12);
    for (int i = 0; i < kBarLines; ++i) EXPECT_EQ(bar_grey(i), want[i]) << "line " << i;
}

TEST(CatchUp, RunsOneStepPerTickThenClearsTheCounter) {
    std::atomic<int> ticks{2430};
    int steps = 0;
    EXPECT_EQ(run_pending_steps(ticks, [&] { ++steps; }), 2430);
    EXPECT_EQ(steps, 2430);
    EXPECT_EQ(ticks.load(), 0);

    steps = 0;
    EXPECT_EQ(run_pending_steps(ticks, [&] { ++steps; }), 0);
    EXPECT_EQ(steps, 0);
}

TEST(CatchUp, TicksArrivingDuringTheStepsAreDropped) {
    std::atomic<int> ticks{3};
    int steps = 0;
    // Every step takes long enough for two more ticks to arrive.
    int ran = run_pending_steps(ticks, [&] {
        ++steps;
        ticks += 2;
    });
    EXPECT_EQ(ran, 3);
    EXPECT_EQ(steps, 3);
    EXPECT_EQ(ticks.load(), 0) << "ticks counted during the pass must not carry over";
    // Ticks arriving after the pass (during the frame draw) are run by the next pass.
    ticks += 4;
    EXPECT_EQ(run_pending_steps(ticks, [&] { ++steps; }), 4);
}

}  // namespace
