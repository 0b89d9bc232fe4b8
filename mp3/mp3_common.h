// Pieces shared by the in-memory and the streamed player: the conversion of signed 16-bit PCM
// to the unsigned form Allegro's audio streams take, the layer number of a header, the size of
// a frame with its padding, and the automatic-polling plumbing over Allegro's parameterised
// timer (one callback per player type, the player itself as the parameter).
#pragma once

#include <atomic>
#include <cstdint>

#include "mpeg_decoder.h"

// Flips the sign bit of every 16-bit sample in the first `bytes` bytes of buf (one 32-bit XOR
// with 0x80008000 per two samples): signed silence 0 becomes unsigned silence 0x8000.
void mp3_to_unsigned(void* buf, int32_t bytes);

// 1, 2 or 3 for Layer I, II, III from the header's raw layer code; -1 for the reserved code.
int32_t mp3_layer_number(const MpegHeader* h);

// Bytes of the largest frame of a stream whose unpadded frame size is frame_bytes (a Layer I
// padding slot is 4 bytes, the other layers' 1).
int32_t mp3_max_frame_bytes(const MpegHeader* h, int32_t frame_bytes);

// Allegro timer hooks (defined in mp3_common.cpp so that the Allegro header stays out of here).
using Mp3TimerProc = void (*)(void* param);
void mp3_timer_install(Mp3TimerProc proc, void* param, int32_t ms);
void mp3_timer_remove(Mp3TimerProc proc, void* param);

// Automatic polling. P has `std::atomic<int32_t> autopoll` (-1 while wanted), `autopoll_ms` and
// `stream` (non-null while playing); Poll is the player's poll. The timer is installed only while
// the player plays: start/stop record the wish, play and stop follow it.
template <typename P, int32_t (*Poll)(P*)>
struct Mp3Autopoll {
    static void tick(void* param) { Poll(static_cast<P*>(param)); }

    static void start(P* p, int32_t ms) {
        if (!p || p->autopoll.load() != 0) return;
        p->autopoll_ms = ms;
        p->autopoll.store(-1);
        if (p->stream) mp3_timer_install(&tick, p, ms);
    }
    static void stop(P* p) {
        if (!p || p->autopoll.exchange(0) == 0) return;
        if (p->stream) mp3_timer_remove(&tick, p);
    }
    // Called by play once the stream runs, and by stop before the stream goes.
    static void on_play(P* p) {
        if (p->autopoll.load() != 0) mp3_timer_install(&tick, p, p->autopoll_ms);
    }
    static void on_stop(P* p) {
        if (p->autopoll.load() != 0) mp3_timer_remove(&tick, p);
    }
};
