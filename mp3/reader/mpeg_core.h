/* The decoding core: MP3 bytes in, PCM out, with everything around the frames handled. Tags
 * before, between and after the frames (ID3v2, APEv2, Lyrics3, ID3v1) are stepped over, junk is
 * searched through, the first frame's Info/Xing header and LAME tag are read, and with gapless on
 * (the default) exactly the encoder's input comes out: the Info frame left out, the encoder's
 * delay and padding cut. A C header (C99 and C++, C linkage); the core's layout stays inside the
 * library.
 *
 * The bytes come one of two ways:
 *  - in memory: mpeg_core_set_data(c, data, len) once; the caller keeps the bytes until the core
 *    is destroyed. Seeks are exact (an index of the frames is made).
 *  - fed a piece at a time: mpeg_core_feed(c, piece, n) as often as wanted (the core copies the
 *    bytes into a window of its own), and mpeg_core_feed_end(c) after the last piece.
 * mpeg_core_read then fills a buffer with PCM (signed 16-bit in the machine's byte order, or
 * unsigned 8-bit; channels interleaved), as the format says (mpeg_core_get_format):
 *
 *     MpegCore* c = mpeg_core_create(0, 0, 24000);
 *     mpeg_core_set_data(c, mp3, mp3_len);
 *     do {
 *         r = mpeg_core_read(c, pcm, sizeof pcm, &n);
 *         fwrite(pcm, 1, (size_t)n, out);
 *     } while (r == MP3_OK);
 *     mpeg_core_destroy(c);
 *
 * Fed, the same loop runs after each piece; it ends with MP3_NEED_MORE until the last piece has
 * been fed and mpeg_core_feed_end called. No call throws or keeps a pointer it was given, except
 * the data of mpeg_core_set_data. One core is used by one thread at a time. */
#ifndef ZIVIVEV_MPEG_CORE_H
#define ZIVIVEV_MPEG_CORE_H

#include <stdint.h>

#include "mpeg_decoder.h"
#include "mpeg_result.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MpegCore MpegCore;

/* A core on the heap, gapless on, waiting for its bytes; NULL when memory ran out. The options
 * are the decoder's (mpeg_decoder_setup): reduction 0, 1, 2 (full, half, quarter rate); convert
 * bit 3 for unsigned 8-bit output, bits 0-1 the channels (0 as coded, 1 mixed to mono, 2 left,
 * 3 right); freq_limit the highest frequency decoded, in Hz (24000: all of it). destroy frees
 * it; NULL is accepted. */
MpegCore* mpeg_core_create(int32_t reduction, int32_t convert, int32_t freq_limit);
void mpeg_core_destroy(MpegCore* c);

/* The whole data, in memory: data[0, len), kept by the caller while the core reads it. Finds the
 * first frame and sets the decoder up from it. MP3_OK; MP3_NO_FRAME (no frame at all; also for
 * a core that has been fed bytes), MP3_SETUP_FAILED (a stream the decoder cannot take). */
int32_t mpeg_core_set_data(MpegCore* c, const uint8_t* data, int32_t len);

/* The next n bytes of the data, copied. Returns the bytes taken: n, or 0 when memory ran out or
 * the core reads data in memory or has been told the data ended. */
int32_t mpeg_core_feed(MpegCore* c, const uint8_t* bytes, int32_t n);
/* No more bytes follow the ones fed. */
void mpeg_core_feed_end(MpegCore* c);

/* Fills out[0, room) with PCM and sets *filled to the bytes written (a sample cut by the end of
 * out goes on at the start of the next read). MP3_OK: out is full, call again. Otherwise
 * *filled bytes came before:
 *   MP3_NEED_MORE     fed data: feed more bytes (or end the feed), then call again;
 *   MP3_ENDED         the data (or the gapless run) ended: nothing more comes;
 *   MP3_OTHER_STREAM  a frame of another version, layer or sample rate begins: reading stops;
 *   MP3_NO_FRAME      the data held no frame at all;
 *   MP3_SETUP_FAILED  the decoder cannot take the stream;
 *   MP3_BAD_BUFFER    out is NULL or room is not positive. */
int32_t mpeg_core_read(MpegCore* c, uint8_t* out, int32_t room, int32_t* filled);

/* The output format (channels, samples per frame, sample rate, bits): MP3_OK once the first
 * frame has been found; MP3_NEED_MORE before (f is then zeroed). */
int32_t mpeg_core_get_format(const MpegCore* c, MpegOutputFormat* f);

/* Gapless on (the default) or off (every frame decoded, the Info frame as a frame of silence).
 * Set before the first read. */
void mpeg_core_set_gapless(MpegCore* c, int32_t on);

/* Time of the PCM read so far, in milliseconds (gapless: of the encoder's input). */
int32_t mpeg_core_position_ms(const MpegCore* c);
/* Length of the whole PCM in milliseconds: counted over the frames for data in memory; for fed
 * data from the LAME tag or Xing header, or -1 when the data does not say. */
int32_t mpeg_core_length_ms(const MpegCore* c);
/* Data in memory: moves to the frame that holds time `ms` (kept inside the data); the next read
 * gives from there what an uninterrupted decode gives. Returns the position reached (the
 * frame's start), or -1 when the core cannot seek (fed data, or no stream found). */
int32_t mpeg_core_seek_ms(MpegCore* c, int32_t ms);

/* ---- The whole-data decode on several threads ------------------------------------------------
 * Data in memory, decoded before the first read on several threads at once: the calling thread
 * decodes from the start as mpeg_core_read does, while worker threads, each with a decoder of
 * its own, take runs of frames from the other end, each decoded from a seek to its first frame
 * (which gives byte for byte what an uninterrupted decode gives those frames). Where a run does
 * not give them (damaged data), the calling thread decodes it itself, so the PCM is always the
 * one-thread PCM. */

/* Takes `bytes` bytes of PCM at pcm that go `at` bytes into the whole PCM (from the first sample
 * the reads give). Called from any of the decode's threads, at once, for pieces that do not
 * overlap and in no set order; pcm may be changed in place. 1 to go on, 0 to stop the decode. */
typedef int32_t (*MpegCorePlace)(void* ctx, uint8_t* pcm, int64_t at, int32_t bytes);

/* The processors this process may run on (its affinity, not the processors online), at least
 * 1: the threads mpeg_core_decode_all takes by default. */
int32_t mpeg_core_processors(void);

/* Decodes the PCM of the data set by mpeg_core_set_data, from the start but for the last few
 * frames, on up to `threads` threads (the calling one among them). threads 0 takes the default:
 * one thread, or mpeg_core_processors() once the decode of the first frames, timed, says that
 * the rest takes long enough to pay for starting the others. The PCM goes either into
 * out[0, room) (as many whole frames as fit; place is then NULL) or, with out NULL, to place.
 * Returns the bytes of PCM given, >= 0: the core then stands after them, and mpeg_core_read
 * gives the rest as it would have after reading those bytes (where damaged data stopped the
 * join, PCM past them may have been given too, which the rest is to overwrite) (0 where there is nothing to split:
 * fed data, data already read from, a few frames only). MP3_BAD_BUFFER when out and place are
 * both or neither given, or place stopped the decode (the core is then back at the start);
 * MP3_NO_FRAME or MP3_SETUP_FAILED as mpeg_core_read. */
int64_t mpeg_core_decode_all(MpegCore* c, int32_t threads, uint8_t* out, int64_t room,
                             MpegCorePlace place, void* ctx);

#ifdef __cplusplus
}
#endif

#endif
