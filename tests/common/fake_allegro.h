// A fake of Allegro's audio stream, timer and sample calls for the player tests. Buffers come
// from a two-buffer "stream" filled with garbage (so that a player that forgets to clear one is
// caught); every buffer handed back is recorded; timers are fired by hand or by a timer thread.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <allegro.h>

namespace fake_al {

struct Timer {
    void (*proc)(void*);
    void* param;
    long ms;
};

struct State {
    // Controls.
    bool fail_stream = false; // play_audio_stream gives null (no driver, no voice)
    bool buffer_free = true;  // get_audio_stream_buffer gives a buffer

    // What the players did.
    int plays = 0, stops = 0, gets = 0, frees = 0, adjusts = 0;
    int errors = 0; // frees without a buffer out, gets with one still out, calls on a dead stream
    int len = 0, bits = 0, stereo = 0, freq = 0, vol = 0, pan = 0; // last play_audio_stream
    int adj_vol = 0, adj_pan = 0, adj_freq = 0, adj_loop = 0;      // last adjust_sample
    std::vector<std::vector<uint8_t>> handed;                    // every buffer handed back
    std::vector<Timer> timers;                                     // installed now
    int installs = 0, removes = 0;
    int live_samples = 0;
    std::vector<const char*> calls; // stream and timer calls in order: "play", "stop", "install", "remove"
    AUDIOSTREAM* stream = nullptr; // the stream now playing
};

State& st();
void reset();                // stops any stream, forgets timers, clears every record
void fire_timers();          // calls each installed timer once
// A real timer thread, as Allegro's: every ms it calls the installed timers holding one recursive
// timer lock, which install_param_int and remove_param_int take too, so that removing a timer
// waits for a callback in progress (the other calls take only the record's lock).
void start_timer_thread();
void stop_timer_thread();
// Runs f holding the fake's lock (to read the record while the timer thread runs).
void with_lock(const std::function<void()>& f);
int buffer_bytes();          // bytes of one buffer of the current stream

// The samples of a handed-back 16-bit buffer with the sign bit flipped back (signed PCM).
std::vector<int16_t> signed_samples(const std::vector<uint8_t>& buf);

}  // namespace fake_al
