// The Layer I/II bit reader: most significant bit first, a 32-bit accumulator holding the next
// bits at its top. Every read is bounded by the reader's `end`: bytes at or past it read as zero,
// so a frame whose allocation calls for more bits than it holds yields zeros instead of reading
// past its bytes. All operations are inline; the frame decoders keep a local copy in registers.
#pragma once

#include <cstdint>

#include "layer12_state.h"

// Starts reading at `p`; nothing at or past `end` is ever read.
inline void bits_begin(BitReader* br, const uint8_t* p, const uint8_t* end) {
    br->ptr = p;
    br->end = end;
    br->acc = 0;
    br->nbits = 0;
}

// Loads bytes below the bits held until more than 24 bits are held. Away from the end the
// (32 - nbits) / 8 bytes the byte loop would load come from one 4-byte read, cut to those bytes.
inline void bits_fill(BitReader* br) {
    if (br->nbits <= 24 && br->end - br->ptr >= 4) {
        const int32_t k = (32 - br->nbits) >> 3;
        const uint32_t word = uint32_t(br->ptr[0]) << 24 | uint32_t(br->ptr[1]) << 16 |
                              uint32_t(br->ptr[2]) << 8 | uint32_t(br->ptr[3]);
        const int32_t cut = 32 - 8 * k;  // 0..24
        br->acc |= (word >> cut << cut) >> br->nbits;
        br->ptr += k;
        br->nbits += 8 * k;
        return;
    }
    while (br->nbits <= 24) {
        uint32_t b = 0;
        if (br->ptr < br->end) b = *br->ptr++;
        br->acc |= b << (24 - br->nbits);
        br->nbits += 8;
    }
}

// The next n bits (1-24) without refilling: the caller made sure at least n are held.
inline uint32_t bits_take(BitReader* br, int32_t n) {
    uint32_t v = br->acc >> (32 - n);
    br->acc <<= n;
    br->nbits -= n;
    return v;
}

// The next n bits (1-24), most significant first.
inline uint32_t bits_get(BitReader* br, int32_t n) {
    if (br->nbits < n) bits_fill(br);
    return bits_take(br, n);
}

// Passes over n bits (n >= 0) in one step, whatever their number.
inline void bits_skip(BitReader* br, int32_t n) {
    if (n <= br->nbits) {
        // A shift by 32 is undefined; n == 32 only happens with a full accumulator.
        br->acc = n < 32 ? br->acc << n : 0;
        br->nbits -= n;
        return;
    }
    int32_t rest = n - br->nbits;
    int32_t bytes = rest >> 3;
    int32_t left = br->ptr < br->end ? int32_t(br->end - br->ptr) : 0;
    br->ptr += bytes < left ? bytes : left;
    uint32_t b = 0;
    if (br->ptr < br->end) b = *br->ptr++;
    br->acc = b << 24;
    br->nbits = 8;
    br->acc <<= rest & 7;
    br->nbits -= rest & 7;
}
