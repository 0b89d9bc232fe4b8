// Lining a recording up with the PCM it should hold: the normalised correlation of interleaved
// stereo frames at an offset, and the offset near a guess where it is highest. Used by the tests
// that record what reaches a sound server (the demo's end-to-end runs, the SDL example's).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace ziv {

// Normalised correlation of rec[off + f] with ref[f] over frames [from, from + n) of ref (0 where
// either runs out).
inline double correlation(const std::vector<int16_t>& rec, const std::vector<int16_t>& ref,
                          long off, long from, long n) {
    double xy = 0, xx = 0, yy = 0;
    for (long f = from; f < from + n; ++f) {
        const long g = f + off;
        if (f < 0 || g < 0 || 2 * size_t(g) + 1 >= rec.size() || 2 * size_t(f) + 1 >= ref.size())
            return 0;
        for (size_t c = 0; c < 2; ++c) {
            const double x = rec[2 * size_t(g) + c], y = ref[2 * size_t(f) + c];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
    }
    return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
}

// The offset within guess ± range where the correlation over [from, from + n) is highest.
inline long best_offset(const std::vector<int16_t>& rec, const std::vector<int16_t>& ref,
                        long guess, long range, long from, long n) {
    long best = guess;
    double bc = -2;
    for (long off = guess - range; off <= guess + range; ++off) {
        const double c = correlation(rec, ref, off, from, n);
        if (c > bc) {
            bc = c;
            best = off;
        }
    }
    return best;
}

}  // namespace ziv
