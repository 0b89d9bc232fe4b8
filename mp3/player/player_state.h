// The layouts of the two players, private to the library and its own tests: callers see the
// records only as opaque handles (mp3_player.h, mp3_stream_player.h), so fields may change
// without touching a program built against the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core.h"
#include "mp3_lock.h"
#include "player_common.h"
#include "mp3_player.h"
#include "mp3_stream_player.h"
#include "mpeg_tags.h"
#include "window.h"

struct AUDIOSTREAM;

struct Mp3Player {
    MpegCore* core;        // the decoding core over the data (mpeg_core.h)
    const uint8_t* data;   // the caller's bytes, as given to create
    int32_t len;
    Mp3Format format;      // what the stream plays
    int32_t total_frames;  // the Xing header's count, else the frames the data holds
    AUDIOSTREAM* stream;   // playing exactly when not null
    int32_t loop;
    int32_t frames_per_buffer;
    std::atomic<int32_t> autopoll; // -1 while automatic polling is wanted (read by the timer thread)
    int32_t autopoll_ms;
    std::mutex timer_ops;  // orders the timer's installs and removes (never under `lock`)
    std::atomic<bool> timer_on; // the poll's timer is installed (written under timer_ops)
    int32_t tail_polls;    // silent polls still to give after the data ended
    int32_t gapless;       // as set: a whole-file decode's own core takes it too
    int32_t gain_mode;     // ReplayGain as set (MPEG_REPLAYGAIN_*), and its preamp
    int32_t gain_preamp;
    int32_t points;        // 1 while loop points are set
    int64_t loop_start, loop_end; // as set (end 0: the end of the data)
    int64_t pass_end;      // handed-back index where this pass jumps back; -1: the data's end
    int32_t tag_points;    // 1 when the file's tags give loop points (taken with gapless on)
    int64_t tag_start, tag_end;
    mutable Mp3Lock lock;  // held by every call; the poll only tries it
};

struct Mp3StreamPlayer {
    MpegCore core;          // decoder, frame synchronisation over the blocks, format, gapless run
    MpegWindow win;         // 2 * block_size: the current block, then the next one once given
    int32_t read_off;      // offset of the next frame in the window
    int32_t block_size;    // the size of the first block
    int32_t awaiting;      // -1 reading the current block alone, 0 reading `joined`
    int32_t last_bytes;    // -1 while more blocks come, else the valid bytes of the last block
    int32_t total_frames;  // Xing frame count, or -1
    int64_t first_at;      // offset of the first frame in the file
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
    MpegTags* tags;        // the tags seen in the first block (null when memory ran out)
    // The frames passed, indexed as the blocks arrive, for seeks and loops: the file offset of
    // each (idx_count + 1 entries, the last where the last frame indexed ends) and the main data
    // it adds to the bit reservoir (for the pre-roll).
    int64_t* idx_off;
    int16_t* idx_main;
    int32_t idx_count, idx_cap;
    MpegSync idx_sync;     // the index's own frame synchronisation
    int64_t idx_next;      // file offset of the next frame to index
    int32_t refill;        // 1 after a jump: the block at win.base comes alone, another follows
    int32_t settling;      // 1 from a jump until the window holds two blocks (or the last) again
    int64_t out_base;      // handed-back index of the first sample since the last jump
    int64_t discard;       // PCM bytes still to throw away after a jump (pre-roll, lead-in)
    int32_t jumped;        // 1 from a jump until its first sample is handed back
    int32_t lent;          // from mp3s_next_block until the block is given: 1 for the window,
                           // 2 for the restart's blocks (`ahead`)
    int32_t lent_stale;    // 1 when a jump came between: the block given is for the old offset
    int64_t lent_at;       // the file offset named for the block lent
    // A looping pass's restart, asked for ahead of the seam so that the poll that crosses it has
    // the pass's last frames and the restart's pre-roll at hand together: up to two blocks from
    // the offset decoding restarts at, kept from pass to pass (the same bytes every time).
    MpegWindow ahead;      // empty (no memory) until a loop first asks for it
    int32_t ahead_last;    // -1, or the valid bytes of the file's last block, held last in it
    int32_t ahead_failed;  // 1 when its memory could not be had: seams wait for their blocks
    int32_t loop;          // non-zero: start again when the data (or the loop points' pass) ends
    int32_t points;        // 1 while loop points are set
    int64_t loop_start, loop_end; // as set (end 0: the end of the data)
    int64_t pass_end;      // handed-back index where this pass jumps back; -1: the data's end
    Mp3Fade fade;          // mp3s_fade's gain on the PCM handed back
    int32_t tag_points;    // 1 when the first block's tags give loop points (taken gapless)
    int64_t tag_start, tag_end;
    mutable Mp3Lock lock;  // held by every call; the poll only tries it
};
