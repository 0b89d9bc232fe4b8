// os.h over the Windows calls: the wide command line and wide file names (names in any
// language), 64-bit offsets, binary standard streams, writes at an offset, file mappings.
#include "os.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cwchar>

namespace {

// UTF-8 to UTF-16 and back, on the C library's allocator; null on a failure.
wchar_t* wide(const char* s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    wchar_t* w = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * size_t(n)));
    if (w && MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n) != n) {
        std::free(w);
        w = nullptr;
    }
    return w;
}

char* utf8(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return nullptr;
    char* s = static_cast<char*>(std::malloc(size_t(n)));
    if (s && WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, nullptr, nullptr) != n) {
        std::free(s);
        s = nullptr;
    }
    return s;
}

HANDLE handle_of(FILE* f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))); }

// A name in the device namespace (\\.\pipe\NAME, \\.\NUL): a device, never a disk file.
bool in_device_namespace(const wchar_t* name) {
    return std::wcsncmp(name, L"\\\\.\\", 4) == 0 || std::wcsncmp(name, L"//./", 4) == 0;
}

// A device opened for writing as it is (OPEN_EXISTING): a device cannot be made anew or cut,
// which the C library's "w" asks.
FILE* open_device(const wchar_t* name) {
    if (!in_device_namespace(name)) return nullptr;
    HANDLE h = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (!f) _close(fd);
    return f;
}

// The disk file behind a name, opened for its identity alone. A device is not opened: a named
// pipe's one instance would go to this open.
bool identity(const char* name, BY_HANDLE_FILE_INFORMATION* info) {
    wchar_t* w = wide(name);
    if (!w) return false;
    if (in_device_namespace(w)) {
        std::free(w);
        return false;
    }
    HANDLE h = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::free(w);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

void os_start(int* argc, char*** argv) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    int n = 0;
    wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!w) return;
    char** a = static_cast<char**>(std::calloc(size_t(n) + 1, sizeof(char*)));
    for (int i = 0; a && i < n; ++i) {
        a[i] = utf8(w[i]);
        if (!a[i]) {
            a = nullptr;  // keeps the arguments as the C runtime gave them
            break;
        }
    }
    LocalFree(w);
    if (!a) return;
    *argc = n;
    *argv = a;
}

FILE* os_fopen(const char* path, const char* mode) {
    wchar_t* w = wide(path);
    wchar_t* m = wide(mode);
    FILE* f = w && m ? _wfopen(w, m) : nullptr;
    if (!f && w && mode[0] == 'w') f = open_device(w);
    std::free(w);
    std::free(m);
    return f;
}

// Disk files alone seek: the system may take a position on a pipe or a console too, as if it
// could go back.
int os_seek(FILE* f, int64_t at, int whence) {
    if (GetFileType(handle_of(f)) != FILE_TYPE_DISK) return -1;
    return _fseeki64(f, at, whence);
}
int64_t os_tell(FILE* f) { return _ftelli64(f); }

bool os_regular_file(FILE* f, int64_t* size) {
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return false;
    *size = int64_t(st.st_size);
    return true;
}

bool os_same_file(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (!identity(a, &ia) || !identity(b, &ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow &&
           !(ia.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

int32_t os_can_place(FILE* f) {
    int64_t size;
    return os_regular_file(f, &size) ? 1 : 0;
}

// WriteFile at an offset (an OVERLAPPED's) on a handle opened for synchronous writes: the system
// writes each call whole at its offset, one at a time per file, and leaves the handle's position
// after the last, which the FILE's next seek sets again.
int32_t os_place(FILE* f, int64_t at, const uint8_t* p, int32_t n) {
    HANDLE h = handle_of(f);
    while (n > 0) {
        OVERLAPPED o = {};
        o.Offset = DWORD(uint64_t(at));
        o.OffsetHigh = DWORD(uint64_t(at) >> 32);
        DWORD w = 0;
        if (!WriteFile(h, p, DWORD(n), &w, &o) || w == 0) return 0;
        p += w;
        n -= int32_t(w);
        at += w;
    }
    return 1;
}

int32_t os_truncate(FILE* f, int64_t size) {
    HANDLE h = handle_of(f);
    LARGE_INTEGER at;
    at.QuadPart = size;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h) ? 1 : 0;
}

// A read-only view of the whole file; the mapping object may close at once (the view keeps it).
const uint8_t* os_map(FILE* f, int64_t size) {
    if (size <= 0 || uint64_t(size) > SIZE_MAX) return nullptr;
    HANDLE m = CreateFileMappingW(handle_of(f), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!m) return nullptr;
    void* v = MapViewOfFile(m, FILE_MAP_READ, 0, 0, size_t(size));
    CloseHandle(m);
    return static_cast<const uint8_t*>(v);
}

double os_seconds() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(f.QuadPart);
}
