// The Xing VBR header of a file's first frame: frame count, byte count, quality scale and the
// 100-entry table of contents used for seeking.
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

struct MpegXing {
    int32_t flags;  // bit 0 frames, bit 1 bytes, bit 2 toc, bit 3 scale present
    int32_t frames;
    int32_t bytes;
    int32_t scale;  // -1 when absent
    uint8_t toc[100];
};
static_assert(sizeof(MpegXing) == 16 + 100, "MpegXing layout");

// Reads the Xing header of the frame at `frame` (avail bytes readable). Returns a new heap
// record (release with mpeg_xing_free), or null when there is none or it does not fit.
MpegXing* mpeg_xing_read(const uint8_t* frame, int32_t avail, const MpegHeader* h);
void mpeg_xing_free(MpegXing* x);

// Byte offset of frame f from the table of contents, or -1 when there is no such offset.
int32_t mpeg_xing_offset(const MpegXing* x, int32_t f, int32_t data_len);
