// The in-memory player's layout, private to the library and its own tests: callers see the
// record only as an opaque handle (mp3_player.h), so fields may change without touching a
// program built against the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "mp3_lock.h"
#include "player_common.h"
#include "mp3_player.h"

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

