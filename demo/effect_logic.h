// The arithmetic of the effect section, free of any screen: the two-phase angle step shared by
// the copper bars and the text scroller, the bar and band positions evaluated through Allegro's
// fix arithmetic, the bars' grey levels and the fixed-step catch-up pass. Angles are in Allegro
// units (256 to a full turn); positions are pixels of the 800x600 back buffer.
#pragma once

#include <atomic>

constexpr float kBarRise = 2.5f;
constexpr float kBarFall = 1.5f;
constexpr float kSwingRise = 7.5f;
constexpr float kSwingFall = 2.5f;

constexpr int kBarLines = 12;

// One step of a rising/falling angle. The falling block runs in the very step the rising block
// hands over, so 360 is never held; 0 is held for exactly one step.
void phase_step(float& angle, bool& rising, bool& falling, float rise, float fall);

// y of the first bar line for an angle: (int)(sin(fix(angle)) * 30.8) + 250, range 219..281.
int bar_top_for(float bar_angle);

// Horizontal offset of the text band: (int)(cos(fix(angle)) * 100.8), range -101..101.
int swing_x_for(float swing_angle);

// Grey level of bar line i (0..11): starts at 55, grows by 23 while fewer than seven lines are
// drawn, then shrinks by 23; the band peaks at the seventh line and ends at 78.
constexpr int bar_grey(int line) {
    int v = 55;
    for (int drawn = 1; drawn <= line; ++drawn) v += drawn < 7 ? 23 : -23;
    return v;
}
static_assert(bar_grey(0) == 55 && bar_grey(6) == 193 && bar_grey(11) == 78, "bar greys");

// One pass of the fixed-step scheme: runs `step` once per tick counted when the pass began, then
// sets the counter to 0, so ticks that arrive while the steps run are dropped (the effect then
// slows down rather than the frame rate). Returns the number of steps run.
template <class Step>
int run_pending_steps(std::atomic<int>& ticks, Step step) {
    int pending_ticks = ticks.load();
    int ran = 0;
    while (pending_ticks > 0) {
        step();
        --pending_ticks;
        ++ran;
    }
    ticks.store(0);
    return ran;
}
