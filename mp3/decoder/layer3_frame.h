// Steps of the Layer III frame decode (layer3_frame.cpp), exposed to the granule driver's
// tests: side information, scalefactors and the per-granule decode. All read through
// d->l3.br, which the caller has positioned.
#pragma once

#include "layer3_internal.h"

// The frame's header fields (from its decoded header h) and the side information, read from
// d->l3.br positioned after the header and CRC. Result: 4 + side-information bytes (MPEG-1: 21
// or 36; MPEG-2/2.5: 13 or 21, into granule slot `slot`), or -1 when a big_values is above 288.
int32_t l3_read_side_info(MpegDecoder* d, const MpegHeader* h);
int32_t l3_read_side_info_lsf(MpegDecoder* d, const MpegHeader* h, int32_t slot);

// MPEG-1 scalefactors into sf (long band i at i, short band s of window w at 23 + 13w + s).
// granule0 is granule 0's store of the same channel when decoding granule 1, else null; the
// scfsi groups are copied from it.
void l3_read_scalefactors(MpegDecoder* d, int32_t* sf, const GranuleInfo* gi, int32_t scfsi,
                          const int32_t* granule0);
// MPEG-2/2.5 scalefactors; sets gi->preflag, and fills is_info on the intensity-stereo channel.
void l3_read_scalefactors_lsf(MpegDecoder* d, int32_t* sf, GranuleInfo* gi, int32_t is_channel,
                              LsfIsInfo* is_info);

// Decodes every channel of granule g from the reservoir at main_bitpos and delivers its PCM.
void l3_decode_granule(MpegDecoder* d, uint8_t* out, int32_t g);
