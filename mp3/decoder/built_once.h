// A table built on first use and read-only after, shared by every decoder on every thread.
// A function's static with a run-time initialiser would do the same, but its guard comes from
// the C++ runtime, and libmpegdec needs only the C library and libm: here the operating
// system's once-only call guards the build (threads.h), and a flag read with acquire order keeps the common path to one
// load. Build fills the zeroed table in place (some tables are too large for a stack copy).
#pragma once

#include "threads.h"

template <typename T, void (*Build)(T*)>
struct BuiltOnce {
    static inline T value;  // zero before the build: constant-initialised, nothing to guard
    static inline ZivOnce once;  // zero: not yet built
    static inline int ready;

    static void build() {
        Build(&value);
        __atomic_store_n(&ready, 1, __ATOMIC_RELEASE);
    }
    static const T& get() {
        if (__builtin_expect(!__atomic_load_n(&ready, __ATOMIC_ACQUIRE), 0))
            ziv_thread_once(&once, build);
        return value;
    }
};
