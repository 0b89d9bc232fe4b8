// threads.h over pthread, Linux's processor affinity and the thread's processor-time clock.
#include "threads.h"

#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_t) <= sizeof(void*), "a pthread_t fits the thread's handle");
static_assert(sizeof(pthread_once_t) <= sizeof(ZivOnce) && alignof(pthread_once_t) <= alignof(ZivOnce),
              "a pthread_once_t fits ZivOnce");
static_assert(sizeof(pthread_mutex_t) <= sizeof(ZivMutex) && alignof(pthread_mutex_t) <= alignof(ZivMutex),
              "a pthread_mutex_t fits ZivMutex");
static_assert(sizeof(pthread_cond_t) <= sizeof(ZivCond) && alignof(pthread_cond_t) <= alignof(ZivCond),
              "a pthread_cond_t fits ZivCond");

namespace {
// A zeroed ZivOnce is a pthread_once_t not yet run.
constexpr pthread_once_t kOnceInit = PTHREAD_ONCE_INIT;
static_assert(kOnceInit == 0, "PTHREAD_ONCE_INIT is zero");

pthread_mutex_t* native(ZivMutex* m) { return reinterpret_cast<pthread_mutex_t*>(m->room); }
pthread_cond_t* native(ZivCond* c) { return reinterpret_cast<pthread_cond_t*>(c->room); }
}  // namespace

int32_t ziv_thread_start(ZivThread* t, void* (*fn)(void*), void* arg) {
    pthread_t id;
    if (pthread_create(&id, nullptr, fn, arg) != 0) return 0;
    t->handle = nullptr;
    memcpy(&t->handle, &id, sizeof id);
    return 1;
}

void ziv_thread_join(ZivThread t) {
    pthread_t id;
    memcpy(&id, &t.handle, sizeof id);
    pthread_join(id, nullptr);
}

void ziv_thread_once(ZivOnce* once, void (*fn)()) {
    pthread_once(reinterpret_cast<pthread_once_t*>(&once->word), fn);
}

void ziv_mutex_init(ZivMutex* m) { pthread_mutex_init(native(m), nullptr); }
void ziv_mutex_destroy(ZivMutex* m) { pthread_mutex_destroy(native(m)); }
void ziv_mutex_lock(ZivMutex* m) { pthread_mutex_lock(native(m)); }
void ziv_mutex_unlock(ZivMutex* m) { pthread_mutex_unlock(native(m)); }
void ziv_cond_init(ZivCond* c) { pthread_cond_init(native(c), nullptr); }
void ziv_cond_destroy(ZivCond* c) { pthread_cond_destroy(native(c)); }
void ziv_cond_wait(ZivCond* c, ZivMutex* m) { pthread_cond_wait(native(c), native(m)); }
void ziv_cond_broadcast(ZivCond* c) { pthread_cond_broadcast(native(c)); }

int32_t ziv_processors(void) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        return n > 1 ? n : 1;
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 1 && n < INT32_MAX ? int32_t(n) : 1;
}

int64_t ziv_thread_clock_ns(void) {
    timespec t;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}
