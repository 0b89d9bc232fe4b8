// The record behind an MpegCore* that mpeg_core_create makes: the core with the place of its
// bytes (data in memory, fed pieces, or a reader), the sample-counted position, and the music
// features (loops, fade, tags, the LAME tag's facts). Private to the library: core_api.cpp makes
// a core and reads, core_sources.cpp takes its bytes, core_seek.cpp seeks and counts frames,
// core_loop.cpp loops and fades, core_info.cpp reads the tags and tells the stream's facts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"
#include "fade.h"
#include "mpeg_core.h"
#include "mpeg_tags.h"
#include "stream_walk.h"
#include "window.h"

enum MpegSource : int32_t { kNone, kMemory, kFed, kReader, kWindow };

// Data in memory larger than the window-passing calls take (2 GiB and more) is read through a
// reader over the memory.
struct MemoryReader {
    const uint8_t* data;
    size_t len;
    size_t at;
};

// The frames of data read through a reader, as they pass: each frame's offset in the data and
// the main data it adds to the bit reservoir (for the pre-roll of a seek).
struct ReadIndex {
    int64_t* offsets;  // count + 1 entries once a frame is in: offsets[count] ends the last
    int16_t* main;
    int32_t count;
    int32_t cap;
    int64_t next;      // the offset the walk goes on from
    int32_t done;      // 1 once the walk reached the end of the stream
    MpegSync sync;
};

// The core first: an MpegCore* made by mpeg_core_create points at one of these.
struct HeldCore {
    MpegCore core;
    int32_t source;       // kNone until data is set, fed or given a reader
    int32_t opened;       // 1 once the first frame is found and the decoder set up
    int32_t failure;      // MP3_NO_FRAME or MP3_SETUP_FAILED once the data proved unusable
    int32_t pos;          // next byte to read: in start[] (memory) or win.buf[] (fed, reader)
    const uint8_t* start; // memory: the first frame
    int32_t data_len;     // memory: bytes from start, the tags at the end cut off
    int32_t frames;       // memory: frames of the data (the index's count, else an estimate)
    MpegWindow win;       // fed, reader: the bytes not yet read, from pos on
    int32_t ended;        // fed, reader: 1 once no more bytes come
    int32_t audio_end;    // fed, reader, once ended: bytes of the window before the tags at the end
    int64_t data_end;     // reader: where the tags at the end begin in the data; -1 unknown
    int64_t out_bytes;    // PCM bytes of the output before the next one read
    int64_t discard;      // after a seek: PCM bytes decoded and thrown away before the next read
    MpegReader reader;    // reader: the caller's calls (or kMemoryReader over `memory`)
    void* reader_ctx;
    MemoryReader memory;
    ReadIndex index;      // reader: the frames passed so far
    int32_t looping;      // 1 while a loop is set
    int64_t loop_start;
    int64_t loop_end;     // -1: the end of the decode
    int64_t pass_gave;    // PCM bytes read since the last restart (a pass that gives none ends looping)
    MpegFade fade;
    uint8_t pend[8];      // the rest of a faded sample that a read cut, given first next time
    int32_t pend_len;
    MpegTags* tags;       // read once the first frame is found (null: none)
    uint8_t* tag_bytes;   // reader, fed: the bytes the tags were read from, kept for them
    uint8_t* tail;        // reader: its last bytes, read for the tags at its end (until open)
    int32_t tail_len;
    MpegClaim claim;      // the first frame's Info header and LAME tag: the frames and bytes they state
    MpegWalk walk;        // memory, reader: the frames walked over (complete once walk.walked)
    // window: the bytes the caller shows (kept until it shows others), where they lie in the
    // data, whether the data ends with them, and the offset of the next byte to read
    const uint8_t* shown;
    int32_t shown_len;
    int32_t shown_last;
    int64_t shown_at;
    int64_t next_at;
    int32_t tags_taken;   // window: 1 once the tags of the data's first window are read
    int64_t first_at;     // the first frame's offset in the data, once it is found
};

static_assert(offsetof(HeldCore, core) == 0, "a held core starts with its core");
static_assert(alignof(HeldCore) <= alignof(std::max_align_t), "calloc aligns a held core");

inline HeldCore* held(MpegCore* c) { return reinterpret_cast<HeldCore*>(c); }
inline const HeldCore* held(const MpegCore* c) { return reinterpret_cast<const HeldCore*>(c); }

// Reads the tags and what the first frame (at `frame`, avail bytes of it readable) claims once
// it is found; head[0, head_len) are the bytes before it, when at hand (data in memory: the
// whole data).
void mpeg_held_opened(HeldCore* h, const uint8_t* frame, int32_t avail, const uint8_t* head,
                      size_t head_len);
// Frees what the tags took.
void mpeg_held_free_tags(HeldCore* h);
// The length as far as it is known without walking further: once the frames have been walked
// over (data in memory at once, a reader on demand), the LAME tag's when it agrees with the walk,
// else the walk's; before, the gapless run's or the Info frame's count; -1 when none says.
int64_t mpeg_held_length(const HeldCore* h);
// Sums up the frames of data in memory, from its index (headers only).
void mpeg_held_walk_memory(HeldCore* h);

// The sources of bytes (core_sources.cpp).
// The bytes of the window the frame search may see: all of them once the data has ended (the
// tags at the end cut), else all but the hold-back.
int32_t mpeg_held_visible(const HeldCore* h);
// Marks fed or read data ended, its audio ending where the tags at its end begin (audio_end).
void mpeg_held_data_ended(HeldCore* h);
// Records the frames of the bytes at hand: a reader's window (only a reader that can seek uses
// the index) or the window shown.
void mpeg_held_index_window(HeldCore* h);
// Reads the next piece of the reader into the window. false when no more bytes come (the data
// ended, or the reader failed: *failed set).
bool mpeg_held_read_piece(HeldCore* h, bool* failed);
// The read position in the window shown, or -1 when the window does not hold it.
int32_t mpeg_held_shown_pos(const HeldCore* h);
// Whether the frame search, waiting for more bytes, stands between frames: inside or after a tag
// or junk, or past one since `passed`.
bool mpeg_held_between_frames(const MpegSync* s, uint32_t passed);
// Fills out[*filled, room) from the source, the pieces of a reader read as they are needed.
int32_t mpeg_held_fill(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled);

// Seeks (core_seek.cpp): whether the core can seek (data in memory, windows, a reader that can).
bool mpeg_held_can_seek(const HeldCore* h);

// The loop (core_loop.cpp): fills out[*filled, room) as the loop says: up to the loop's end, then
// on from its start (within this read), and at the end of the data (when it comes before the
// length said) on from the start; a pass that gives nothing ends the looping. The bytes read
// count into the position.
int32_t mpeg_held_read_looped(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled);
