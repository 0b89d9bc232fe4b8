// The lock that makes the players' calls safe against their automatic poll on Allegro's timer
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

// A player's lock. Every public call takes it, waiting while another thread holds it; the poll
// only tries it and gives up the tick when a control call holds the player, so the timer thread
// never waits. A thread that holds it may take it again (a poll stopping its player, a seek by
// time calling the seek by frame).
struct Mp3Lock {
    std::atomic<int32_t> held{0};
    std::atomic<std::thread::id> owner{};
    int32_t depth = 0; // touched only by the owner
};

inline bool mp3_try_lock(Mp3Lock* l) {
    const std::thread::id me = std::this_thread::get_id();
    if (l->owner.load(std::memory_order_relaxed) == me) {
        ++l->depth;
        return true;
    }
    if (l->held.exchange(1, std::memory_order_acquire) != 0) return false;
    l->owner.store(me, std::memory_order_relaxed);
    l->depth = 1;
    return true;
}

inline void mp3_lock(Mp3Lock* l) {
    while (!mp3_try_lock(l)) std::this_thread::yield();
}

inline void mp3_unlock(Mp3Lock* l) {
    if (--l->depth > 0) return;
    l->owner.store(std::thread::id(), std::memory_order_relaxed);
    l->held.store(0, std::memory_order_release);
}

// Holds a player's lock for a scope; a null player holds nothing.
template <typename P>
struct Mp3Hold {
    Mp3Lock* l;
    explicit Mp3Hold(const P* p) : l(p ? &p->lock : nullptr) {
        if (l) mp3_lock(l);
    }
    ~Mp3Hold() {
        if (l) mp3_unlock(l);
    }
    Mp3Hold(const Mp3Hold&) = delete;
    Mp3Hold& operator=(const Mp3Hold&) = delete;
};

// A query of one of the player's fields under its lock: the field's value, or 0 for null.
template <typename P, typename F>
int32_t mp3_held_field(const P* p, F P::*field) {
    const Mp3Hold<P> hold(p);
    return p ? int32_t(p->*field) : 0;
}
