// The font sheet: codes 0x20-0xFF in rows of 16 boxes, 16 pixels high, each box as wide as its
// glyph plus a pixel either side. Index 0 is the background, 255 the grid, 1 the only ink, so
// dat builds a monochrome font (text colour and text mode apply) with proportional widths.
// Glyphs are Allegro's 8x8 font doubled with Scale2x; 0x80-0x9F, which have no glyph, get a box.
#include "datagen.h"

#include <allegro.h>

#include <algorithm>

namespace {

constexpr int kFirst = 0x20;
constexpr int kLast = 0xFF;
constexpr int kPerRow = 16;
constexpr int kHeight = 16;
constexpr int kSpaceWidth = 10;
constexpr int kGrid = 255;
constexpr int kInk = 1;

struct Glyph {
    int width;
    uint8_t px[kHeight][kHeight + 2];  // ink spans up to 16 columns plus the padding
};

Glyph make_glyph(int c) {
    Glyph g{};
    if (c >= 0x80 && c < 0xA0) {
        g.width = 12;
        for (int y = 2; y < 14; ++y)
            for (int x = 1; x < 11; ++x) g.px[y][x] = (y == 2 || y == 13 || x == 1 || x == 10);
        return g;
    }
    uint8_t m[64];
    if (!glyph8(c, m)) std::fill(m, m + 64, 0);
    std::vector<uint8_t> big = scale2x(std::vector<uint8_t>(m, m + 64), 8, 8);
    int lo = kHeight, hi = -1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kHeight; ++x)
            if (big[y * kHeight + x]) { lo = std::min(lo, x); hi = std::max(hi, x); }
    if (hi < 0) {
        g.width = kSpaceWidth;
        return g;
    }
    g.width = hi - lo + 3;
    for (int y = 0; y < kHeight; ++y)
        for (int x = lo; x <= hi; ++x) g.px[y][x - lo + 1] = big[y * kHeight + x];
    return g;
}

}  // namespace

int gen_font(const char* path) {
    std::vector<Glyph> glyphs;
    for (int c = kFirst; c <= kLast; ++c) glyphs.push_back(make_glyph(c));
    const int rows = int(glyphs.size() + kPerRow - 1) / kPerRow;
    int sheet_w = 0;
    for (int r = 0; r < rows; ++r) {
        int w = 1;
        for (int i = r * kPerRow; i < std::min<int>((r + 1) * kPerRow, int(glyphs.size())); ++i)
            w += glyphs[i].width + 1;
        sheet_w = std::max(sheet_w, w);
    }
    BITMAP* sheet = create_bitmap_ex(8, sheet_w, 1 + rows * (kHeight + 1));
    if (!sheet) return 1;
    clear_to_color(sheet, kGrid);
    for (int r = 0; r < rows; ++r) {
        int x0 = 1;
        const int y0 = 1 + r * (kHeight + 1);
        for (int i = r * kPerRow; i < std::min<int>((r + 1) * kPerRow, int(glyphs.size())); ++i) {
            const Glyph& g = glyphs[i];
            for (int y = 0; y < kHeight; ++y)
                for (int x = 0; x < g.width; ++x) putpixel(sheet, x0 + x, y0 + y, g.px[y][x] ? kInk : 0);
            x0 += g.width + 1;
        }
    }
    PALETTE pal;
    for (int i = 0; i < 256; ++i) pal[i].r = pal[i].g = pal[i].b = 0;
    pal[kInk].r = pal[kInk].g = pal[kInk].b = 63;
    pal[kGrid].r = 63;
    pal[kGrid].b = 63;
    int r = save_bitmap(path, sheet, pal);
    destroy_bitmap(sheet);
    return r == 0 ? 0 : 1;
}
