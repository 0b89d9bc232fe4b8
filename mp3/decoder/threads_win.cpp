// threads.h over the Windows calls: CreateThread, InitOnceExecuteOnce, slim reader/writer locks
// and condition variables (none of them needs the C runtime's or a pthread library's help), the
// process's affinity mask and the performance counter.
#include "threads.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdlib.h>

static_assert(sizeof(INIT_ONCE) <= sizeof(ZivOnce), "an INIT_ONCE fits ZivOnce");
static_assert(sizeof(SRWLOCK) <= sizeof(ZivMutex), "an SRWLOCK fits ZivMutex");
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(ZivCond), "a CONDITION_VARIABLE fits ZivCond");

namespace {

// A zeroed ZivOnce is an INIT_ONCE not yet run (INIT_ONCE_STATIC_INIT is zero).
SRWLOCK* native(ZivMutex* m) { return reinterpret_cast<SRWLOCK*>(m->room); }
CONDITION_VARIABLE* native(ZivCond* c) { return reinterpret_cast<CONDITION_VARIABLE*>(c->room); }

struct Start {
    void* (*fn)(void*);
    void* arg;
};

DWORD WINAPI run_thread(LPVOID p) {
    const Start s = *static_cast<Start*>(p);
    free(p);
    s.fn(s.arg);
    return 0;
}

BOOL CALLBACK run_once(PINIT_ONCE, PVOID fn, PVOID*) {
    reinterpret_cast<void (*)()>(fn)();
    return TRUE;
}

}  // namespace

int32_t ziv_thread_start(ZivThread* t, void* (*fn)(void*), void* arg) {
    Start* s = static_cast<Start*>(malloc(sizeof(Start)));
    if (!s) return 0;
    s->fn = fn;
    s->arg = arg;
    HANDLE h = CreateThread(nullptr, 0, run_thread, s, 0, nullptr);
    if (!h) {
        free(s);
        return 0;
    }
    t->handle = h;
    return 1;
}

void ziv_thread_join(ZivThread t) {
    WaitForSingleObject(static_cast<HANDLE>(t.handle), INFINITE);
    CloseHandle(static_cast<HANDLE>(t.handle));
}

void ziv_thread_once(ZivOnce* once, void (*fn)()) {
    InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(&once->word), run_once,
                        reinterpret_cast<PVOID>(fn), nullptr);
}

void ziv_mutex_init(ZivMutex* m) { InitializeSRWLock(native(m)); }
void ziv_mutex_destroy(ZivMutex*) {}
void ziv_mutex_lock(ZivMutex* m) { AcquireSRWLockExclusive(native(m)); }
void ziv_mutex_unlock(ZivMutex* m) { ReleaseSRWLockExclusive(native(m)); }
void ziv_cond_init(ZivCond* c) { InitializeConditionVariable(native(c)); }
void ziv_cond_destroy(ZivCond*) {}
void ziv_cond_wait(ZivCond* c, ZivMutex* m) { SleepConditionVariableSRW(native(c), native(m), INFINITE, 0); }
void ziv_cond_broadcast(ZivCond* c) { WakeAllConditionVariable(native(c)); }

int32_t ziv_processors(void) {
    DWORD_PTR process = 0, system = 0;
    int32_t n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1) ++n;
    if (n > 0) return n;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors > 1 ? int32_t(si.dwNumberOfProcessors) : 1;
}

int64_t ziv_thread_clock_ns(void) {
    LARGE_INTEGER f, t;
    if (!QueryPerformanceFrequency(&f) || !QueryPerformanceCounter(&t) || f.QuadPart <= 0) return 0;
    // Whole seconds and the rest apart: the count times 10^9 overflows after a few days.
    const int64_t s = t.QuadPart / f.QuadPart, r = t.QuadPart % f.QuadPart;
    return s * 1000000000 + r * 1000000000 / f.QuadPart;
}
