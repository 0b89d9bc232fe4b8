// What mp3dec asks of the operating system, in one place: os_posix.cpp and os_win.cpp, the
// build compiling the one for its target. File names are UTF-8 throughout mp3dec (on Windows the
// wide command line converted, and the names converted back for the wide file calls), offsets
// 64-bit, standard input and output binary.
#pragma once

#include <cstdint>
#include <cstdio>

// At the start of main: the arguments in UTF-8 (on Windows from the wide command line; the
// strings live until exit), standard input and output set to binary.
void os_start(int* argc, char*** argv);

// fopen for a UTF-8 name.
FILE* os_fopen(const char* path, const char* mode);
// 64-bit seek and tell; 0 / the offset, -1 on failure.
int os_seek(FILE* f, int64_t at, int whence);
int64_t os_tell(FILE* f);
// Whether f is a regular file, and its size then.
bool os_regular_file(FILE* f, int64_t* size);
// Whether two names name the same existing regular file.
bool os_same_file(const char* a, const char* b);

// Writing at a place of a regular file of ours from any thread, beside the FILE (flushed first,
// and written through again only after os_seek has set its place): 0 where f is no regular file.
int32_t os_can_place(FILE* f);
// Writes n bytes at offset `at` (after os_can_place said it can); 0 on a failure. Calls from
// several threads may run at once for places that do not overlap; the FILE's own position is
// unknown after them (on Windows a write at an offset moves the file's one position too).
int32_t os_place(FILE* f, int64_t at, const uint8_t* p, int32_t n);
// Cuts the file at `size` bytes; 0 on a failure.
int32_t os_truncate(FILE* f, int64_t size);

// Maps the regular file f of `size` bytes for reading, whole: its bytes, or null where it cannot
// be mapped. The mapping lasts until the process ends (closing f leaves it).
const uint8_t* os_map(FILE* f, int64_t size);
// A monotonic clock in seconds.
double os_seconds();
