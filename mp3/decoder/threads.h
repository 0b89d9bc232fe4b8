// Threads and what they share, over the operating system's own calls: threads_posix.cpp
// (pthread) or threads_win.cpp (Windows threads, INIT_ONCE, slim reader/writer locks and
// condition variables); the build compiles the one for its target. Only what the library and
// mp3dec use: start and join, once-only set-up, a mutex with a condition to wait on, the
// processors the process may run on and a clock for a thread's own work. The records are plain
// storage, so no system header reaches the decoder's sources.
#pragma once

#include <stdint.h>

// A started thread, joined exactly once.
struct ZivThread {
    void* handle;
};
// Runs fn(arg) on a new thread: 1, or 0 when none could be started (nothing to join then).
int32_t ziv_thread_start(ZivThread* t, void* (*fn)(void*), void* arg);
void ziv_thread_join(ZivThread t);

// Once-only set-up: the first ziv_thread_once on a zeroed ZivOnce (a static's) runs `fn`; every
// call, on any thread, returns after it has run.
struct ZivOnce {
    void* word;
};
void ziv_thread_once(ZivOnce* once, void (*fn)());

// A mutex and a condition variable, each set up before use and ended after.
struct ZivMutex {
    alignas(8) unsigned char room[64];
};
struct ZivCond {
    alignas(8) unsigned char room[64];
};
void ziv_mutex_init(ZivMutex* m);
void ziv_mutex_destroy(ZivMutex* m);
void ziv_mutex_lock(ZivMutex* m);
void ziv_mutex_unlock(ZivMutex* m);
void ziv_cond_init(ZivCond* c);
void ziv_cond_destroy(ZivCond* c);
// Releases m, waits for a broadcast (or wakes spuriously), takes m again.
void ziv_cond_wait(ZivCond* c, ZivMutex* m);
void ziv_cond_broadcast(ZivCond* c);

// The processors this process may run on (Linux: its affinity set; Windows: its affinity mask in
// its processor group), at least 1; the machine's count where the system cannot tell.
int32_t ziv_processors(void);

// A clock in nanoseconds for timing a short stretch of the calling thread's own work: the
// thread's processor time where the system counts it finely (Linux), else a monotonic wall clock
// (Windows, whose thread times advance by whole scheduler ticks of about 15 ms, too coarse for a
// millisecond's probe; other threads' work then counts in).
int64_t ziv_thread_clock_ns(void);
