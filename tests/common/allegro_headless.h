// Allegro without a display or sound driver, for tests that use its data file loader, font
// and FLI reader as independent checks of what the generators wrote. The FLI reader installs a
// timer, which the no-system driver lacks: it is lent the Unix pthreads timer and a mutex.
#pragma once

#include <allegro.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>

namespace ziv {
namespace headless {

inline _DRIVER_INFO* timer_list() {
    static _DRIVER_INFO list[] = {{TIMERDRV_UNIX_PTHREADS, &timerdrv_unix_pthreads, TRUE}, {0, nullptr, 0}};
    return list;
}

inline void* mutex_create() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* m = new pthread_mutex_t;
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return m;
}

inline void mutex_destroy(void* m) {
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(m));
    delete static_cast<pthread_mutex_t*>(m);
}

inline void mutex_lock(void* m) { pthread_mutex_lock(static_cast<pthread_mutex_t*>(m)); }
inline void mutex_unlock(void* m) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)); }

}  // namespace headless

// Starts Allegro once per test program in 16-bit colour with Latin-1 text, as the demo runs.
inline bool allegro_headless() {
    static const bool ok = [] {
        system_none.timer_drivers = headless::timer_list;
        system_none.create_mutex = headless::mutex_create;
        system_none.destroy_mutex = headless::mutex_destroy;
        system_none.lock_mutex = headless::mutex_lock;
        system_none.unlock_mutex = headless::mutex_unlock;
        set_uformat(U_ASCII);
        if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) return false;
        if (install_timer() != 0) return false;
        set_color_depth(16);
        return true;
    }();
    return ok;
}

}  // namespace ziv
