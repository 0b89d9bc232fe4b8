// The background picture: a night sky over a mountain ridge, 800x600, 24-bit. A dark blue to
// violet gradient, an aurora along the top, a nebula cloud, a field of stars (a few with halos)
// and two ridges of hills with a faint haze. Dark around the grey bars so they stand out,
// bright behind the scroller band, whose letters show the picture through black.
#include "datagen.h"
#include "noise.h"

#include <allegro.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr int kW = 800;
constexpr int kH = 600;

struct Rgb {
    double r, g, b;
};

double ridge_height(double x, uint32_t seed, double base, double amp) {
    return base - amp * (fbm(x / 180.0, 0.5, 5, seed) - 0.5) * 2.0 - amp * 0.4 * std::sin(x / 130.0 + seed);
}

}  // namespace

int gen_back(const char* path) {
    std::vector<Rgb> img(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const double t = double(y) / kH;
            Rgb c{0.02 + 0.10 * t * t, 0.02 + 0.04 * t, 0.10 + 0.16 * t};
            // Nebula: a warped fractal cloud, magenta at its core and teal at its rim.
            const double wx = fbm(x / 260.0, y / 260.0, 3, 7) * 2.0;
            const double n = fbm(x / 210.0 + wx, y / 170.0 + wx * 0.5, 6, 11);
            const double band = std::exp(-std::pow((y - 230.0 - 80.0 * std::sin(x / 240.0)) / 170.0, 2.0));
            const double cloud = std::max(0.0, n - 0.42) * 2.4 * band;
            const double core = std::max(0.0, n - 0.58) * 3.0 * band;
            c.r += 0.50 * cloud + 0.45 * core;
            c.g += 0.22 * cloud * (1.0 - core) + 0.10 * core;
            c.b += 0.55 * cloud + 0.30 * core;
            // Aurora: a bright ribbon at the height of the scroller band (y 40-56), whose letters
            // are holes in black, so they glow in its colours. Curtains hang from it.
            const double centre = 50.0 + 9.0 * std::sin(x / 95.0) + 5.0 * std::sin(x / 41.0 + 1.3);
            const double across = (y - centre) / (y < centre ? 34.0 : 16.0);
            const double curtain = 0.55 + 0.45 * fbm(x / 9.0, y / 240.0, 3, 71);
            const double glow = std::exp(-across * across) * curtain * (0.75 + 0.25 * std::sin(x / 60.0));
            const double up = std::clamp((centre - y) / 40.0, 0.0, 1.0);  // green below, violet above
            c.r += glow * (0.15 + 0.55 * up);
            c.g += glow * (0.85 - 0.65 * up);
            c.b += glow * (0.55 + 0.15 * up);
            const double dust = fbm(x / 60.0, y / 60.0, 4, 23);
            const double dim = 1.0 - 0.45 * std::max(0.0, dust - 0.5) * 2.0 * band;
            c.r *= dim;
            c.g *= dim;
            c.b *= dim;
            img[size_t(y) * kW + x] = c;
        }

    Rng rng{0x5EED5EEDu};
    for (int i = 0; i < 1400; ++i) {
        const int x = int(rng.unit() * kW), y = int(rng.unit() * kH * 0.85);
        const double m = std::pow(rng.unit(), 3.0) * 0.9 + 0.1;
        const double tint = rng.unit();
        Rgb& p = img[size_t(y) * kW + x];
        p.r += m * (0.85 + 0.15 * tint);
        p.g += m * 0.85;
        p.b += m * (1.0 - 0.15 * tint);
    }
    for (int i = 0; i < 24; ++i) {
        const double sx = rng.unit() * kW, sy = rng.unit() * kH * 0.75;
        const double m = 0.5 + 0.5 * rng.unit();
        for (int y = int(sy) - 14; y <= int(sy) + 14; ++y)
            for (int x = int(sx) - 14; x <= int(sx) + 14; ++x) {
                if (x < 0 || y < 0 || x >= kW || y >= kH) continue;
                const double dx = x - sx, dy = y - sy;
                const double d2 = dx * dx + dy * dy;
                double v = m * std::exp(-d2 / 3.0) + 0.25 * m * std::exp(-d2 / 40.0);
                if (std::fabs(dx) < 0.8 || std::fabs(dy) < 0.8) v += 0.3 * m * std::exp(-std::sqrt(d2) / 5.0);
                Rgb& p = img[size_t(y) * kW + x];
                p.r += v * 0.9;
                p.g += v * 0.92;
                p.b += v;
            }
    }

    // Two ridges: the far one bluish with haze above it, the near one almost black.
    for (int x = 0; x < kW; ++x) {
        const double far_top = ridge_height(x, 31, 480.0, 45.0);
        const double near_top = ridge_height(x + 1000, 47, 545.0, 35.0);
        for (int y = 0; y < kH; ++y) {
            Rgb& p = img[size_t(y) * kW + x];
            if (y >= near_top) {
                const double k = std::min(1.0, (y - near_top) / 60.0);
                p = {0.015 + 0.01 * (1 - k), 0.012, 0.035 - 0.01 * k};
            } else if (y >= far_top) {
                const double k = std::min(1.0, (y - far_top) / 90.0);
                const double tex = fbm(x / 25.0, y / 25.0, 3, 59) * 0.03;
                p = {0.06 - 0.03 * k + tex, 0.05 - 0.025 * k + tex, 0.13 - 0.06 * k + tex};
            } else {
                const double haze = std::exp(-(far_top - y) / 40.0) * 0.12;
                p.r += haze * 0.8;
                p.g += haze * 0.5;
                p.b += haze;
            }
        }
    }

    BITMAP* bmp = create_bitmap_ex(24, kW, kH);
    if (!bmp) return 1;
    // An ordered 4x4 dither hides the banding of the dark gradients.
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const Rgb& p = img[size_t(y) * kW + x];
            const double d = (bayer[y & 3][x & 3] + 0.5) / 16.0;
            auto q = [&](double v) { return std::clamp(int(v * 255.0 + d), 0, 255); };
            putpixel(bmp, x, y, makecol24(q(p.r), q(p.g), q(p.b)));
        }
    int r = save_bitmap(path, bmp, nullptr);
    destroy_bitmap(bmp);
    return r == 0 ? 0 : 1;
}
