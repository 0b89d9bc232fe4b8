// mp3dec's input (input.h): the whole file mapped or read, or a reader over the FILE.
#include "input.h"

#include <cstdlib>
#include <cstring>

#include "os.h"

namespace {

// Room for `cap` bytes in in->bytes, on the C library's allocator: mp3dec uses nothing of the
// C++ runtime, so that starting it loads and resolves no more than the C library and libmpegdec.
bool reserve(Input* in, size_t cap) {
    if (cap <= in->cap) return true;
    uint8_t* q = static_cast<uint8_t*>(std::realloc(in->bytes, cap));
    if (!q) return false;
    in->bytes = q;
    in->cap = cap;
    return true;
}

// Reads the FILE to its end into in->bytes; `expect` (a regular file's size, else 0) sizes the
// buffer at once, so that the file comes in one read with no copy as the buffer grows.
bool read_all(Input* in, int64_t expect) {
    if (expect > 0 && uint64_t(expect) < SIZE_MAX - 65536 &&
        !reserve(in, in->len + size_t(expect) + 65536))
        return false;
    for (;;) {
        if (in->cap - in->len < 65536 && !reserve(in, in->cap * 2 + 65536)) return false;
        const size_t n = std::fread(in->bytes + in->len, 1, in->cap - in->len, in->file);
        in->len += n;
        if (n == 0) return !std::ferror(in->file);
    }
}

// Maps a regular file whole: its pages come from the file's cache as they are read, a few at a
// time, with no copy and no fresh memory.
bool map_all(Input* in) {
    if (!in->regular || in->size <= 0 || uint64_t(in->size) > SIZE_MAX) return false;
    const uint8_t* m = os_map(in->file, in->size);
    if (!m) return false;
    in->bytes = const_cast<uint8_t*>(m);  // read only: the bytes of a mapped file are never written
    in->len = in->cap = size_t(in->size);
    in->mapped = 1;
    return true;
}

// The reader over the FILE: the data runs from the position the FILE stood at when opened.
int64_t file_read(void* ctx, void* buf, size_t n) {
    Input* in = static_cast<Input*>(ctx);
    const size_t k = std::fread(buf, 1, n, in->file);
    return k == 0 && std::ferror(in->file) ? -1 : int64_t(k);
}

int32_t file_seek(void* ctx, int64_t offset) {
    Input* in = static_cast<Input*>(ctx);
    if (offset < 0 || os_seek(in->file, in->start + offset, SEEK_SET) != 0) return -1;
    std::clearerr(in->file);
    return 0;
}

int64_t file_size(void* ctx) { return static_cast<Input*>(ctx)->end; }

constexpr MpegReader kSeekable = {file_read, file_seek, file_size};
constexpr MpegReader kPipe = {file_read, nullptr, nullptr};

}  // namespace

int32_t input_open(Input* in, const char* path) {
    *in = Input{};
    in->from_stdin = std::strcmp(path, "-") == 0;
    in->file = in->from_stdin ? stdin : os_fopen(path, "rb");
    if (!in->file) return 0;
    in->regular = !in->from_stdin && os_regular_file(in->file, &in->size);
    return 1;
}

int32_t input_read_whole(Input* in) {
    in->whole = map_all(in) || read_all(in, in->regular ? in->size : 0);
    return in->whole;
}

int32_t input_give(Input* in, MpegCore* c) {
    if (in->whole) return mpeg_core_set_data(c, in->bytes, in->len);
    // A FILE that can seek (a regular file, also as standard input) is read from where it stands.
    in->start = os_tell(in->file);
    in->end = -1;
    if (in->start >= 0 && os_seek(in->file, 0, SEEK_END) == 0) {
        const int64_t end = os_tell(in->file);
        if (end >= in->start) in->end = end - in->start;
        if (os_seek(in->file, in->start, SEEK_SET) != 0) return MP3_READ_FAILED;
    }
    std::clearerr(in->file);
    return mpeg_core_set_reader(c, in->end >= 0 ? &kSeekable : &kPipe, in);
}

void input_close(Input* in) {
    if (!in->mapped) std::free(in->bytes);
    in->bytes = nullptr;
    if (in->file && !in->from_stdin) std::fclose(in->file);
    in->file = nullptr;
}
