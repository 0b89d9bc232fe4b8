// mp3dec --bench: the decode timed again and again for at least a second.
#pragma once

#include <cstdint>

#include "decode.h"
#include "mpeg_core.h"

// Decodes the data in memory the core read (data in memory only: its decode starts again at
// frame 0) again and again for at least a second, the PCM counted and dropped, and reports on
// stderr the speed against real time and the time per frame, by the wall clock and in CPU time
// (far less disturbed on a shared machine). `first` is the decode that wrote the output,
// pcm_bytes its PCM bytes.
void bench_run(MpegCore* c, bool gapless, const Decoded& first, int64_t pcm_bytes);
