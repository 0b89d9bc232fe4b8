// Layer III Huffman tables (ISO/IEC 11172-3, Annex B, Table B.7) as built by tools/huffgen:
// big-value lookups by table_select and count1 table A by the next six bits. They are constants
// of this header (huffman_levels.h), so lookups derived from them are built by the compiler.
#pragma once

#include <cstdint>

// One big-values table. kind 0: decodes zeros, reads nothing (tables 0, 4, 14); 1: one lookup
// level; 2: several levels; 3: several levels with linbits escapes on the value 15.
struct HuffTableDesc {
    const uint8_t* lookup; // first level: header {k, 0, 0, 0xFF} then 2^k entries of 4 bytes
    int32_t linbits;
    int32_t kind;
    int32_t tree;          // the code tree's number among the distinct ones (-1 for kind 0)
};

// huff_tables[32] by table_select; quad_table_a[64][2], count1 table A by the next 6 bits:
// {code length, v << 3 | w << 2 | x << 1 | y}.
#include "huffman_levels.h"
