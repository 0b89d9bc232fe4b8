// The layouts of the two players, private to the library and its own tests: callers see the
// records only as opaque handles (mp3_player.h, mp3_stream_player.h), so fields may change
// without touching a program built against the library.
#pragma once

#include <atomic>
#include <cstdint>

#include "core.h"
#include "mp3_lock.h"
#include "mp3_player.h"
#include "mp3_stream_player.h"
#include "window.h"

struct AUDIOSTREAM;

struct Mp3Player {
    MpegCore core;          // decoder, frame synchronisation, format, gapless run, frame index
    const uint8_t* start;  // the first frame (after any leading tags and junk)
    const uint8_t* pos;    // next byte to decode
    int32_t data_len;      // bytes from start (trailing tags excluded)
    int32_t total_frames;
    AUDIOSTREAM* stream;   // playing exactly when not null
    int32_t loop;
    int32_t frames_per_buffer;
    std::atomic<int32_t> autopoll; // -1 while automatic polling is wanted (read by the timer thread)
    int32_t autopoll_ms;
    int32_t tail_polls;    // silent polls still to give after the data ended
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
    AUDIOSTREAM* stream;   // playing exactly when not null
    int32_t frames_per_buffer;
    std::atomic<int32_t> autopoll; // -1 while automatic polling is wanted (read by the timer thread)
    int32_t autopoll_ms;
    int32_t tail_polls;
    int32_t pending;       // -1 while the first frame is still to come (tags fill the blocks)
    uint8_t* held;         // a stream buffer being filled across polls (waiting for blocks)
    int32_t held_bytes;    // bytes of `held` already filled
    int32_t want_play;     // play asked for while pending: its arguments follow
    int32_t want_bytes, want_vol, want_pan, want_speed;
    mutable Mp3Lock lock;  // held by every call; the poll only tries it
};
