// Deterministic noise for the generators: an integer hash, lattice value noise and its fractal
// sum. Same inputs, same bits, on every build.
#pragma once

#include <cmath>
#include <cstdint>

inline uint32_t hash32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

inline uint32_t hash2(int x, int y, uint32_t seed) {
    return hash32(uint32_t(x) * 0x9E3779B1U ^ hash32(uint32_t(y) + seed * 0x85EBCA77U));
}

// Uniform in [0, 1).
inline double hash_unit(uint32_t h) { return double(h >> 8) * (1.0 / 16777216.0); }

inline double value_noise(double x, double y, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y);
    const int ix = int(fx), iy = int(fy);
    double tx = x - fx, ty = y - fy;
    tx = tx * tx * (3.0 - 2.0 * tx);
    ty = ty * ty * (3.0 - 2.0 * ty);
    const double a = hash_unit(hash2(ix, iy, seed)), b = hash_unit(hash2(ix + 1, iy, seed));
    const double c = hash_unit(hash2(ix, iy + 1, seed)), d = hash_unit(hash2(ix + 1, iy + 1, seed));
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

// Fractal sum of `octaves` layers, each twice the frequency and half the weight; in [0, 1).
inline double fbm(double x, double y, int octaves, uint32_t seed) {
    double sum = 0.0, weight = 0.5, norm = 0.0;
    for (int o = 0; o < octaves; ++o) {
        sum += weight * value_noise(x, y, seed + uint32_t(o) * 101U);
        norm += weight;
        x *= 2.0;
        y *= 2.0;
        weight *= 0.5;
    }
    return sum / norm;
}

// xorshift32: the generators' one source of randomness, always with a fixed seed.
struct Rng {
    uint32_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    double unit() { return hash_unit(next()); }
};
