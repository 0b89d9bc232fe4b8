// The data file and the fixed text screens: loading, titles, closing, and the closing FLI
// animation with its per-frame callback. Every text goes straight to the screen in a grey level,
// over a black cell (colour 0); texts are single-byte Latin-1 ("\xC4" is the A with umlaut).
#include "data_check.h"
#include "demo.h"

DATAFILE* data = nullptr;

// Allegro itself exports an int named fli_frame (its frame counter), hence the namespace.
namespace anim {
BITMAP* fli_frame = nullptr;  // 800x600, created and cleared for each play
}  // namespace anim

namespace {

void draw_text(int x, int y, int grey, const char* text) {
    textprintf_ex(screen, demo_font, x, y, makecol(grey, grey, grey), 0, "%s", text);
}

}  // namespace

int load_data() {
    // Allegro's loader crashes on a data file cut short: such a file counts as missing.
    data = datafile_file_complete("zivivev.dat") ? load_datafile("zivivev.dat") : nullptr;
    if (data && !datafile_usable(data)) {
        unload_datafile(data);
        data = nullptr;
    }
    return data ? 0 : 1;
}

void release_data() {
    if (data) unload_datafile(data);
    data = nullptr;
    demo_font = nullptr;
}

void show_loading_screen() {
    draw_text(0, 30, 30, "Thinking of ways to calculate PI with abnormal precision...");
    draw_text(0, 65, 30, "Loading some data...");
    // Without the data file the rest of the run is the silent text screens: say why.
    if (load_failed) draw_text(0, 100, 128, status_text);
    rest(6000);
}

void show_title_screens() {
    rest(9000);
    clear_bitmap(screen);
    draw_text(150, 300, 128, "Gr1mP0t4x & bR0kW1Nd");
    rest(7500);
    draw_text(100, 421, 128, "extremely proudly presentsly!");
    rest(10500);
    draw_text(230, 80, 150, "a very specially ZaRkOvIlMe");
    rest(7500);
    draw_text(0, 190, 150, "the journey into KW\xC4X");
}

void show_closing_screen() {
    clear_bitmap(screen);
    draw_text(150, 300, 128, "Get ready to KW\xC4X!!");
    rest(7500);
}

int animation_callback() {
    if (key[KEY_ESC]) return 1;
    blit(anim::fli_frame, screen, 0, 0, 0, 0, 800, 600);
    return 0;
}

void play_animation() {
    anim::fli_frame = create_bitmap(800, 600);
    if (!anim::fli_frame) return;
    clear_bitmap(anim::fli_frame);
    play_memory_fli(data[0].dat, anim::fli_frame, 0, animation_callback);
    destroy_bitmap(anim::fli_frame);
    anim::fli_frame = nullptr;
}
