// mp3dec's input and how the core reads it. A file, or standard input ("-"), goes to the core one
// of two ways: held whole in memory (mpeg_core_set_data; a regular file mapped, else read), where
// the decode needs the whole data at hand (the decode on several threads, the benchmark's passes,
// ReplayGain from tags anywhere in the file); or through an MpegReader over the FILE, a piece at
// a time, so that memory stays flat whatever the length: with seek and size where the FILE can
// seek (the tags at its end found from there before decoding), without for a pipe (the core then
// holds back the last bytes read until the input ends and cuts the tags at the end from them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "mpeg_core.h"

struct Input {
    FILE* file;         // the open input; standard input for "-"
    int32_t from_stdin;
    int32_t regular;    // a regular file named on the command line, `size` bytes
    int64_t size;
    uint8_t* bytes;     // the input held whole (input_read_whole): len bytes of cap; null until then
    size_t len;
    size_t cap;
    int32_t whole;      // 1 once held whole
    int32_t mapped;     // bytes is the file mapped (left mapped until the process ends)
    int64_t start;      // reader: the FILE's position when opened, the data's start
    int64_t end;        // reader: the data's size from `start` where the FILE can seek, else -1
};

// Opens `path` ("-": standard input). 0 when it cannot be opened (errno says why).
int32_t input_open(Input* in, const char* path);
// Holds the whole input in memory: a regular file mapped, else read to its end. 0 on a failure
// (errno says why).
int32_t input_read_whole(Input* in);
// Gives the input to the core: the bytes held whole, else a reader over the FILE, which the core
// reads from then on. The result of mpeg_core_set_data or mpeg_core_set_reader.
int32_t input_give(Input* in, MpegCore* c);
// Closes the FILE (not standard input) and frees the bytes read, after the core that reads them
// is destroyed.
void input_close(Input* in);
