/* MPEG audio decoder: public records and operations, callable from C and C++.
 *
 * Decodes Layers I, II and III of MPEG-1 (ISO/IEC 11172-3), the lower sampling frequencies of
 * MPEG-2 (ISO/IEC 13818-3) and the MPEG-2.5 extension of Layer III into signed 16-bit (truncated
 * or rounded), unsigned 8-bit, signed 24- or 32-bit, or 32-bit float PCM at full, half or
 * quarter rate. One fixed-size MpegDecoder holds every table
 * and all state of one stream. Its layout is the library's own: a caller gets one from
 * mpeg_decoder_create, or places one in memory of its own of mpeg_decoder_size() bytes (aligned
 * for any type) and sets it up with mpeg_decoder_init. It holds no address of its own interior,
 * so a set-up decoder may be copied or moved as a whole (mpeg_decoder_size() bytes); the one heap
 * record it owns is shared by a copy: free exactly one of the copies.
 *
 * Results are codes: no call throws, none keeps a pointer it was given. */
#ifndef ZIVIVEV_MPEG_DECODER_H
#define ZIVIVEV_MPEG_DECODER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The parsed four-byte frame header: thirteen fields in this fixed order (players keep a copy
 * and hand it back to set-up). */
typedef struct MpegHeader {
    int32_t sync;               /* 0 no header, 1 12-bit sync (MPEG-1/2), 2 11-bit (MPEG-2.5) */
    int32_t id;                 /* 1 MPEG-1 sampling frequencies, 0 lower sampling frequencies */
    int32_t layer;              /* raw code: 3 Layer I, 2 Layer II, 1 Layer III, 0 reserved */
    int32_t protection_bit;     /* 0: a 16-bit CRC follows the header */
    int32_t bitrate_index;      /* 0 free format, 15 not allowed */
    int32_t sampling_frequency; /* 0..2, 3 reserved */
    int32_t padding_bit;
    int32_t private_bit;
    int32_t mode;               /* 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel */
    int32_t mode_extension;
    int32_t copy_bit;
    int32_t home_bit;
    int32_t emphasis;
} MpegHeader;

/* Output format after set-up: six 32-bit words in this order. */
typedef struct MpegOutputFormat {
    int32_t channels;    /* 1 or 2 */
    int32_t out_samples; /* per frame, all channels together */
    int32_t sample_rate; /* Hz, after reduction */
    int32_t bits;        /* bits per stored sample: 8, 16, 24 or 32 */
    int32_t frame_bytes; /* the frame size given to set-up (without padding) */
    int32_t reserved;    /* flags: MPEG_FORMAT_FLOAT for 32-bit float samples, else 0 */
} MpegOutputFormat;

/* MpegOutputFormat.reserved: the 32-bit samples are floats (full scale -1.0 .. +1.0). */
#define MPEG_FORMAT_FLOAT 1

/* The convert word of mpeg_decoder_setup. These values are part of the ABI.
 * Bits 0-1, the channels: 0 as coded, then mixed to mono, left only, right only.
 * Bit 3: unsigned 8-bit samples (128 = silence), the top byte of the truncated 16-bit sample.
 * Bits 4-5, the sample form beside the 16-bit default: signed 24-bit packed in three bytes,
 * signed 32-bit, or 32-bit float (full scale +-1.0, not clipped). Asking for one of them with
 * bit 3 set is refused by set-up.
 * Bit 6: the integer samples of 16, 24 or 32 bits are rounded to nearest (ties to even) instead
 * of truncated toward zero; no effect on 8-bit or float samples.
 * Every form saturates its integers and keeps the machine's byte order (the 24-bit form stores
 * the three low bytes of the 32-bit integer). Other bits are ignored. */
#define MPEG_CONVERT_CHANNELS 3
#define MPEG_CONVERT_MIX 1
#define MPEG_CONVERT_LEFT 2
#define MPEG_CONVERT_RIGHT 3
#define MPEG_CONVERT_U8 8
#define MPEG_CONVERT_FORM 0x30
#define MPEG_CONVERT_S24 0x10
#define MPEG_CONVERT_S32 0x20
#define MPEG_CONVERT_F32 0x30
#define MPEG_CONVERT_ROUND 0x40

/* Result of decoding one frame. */
typedef struct MpegInOut {
    int32_t in_bytes;  /* input consumed; 0 = no frame of this stream at the input position */
    int32_t out_bytes; /* PCM bytes written */
} MpegInOut;

/* What a frame's header says about the frame. */
typedef struct MpegFrameInfo {
    int32_t layer;       /* 1, 2 or 3 (0 for the reserved code) */
    int32_t sample_rate; /* Hz (MPEG-2.5: its own rate, half that of the lower-frequency row) */
    int32_t bitrate;     /* bit/s; 0 for free format */
    int32_t slot_bytes;  /* one padding slot: 4 for Layer I, else 1 */
    int32_t frame_bytes; /* without padding; 0 for free format (its size is found by searching) */
    int32_t channels;    /* 1 for single channel, else 2 */
    int32_t samples;     /* per channel per frame */
} MpegFrameInfo;

/* One stream's decoder: its layout stays inside the library. */
typedef struct MpegDecoder MpegDecoder;

/* Processor paths of the vectorised stages. Every path writes the same bytes; the choice exists
 * for speed, and for the tests and benchmarks that compare the paths. */
