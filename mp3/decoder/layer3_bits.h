// The Layer III bit reader: a 32-bit accumulator refilled a byte at a time, read MSB first.
//
// Reading is bounded by `limit`: bytes at or past it are never touched and read as zeros, and
// `cur` stops there, so a reader that runs out always ends up past any guard set below its limit.
// `end` is the end-of-data guard of one granule and channel; the Huffman loops stop once `cur`
// is past it. Only the low `nbits` bits of `acc` are meaningful; consumed bits are cleared.
#pragma once

#include <cstdint>

#include "layer3_state.h"

inline void l3_bits_begin(L3BitReader* br, const uint8_t* p, const uint8_t* limit) {
    br->acc = 0;
    br->nbits = 0;
    br->cur = p;
    br->start = p;
    br->end = limit;
    br->limit = limit;
    br->overrun = 0;
}

// Fetches bytes until more than 24 bits are held. Away from the limit the (32 - nbits) / 8
// bytes the byte loop would fetch come from one 4-byte load: the same bytes, the same cur.
inline void l3_bits_fill(L3BitReader* br) {
    if (br->nbits <= 24 && br->limit - br->cur >= 4) {
        const int32_t k = (32 - br->nbits) >> 3;
        const uint32_t word = uint32_t(br->cur[0]) << 24 | uint32_t(br->cur[1]) << 16 |
                              uint32_t(br->cur[2]) << 8 | uint32_t(br->cur[3]);
        br->acc = uint32_t((uint64_t(br->acc) << (8 * k)) | (word >> (32 - 8 * k)));
        br->cur += k;
        br->nbits += 8 * k;
        return;
    }
    while (br->nbits <= 24) {
        uint32_t b = 0;
        if (br->cur < br->limit)
            b = *br->cur++;
        else
            ++br->overrun;
        br->acc = br->acc << 8 | b;
        br->nbits += 8;
    }
}

// Next n bits (0..24), MSB first.
inline uint32_t l3_bits_get(L3BitReader* br, int32_t n) {
    if (n <= 0) return 0;
    if (br->nbits < n) l3_bits_fill(br);
    br->nbits -= n;
    uint32_t v = br->acc >> br->nbits;
    br->acc &= (uint32_t(1) << br->nbits) - 1u;
    return v;
}

// Next n bits (1..11) without consuming them.
inline uint32_t l3_bits_peek(L3BitReader* br, int32_t n) {
    if (br->nbits < 11) l3_bits_fill(br);
    return br->acc >> (br->nbits - n);
}

inline void l3_bits_skip(L3BitReader* br, int32_t n) {
    br->nbits -= n;
    br->acc &= (uint32_t(1) << br->nbits) - 1u;
}

inline int32_t l3_bits_used(const L3BitReader* br) {
    return int32_t(8 * (br->cur - br->start + br->overrun)) - br->nbits;
}

// The guard is kept below the hard limit so that a reader stopped at its limit is past it.
inline void l3_bits_set_end(L3BitReader* br, const uint8_t* end) {
    br->end = end < br->limit ? end : br->limit - 1;
}

inline bool l3_bits_past_end(const L3BitReader* br) { return br->cur > br->end; }

// Linbits escape: the value 15 plus n further bits (n up to 13).
inline int32_t l3_bits_linbits(L3BitReader* br, int32_t n) {
    if (br->nbits < n + 2) l3_bits_fill(br);
    return 15 + int32_t(l3_bits_get(br, n));
}
