// A window over a stream of MP3 bytes that arrive a piece at a time (a file read in pieces, blocks
// handed over by a caller): the bytes not yet consumed, kept in one buffer so that a frame that
// crosses from one piece into the next is read whole. Pieces are appended at its end; bytes the
// reader is done with are dropped from its front, the rest moved down.
#pragma once

#include <cstdint>

struct MpegWindow {
    uint8_t* buf;    // buf[0, filled) are the bytes held, from stream offset `base` on
    int32_t cap;
    int32_t filled;
    int64_t base;
};

// An empty window of `cap` bytes. 1, or 0 when memory ran out (mpeg_window_free is still safe).
int32_t mpeg_window_init(MpegWindow* w, int32_t cap);
void mpeg_window_free(MpegWindow* w);

// Drops the first n bytes (at most the bytes held) and returns how many were dropped.
int32_t mpeg_window_drop(MpegWindow* w, int32_t n);

// Where the next bytes go (buf + filled; cap - filled bytes of room), and the record that n of
// them were written there (at most the room).
uint8_t* mpeg_window_end(MpegWindow* w);
void mpeg_window_grew(MpegWindow* w, int32_t n);
