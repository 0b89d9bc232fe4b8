// mp3dec's decode: the core read into the output until the stream ends, and the rule for the
// decode on several threads.
#pragma once

#include <cstdint>

#include "input.h"
#include "mpeg_core.h"
#include "options.h"
#include "pcm_output.h"

struct Decoded {
    int32_t end;          // MP3_ENDED, MP3_OTHER_STREAM when another stream follows, or the
                          // failure that stopped the reading
    int64_t frames;       // frames decoded (an Info frame left out is not one)
    int64_t end_at;       // input offset where the reading stopped: another stream's first byte
    int32_t write_error;
    int32_t read_error;
};

// Whether the input is decoded on several threads: a regular file (below 1 GiB, the most the
// frame index addresses) decoded where -j asks for more than one thread, or by default where the
// process may run on more than one processor (the core then decides whether they pay).
bool decode_on_threads(const Options& o, const Input& in);

// Decodes the stream the core has found into out, gapless as the core was set (which the frame
// count follows). With `threads` >= 0 (0: the core's default)
// and data in memory, the frames but the last few are decoded first on several threads, each
// piece written at its place where out is a regular file of ours (mpeg_core_decode_all); the
// rest is read as usual. Where the gapless run ends before the data, the frames after it are
// stepped over to tell whether another stream follows (mpeg_core_scan_rest).
Decoded decode_stream(MpegCore* c, PcmOutput* out, bool gapless, int32_t threads);
