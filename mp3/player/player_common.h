// The Allegro glue shared by the in-memory and the streamed player: the conversion of signed
// 16-bit PCM to the unsigned form Allegro's audio streams take, the stream's start and stop, the
// silent tail, the locked poll and queries, and the automatic-polling plumbing over Allegro's
// parameterised timer (one callback per player type, the player itself as the parameter).
#pragma once

#include <atomic>
#include <cstdint>

#include "core.h"
#include "mp3_lock.h"
#include "mpeg_decoder.h"

// Flips the sign bit of every 16-bit sample in the first `bytes` bytes of buf (one 32-bit XOR
// with 0x80008000 per two samples): signed silence 0 becomes unsigned silence 0x8000.
void mp3_to_unsigned(void* buf, int32_t bytes);

struct AUDIOSTREAM;

// Converts a filled stream buffer (16-bit output only; 8-bit is already unsigned) and hands it
// back to the stream: the one hand-back of a poll.
void mp3_hand_back(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits);

// Allegro timer hooks (defined in player_common.cpp so that the Allegro header stays out of here).
using Mp3TimerProc = void (*)(void* param);
void mp3_timer_install(Mp3TimerProc proc, void* param, int32_t ms);
void mp3_timer_remove(Mp3TimerProc proc, void* param);

// Plays the core's output format in a new Allegro stream of `fpb` frames a buffer, at `speed`
// (1000 normal). Null when Allegro gives no stream.
AUDIOSTREAM* mp3_open_stream(const MpegCore* c, int32_t fpb, int32_t vol, int32_t pan,
                             int32_t speed);
void mp3_close_stream(AUDIOSTREAM* stream);
void mp3_adjust_stream(AUDIOSTREAM* stream, int32_t vol, int32_t pan, int32_t speed);
// The stream's sample data, for mp3_output_buffer and mp3s_output_buffer.
void* mp3_stream_data(AUDIOSTREAM* stream);

// Automatic polling. P has `std::atomic<int32_t> autopoll` (-1 while wanted), `autopoll_ms` and
// `stream` (non-null while playing); Poll is the player's poll. The timer is installed only while
// the player plays: start/stop record the wish, play and stop follow it.
template <typename P, int32_t (*Poll)(P*)>
struct Mp3Autopoll {
    static void tick(void* param) { Poll(static_cast<P*>(param)); }

    // start and stop take the player's lock (a null player holds nothing).
    static void start(P* p, int32_t ms) {
        const Mp3Hold<P> hold(p);
        if (!p || p->autopoll.load() != 0) return;
        p->autopoll_ms = ms;
        p->autopoll.store(-1);
        if (p->stream) mp3_timer_install(&tick, p, ms);
    }
    static void stop(P* p) {
        const Mp3Hold<P> hold(p);
        if (!p || p->autopoll.exchange(0) == 0) return;
        if (p->stream) mp3_timer_remove(&tick, p);
    }
    // Called by play once the stream runs.
    static void on_play(P* p) {
        if (p->autopoll.load() != 0) mp3_timer_install(&tick, p, p->autopoll_ms);
    }
    // Stops a playing stream: the timer goes first, so that no poll starts on a stream that is
    // being stopped.
    static void close(P* p) {
        if (p->autopoll.load() != 0) mp3_timer_remove(&tick, p);
        mp3_close_stream(p->stream);
        p->stream = nullptr;
    }
};

// The silent tail after the data's end: while *tail_polls is set, hands buf (bytes, silent) back
// and gives 0 while more silent polls are to come, 1 when the tail is over; -1 without a tail.
int32_t mp3_tail_poll(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits,
                      int32_t* tail_polls);

// The poll only tries the lock: while a control call holds the player (from another thread) this
// tick gives up at once, as a poll that finds no free buffer does.
template <typename P, int32_t (*Held)(P*)>
int32_t mp3_poll_trying(P* p) {
    if (!p) return -1;
    if (!mp3_try_lock(&p->lock)) return 0;
    const int32_t r = Held(p);
    mp3_unlock(&p->lock);
    return r;
}

// Destroys a player: waits for a poll in progress, stops it (the stop removes the timer, so no
// poll starts afterwards) and frees it.
template <typename P, void (*Stop)(P*), void (*Release)(P*)>
void mp3_destroy_player(P* p) {
    if (!p) return;
    {
        const Mp3Hold<P> hold(p);
        Stop(p);
    }
    Release(p);
}

// A query of one of the core's fields under the player's lock: its value, or 0 for null.
template <typename P, typename F>
int32_t player_core_field(const P* p, F MpegCore::*field) {
    const Mp3Hold<P> hold(p);
    return p ? int32_t(p->core.*field) : 0;
}

// A query of the core under the player's lock: f(core), or 0 for null.
template <typename P>
int32_t player_core_query(const P* p, int32_t (*f)(const MpegCore*)) {
    const Mp3Hold<P> hold(p);
    return p ? f(&p->core) : 0;
}
