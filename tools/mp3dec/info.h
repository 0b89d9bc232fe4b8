// mp3dec --info: what a file is and what it says about itself, printed for a person or as one
// JSON object. The caller has found the stream's first frame and decoded the stream as the
// default decode does, to count the samples it gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "core.h"

struct InfoFacts {
    const uint8_t* data;  // the whole input
    size_t len;
    int64_t first;        // offset of the stream's first frame in data
    const MpegCore* core; // set up from that frame
    int32_t sample_rate;  // of the output, Hz
    int32_t channels;     // of the output
    int64_t samples;      // per channel, as the decode gave them
};

// Prints the facts, the LAME tag's and the tags' to out. Returns 0, or 2 when memory ran out
// reading the tags (after saying so on stderr).
int info_print(const InfoFacts& facts, bool json, FILE* out);
