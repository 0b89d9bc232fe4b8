// The input window: reading a file, a pipe or memory a piece at a time, and finding where the
// tags at the end of the data begin without holding the whole input.
#include "input_window.h"

#include <cstdlib>
#include <cstring>

#include "os.h"
#include "tags.h"

namespace {

constexpr int32_t kWindow = 1024 * 1024;
constexpr int32_t kFirstTail = 64 * 1024;

// Whether the cut of the tags at the end of a tail of the data, stopped at n, may have stopped
// only because the tail begins too late: the start of a tag at the end that it could not follow
// back (an ID3v1 block, an APEv2 footer, a Lyrics3v2 end or an ID3v2 footer) stands there.
bool cut_may_go_on(const uint8_t* tail, int32_t n) {
    if (n < 128) return true;
    return std::memcmp(tail + n - 32, "APETAGEX", 8) == 0 ||
           std::memcmp(tail + n - 9, "LYRICS200", 9) == 0 ||
           std::memcmp(tail + n - 10, "3DI", 3) == 0;
}

// Length of the data (`size` bytes, read through read_at) once the tags at its end are cut off:
// the cut is made on a tail of the data, taken longer while it might go on further back.
template <class ReadAt>
int64_t audio_length(int64_t size, ReadAt read_at) {
    int64_t t = size < kFirstTail ? size : kFirstTail;
    for (;;) {
        uint8_t* tail = static_cast<uint8_t*>(std::malloc(size_t(t > 0 ? t : 1)));
        if (!tail || !read_at(size - t, tail, t)) {
            std::free(tail);
            return -1;
        }
        const int32_t n = mpeg_trailing_tags(tail, int32_t(t));
        const bool more = t < size && t < (int64_t(1) << 30) && cut_may_go_on(tail, n);
        std::free(tail);
        if (!more) return size - t + n;
        t = t * 2 < size ? t * 2 : size;
    }
}

int32_t open_window(InputWindow* in) { return mpeg_window_init(&in->win, kWindow); }

}  // namespace

int32_t input_open_file(InputWindow* in, FILE* f) {
    *in = InputWindow{};
    in->file = f;
    in->audio_end = -1;
    if (!open_window(in)) return 0;
    // A file that can seek has its tags at the end found now; the read starts where it stood.
    const int64_t start = os_tell(f);
    if (start >= 0 && os_seek(f, 0, SEEK_END) == 0) {
        const int64_t end = os_tell(f);
        if (end >= start) {
            auto read_at = [&](int64_t at, uint8_t* p, int64_t n) {
                return os_seek(f, start + at, SEEK_SET) == 0 &&
                       std::fread(p, 1, size_t(n), f) == size_t(n);
            };
            in->audio_end = audio_length(int64_t(end - start), read_at);
        }
        if (os_seek(f, start, SEEK_SET) != 0 || in->audio_end < 0) return 0;
    }
    clearerr(f);
    return 1;
}

int32_t input_open_memory(InputWindow* in, const uint8_t* mem, int64_t len) {
    *in = InputWindow{};
    in->mem = mem;
    in->mem_len = len;
    in->audio_end = audio_length(len, [&](int64_t at, uint8_t* p, int64_t n) {
        std::memcpy(p, mem + at, size_t(n));
        return true;
    });
    return open_window(in);
}

void input_close(InputWindow* in) { mpeg_window_free(&in->win); }

int32_t input_visible(InputWindow* in, int32_t* final) {
    if (in->audio_end < 0) {
        *final = 0;
        return in->win.filled > kHoldBack ? in->win.filled - kHoldBack : 0;
    }
    int64_t v = in->audio_end - in->win.base;
    if (v < 0) v = 0;
    if (v > in->win.filled) v = in->win.filled;
    *final = in->eof || in->win.base + in->win.filled >= in->audio_end ? 1 : 0;
    return int32_t(v);
}

int32_t input_advance(InputWindow* in, int32_t keep) {
    MpegWindow* w = &in->win;
    keep = mpeg_window_drop(w, keep);
    int32_t added = 0;
    while (!in->eof && w->filled < w->cap) {
        const int32_t room = w->cap - w->filled;
        size_t n;
        if (in->file) {
            n = std::fread(mpeg_window_end(w), 1, size_t(room), in->file);
            if (n < size_t(room)) {
                in->eof = 1;
                in->error = std::ferror(in->file) ? 1 : 0;
            }
        } else {
            const int64_t left = in->mem_len - in->mem_at;
            n = size_t(left < room ? left : room);
            std::memcpy(mpeg_window_end(w), in->mem + in->mem_at, n);
            in->mem_at += int64_t(n);
            if (in->mem_at == in->mem_len) in->eof = 1;
        }
        mpeg_window_grew(w, int32_t(n));
        added += int32_t(n);
    }
    // A pipe's end: the tags at the end are cut from the bytes held back.
    if (in->eof && in->audio_end < 0)
        in->audio_end = w->base + mpeg_trailing_tags(w->buf, w->filled);
    return keep + added;
}

int32_t input_wants_more(const InputWindow* in, int32_t pos, int32_t want) {
    return !in->eof && in->win.filled - pos < want ? 1 : 0;
}
