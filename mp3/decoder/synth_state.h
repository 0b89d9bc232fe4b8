// Polyphase synthesis state inside the MpegDecoder: one history ring per output channel, its
// write position, and the butterfly coefficients of the fast cosine transforms.
#pragma once

#include <cstdint>

struct SynthState {
    int32_t synth_pos[2];       // write position into the history of channel 0, then 1
    // Histories: a ring of 16 blocks of N = 32 >> reduction values each, every block stored
    // twice, at q N and (q + 16) N, so the sixteen blocks from any newest one lie in a row.
    float synth_buf[2][1024];
    float synth_rev[2][512];    // per block q of a history, its values N / 2 down to 1 at q N / 2
                                // and (q + 16) N / 2
    int32_t dct_coef_pending;   // non-zero until dct_coef is built
    float dct_coef[31];         // groups n = 16, 8, 4, 2, 1: 0.5 / cos((2k+1)pi/(4n))
};
