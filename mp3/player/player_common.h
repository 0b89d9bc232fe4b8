// Pieces shared by the in-memory and the streamed player: the conversion of signed 16-bit PCM
// to the unsigned form Allegro's audio streams take, and the
// automatic-polling plumbing over Allegro's parameterised timer (one callback per player type,
// the player itself as the parameter).
#pragma once

#include <atomic>
#include <cstdint>

#include "gapless.h"
#include "mpeg_decoder.h"

// Flips the sign bit of every 16-bit sample in the first `bytes` bytes of buf (one 32-bit XOR
// with 0x80008000 per two samples): signed silence 0 becomes unsigned silence 0x8000.
void mp3_to_unsigned(void* buf, int32_t bytes);


struct AUDIOSTREAM;


// Converts a filled stream buffer (16-bit output only; 8-bit is already unsigned) and hands it
// back to the stream: the one hand-back of a poll.
void mp3_hand_back(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits);

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

// Time arithmetic shared by both players. P has `stereo`, `bits`, `frequency`,
// `frame_pcm_bytes` and `current_frame`.
template <typename P>
int32_t mp3_sample_bytes_of(const P* p) {
    return (p->stereo ? 2 : 1) * (p->bits / 8);
}
template <typename P>
int64_t mp3_frame_samples_of(const P* p) {
    return p->frame_pcm_bytes / mp3_sample_bytes_of(p);
}
template <typename P>
int32_t mp3_bytes_per_second_of(const P* p) {
    return mp3_sample_bytes_of(p) * p->frequency;
}

// Whole milliseconds, truncated: 26 for a 44.1 kHz Layer III frame (26.12 ms).
template <typename P>
int32_t mp3_frame_ms_of(const P* p) {
    int32_t bps = mp3_bytes_per_second_of(p);
    return bps > 0 ? static_cast<int32_t>(double(p->frame_pcm_bytes) / bps * 1000.0) : 0;
}

template <typename P>
int32_t mp3_position_ms_of(const P* p) {
    if (p->frequency <= 0) return 0;
    double samples = double(int64_t(p->current_frame) * p->frame_pcm_bytes) /
                     ((p->stereo ? 2 : 1) * (p->bits / 8));
    return static_cast<int32_t>(samples / p->frequency * 1000.0);
}
