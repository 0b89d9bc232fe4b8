// A window over a stream of MP3 bytes that arrive a piece at a time (a file read in pieces, blocks
// handed over by a caller): the bytes not yet consumed, kept in one buffer so that a frame that
// crosses from one piece into the next is read whole. Pieces are appended at its end; bytes the
// reader is done with are dropped from its front, the rest moved down.
#pragma once

#include <cstdint>

struct Mp3Window {
    uint8_t* buf;    // buf[0, filled) are the bytes held, from stream offset `base` on
    int32_t cap;
    int32_t filled;
    int64_t base;
};

// An empty window of `cap` bytes. 1, or 0 when memory ran out (mp3_window_free is still safe).
int32_t mp3_window_init(Mp3Window* w, int32_t cap);
void mp3_window_free(Mp3Window* w);

// Drops the first n bytes (at most the bytes held) and returns how many were dropped.
int32_t mp3_window_drop(Mp3Window* w, int32_t n);

// Where the next bytes go (buf + filled; cap - filled bytes of room), and the record that n of
// them were written there (at most the room).
uint8_t* mp3_window_end(Mp3Window* w);
void mp3_window_grew(Mp3Window* w, int32_t n);
