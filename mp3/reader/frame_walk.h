// The older frame walk over MPEG audio data held in memory, kept for the decoder's golden and
// path tests and its fuzz target (mp3dec and the players use frame_sync.h): stepping over ID3
// tags, finding the first frame, decoding one frame at a time with a resynchronisation of at
// most four frame lengths, and the end of the data. Every read stays inside the bytes given.
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

// Steps over a trailing 128-byte ID3v1 "TAG" block (checked first, on data of 128 bytes or
// more) and a leading ID3v2 tag (with or without footer, on data of 10 bytes or more). On
// success stores the first byte after the leading tag and the length up to the trailing tag
// and returns 1; returns 0 when the ID3v2 tag claims more bytes than there are.
int32_t mp3_strip_tags(const uint8_t* data, int32_t n, const uint8_t** start, int32_t* len);

// Parses the first frame header of `len` bytes at `start`. With `search` zero the frame must
// begin at `start` (as the players require); otherwise the first usable header found by
// mpeg_header_find from there is taken, passing over sync patterns whose header is unusable.
// Stores the header, its bitrate and the frame's offset; returns the frame size in bytes
// without padding, or 0 when there is no usable frame.
int32_t mp3_first_frame(const uint8_t* start, int32_t len, int32_t search, MpegHeader* h,
                        int32_t* bitrate, int32_t* offset);

// Result of mp3_walk_frame.
enum Mp3WalkResult : int32_t {
    MP3_WALK_FRAME = 1, // a frame was decoded: *pos moved past it, *io says what it gave
    MP3_WALK_END = 0,   // the data ended (no whole frame left before len)
    MP3_WALK_LOST = -1, // no decodable frame within 4 * frame_bytes bytes
};

// Decodes the frame at start + *pos into out (which must hold the decoder's out_bytes). When
// the decoder rejects the bytes there, moves on one byte at a time, up to 4 * frame_bytes - 1
// times, until a frame decodes. A tail that cannot hold a whole frame counts as the end of the
// data: a rejected position whose header states a frame longer than the bytes left ends the walk
// with *pos left there (a streamed caller may resume at it once more data has come), and a
// resynchronisation that runs into the end of the data ends it with *pos = len.
int32_t mp3_walk_frame(MpegDecoder* d, const uint8_t* start, int32_t len, int32_t* pos,
                       int32_t frame_bytes, uint8_t* out, InOut* io);
