// Placeholder until Layer III decoding lands: set-up fails, frames are rejected.
#include "decoder_internal.h"

void l3_init_defaults(MpegDecoder*) {}
int32_t l3_setup(MpegDecoder*, const MpegHeader*, int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
InOut l3_decode_entry(MpegDecoder*, const uint8_t*, int32_t, uint8_t*) { return {0, 0}; }
