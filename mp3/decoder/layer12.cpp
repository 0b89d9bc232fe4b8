// Placeholder until Layer I and Layer II decoding lands: set-up fails, frames are rejected.
#include "decoder_internal.h"

void build_l12_tables(MpegDecoder*) {}
int32_t l1_setup(MpegDecoder*, const MpegHeader*, int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
int32_t l2_setup(MpegDecoder*, const MpegHeader*, int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
InOut l1_decode_frame(MpegDecoder*, const uint8_t*, int32_t, uint8_t*) { return {0, 0}; }
InOut l2_decode_frame(MpegDecoder*, const uint8_t*, int32_t, uint8_t*) { return {0, 0}; }
