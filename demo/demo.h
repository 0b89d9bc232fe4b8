// Program-wide state of the demo and the functions of its timeline. Everything here is used by
// the main thread only, except the two counters, which Allegro's timer thread increments.
// The data file owns the font and every other object taken from it.
#pragma once

#include <allegro.h>

#include <atomic>

extern DATAFILE* data;         // zivivev.dat: 0 FLI, 1 font, 2 background, 3 MP3 bytes
extern FONT* demo_font;        // object 1 of data, or Allegro's built-in font without a data file
extern BITMAP* back_buffer;    // 800x600, the frame every effect step redraws
extern BITMAP* swing_bitmap;   // 1024x32, the scroller's text band
extern int load_failed;        // 1 when zivivev.dat did not load
extern const char* status_text;  // what went wrong, shown on the loading screen after a failure

// Written by the timer thread, read and reset by the main thread; no lock is taken.
extern std::atomic<int> logic_ticks;  // 60 Hz ticks not yet consumed by the effect loop
extern std::atomic<int> seconds;      // 1 Hz ticks since the effect section began

extern float bar_angle;
extern bool bar_rising;
extern bool bar_falling;
extern int bar_top;
extern float swing_angle;
extern bool swing_rising;
extern bool swing_falling;
extern int swing_x;

// screen_mode.cpp: 16-bit 800x600, full screen or else windowed; false when neither is set.
bool set_screen_mode();

// effects.cpp
void reset_effects();
void update_effects();
void draw_bars();
void draw_swing_text();
void draw_frame();

// screens.cpp
int load_data();
void release_data();
void show_loading_screen();
void show_title_screens();
void show_closing_screen();
void play_animation();
int animation_callback();

// music.cpp: the soundtrack's start and stop; start_music always returns 0.
int start_music();
void stop_music();
