// Frame synchronisation over MPEG audio data, shared by mp3dec and both players: finds the
// first frame of a stream (stepping over tags and searching through junk of any length, taking a
// header only when the frame it states is followed by the next header of the same stream) and
// then the frame after frame of that stream, resynchronising the same way after a lost frame.
//
// It works over a window of bytes that may be only part of the data: the caller says whether
// more bytes follow the window (`final` clear). When the window ends before a frame can be told
// or read whole, the result says so and names the first byte to keep; the caller brings more
// bytes after the window and calls again. A tag longer than the window is stepped over across
// any number of windows (the bytes still to skip are kept in the record). Every read stays
// inside the window.
#pragma once

#include <cstdint>

#include "mpeg_decoder.h"

// One stream's synchronisation state: prepared by mpeg_sync_init, filled by mpeg_sync_lock; plain
// data, copied freely.
struct MpegSync {
    MpegHeader stream;  // header of the stream's first frame: its version, layer, sample rate
    int32_t free_bytes; // free-format frame size without padding; 0 for a stream with bitrates
    int32_t locked;     // 1 while the next frame is expected where the last frame or tag ended
    int32_t after_tag;  // 1 when a tag was the last thing stepped over (no frame since)
    int64_t skip;       // bytes of a tag still to step over past the window's end
    uint32_t passed;    // tags stepped over and bytes searched through so far (wraps)
};

// Results of the search.
enum MpegSyncResult : int32_t {
    MPEG_SYNC_FRAME = 1,  // a frame of the stream starts at *pos; *size bytes, padding included
    MPEG_SYNC_END = 0,    // no more frames: the data ends (a last frame cut short included)
    MPEG_SYNC_MORE = -1,  // the window ended first: keep the bytes from *pos and call again
    MPEG_SYNC_OTHER = -2, // a confirmed frame of another version, layer or sample rate at *pos
};

// Prepares a record for the search from the start of the data.
void mpeg_sync_init(MpegSync* s);

// Finds the first frame at or after *pos in buf[0, len) and sets the stream up from it. On
// MPEG_SYNC_FRAME stores its header, its size without padding (as the header parse gives it, the
// free-format size included) and its bitrate. MPEG_SYNC_END: no frame in the data.
int32_t mpeg_sync_lock(MpegSync* s, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos,
                      MpegHeader* h, int32_t* frame_bytes, int32_t* bitrate);

// Finds the next frame of the stream at or after *pos. A frame found at the place where the last
// one ended is taken at once; anywhere else it needs the confirmation of mpeg_sync_lock.
int32_t mpeg_sync_next(MpegSync* s, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos,
                      int32_t* size);

// Records that the frame mpeg_sync_next gave was consumed (its `size` bytes) or rejected by the
// decoder (the search then goes on from the byte after its start, with confirmation).
void mpeg_sync_taken(MpegSync* s);
void mpeg_sync_rejected(MpegSync* s);

// Whether an MPEG_SYNC_MORE came while stepping over tags or searching through junk, where
// waiting for more data loses no audio, rather than inside the stream's frames.
int32_t mpeg_sync_between_frames(const MpegSync* s);

// Restarts the search of a locked stream at a new place: at a frame start known to be one
// (`at_frame` set, as the first frame after a rewind) or anywhere (after a seek, confirmed).
void mpeg_sync_restart(MpegSync* s, int32_t at_frame);

// Finds the next frame as mpeg_sync_next does and decodes it into out (which must hold the
// decoder's out_bytes). A frame the decoder rejects is searched past from its second byte. On
// MPEG_SYNC_FRAME *pos is moved past the frame and *io says what it gave; otherwise *pos is as
// mpeg_sync_next leaves it and *io is {0, 0}.
int32_t mpeg_sync_decode(MpegSync* s, MpegDecoder* d, const uint8_t* buf, int32_t len,
                        int32_t final, int32_t* pos, uint8_t* out, MpegInOut* io);

