// MPEG audio decoder: public records and operations.
//
// Decodes Layers I, II and III of MPEG-1 (ISO/IEC 11172-3), the lower sampling frequencies of
// MPEG-2 (ISO/IEC 13818-3) and the MPEG-2.5 extension of Layer III into signed 16-bit or
// unsigned 8-bit PCM at full, half or quarter rate. One fixed-size MpegDecoder holds every table
// and all state of one stream; it holds no address of its own interior, so a set-up decoder may
// be copied or moved as a whole. The only heap allocation is the EqSettings record, which a copy
// shares: free exactly one of the copies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layer12_state.h"
#include "layer3_state.h"
#include "synth_state.h"

// The parsed four-byte frame header: thirteen fields in this fixed order (players keep a copy
// and hand it back to set-up).
struct MpegHeader {
    int32_t sync;               // 0 no header, 1 twelve-bit sync (MPEG-1/2), 2 eleven-bit (MPEG-2.5)
    int32_t id;                 // 1 MPEG-1 sampling frequencies, 0 lower sampling frequencies
    int32_t layer;              // raw code: 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved
    int32_t protection_bit;     // 0: a 16-bit CRC follows the header
    int32_t bitrate_index;      // 0 free format, 15 not allowed
    int32_t sampling_frequency; // 0..2, 3 reserved
    int32_t padding_bit;
    int32_t private_bit;
    int32_t mode;               // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int32_t mode_extension;
    int32_t copy_bit;
    int32_t home_bit;
    int32_t emphasis;
};
static_assert(sizeof(MpegHeader) == 13 * 4, "MpegHeader is thirteen 32-bit fields");
static_assert(offsetof(MpegHeader, layer) == 8 && offsetof(MpegHeader, mode) == 32 &&
              offsetof(MpegHeader, emphasis) == 48, "MpegHeader field order");

// Output format after set-up: six 32-bit words in this order.
struct MpegOutputFormat {
    int32_t channels;    // 1 or 2
    int32_t out_samples; // per frame, all channels together
    int32_t sample_rate; // Hz, after reduction
    int32_t bits;        // 16 or 8
    int32_t frame_bytes; // the frame size given to set-up (without padding)
    int32_t reserved;    // 0
};
static_assert(sizeof(MpegOutputFormat) == 6 * 4, "MpegOutputFormat is six 32-bit words");

// Result of one decode_frame call.
struct InOut {
    int32_t in_bytes;  // input consumed; 0 = no frame of this stream at the input position
    int32_t out_bytes; // PCM bytes written
};
static_assert(sizeof(InOut) == 8, "InOut is two 32-bit words");

// Per-decoder equaliser record (34 words). Nothing in the system enables it.
struct EqSettings {
    int32_t enabled;        // non-zero: the factors below are applied
    float band_gain[32];    // one gain factor per subband (synthesis, 32-point transform)
    float l3_gain_offset;   // added to Layer III global_gain (truncated toward zero)
};
static_assert(sizeof(EqSettings) == 34 * 4, "EqSettings is 34 words");

struct MpegDecoder;
struct MpegKernels;

// Processor paths of the vectorised stages. Every path writes the same bytes; the choice exists
// for speed, and for the tests and benchmarks that compare the paths.
enum MpegPath : int32_t { mpeg_path_best = -1, mpeg_path_plain = 0, mpeg_path_avx2 = 1 };

// Per-frame decode of one layer. `in` points at the frame's first header byte and `avail` is
// the number of bytes readable from there: a decoder never reads at or beyond in + avail (bytes
// the frame would need past that read as zero, or the frame is rejected). Writes out_bytes of PCM
// at `out` (signed 16-bit in machine order or unsigned 8-bit, channels interleaved, left first).
using MpegDecodeFn = InOut (*)(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);

// A polyphase synthesis variant. Layers I/II: `arg` rows of 64 floats; Layer III: 18 rows of 32
// floats, `arg` the channel index for the stereo forms. Writes 32 >> reduction sample frames per
// row at `out`.
using MpegSynthFn = void (*)(MpegDecoder* d, const float* rows, uint8_t* out, int32_t arg);

struct MpegDecoder {
    // Stream layout fixed by set-up.
    int32_t frame_bytes;      // frame size without padding
    int32_t out_bytes;        // PCM bytes per frame
    int32_t out_samples;      // PCM samples per frame, all channels
    MpegOutputFormat format;

