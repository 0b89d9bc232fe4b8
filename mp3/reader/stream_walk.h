// The walk over a stream's frame headers (nothing decoded) and what the first frame claims about
// the stream: the frames and bytes the walk found, whether every audio frame has one bitrate, and
// whether the Info header and LAME tag agree with the walk. The core's length and its record of
// the stream's facts are made of these (core_length.cpp, core_info.cpp).
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

extern "C" {

// What the frames walked over add up to. Zeroed before the walk.
struct MpegWalk {
    int64_t frames;    // audio frames (an Info frame is none)
    int64_t bytes;     // the audio frames' bytes
    int64_t first;     // offset of the first frame walked (the Info frame when there is one)
    int64_t end;       // where the last frame walked ends: end - first is the stream's byte span
    int32_t rate;      // bit/s of the first audio frame (0: free format)
    int32_t rate_code; // its bitrate index
    int32_t same_rate; // 1 while every audio frame has that bitrate index
    int32_t walked;    // 1 once the walk reached the end of the stream
};

// What the first frame's Info header and LAME tag say; -1 where they say nothing.
struct MpegClaim {
    int64_t frames;  // the Info header's count of the audio frames after it
    int64_t bytes;   // the Info header's byte count of the stream (32 bits: modulo 2^32)
    int64_t music;   // the LAME tag's music length: the same span (32 bits), -1 without a tag
};

// Adds the frame of `size` bytes at `offset` (frame: its first bytes, at least 4) to the walk;
// `audio` clear for an Info frame.
void mpeg_walk_add(MpegWalk* w, int64_t offset, const uint8_t* frame, int32_t size, int32_t audio);

// The claims of the first frame (avail readable bytes of it, header h).
void mpeg_claim_read(MpegClaim* c, const uint8_t* frame, int32_t avail, const MpegHeader* h);

// 1 when the stream has a LAME tag whose frame count equals the walk's and whose music length
// (and the Info header's byte count, where it gives one) equals the walk's byte span modulo
// 2^32: past 4 GiB the 32-bit fields cannot hold the span, and the walk decides.
int32_t mpeg_claim_agrees(const MpegClaim* c, const MpegWalk* w);

// The audio frames' average bitrate in bit/s: their one bitrate when they share it, else their
// bits over their time (samples_per_frame at sample_rate), rounded; 0 without frames.
int32_t mpeg_walk_bitrate(const MpegWalk* w, int32_t samples_per_frame, int32_t sample_rate);

}  // extern "C"
