// os.h over POSIX: 64-bit offsets, pwrite, mmap.
#include "os.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

void os_start(int*, char***) {}

FILE* os_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

static_assert(sizeof(off_t) == 8, "64-bit file offsets");

int os_seek(FILE* f, int64_t at, int whence) { return fseeko(f, off_t(at), whence); }
int64_t os_tell(FILE* f) { return int64_t(ftello(f)); }

bool os_regular_file(FILE* f, int64_t* size) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = int64_t(st.st_size);
    return true;
}

bool os_same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode);
}

int32_t os_can_place(FILE* f) {
    int64_t size;
    return os_regular_file(f, &size) ? 1 : 0;
}

int32_t os_place(FILE* f, int64_t at, const uint8_t* p, int32_t n) {
    const int fd = fileno(f);
    while (n > 0) {
        const ssize_t w = pwrite(fd, p, size_t(n), off_t(at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 0;
        p += w;
        n -= int32_t(w);
        at += w;
    }
    return 1;
}

int32_t os_truncate(FILE* f, int64_t size) { return ftruncate(fileno(f), off_t(size)) == 0 ? 1 : 0; }

const uint8_t* os_map(FILE* f, int64_t size) {
    if (size <= 0 || uint64_t(size) > SIZE_MAX) return nullptr;
    void* m = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fileno(f), 0);
    return m == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(m);
}

double os_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
