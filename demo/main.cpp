// The demo's entry and timeline: Allegro start-up, the loading and title screens, the 40-second
// effect section paced by a 60 Hz tick counter and a 1 Hz second counter, the closing screen
// with five animation plays, and the shutdown. Returns 0 after a full run, 1 when zivivev.dat
// did not load (the text screens still run, drawn with Allegro's own font), 2 when no screen.
#include "demo.h"
#include "effect_logic.h"

#include <cstdio>

FONT* demo_font = nullptr;
BITMAP* back_buffer = nullptr;
BITMAP* swing_bitmap = nullptr;
int load_failed = 0;

namespace {
const char kStatusNoError[] = "There is no error at this time *joy!*";
const char kStatusLoaded[] = "Fine, the data file is loaded.";
const char kStatusDataError[] = "Ok, fine... Somehting went terribly wrong. Data File Error";
}  // namespace
const char* status_text = kStatusNoError;

// The timer thread only increments these; the counters must be plain lock-free words so that
// a handler never waits on the main thread.
std::atomic<int> logic_ticks{0};
std::atomic<int> seconds{0};
static_assert(std::atomic<int>::is_always_lock_free, "timer counters must be lock-free");
static_assert(sizeof(std::atomic<int>) == sizeof(int), "timer counters are single words");
static_assert(BPS_TO_TIMER(60) == 19886 && SECS_TO_TIMER(1) == 1193181, "timer periods");

namespace {

void tick_handler() { ++logic_ticks; }

void second_handler() { ++seconds; }

bool create_bitmaps() {
    back_buffer = create_bitmap(800, 600);
    swing_bitmap = create_bitmap(1024, 32);
    return back_buffer && swing_bitmap;
}

void destroy_bitmaps() {
    if (back_buffer) destroy_bitmap(back_buffer);
    if (swing_bitmap) destroy_bitmap(swing_bitmap);
    back_buffer = nullptr;
    swing_bitmap = nullptr;
}

void run_effect_section() {
    install_int_ex(second_handler, SECS_TO_TIMER(1));
    while (seconds < 40) {
        run_pending_steps(logic_ticks, update_effects);
        draw_frame();
    }
}

}  // namespace

int main() {
    // Every text of the demo is 8-bit Latin-1; Allegro's default would read it as UTF-8.
    set_uformat(U_ASCII);
    if (allegro_init() != 0) {
        std::fprintf(stderr, "zivivev: Allegro could not start: %s\n",
                     allegro_error[0] ? allegro_error : "no display (is DISPLAY set?)");
        return 2;
    }
    install_timer();
    install_keyboard();
    if (!set_screen_mode()) {
        std::fprintf(stderr, "zivivev: cannot set an 800x600 16-bit screen: %s\n", allegro_error);
        allegro_exit();
        return 2;
    }
    clear_to_color(screen, makecol(0, 0, 0));
    set_volume_per_voice(0);
    install_sound(DIGI_AUTODETECT, MIDI_NONE, nullptr);

    logic_ticks = 0;
    reset_effects();
    install_int_ex(tick_handler, BPS_TO_TIMER(60));

    int exit_code = 0;
    if (!create_bitmaps()) {
        std::fprintf(stderr, "zivivev: out of memory for the frame bitmaps\n");
        destroy_bitmaps();
        allegro_exit();
        return 2;
    }
    load_failed = load_data();
    if (load_failed == 0) {
        status_text = kStatusLoaded;
        demo_font = static_cast<FONT*>(data[1].dat);
    } else {
        status_text = kStatusDataError;
        demo_font = font;
        std::fprintf(stderr, "zivivev: %s (zivivev.dat in the current directory)\n", status_text);
        exit_code = 1;
    }
    show_loading_screen();
    if (load_failed == 0) load_failed = start_music();
    show_title_screens();
    if (load_failed == 0) {
        run_effect_section();
        show_closing_screen();
        for (int play = 0; play < 5; ++play) play_animation();
    }

    destroy_bitmaps();
    stop_music();
    release_data();
    return exit_code;
}
END_OF_MAIN()
