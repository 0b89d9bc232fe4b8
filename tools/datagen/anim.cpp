// The closing animation: a chequered tunnel rushing forward and twisting, with the bouncing
// logo "KWÄX!" over it, 800x600, 96 frames at 50 ms (4.8 s), looping seamlessly.
// The tunnel never changes a pixel: each index encodes a depth phase, an angle phase and a
// brightness level, and the motion is all palette. Indices 0-191 are the tunnel
// (level * 64 + depth * 8 + angle), 192 is black, 193-255 the logo's colour bands. Only the
// logo's letters move, so a frame costs its palette and the letters' edges.
#include "datagen.h"
#include "flc_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kW = 800;
constexpr int kH = 600;
constexpr int kFrames = 96;
constexpr int kMsPerFrame = 50;
constexpr int kLevels = 3;
constexpr int kBlack = 192;
constexpr int kBands = 63;
constexpr int kBandBase = 193;
constexpr int kGlyph = 128;        // letters are the 8x8 glyphs doubled four times
constexpr int kGlyphH = 160;       // on a cell two rows taller
constexpr int kLetterStep = 112;   // advance from letter to letter
constexpr int kBobPeriod = 48;     // frames per bounce; divides kFrames
constexpr double kPi = 3.14159265358979323846;

struct Letter {
    std::vector<uint8_t> fill;     // kGlyph x kGlyphH
    std::vector<uint8_t> outline;  // fill grown by three pixels, minus fill
};

// Letters sit on an 8x10 cell, two rows lower than the font's, so that Ä can wear its dots
// above a full-size A (the 8x8 font's Ä is a small one).
Letter make_letter(int c) {
    uint8_t m[64];
    glyph8(c == 0xC4 ? 'A' : c, m);
    std::vector<uint8_t> g(8 * 10, 0);
    std::copy(m, m + 64, g.begin() + 16);
    if (c == 0xC4) g[1] = g[2] = g[4] = g[5] = 1;
    int w = 8, h = 10;
    for (int i = 0; i < 4; ++i, w *= 2, h *= 2) g = scale2x(g, w, h);
    Letter l{g, std::vector<uint8_t>(g.size(), 0)};
    for (int y = 0; y < kGlyphH; ++y)
        for (int x = 0; x < kGlyph; ++x) {
            if (g[y * kGlyph + x]) continue;
            bool near = false;
            for (int dy = -3; dy <= 3 && !near; ++dy)
                for (int dx = -3; dx <= 3 && !near; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (dx * dx + dy * dy <= 10 && xx >= 0 && yy >= 0 && xx < kGlyph && yy < kGlyphH)
                        near = g[yy * kGlyph + xx] != 0;
                }
            l.outline[y * kGlyph + x] = near;
        }
    return l;
}

// The static tunnel: index per pixel, or kBlack in the far centre.
std::vector<uint8_t> tunnel_indices() {
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    std::vector<uint8_t> px(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const double dx = x - kW / 2 + 0.5, dy = (y - kH / 2 + 0.5) * 1.1;
            const double r = std::sqrt(dx * dx + dy * dy);
            const double depth = 2400.0 / r;
            const double angle = (std::atan2(dy, dx) / (2 * kPi) + 0.5) * 64.0 + depth * 0.35;
            const double light = std::clamp((r - 40.0) / 260.0, 0.0, 1.0) * (kLevels - 0.01);
            const int level = std::min(kLevels - 1, int(light + (bayer[y & 3][x & 3] + 0.5) / 16.0 - 0.5));
            uint8_t v;
            if (r < 38.0 || light + (bayer[y & 3][x & 3] + 0.5) / 16.0 < 0.6) {
                v = kBlack;
            } else {
                const int d = int(std::floor(depth)) & 7, a = int(std::floor(angle)) & 7;
                v = uint8_t(std::max(0, level) * 64 + d * 8 + a);
            }
            px[size_t(y) * kW + x] = v;
        }
    return px;
}

void hsv(double h, double s, double v, uint8_t* rgb) {
    h = (h - std::floor(h)) * 6.0;
    const int i = int(h);
    const double f = h - i, p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    double r, g, b;
    switch (i) {
        case 0: r = v; g = t; b = p; break;
        case 1: r = q; g = v; b = p; break;
        case 2: r = p; g = v; b = t; break;
        case 3: r = p; g = q; b = v; break;
        case 4: r = t; g = p; b = v; break;
        default: r = v; g = p; b = q; break;
    }
    rgb[0] = uint8_t(std::clamp(int(r * 255.0 + 0.5), 0, 255));
    rgb[1] = uint8_t(std::clamp(int(g * 255.0 + 0.5), 0, 255));
    rgb[2] = uint8_t(std::clamp(int(b * 255.0 + 0.5), 0, 255));
}

