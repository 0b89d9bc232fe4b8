// mp3dec's input, read a window at a time so that memory stays flat whatever the length: a file,
// standard input (a pipe or a redirected file) or bytes already in memory. The window holds the
// bytes not yet consumed; the frame synchronisation is shown the part of it that lies before
// the tags at the end of the data.
//
// Where the input can seek, the tags at the end are found before decoding starts, from the end
// of the file. A pipe cannot seek: there the last kHoldBack bytes read are held back from the
// frame synchronisation until the input ends, and the tags at the end are cut from them then.
#pragma once

#include <cstdint>
#include <cstdio>

#include "window.h"

struct InputWindow {
    FILE* file;             // null when reading memory
    const uint8_t* mem;     // bytes in memory, when `file` is null
    int64_t mem_len;
    int64_t mem_at;
    MpegWindow win;          // win.buf[0, win.filled) is the input from offset win.base on
    int32_t eof;            // 1 once the input has given its last byte
    int32_t error;          // 1 after a read error
    int64_t audio_end;      // input offset where the tags at the end begin; -1 while unknown
};

// Bytes held back from a pipe's end until the input ends: the tags at the end that are cut must
// fit in them (a longer run of tags at the end of a pipe is read as data).
constexpr int32_t kHoldBack = 256 * 1024;

// Opens a window over an open file (not closed here) or over `len` bytes at `mem`. Returns 0
// when the window cannot be allocated or the file cannot be read.
int32_t input_open_file(InputWindow* in, FILE* f);
int32_t input_open_memory(InputWindow* in, const uint8_t* mem, int64_t len);
void input_close(InputWindow* in);

// Bytes of the window the frame synchronisation may read, from buf[0]; *final is set when they
// end the audio data.
int32_t input_visible(InputWindow* in, int32_t* final);

// Drops the bytes before `keep` (a position in the window) and reads on while there is room.
// Returns the number of bytes added or dropped (0: no progress was possible).
int32_t input_advance(InputWindow* in, int32_t keep);

// Whether fewer than `want` bytes are held from `pos` on while more input is to come.
int32_t input_wants_more(const InputWindow* in, int32_t pos, int32_t want);
