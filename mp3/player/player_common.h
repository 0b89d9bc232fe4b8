// The Allegro glue shared by the in-memory and the streamed player: the conversion of signed
// 16-bit PCM to the unsigned form Allegro's audio streams take, the stream's start and stop, the
// silent tail, the locked poll and queries, and the automatic-polling plumbing over Allegro's
// parameterised timer (one callback per player type, the player itself as the parameter).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "mp3_lock.h"
#include "mpeg_core.h"

// Flips the sign bit of every 16-bit sample in the first `bytes` bytes of buf (one 32-bit XOR
// with 0x80008000 per two samples): signed silence 0 becomes unsigned silence 0x8000.
void mp3_to_unsigned(void* buf, int32_t bytes);

struct AUDIOSTREAM;

// The core's fade (a gain and a ramp in samples) for `volume` (0-255) over `ms` at
// `frequency`: 0, or -1 for a volume outside 0-255 or ms < 0.
int32_t mp3_fade_args(int32_t volume, int32_t ms, int32_t frequency, int32_t* gain,
                      int64_t* samples);

// Converts a filled stream buffer (16-bit output only; 8-bit is already unsigned) and hands it
// back to the stream: the one hand-back of a poll.
void mp3_hand_back(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits);

// Allegro timer hooks (defined in player_common.cpp so that the Allegro header stays out of here).
using Mp3TimerProc = void (*)(void* param);
void mp3_timer_install(Mp3TimerProc proc, void* param, int32_t ms);
void mp3_timer_remove(Mp3TimerProc proc, void* param);

// What a player plays: the stream's sample size, channels (-1 two, 0 one) and rate, and the PCM
// bytes of one frame.
struct Mp3Format {
    int32_t bits;
    int32_t stereo;
    int32_t frequency;
    int32_t frame_pcm_bytes;
};

inline Mp3Format mp3_format_of(const MpegOutputFormat& f) {
    return Mp3Format{f.bits, f.channels >= 2 ? -1 : 0, f.sample_rate, (f.bits / 8) * f.out_samples};
}
// Bytes of one sample of every channel.
inline int32_t mp3_sample_bytes(const Mp3Format& f) { return (f.stereo ? 2 : 1) * (f.bits / 8); }
// A frame's duration in whole milliseconds, truncated (26 for a 44.1 kHz Layer III frame); 0
// before the format is known.
inline int32_t mp3_frame_ms_of(const Mp3Format& f) {
    const int32_t bps = mp3_sample_bytes(f) * f.frequency;
    return bps > 0 ? static_cast<int32_t>(double(f.frame_pcm_bytes) / bps * 1000.0) : 0;
}

// Plays the format in a new Allegro stream of `fpb` frames a buffer, at `speed` (1000 normal).
// Null when Allegro gives no stream.
AUDIOSTREAM* mp3_open_stream(const Mp3Format& f, int32_t fpb, int32_t vol, int32_t pan,
                             int32_t speed);
void mp3_close_stream(AUDIOSTREAM* stream);
void mp3_adjust_stream(AUDIOSTREAM* stream, int32_t vol, int32_t pan, int32_t speed);
// The stream's sample data, for mp3_output_buffer and mp3s_output_buffer.
void* mp3_stream_data(AUDIOSTREAM* stream);

// Automatic polling. P has `std::atomic<int32_t> autopoll` (-1 while wanted), `autopoll_ms`,
// `stream` (non-null while playing), `timer_ops` (a std::mutex) and `timer_on`; Poll is the
// player's poll. The timer is installed exactly while the player plays with autopoll wanted.
//
// Allegro runs every timer callback holding its timer lock, and install_param_int and
// remove_param_int take that lock. A game's own callback may query a player (taking the player's
// lock) while holding it, so no player call waits for Allegro's timer lock while it holds the
// player's lock: the calls change the player's state under its lock and then, with the lock
// released, bring the timer in line with it (sync). timer_ops orders those installs and removes
// among themselves; it is taken only outside the player's lock, and the poll, which may run on
// the timer thread, only tries it.
template <typename P, int32_t (*Poll)(P*)>
struct Mp3Autopoll {
    static void tick(void* param) { Poll(static_cast<P*>(param)); }

