// The effect section's frame: the background picture, twelve grey copper bars swinging up and
// down on a sine, and a black text band with letter-shaped holes swinging from side to side.
// One update_effects call is one 60 Hz step and redraws all of back_buffer; draw_frame shows it.
#include "demo.h"
#include "effect_logic.h"

namespace {

const char kScrollText[] =
    "YOUR BRAIN MUST BE BIGGER THAN OURS... TO COMPREHEND THE EXPERIENCE OF KW\xC4X!            "
    "WORD!";

// The band's text is drawn in the mask colour, so masked_blit leaves holes where the glyphs are.
int mask_red = 255;
int mask_green = 0;
int mask_blue = 255;

}  // namespace

float bar_angle;
bool bar_rising;
bool bar_falling;
int bar_top;
float swing_angle;
bool swing_rising;
bool swing_falling;
int swing_x;

void reset_effects() {
    bar_top = 0;
    bar_angle = 0.0f;
    bar_rising = true;
    bar_falling = false;
    swing_x = 0;
    swing_angle = 0.0f;
    swing_rising = true;
    swing_falling = false;
}

void draw_bars() {
    phase_step(bar_angle, bar_rising, bar_falling, kBarRise, kBarFall);
    bar_top = bar_top_for(bar_angle);
    for (int i = 0; i < kBarLines; ++i) {
        int v = bar_grey(i);
        hline(back_buffer, 0, bar_top + i, 800, makecol(v, v, v));
    }
}

void draw_swing_text() {
    phase_step(swing_angle, swing_rising, swing_falling, kSwingRise, kSwingFall);
    swing_x = swing_x_for(swing_angle);
    int mask = makecol(mask_red, mask_green, mask_blue);
    clear_to_color(swing_bitmap, mask);
    textprintf_ex(swing_bitmap, demo_font, 0, 0, mask, 0, "%s", kScrollText);
    masked_blit(swing_bitmap, back_buffer, 0, 0, swing_x - 80, 40, 1024, 32);
}

void update_effects() {
    blit(static_cast<BITMAP*>(data[2].dat), back_buffer, 0, 0, 0, 0, 800, 600);
    draw_bars();
    draw_swing_text();
}

void draw_frame() {
    vsync();
    acquire_screen();
    blit(back_buffer, screen, 0, 0, 0, 0, 800, 600);
    release_screen();
}
