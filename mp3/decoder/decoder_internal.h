// Internal entry points shared between the decoder's source files (not part of the public API).
#pragma once

#include <array>
#include <cstddef>

#include "mpeg_decoder.h"

// Synthesis (synth.cpp): clears the histories (and builds the transform coefficients once).
void synth_reset(MpegDecoder* d);

// Common tail of the Layer I and Layer II set-ups (decoder.cpp): decode limit, output format,
// synthesis variant, clearing of the sample rows and synthesis reset. `fs` in Hz, `sb` the
// subband count the frame carries, `samples` per channel per frame at full rate (1152 or 384).
// The parameters are already clamped (clamped again for safety). Returns 1, or 0 when fs <= 0.
int32_t l12_finish_setup(MpegDecoder* d, const MpegHeader* h, int32_t fs, int32_t sb,
                         int32_t samples, int32_t reduction, int32_t convert, int32_t freq_limit);

// Header tables (header.cpp): the tabled sampling frequency in Hz of the header's id row and
// index (MPEG-2.5 streams get the id 0 row, twice their true rate; index 3 reads as index 0).
int32_t mpeg_header_sample_rate(const MpegHeader* h);

// Allocator of the EqSettings record used by mpeg_decoder_init (std::malloc; a seam for tests of
// the allocation failure path; the record is released with std::free).
extern void* (*eq_settings_alloc)(size_t bytes);

// Layers I and II (layer12.cpp).
void build_l12_tables(MpegDecoder* d);
int32_t l1_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes, int32_t reduction,
                 int32_t transform, int32_t convert, int32_t freq_limit);
int32_t l2_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes, int32_t reduction,
                 int32_t transform, int32_t convert, int32_t freq_limit);
InOut l1_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
InOut l2_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);

// Layer III (layer3_*.cpp).
void l3_init_defaults(MpegDecoder* d); // function-pointer defaults, called by init
int32_t l3_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes, int32_t reduction,
                 int32_t transform, int32_t convert, int32_t freq_limit);
InOut l3_decode_entry(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);