    // Installs or removes the timer until it agrees with the player's state. Called without the
    // player's lock; `wait` false (the poll): gives up when another thread is at it, or holds
    // the player, and the next tick tries again.
    static void sync(P* p, bool wait) {
        if (!p) return;
        if (wait)
            p->timer_ops.lock();
        else if (!p->timer_ops.try_lock())
            return;
        for (;;) {
            if (!wait && !mp3_try_lock(&p->lock)) break;
            if (wait) mp3_lock(&p->lock);
            const bool want = p->stream && p->autopoll.load() != 0;
            const int32_t ms = p->autopoll_ms;
            mp3_unlock(&p->lock);
            if (want == p->timer_on) break;
            p->timer_on = want;
            if (want)
                mp3_timer_install(&tick, p, ms);
            else
                mp3_timer_remove(&tick, p);
        }
        p->timer_ops.unlock();
    }

    static void start(P* p, int32_t ms) {
        {
            const Mp3Hold<P> hold(p);
            if (!p || p->autopoll.load() != 0) return;
            p->autopoll_ms = ms;
            p->autopoll.store(-1);
        }
        sync(p, true);
    }
    static void stop(P* p) {
        {
            const Mp3Hold<P> hold(p);
            if (!p || p->autopoll.exchange(0) == 0) return;
        }
        sync(p, true);
    }
    // Stops a playing stream (the player's lock held); the timer follows in the next sync.
    static void close(P* p) {
        mp3_close_stream(p->stream);
        p->stream = nullptr;
    }
};

// The silent tail after the data's end: while *tail_polls is set, hands buf (bytes, silent) back
// and gives 0 while more silent polls are to come, 1 when the tail is over; -1 without a tail.
int32_t mp3_tail_poll(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits,
                      int32_t* tail_polls);

// The poll only tries the lock: while a control call holds the player (from another thread) this
// tick gives up at once, as a poll that finds no free buffer does. A poll that stopped the
// stream then removes its timer, outside the player's lock.
template <typename P, int32_t (*Held)(P*), typename Autopoll>
int32_t mp3_poll_trying(P* p) {
    if (!p) return -1;
    if (!mp3_try_lock(&p->lock)) return 0;
    const int32_t r = Held(p);
    const bool stale = !p->stream && p->timer_on;
    mp3_unlock(&p->lock);
    if (stale) Autopoll::sync(p, false);
    return r;
}

// Destroys a player: stops it (the stop removes the timer, outside the player's lock) and frees
// it. With automatic polling wanted, a removal is asked for even when no timer is installed:
// it waits for Allegro's timer lock, so no timer callback that may hold the player is still
// running when it is freed.
template <typename P, void (*Stop)(P*), void (*Release)(P*), typename Autopoll>
void mp3_destroy_player(P* p) {
    if (!p) return;
    Stop(p);
    if (p->autopoll.load() != 0) mp3_timer_remove(&Autopoll::tick, p);
    Release(p);
}

// Queries of either player under its lock (P has `core`, `format` and `lock`): f(core), one of
// the stream's facts (0 before the first frame), one of the output format's; 0 for null.
template <typename P, typename R>
R mp3_core_query(const P* p, R (*f)(const MpegCore*)) {
    const Mp3Hold<P> hold(p);
    return p ? f(p->core) : 0;
}
template <typename P>
int32_t mp3_info_field(const P* p, int32_t MpegStreamInfo::*field) {
    const Mp3Hold<P> hold(p);
    MpegStreamInfo info;
    return p && mpeg_core_get_info(p->core, &info) == MP3_OK ? info.*field : 0;
}
template <typename P>
int32_t mp3_format_field(const P* p, int32_t Mp3Format::*field) {
    const Mp3Hold<P> hold(p);
    return p ? p->format.*field : 0;
}

// Checks loop points against `length` handed-back samples (end 0: the length): 0, or -1.
inline int32_t mp3_check_loop_points(int64_t start, int64_t end, int64_t length) {
    const int64_t e = end == 0 ? length : end;
    return start < 0 || e <= start || e > length ? -1 : 0;
}

// Takes checked loop points into either player and sets it looping. While playing, the pass
// under way keeps its end; a stopped player's next pass ends at `pass_end`, the new points' end.
template <typename P>
void mp3_take_loop_points(P* p, int64_t start, int64_t end, int64_t (*pass_end)(const P*)) {
    p->points = 1;
    p->loop_start = start;
    p->loop_end = end;
    p->loop = 1;
    if (!p->stream) p->pass_end = pass_end(p);
}

