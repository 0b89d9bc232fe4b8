// The decoder's layout, private to the library: the MpegDecoder record and the records and
// function types it is built of. The decoder's own files and the reader (inside the same
// library) include it; no installed header does, so the layout may change without touching a
// caller's source. Callers outside see MpegDecoder as an opaque record (mpeg_decoder.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "layer12_state.h"
#include "layer3_state.h"
#include "mpeg_decoder.h"
#include "synth_state.h"

// The public records' layouts are fixed: players keep copies and the C side reads them.
static_assert(sizeof(MpegHeader) == 13 * 4, "MpegHeader is thirteen 32-bit fields");
static_assert(offsetof(MpegHeader, layer) == 8 && offsetof(MpegHeader, mode) == 32 &&
              offsetof(MpegHeader, emphasis) == 48, "MpegHeader field order");
static_assert(sizeof(MpegOutputFormat) == 6 * 4, "MpegOutputFormat is six 32-bit words");
static_assert(sizeof(MpegInOut) == 8, "MpegInOut is two 32-bit words");
static_assert(sizeof(MpegFrameInfo) == 7 * 4, "MpegFrameInfo is seven 32-bit words");
static_assert(MPEG_PATH_BEST == -1 && MPEG_PATH_PLAIN == 0 && MPEG_PATH_AVX2 == 1 &&
                  MPEG_PATH_SSE2 == 2 && MPEG_PATH_NEON == 3 && MPEG_PATH_AVX512 == 4,
              "path codes as stored and passed by callers");

// Per-decoder equaliser record (34 words). Nothing in the system enables it.
struct EqSettings {
    int32_t enabled;        // non-zero: the factors below are applied
    float band_gain[32];    // one gain factor per subband (synthesis, 32-point transform)
    float l3_gain_offset;   // added to Layer III global_gain (truncated toward zero)
};
static_assert(sizeof(EqSettings) == 34 * 4, "EqSettings is 34 words");

struct MpegKernels;

// Per-frame decode of one layer. `in` points at the frame's first header byte and `avail` is
// the number of bytes readable from there: a decoder never reads at or beyond in + avail (bytes
// the frame would need past that read as zero, or the frame is rejected). Writes out_bytes of PCM
// at `out` (samples of the set-up's output form, channels interleaved, left first).
using MpegDecodeFn = MpegInOut (*)(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);

// A polyphase synthesis variant. Layers I/II: `arg` rows of 64 floats; Layer III: 18 rows of 32
// floats, `arg` the channel index for the stereo forms (2: both channels, from 36 rows). Writes
// 32 >> reduction sample frames per row at `out`.
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
    float gain;                 // linear factor folded into the dequantisation (1 as coded)
};
static_assert(sizeof(((MpegDecoder*)nullptr)->samples) == 2304 * 4, "2304 sample cells");

// One frame through the stream's layer decoder: the library's hot paths call it inline; callers
// outside reach the same function through mpeg_decoder_decode.
inline MpegInOut mpeg_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail,
                                   uint8_t* out) {
    return d->decode_frame(d, in, avail, out);
}
