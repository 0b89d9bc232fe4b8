// The window: one buffer, the bytes held moved down when a prefix is dropped.
#include "window.h"

#include <cstdlib>
#include <cstring>

int32_t mp3_window_init(Mp3Window* w, int32_t cap) {
    w->buf = cap > 0 ? static_cast<uint8_t*>(std::malloc(size_t(cap))) : nullptr;
    w->cap = w->buf ? cap : 0;
    w->filled = 0;
    w->base = 0;
    return w->buf ? 1 : 0;
}

void mp3_window_free(Mp3Window* w) {
    std::free(w->buf);
    w->buf = nullptr;
    w->cap = w->filled = 0;
}

int32_t mp3_window_drop(Mp3Window* w, int32_t n) {
    if (n < 0) n = 0;
    if (n > w->filled) n = w->filled;
    if (n > 0) std::memmove(w->buf, w->buf + n, size_t(w->filled - n));
    w->filled -= n;
    w->base += n;
    return n;
}

uint8_t* mp3_window_end(Mp3Window* w) { return w->buf + w->filled; }

void mp3_window_grew(Mp3Window* w, int32_t n) {
    if (n > 0) w->filled += n < w->cap - w->filled ? n : w->cap - w->filled;
}
