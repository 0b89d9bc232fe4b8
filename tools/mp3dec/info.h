// mp3dec --info: what a file is and what it says about itself, printed for a person or as one
// JSON object. Everything comes from the public core (mpeg_core.h): its record of the stream's
// facts, its length and its tags; nothing is decoded.
#pragma once

#include <cstdint>

// How the input would be decoded: the decoder's options and gapless on or off, which set the
// output's rate, channels and length.
struct InfoOptions {
    const char* input;  // a file, or "-" for standard input
    int32_t reduction;
    int32_t convert;
    int32_t freq_limit;
    bool gapless;
    bool json;
};

// Opens the input (a file through a reader, 64-bit offsets, a piece at a time; standard input
// read whole), prints its facts to standard output. Returns mp3dec's exit status: 0, or 2 after
// one line on stderr (unreadable input, no MPEG audio, out of memory, output not written).
int info_run(const InfoOptions& o);
