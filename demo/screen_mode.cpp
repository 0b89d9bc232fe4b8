// The demo's screen: 800x600 in 16-bit colour, full screen first; a desktop that refuses the
// mode (or has no full-screen driver) gets the same mode in a window. When neither can be set,
// the caller reports allegro_error and stops instead of drawing on a screen that is not there.
#include "demo.h"

bool set_screen_mode() {
    set_color_depth(16);
    if (set_gfx_mode(GFX_AUTODETECT_FULLSCREEN, 800, 600, 0, 0) == 0) return true;
    return set_gfx_mode(GFX_AUTODETECT_WINDOWED, 800, 600, 0, 0) == 0;
}