void frame_palette(int t, uint8_t* pal) {
    const double phase = double(t) / kFrames;
    // The tunnel moves one depth phase a frame and swings back and forth around its axis.
    const int shift_d = t;
    const int shift_a = int(std::lround(10.0 * std::sin(2 * kPi * phase)));
    const double hue = 0.62 + 0.18 * std::sin(2 * kPi * phase);
    static const double level_gain[kLevels] = {0.28, 0.58, 1.0};
    for (int level = 0; level < kLevels; ++level)
        for (int d = 0; d < 8; ++d)
            for (int a = 0; a < 8; ++a) {
                const int pd = (d + shift_d) & 7, pa = (a + shift_a) & 7;
                const bool lit = (pd < 4) != (pa < 4);
                // A soft bevel across each cell in both directions.
                const double bevel = 0.75 + 0.25 * std::sin(kPi * ((pd & 3) + 0.5) / 4.0) *
                                                std::sin(kPi * ((pa & 3) + 0.5) / 4.0);
                const double v = (lit ? 0.95 : 0.42) * bevel * level_gain[level];
                hsv(lit ? hue : hue + 0.45, lit ? 0.55 : 0.8, v, pal + 3 * (level * 64 + d * 8 + a));
            }
    pal[3 * kBlack] = pal[3 * kBlack + 1] = pal[3 * kBlack + 2] = 0;
    // The logo's bands: a rainbow flowing down through the letters, two turns per loop.
    for (int i = 0; i < kBands; ++i) {
        const double h = double(i) / kBands - 2.0 * phase;
        const double sheen = 0.8 + 0.2 * std::cos(2 * kPi * i * 3.0 / kBands);
        hsv(h, 0.65, sheen, pal + 3 * (kBandBase + i));
    }
}

}  // namespace

int gen_anim(const char* path) {
    static const int text[] = {'K', 'W', 0xC4, 'X', '!'};
    constexpr int kLetters = int(sizeof text / sizeof text[0]);
    std::vector<Letter> letters;
    for (int c : text) letters.push_back(make_letter(c));
    const std::vector<uint8_t> tunnel = tunnel_indices();
    const int left = (kW - (kLetters - 1) * kLetterStep - kGlyph) / 2;

    FlcWriter w;
    flc_begin(&w, kW, kH, kMsPerFrame);
    std::vector<uint8_t> frame(tunnel.size());
    uint8_t pal[768];
    for (int t = 0; t < kFrames; ++t) {
        frame = tunnel;
        for (int i = 0; i < kLetters; ++i) {
            const double a = 2 * kPi * (double(t) / kBobPeriod - i * 0.14);
            const int x0 = left + i * kLetterStep;
            const int y0 = kH / 2 - kGlyphH / 2 + int(std::lround(70.0 * std::sin(a)));
            const Letter& l = letters[i];
            // Shadow first: the tunnel under it drops to its darkest level.
            for (int y = 0; y < kGlyphH; ++y)
                for (int x = 0; x < kGlyph; ++x) {
                    if (!l.fill[y * kGlyph + x] && !l.outline[y * kGlyph + x]) continue;
                    const int sx = x0 + x + 14, sy = y0 + y + 14;
                    if (sx < 0 || sy < 0 || sx >= kW || sy >= kH) continue;
                    uint8_t& p = frame[size_t(sy) * kW + sx];
                    if (p < kBlack) p = uint8_t(p % 64);
                }
            for (int y = 0; y < kGlyphH; ++y)
                for (int x = 0; x < kGlyph; ++x) {
                    const int sx = x0 + x, sy = y0 + y;
                    if (sx < 0 || sy < 0 || sx >= kW || sy >= kH) continue;
                    uint8_t& p = frame[size_t(sy) * kW + sx];
                    if (l.outline[y * kGlyph + x]) p = kBlack;
                    else if (l.fill[y * kGlyph + x]) p = uint8_t(kBandBase + (sy / 3) % kBands);
                }
        }
        frame_palette(t, pal);
        flc_add_frame(&w, frame.data(), pal);
    }
    const std::vector<uint8_t>& bytes = flc_finish(&w);
    FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
