// The streamed player's layout, private to the library and its own tests (callers see the record
// only as an opaque handle, mp3_stream_player.h). It takes public headers only: the core it
// holds is an MpegCore* shown the player's blocks (mpeg_core.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "mp3_lock.h"
#include "mp3_stream_player.h"
#include "mpeg_core.h"
#include "player_common.h"

struct AUDIOSTREAM;

// Blocks held side by side in one buffer of two blocks: buf[0, filled) are the bytes from offset
// `base` of the data on.
struct Mp3Blocks {
    uint8_t* buf;
    int32_t filled;
    int64_t base;
};

struct Mp3StreamPlayer {
    MpegCore* core;        // the decoding core, shown the window's blocks (it indexes the frames)
    Mp3Format format;      // what the stream plays, once the first frame is found
    Mp3Blocks win;         // 2 * block_size: the current block, then the next one once given
    int32_t block_size;    // the size of the first block
    int32_t awaiting;      // -1 reading the current block alone, 0 reading both
    int32_t last_bytes;    // -1 while more blocks come, else the valid bytes of the last block
    int32_t total_frames;  // the Info/Xing header's frame count, or -1
    AUDIOSTREAM* stream;   // playing exactly when not null
    int32_t frames_per_buffer;
    std::atomic<int32_t> autopoll; // -1 while automatic polling is wanted (read by the timer thread)
    int32_t autopoll_ms;
    std::mutex timer_ops;  // orders the timer's installs and removes (never under `lock`)
    std::atomic<bool> timer_on; // the poll's timer is installed (written under timer_ops)
    int32_t tail_polls;
    int32_t pending;       // -1 while the first frame is still to come (tags fill the blocks)
    uint8_t* held;         // a stream buffer being filled across polls (waiting for blocks)
    int32_t held_bytes;    // bytes of `held` already filled
    int32_t want_play;     // play asked for while pending: its arguments follow
    int32_t want_bytes, want_vol, want_pan, want_speed;
    int32_t gapless;       // as set (off by default)
    int32_t refill;        // 1 after a jump: the block at win.base comes alone, another follows
    int32_t settling;      // 1 from a jump until the window holds two blocks (or the last) again
    int64_t handed;        // PCM bytes handed back since the start or the last jump
    int64_t jump_lead;     // the core's lead-in right after the last jump
    int32_t jumped;        // 1 from a jump until its first sample is handed back
    int32_t lent;          // from mp3s_next_block until the block is given: 1 for the window,
                           // 2 for the restart's blocks (`ahead`)
    int32_t lent_stale;    // 1 when a jump came between: the block given is for the old offset
    int64_t lent_at;       // the file offset named for the block lent
    // A looping pass's restart, asked for ahead of the seam so that the poll that crosses it has
    // the pass's last frames and the restart's pre-roll at hand together: up to two blocks from
    // the offset decoding restarts at, kept from pass to pass (the same bytes every time).
    Mp3Blocks ahead;       // no memory until a loop first asks for it
    int32_t ahead_last;    // -1, or the valid bytes of the file's last block, held last in it
    int32_t ahead_failed;  // 1 when its memory could not be had: seams wait for their blocks
    int32_t loop;          // non-zero: start again when the data (or the loop points' pass) ends
    int32_t points;        // 1 while loop points are set
    int64_t loop_start, loop_end; // as set (end 0: the end of the data)
    int64_t pass_end;      // handed-back index where this pass jumps back; -1: the data's end
    mutable Mp3Lock lock;  // held by every call; the poll only tries it
};
