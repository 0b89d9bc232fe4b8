// The fade's ramp and its application to 16-bit and 8-bit PCM, rounded to nearest.
#include "fade.h"

#include <cstring>

#include "mpeg_core.h"

namespace {

constexpr int64_t kUnity = MPEG_CORE_UNITY;

}  // namespace

void mpeg_fade_init(MpegFade* f) { *f = MpegFade{kUnity << 16, kUnity << 16, 0, 0}; }

int32_t mpeg_fade_unity(const MpegFade* f) {
    return f->left == 0 && f->gain == kUnity << 16 ? 1 : 0;
}

void mpeg_fade_to(MpegFade* f, int32_t gain, int64_t samples) {
    f->target = int64_t(gain) << 16;
    f->left = samples > 0 ? samples : 0;
    if (f->left == 0) {
        f->gain = f->target;
        f->step = 0;
        return;
    }
    f->step = (f->target - f->gain) / f->left;
}

void mpeg_fade_apply(MpegFade* f, uint8_t* buf, int32_t bytes, int32_t bits, int32_t channels) {
    if (mpeg_fade_unity(f)) return;
    const int32_t ss = (bits / 8) * channels;
    if (ss <= 0) return;
    const int32_t n = bytes / ss;
    for (int32_t i = 0; i < n; ++i) {
        if (f->left > 0) {
            // The last step lands on the target exactly.
            f->gain = --f->left == 0 ? f->target : f->gain + f->step;
        }
        const int64_t g = f->gain >> 16;
        uint8_t* q = buf + size_t(i) * size_t(ss);
        for (int32_t c = 0; c < channels; ++c) {
            if (bits == 16) {
                int16_t v;
                std::memcpy(&v, q + 2 * c, 2);
                const int16_t w = static_cast<int16_t>((int64_t(v) * g + (kUnity >> 1)) >> 24);
                std::memcpy(q + 2 * c, &w, 2);
            } else {
                const int64_t v = int64_t(q[c]) - 128;
                q[c] = static_cast<uint8_t>(((v * g + (kUnity >> 1)) >> 24) + 128);
            }
        }
    }
}