    MpegDecodeFn decode_frame; // the stream's layer (Layer III: its entry, see layer3_state.h)
    MpegSynthFn synth;         // Layer I/II synthesis variant

    L12State l12;   // Layer I/II tables, bit reader, per-frame unpacking arrays
    L3State l3;     // Layer III state, tables, reservoir and function pointers
    SynthState syn; // synthesis histories, positions and cosine coefficients

    // The sample rows, shared by all layers: Layers I and II fill rows of 64 entries in time
    // order; Layer III keeps its spectra and overlaps here ([channel][granule][line]).
    union {
        float rows[36][64];
        float xr[2][2][576];
    } samples;

    EqSettings* eq_settings; // heap record, owned by the decoder

    const MpegKernels* kernels; // the path's kernel record (constant, shared by all decoders)
    int32_t path_request;       // the MpegPath the next set-up installs
};
static_assert(sizeof(((MpegDecoder*)nullptr)->samples) == 2304 * 4, "2304 sample cells");

// What a frame's header says about the frame.
struct MpegFrameInfo {
    int32_t layer;       // 1, 2 or 3 (0 for the reserved code)
    int32_t sample_rate; // Hz (MPEG-2.5: its own rate, half that of the lower-frequency row)
    int32_t bitrate;     // bit/s; 0 for free format
    int32_t slot_bytes;  // one padding slot: 4 for Layer I, else 1
    int32_t frame_bytes; // without padding; 0 for free format (its size is found by searching)
    int32_t channels;    // 1 for single channel, else 2
    int32_t samples;     // per channel per frame
};
static_assert(sizeof(MpegFrameInfo) == 7 * 4, "MpegFrameInfo is seven 32-bit words");

// The four header bytes at p (n bytes readable) into h: 1 when they start with a sync (12 bits,
// or 11 for MPEG-2.5), else 0 with h->sync = 0. No check of the fields, no search.
int32_t mpeg_header_decode(const uint8_t* p, int32_t n, MpegHeader* h);
// The frame a decoded header describes: 1, or 0 for an unusable header (reserved layer or
// sampling frequency, bitrate index 15), with the fields that follow anyway filled in.
int32_t mpeg_header_info(const MpegHeader* h, MpegFrameInfo* info);
// The whole size in bytes of the frame whose header is h and whose size without padding is
// frame_bytes: its padding slot added when the padding bit is set (4 bytes in Layer I, 1 in
// Layers II and III). With frame_bytes 0, the padding alone. Every frame size that counts the
// padding comes from here.
int32_t mpeg_header_frame_bytes(const MpegHeader* h, int32_t frame_bytes);
// The largest frame of a stream whose unpadded frame size is frame_bytes.
int32_t mpeg_header_max_frame_bytes(const MpegHeader* h, int32_t frame_bytes);
// 1, 2 or 3 for Layer I, II, III; -1 for the reserved code.
int32_t mpeg_header_layer(const MpegHeader* h);

// Header operations. Results are frame sizes in bytes without padding; 0 = no usable header.
int32_t mpeg_header_parse(const uint8_t* p, int32_t n, MpegHeader* h);
int32_t mpeg_header_parse_rate(const uint8_t* p, int32_t n, MpegHeader* h, int32_t* bitrate);
int32_t mpeg_header_find(const uint8_t* p, int32_t n, MpegHeader* h, int32_t* bitrate,
                         int32_t* offset);

// Decoder object. init returns 1, or 0 when the EqSettings record could not be allocated (the
// decoder must then not be used; free is still safe).
int32_t mpeg_decoder_init(MpegDecoder* d, int32_t allocate);
void mpeg_decoder_free(MpegDecoder* d);
int32_t mpeg_decoder_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes,
                           int32_t reduction, int32_t transform, int32_t convert,
                           int32_t freq_limit);
void mpeg_decoder_get_format(const MpegDecoder* d, MpegOutputFormat* f);

// Asks for a processor path for the following set-ups of this decoder (init asks for the
// best). The set-up installs it if this build and processor run it, else the plain path.
void mpeg_decoder_request_path(MpegDecoder* d, int32_t path);
// The path the decoder runs now.
int32_t mpeg_decoder_path(const MpegDecoder* d);
// The fastest path of this build on this processor.
int32_t mpeg_best_path();

// One frame through the stream's layer decoder.
inline InOut mpeg_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    return d->decode_frame(d, in, avail, out);
}
