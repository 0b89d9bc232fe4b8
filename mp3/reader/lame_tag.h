// The LAME tag of an MP3 file's Info/Xing frame: the encoder delay and padding that let a player
// hand back exactly the encoder's input, and the arithmetic that turns them into the samples to
// drop and to keep.
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

extern "C" {

struct MpegLameTag {
    int32_t delay;    // encoder delay, samples per channel at the stream's rate
    int32_t padding;  // encoder padding, samples per channel
};
static_assert(sizeof(MpegLameTag) == 8, "MpegLameTag is two 32-bit words");

// 1 and *tag filled when the frame at `frame` (avail readable bytes, header h) is a Xing or
// Info frame that carries a LAME tag whose CRC is right, or whose CRC fails while the rest of
// the tag is as an encoder writes it (encoder string, delay and padding, frame count and byte
// count consistent); 0 otherwise. Nothing at or beyond frame + avail is read.
int32_t mpeg_lame_tag_read(const uint8_t* frame, int32_t avail, const MpegHeader* h, MpegLameTag* tag);

// Offset in the frame of its LAME tag (36 bytes, readable) that mpeg_lame_tag_read takes, or -1
// when there is none. Bounded as mpeg_lame_tag_read.
int32_t mpeg_lame_tag_offset(const uint8_t* frame, int32_t avail, const MpegHeader* h);

// The frame count of the frame's Info/Xing header (the audio frames after it), or -1 when the
// frame has no such header or the header no count. Bounded as mpeg_lame_tag_read.
int32_t mpeg_lame_info_frames(const uint8_t* frame, int32_t avail, const MpegHeader* h);

// The LAME tag's music length: the bytes of the stream from the Info frame's first to the last
// frame's last, as a 32-bit field holds them (modulo 2^32); -1 without a tag. Bounded as
// mpeg_lame_tag_read.
int64_t mpeg_lame_music_length(const uint8_t* frame, int32_t avail, const MpegHeader* h);

// Samples a decoder adds in front of the encoder's delay: its synthesis and overlap latency.
constexpr int32_t kLameDecoderDelay = 529;

// The gapless cut of a stream whose tag is `tag`. `decoded` is the number of samples per
// channel the decoder hands back for the audio frames (the Info frame is not audio and is never
// decoded), at the output rate of `reduction` (0 full, 1 half, 2 quarter rate). *skip is the
// number of samples per channel to drop from the start, *keep the number to hand back after
// them; skip + keep never exceeds `decoded`. At a reduced rate both ends of the full-rate cut
// are rounded down.
void mpeg_lame_trim(const MpegLameTag* tag, int64_t decoded, int32_t reduction, int64_t* skip,
               int64_t* keep);

}  // extern "C"