typedef enum MpegPath {
    MPEG_PATH_BEST = -1, /* the fastest this build runs on this processor, or the one that the
                          * environment's MPEG_PATH names (plain, sse2, avx2, avx512, neon) where
                          * the processor runs it: read once */
    MPEG_PATH_PLAIN = 0, /* portable code */
    MPEG_PATH_AVX2 = 1,  /* x86 with AVX2 and FMA: eight lanes */
    MPEG_PATH_SSE2 = 2,  /* x86 with SSE2 (every x86-64): four lanes, best where AVX2 is absent */
    MPEG_PATH_NEON = 3,  /* aarch64 (every one has NEON): four lanes, the best there */
    MPEG_PATH_AVX512 = 4 /* x86 with AVX2, FMA, AVX-512F and AVX-512VL: the AVX2 path with the
                          * window of a stereo slot's two channels on 512-bit registers; the best
                          * where the processor has it */
} MpegPath;

/* The four header bytes at p (n bytes readable) into h: 1 when they start with a sync (12 bits,
 * or 11 for MPEG-2.5), else 0 with h->sync = 0. No check of the fields, no search. */
int32_t mpeg_header_decode(const uint8_t* p, int32_t n, MpegHeader* h);
/* The frame a decoded header describes: 1, or 0 for an unusable header (reserved layer or
 * sampling frequency, bitrate index 15), with the fields that follow anyway filled in. */
int32_t mpeg_header_info(const MpegHeader* h, MpegFrameInfo* info);
/* The whole size in bytes of the frame whose header is h and whose size without padding is
 * frame_bytes: its padding slot added when the padding bit is set (4 bytes in Layer I, 1 in
 * Layers II and III). With frame_bytes 0, the padding alone. Every frame size that counts the
 * padding comes from here. */
int32_t mpeg_header_frame_bytes(const MpegHeader* h, int32_t frame_bytes);
/* The largest frame of a stream whose unpadded frame size is frame_bytes. */
int32_t mpeg_header_max_frame_bytes(const MpegHeader* h, int32_t frame_bytes);
/* 1, 2 or 3 for Layer I, II, III; -1 for the reserved code. */
int32_t mpeg_header_layer(const MpegHeader* h);

/* Header operations. Results are frame sizes in bytes without padding; 0 = no usable header. */
int32_t mpeg_header_parse(const uint8_t* p, int32_t n, MpegHeader* h);
int32_t mpeg_header_parse_rate(const uint8_t* p, int32_t n, MpegHeader* h, int32_t* bitrate);
int32_t mpeg_header_find(const uint8_t* p, int32_t n, MpegHeader* h, int32_t* bitrate,
                         int32_t* offset);

/* A decoder on the heap, initialised (as mpeg_decoder_init with allocate = 1); NULL when memory
 * ran out. destroy frees it and its record; NULL is accepted. */
MpegDecoder* mpeg_decoder_create(void);
void mpeg_decoder_destroy(MpegDecoder* d);
/* The bytes of one decoder, for placing it in memory of the caller's own (aligned for any
 * type), initialised there with mpeg_decoder_init and released with mpeg_decoder_free. */
size_t mpeg_decoder_size(void);

/* Decoder in the caller's memory. init returns 1, or 0 when the equaliser record could not be
 * allocated (the decoder must then not be used; free is still safe). With allocate = 0 init
 * reuses the record the decoder already holds (a decoder initialised before). */
int32_t mpeg_decoder_init(MpegDecoder* d, int32_t allocate);
void mpeg_decoder_free(MpegDecoder* d);
/* Sets the decoder up for the stream whose first frame has header h and unpadded size
 * frame_bytes: reduction 0, 1, 2 (full, half, quarter rate); convert: the channels and the
 * sample form (MPEG_CONVERT_* bits above); freq_limit the highest frequency decoded in Hz;
 * transform is unused. 1, or 0 for a stream it cannot decode or a convert word it refuses. */
int32_t mpeg_decoder_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes,
                           int32_t reduction, int32_t transform, int32_t convert,
                           int32_t freq_limit);
void mpeg_decoder_get_format(const MpegDecoder* d, MpegOutputFormat* f);

/* One frame through the layer decoder set-up chose. `in` points at the frame's first header
 * byte and `avail` is the number of bytes readable from there: the decoder never reads at or
 * beyond in + avail (bytes the frame would need past that read as zero, or the frame is
 * rejected). Writes out_bytes of PCM at `out` (samples of the form set-up chose, channels
 * interleaved, left first), at most the format's out_samples samples. */
MpegInOut mpeg_decoder_decode(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out);

/* A linear gain applied to every sample before the output conversion (ReplayGain), folded into
 * the dequantisation so that it costs nothing per sample: 1 decodes as coded, and keeps the
 * output bytes identical to a decoder never given a gain. Values from 0 to 64 are taken (1) and
 * hold for every later set-up until init; anything else (NaN included) is refused (0) and the
 * gain stays as it was. The output is clipped to the sample range as always: keep
 * gain * peak <= 1 to avoid clipping. */
int32_t mpeg_decoder_set_gain(MpegDecoder* d, float gain);

/* Asks for a processor path (an MpegPath) for the following set-ups of this decoder (init asks
 * for the best). The set-up installs it if this build and processor run it, else the plain path. */
void mpeg_decoder_request_path(MpegDecoder* d, int32_t path);
/* The path the decoder runs now. */
int32_t mpeg_decoder_path(const MpegDecoder* d);
/* The fastest path of this build on this processor (or the one MPEG_PATH names: see MpegPath). */
int32_t mpeg_best_path(void);

#ifdef __cplusplus
}
#endif

#endif /* ZIVIVEV_MPEG_DECODER_H */
