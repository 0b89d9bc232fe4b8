// The frame walk over MPEG audio data held in memory, shared by mp3dec and the players:
// stepping over ID3 tags, decoding one frame at a time with the one-byte resynchronisation, and
// the end of the data. Every read stays inside the bytes given.
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

// Steps over a leading ID3v2 tag (with or without footer) and a trailing 128-byte ID3v1 "TAG"
// block. On success stores the first byte after the leading tag and the length up to the
// trailing tag and returns 1; returns 0 when the ID3v2 tag claims more bytes than there are.
int32_t mp3_strip_tags(const uint8_t* data, int32_t n, const uint8_t** start, int32_t* len);

// Result of mp3_walk_frame.
enum Mp3WalkResult : int32_t {
    MP3_WALK_FRAME = 1, // a frame was decoded: *pos moved past it, *io says what it gave
    MP3_WALK_END = 0,   // the data ended (no whole frame left before len)
    MP3_WALK_LOST = -1, // no decodable frame within 4 * frame_bytes bytes
};

// Decodes the frame at start + *pos into out. When the decoder rejects the bytes there, moves on
// one byte at a time, up to 4 * frame_bytes - 1 times, until a frame decodes. A tail that cannot
// hold a whole frame counts as the end of the data.
int32_t mp3_walk_frame(MpegDecoder* d, const uint8_t* start, int32_t len, int32_t* pos,
                       int32_t frame_bytes, uint8_t* out, InOut* io);
