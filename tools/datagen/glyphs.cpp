// Glyph shapes shared by the font sheet and the animation's logo: Allegro's built-in 8x8 font,
// rendered headless, and the Scale2x enlarger that keeps diagonals smooth.
#include "datagen.h"

#include <allegro.h>

#include <cstring>

bool glyph8(int c, uint8_t out[64]) {
    // Allegro draws a '^' for codes its font lacks; compare against it to tell them apart.
    auto render = [](int code, uint8_t dst[64]) {
        BITMAP* b = create_bitmap_ex(8, 8, 8);
        clear_to_color(b, 0);
        char s[2] = {char(code), 0};
        textout_ex(b, font, s, 0, 0, 1, 0);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) dst[y * 8 + x] = getpixel(b, x, y) == 1;
        destroy_bitmap(b);
    };
    render(c, out);
    if (c == '^') return true;
    uint8_t missing[64];
    render('^', missing);
    return std::memcmp(out, missing, 64) != 0;
}

std::vector<uint8_t> scale2x(const std::vector<uint8_t>& in, int w, int h) {
    auto at = [&](int x, int y) -> uint8_t {
        return (x < 0 || y < 0 || x >= w || y >= h) ? 0 : in[size_t(y) * w + x];
    };
    std::vector<uint8_t> out(size_t(4) * w * h);
    const int ow = 2 * w;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t b = at(x, y - 1), d = at(x - 1, y), e = at(x, y), f = at(x + 1, y), hh = at(x, y + 1);
            uint8_t e0 = e, e1 = e, e2 = e, e3 = e;
            if (b != hh && d != f) {
                e0 = d == b ? d : e;
                e1 = b == f ? f : e;
                e2 = d == hh ? d : e;
                e3 = hh == f ? f : e;
            }
            out[size_t(2 * y) * ow + 2 * x] = e0;
            out[size_t(2 * y) * ow + 2 * x + 1] = e1;
            out[size_t(2 * y + 1) * ow + 2 * x] = e2;
            out[size_t(2 * y + 1) * ow + 2 * x + 1] = e3;
        }
    return out;
}
