// Internal contracts between the Layer III source files: frame decoding, side information,
// scalefactors and the reservoir (layer3_frame.cpp); Huffman decoding and dequantisation
// (layer3_huffman.cpp); stereo, hybrid filter bank and output variants (layer3_hybrid.cpp);
// set-up and its tables (layer3_setup.cpp).
#pragma once

#include "decoder_internal.h"

// Scalefactor band boundaries by row = sampling index + 3 * v (v: 0 MPEG-2, 1 MPEG-1,
// 2 MPEG-2.5): 23 long-block boundaries (0..576), then 14 short-block boundaries (0..192).
extern const int32_t sfb_table[9][37];

// Huffman decoding and dequantisation (layer3_huffman.cpp).
void l3_build_dequant_tables(MpegDecoder* d); // global_gain, scalefac_gain, pow43, subblock_gain
void l3_huffman_pairs(MpegDecoder* d, float* cells, int32_t count, int32_t table_select);
int32_t l3_huffman_quads(MpegDecoder* d, float* cells, int32_t count, int32_t bits_left,
                         int32_t sel);
void l3_dequantize(MpegDecoder* d, float* cells, int32_t* line_extent, const int32_t* scalefac,
                   const GranuleInfo* gi, DequantSummary* summary, int32_t mixed_long_bands);

// Second half of a granule (layer3_hybrid.cpp): MS and intensity stereo, extent equalising,
// alias reduction and the output variant, which runs the hybrid filter bank and the synthesis
// into out. Called by the granule decode once every channel of granule g is dequantised.
void l3_granule_finish(MpegDecoder* d, uint8_t* out, int32_t g);

// Table construction at set-up (layer3_setup.cpp; calls l3_build_dequant_tables).
void l3_build_tables(MpegDecoder* d);
