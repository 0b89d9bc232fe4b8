// ziv_datagen KIND OUTPUT: writes one source object of zivivev.dat (anim, font, back, music).
// Runs headless: Allegro is installed with no system driver, so no display or sound is needed.
#include "datagen.h"

#include <allegro.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ziv_datagen anim|font|back|music OUTPUT\n");
        return 2;
    }
    set_uformat(U_ASCII);  // text is Latin-1 bytes, as in the demo
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
        std::fprintf(stderr, "ziv_datagen: Allegro could not start\n");
        return 1;
    }
    set_color_conversion(COLORCONV_NONE);
    const char* kind = argv[1];
    int r = 2;
    if (!std::strcmp(kind, "anim")) r = gen_anim(argv[2]);
    else if (!std::strcmp(kind, "font")) r = gen_font(argv[2]);
    else if (!std::strcmp(kind, "back")) r = gen_back(argv[2]);
    else if (!std::strcmp(kind, "music")) r = gen_music(argv[2]);
    else std::fprintf(stderr, "ziv_datagen: unknown kind '%s'\n", kind);
    if (r != 0) std::fprintf(stderr, "ziv_datagen: %s failed\n", kind);
    return r;
}
END_OF_MAIN()
