// The window: one buffer, the bytes held moved down when a prefix is dropped.
#include "window.h"

#include <cstdlib>
#include <cstring>

int32_t mpeg_window_init(MpegWindow* w, int32_t cap) {
    w->buf = cap > 0 ? static_cast<uint8_t*>(std::malloc(size_t(cap))) : nullptr;
    w->cap = w->buf ? cap : 0;
    w->filled = 0;
    w->base = 0;
    return w->buf ? 1 : 0;
}

void mpeg_window_free(MpegWindow* w) {
    std::free(w->buf);
    w->buf = nullptr;
    w->cap = w->filled = 0;
}

int32_t mpeg_window_drop(MpegWindow* w, int32_t n) {
    if (n < 0) n = 0;
    if (n > w->filled) n = w->filled;
    if (n > 0) std::memmove(w->buf, w->buf + n, size_t(w->filled - n));
    w->filled -= n;
    w->base += n;
    return n;
}

uint8_t* mpeg_window_end(MpegWindow* w) { return w->buf + w->filled; }

void mpeg_window_grew(MpegWindow* w, int32_t n) {
    if (n > 0) w->filled += n < w->cap - w->filled ? n : w->cap - w->filled;
}
