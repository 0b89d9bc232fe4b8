// The Xing VBR header of a file's first frame: frame count, byte count, quality scale and the
// 100-entry table of contents used for seeking.
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

extern "C" {

struct MpegXing {
    int32_t flags;  // bit 0 frames, bit 1 bytes, bit 2 toc, bit 3 scale present
    int32_t frames;
    int32_t bytes;
    int32_t scale;  // -1 when absent
    uint8_t toc[100];
};
static_assert(sizeof(MpegXing) == 16 + 100, "MpegXing layout");

// Where the Info/Xing header of a first frame with header h sits: the offset of its "Xing" or
// "Info" word, 4 header bytes plus the side information (32 / 17 bytes for MPEG-1 stereo / mono,
// 17 / 9 for the lower sampling frequencies). The flag word follows the word, then the fields
// it flags, which take mpeg_info_fields_bytes(flags) bytes (the LAME tag follows them).
int32_t mpeg_info_position(const MpegHeader* h);
int32_t mpeg_info_fields_bytes(uint32_t flags);

// Reads the Xing header of the frame at `frame` (avail bytes readable). Returns a new heap
// record (release with mpeg_xing_free), or null when there is none or it does not fit.
MpegXing* mpeg_xing_read(const uint8_t* frame, int32_t avail, const MpegHeader* h);
void mpeg_xing_free(MpegXing* x);

// Byte offset of frame f from the table of contents, or -1 when there is no such offset.
int32_t mpeg_xing_offset(const MpegXing* x, int32_t f, int32_t data_len);

}  // extern "C"
