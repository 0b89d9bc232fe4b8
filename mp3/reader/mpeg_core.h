/* The decoding core: MP3 bytes in, PCM out, with everything around the frames handled. Tags
 * before, between and after the frames (ID3v2, APEv2, Lyrics3, ID3v1) are stepped over, junk is
 * searched through, the first frame's Info/Xing header and LAME tag are read, and with gapless on
 * (the default) exactly the encoder's input comes out: the Info frame left out, the encoder's
 * delay and padding cut. A C header (C99 and C++, C linkage); the core's layout stays inside the
 * library.
 *
 * The bytes come one of three ways:
 *  - in memory: mpeg_core_set_data(c, data, len) once, of any size; the caller keeps the bytes
 *    until the core is destroyed. Seeks are exact (an index of the frames is made).
 *  - through a reader: mpeg_core_set_reader(c, &reader, ctx), for a file of any size; the core
 *    reads it a piece at a time. With a seek call, seeks are exact (an index of the frames grows
 *    as the data passes and is completed on demand).
 *  - fed a piece at a time: mpeg_core_feed(c, piece, n) as often as wanted (the core copies the
 *    bytes into a window of its own), and mpeg_core_feed_end(c) after the last piece. Fed data
 *    cannot be sought in.
 *  - shown a window at a time: mpeg_core_set_window(c, bytes, n, offset, last) with the bytes
 *    the caller holds now, for a caller that streams a file in blocks of its own (a game's
 *    streamed music). The core reads them where they lie, keeps an index of the frames that pass,
 *    and names the offset of the next byte it needs; seeks and loops to anything passed are
 *    exact, the caller bringing the bytes from the offset the core names.
 * Positions and lengths are counted in samples per channel, 64-bit: mpeg_core_tell, _length and
 * _seek (a seek lands exactly on the sample asked for).
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

#include <stddef.h>
#include <stdint.h>

#include "mpeg_decoder.h"
#include "mpeg_result.h"
#include "mpeg_tags.h"

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
 * a core that has been fed bytes or given a reader), MP3_SETUP_FAILED (a stream the decoder
 * cannot take). */
int32_t mpeg_core_set_data(MpegCore* c, const uint8_t* data, size_t len);

/* A source the core reads itself. The caller owns it and closes it; the core keeps ctx until it
 * is destroyed and calls the reader from one thread at a time.
 *  read: reads up to n bytes into buf; the bytes read, 0 at the end of the data, -1 on an error.
 *  seek: moves to byte `offset` from the start; 0, or -1 on an error. NULL: the source cannot
 *        seek (it is read once, from where it stands, as fed data is).
 *  size: the source's size in bytes, or -1 when unknown. May be NULL. */
typedef struct MpegReader {
    int64_t (*read)(void* ctx, void* buf, size_t n);
    int32_t (*seek)(void* ctx, int64_t offset);
    int64_t (*size)(void* ctx);
} MpegReader;

/* Reads the data through `reader` (copied) from its start (a seekable reader is sought to 0),
 * finds the first frame and sets the decoder up from it. MP3_OK, MP3_NO_FRAME, MP3_SETUP_FAILED,
 * MP3_READ_FAILED; a core that already has data or fed bytes answers MP3_NO_FRAME. */
int32_t mpeg_core_set_reader(MpegCore* c, const MpegReader* reader, void* ctx);

/* The next n bytes of the data, copied. Returns the bytes taken: n, or 0 when memory ran out or
 * the core reads data in memory or has been told the data ended. The last 128 KiB fed (and read
 * through a reader without seek) are held back from the frame search until the data ends, so that
 * the tags at its end are cut, as from data in memory; a longer run of tags at the end is stepped
 * over from its front where its first tag can be told from there, else searched as junk. */
int32_t mpeg_core_feed(MpegCore* c, const uint8_t* bytes, int32_t n);
/* No more bytes follow the ones fed. */
void mpeg_core_feed_end(MpegCore* c);

/* ---- Data in a window the caller holds ------------------------------------------------------
 * The caller keeps the data in blocks of its own and shows the core the bytes it holds now:
 * bytes[0, len), which lie at `offset` in the data, `last` set when the data ends with them. The
 * core keeps the pointer until the next call of mpeg_core_set_window (or its destroy): the caller
 * keeps those bytes unchanged until then, and shows the core again whenever it changes, drops or
 * adds bytes. Every read stays inside the bytes shown. A streaming loop:
 *
 *     mpeg_core_set_window(c, blocks, held, base, last);
 *     r = mpeg_core_read(c, pcm, sizeof pcm, &n);
 *     if (r == MP3_NEED_MORE || r == MP3_BETWEEN_FRAMES)
 *         ... bring the bytes from mpeg_core_next_offset(c) on, drop those before it ...
 *
 * MP3_NEED_MORE from a read says that a frame runs past the bytes shown (it is late, when the
 * caller plays as it reads), MP3_BETWEEN_FRAMES that the bytes ended inside a tag or junk between
 * frames (nothing is late: a long tag may take several blocks). The frames are indexed as they
 * pass, so mpeg_core_seek reaches any sample whose frame has passed: it names the offset to
 * bring the bytes from (the first frame of the pre-roll the frame needs), and a loop's restart
 * inside a read does the same. mpeg_core_seek_offset names that offset ahead, so that a caller
 * can fetch a loop's restart before its seam. */

/* Shows the core the bytes the caller holds now (see above); the first window at offset 0 gives
 * the tags (mpeg_core_tags: tags at the end only when that window is the last). Searches for the
 * first frame until it is found: MP3_OK once found; MP3_NEED_MORE or, while the search steps over
 * a tag, MP3_BETWEEN_FRAMES (bring the bytes from mpeg_core_next_offset on); MP3_NO_FRAME (the
 * data ended without a frame), MP3_SETUP_FAILED; MP3_BAD_BUFFER for a core given its data
 * otherwise, a negative len or offset, or NULL bytes with len > 0. */
int32_t mpeg_core_set_window(MpegCore* c, const uint8_t* bytes, int32_t len, int64_t offset,
                             int32_t last);
/* The offset in the data of the next byte the core needs: the bytes before it are done with
 * (fed and read data: the bytes consumed; data in memory: from the start of the data). After a
 * seek, where decoding goes on. -1 for a core without data. */
int64_t mpeg_core_next_offset(const MpegCore* c);
/* A window whose bytes cannot grow (the caller holds no more) and that ends before the frame or
 * header at the read position can be told: steps one byte past it, searching on from there.
 * MP3_OK, or MP3_BAD_BUFFER for a core not shown windows. */
int32_t mpeg_core_skip_byte(MpegCore* c);
/* Windows and readers: the offset in the data of frame `frame` (the frame count: where the last
 * frame passed ends), or -1 for a frame not passed yet. */
int64_t mpeg_core_frame_offset(const MpegCore* c, int64_t frame);
/* Windows and readers: the offset a seek to output sample `sample` reads from (the first frame of
 * the pre-roll of the frame that holds it), or -1 while that frame has not passed. A loop's
 * restart reads from mpeg_core_seek_offset(c, start). */
int64_t mpeg_core_seek_offset(const MpegCore* c, int64_t sample);
/* Samples per channel that the core still decodes and throws away before the next one it hands
 * back: after a seek, its pre-roll and the samples before the one sought; else 0. */
int64_t mpeg_core_lead_in(const MpegCore* c);
/* The length as mpeg_core_length gives it without a walk, or, where the data does not say it,
 * the time of `total_bytes` (the size of the whole data) from the first frame on at the first
 * frame's bitrate: exact for a constant bitrate. -1 before the first frame. */
int64_t mpeg_core_length_of_size(const MpegCore* c, int64_t total_bytes);

/* Fills out[0, room) with PCM and sets *filled to the bytes written (a sample cut by the end of
 * out goes on at the start of the next read). MP3_OK: out is full, call again. Otherwise
 * *filled bytes came before:
 *   MP3_NEED_MORE     fed data: feed more bytes (or end the feed), then call again;
 *   MP3_BETWEEN_FRAMES a window: its bytes ended between frames (in a tag or junk): show more;
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
 * Best set before the first read. Set later, the reading goes on from the start of the frame
 * that holds the position (data that cannot be sought in: from the next frame decoded), and
 * the position is counted as the new mode counts it. */
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

/* Where the next sample read stands in an uninterrupted decode, in samples per channel from the
 * start of the output (gapless: of the encoder's input): N after a seek to N. 0 before the first
 * frame is found. */
int64_t mpeg_core_tell(const MpegCore* c);
/* Samples per channel of the whole decode: gapless, the encoder's input; gapless off, every
 * frame (the Info frame as silence). Data in memory and a seekable reader are counted by a walk
 * over the frame headers, nothing decoded (a reader's on the first call, which reads the whole
 * data: about 0.7 s for 2.3 GB with a warm cache): the LAME tag's length when its frame count
 * and music length agree with the walk, else the walk's (a tag that counts more frames than the
 * data holds gives way to the frames there are; where the data holds more, the decode still ends
 * where the tag says). Fed data and a reader that cannot seek give the LAME tag's or Info frame's
 * count, or -1. */
int64_t mpeg_core_length(MpegCore* c);
/* The length the first frame states, as the decode would give it were the data to hold the frames
 * it counts: gapless, the LAME tag's run; else the Info frame's count of frames (with the Info
 * frame itself, as silence, gapless off). Read from the first frame alone, whatever the source and
 * whether or not its frames have been walked over: what a writer announces before the decode
 * (a WAV header that cannot be written again). -1 when the first frame does not say, or before it
 * is found. */
int64_t mpeg_core_stated_length(const MpegCore* c);
/* Data in memory or a seekable reader: afterwards the next sample read is sample `sample` of an
 * uninterrupted decode (a sample past the end is taken as the end). A window: a sample whose
 * frame has passed (past the end once the last bytes have passed), the bytes then brought from
 * mpeg_core_next_offset. Returns the sample reached,
 * or a negative result: MP3_CANNOT_SEEK (fed data, a reader without seek, a window's frame not
 * passed yet), MP3_READ_FAILED, or
 * the failure the data gave. */
int64_t mpeg_core_seek(MpegCore* c, int64_t sample);

/* What follows the gapless run, once a read has handed it back whole (and answered MP3_ENDED):
 * the frames after it (the encoder's padding, frames the LAME tag does not count) are stepped over,
 * headers only, nothing decoded, to tell whether the data ends with this stream. MP3_OTHER_STREAM
 * where a frame of another version, layer or sample rate begins (mpeg_core_next_offset then names
 * its first byte), MP3_ENDED where the data ends first, MP3_READ_FAILED; fed data MP3_NEED_MORE,
 * and a window MP3_NEED_MORE or MP3_BETWEEN_FRAMES, when their bytes end first (bring more and
 * call again). Reads after it still answer MP3_ENDED; a seek or a loop's restart goes on as ever.
 * Elsewhere (the run not read whole yet, gapless off, where a read itself answers
 * MP3_OTHER_STREAM) nothing is stepped over: MP3_ENDED once everything has been read
 * (mpeg_core_ended), else MP3_OK. MP3_BAD_BUFFER for a NULL core. */
int32_t mpeg_core_scan_rest(MpegCore* c);

/* ---- Frames ----------------------------------------------------------------------------------
 * The data's frames are numbered from 0, an Info frame (which holds no audio) among them. Frame
 * calls serve players that count in frames; the sample calls above are exact where these land on
 * frame starts. */

/* The number of the next frame the decoder takes (after a reader's seek, the frame sought: the
 * pre-roll read before it and thrown away is not counted); 0 before the first frame is found. */
int64_t mpeg_core_frame(const MpegCore* c);
/* The frame that holds output sample `sample` (gapless: of the encoder's input, whose first
 * sample lies inside the frames its delay takes); -1 before the first frame is found. */
int64_t mpeg_core_frame_of(const MpegCore* c, int64_t sample);
/* The first output sample frame `frame` hands back (gapless: frames before the encoder's input
 * give the run's first sample, 0); -1 before the first frame is found. */
int64_t mpeg_core_frame_sample(const MpegCore* c, int64_t frame);
/* Data in memory or a seekable reader: on to the start of frame `frame`, the decoder set up again
 * (with the pre-roll the frame needs). Data in memory is sought through its index of the frames,
 * or, where memory for the index ran out, at the Info header's table's offset for the frame or
 * else frame x the first frame's size, estimates kept inside the data and searched from. A frame
 * past the data's last is the data's end, mpeg_core_frame still giving the number asked for. A
 * reader is sought to the frame's first sample handed back, as mpeg_core_seek seeks (gapless,
 * the frames before the first sample of the encoder's input all land on sample 0).
 * Returns the sample reached (the first the frame hands back), or a negative result:
 * MP3_CANNOT_SEEK, MP3_BAD_BUFFER (frame < 0), MP3_NO_FRAME, MP3_READ_FAILED. */
int64_t mpeg_core_seek_frame(MpegCore* c, int64_t frame);
/* The same, `frames` frames on (back when negative) from mpeg_core_frame; the estimate without
 * an index moves by frames x the first frame's size from where the reading stands. */
int64_t mpeg_core_skip_frames(MpegCore* c, int64_t frames);
/* 1 once everything has been read, so that the next read would give nothing: the gapless run
 * handed back whole, or the data's frames all decoded and handed back (a loop never ends);
 * else 0. Gapless off, junk after the last frame is known for what it is only once a read has
 * searched through it: until then this gives 0 and that read gives nothing. */
int32_t mpeg_core_ended(const MpegCore* c);

/* Loops: once sample `end` would be read, the reading goes on at sample `start`, for ever: an
 * intro [0, start), then [start, end) again and again (mpeg_core_tell reads `start` right after
 * each restart, never `end`). end -1: the end of the decode (mpeg_core_length). Data in memory or a seekable reader. MP3_OK;
 * MP3_CANNOT_SEEK; MP3_BAD_LOOP (start < 0, end <= start, or end past the length). A loop set
 * while the position is past its end restarts at once. */
int32_t mpeg_core_set_loop(MpegCore* c, int64_t start, int64_t end);
/* Loops as the file's tags say (LOOPSTART with LOOPLENGTH or LOOPEND; their samples count the
 * encoder's input, so they are taken with gapless on), else over the whole decode (on), or no
 * more looping (off). MP3_OK, or as mpeg_core_set_loop. */
int32_t mpeg_core_set_looping(MpegCore* c, int32_t on);
/* 1 and the loop's start and end (the end of the decode for an end of -1) while looping, else
 * 0. Either pointer may be NULL. */
int32_t mpeg_core_get_loop(const MpegCore* c, int64_t* start, int64_t* end);
/* The points the file's tags give: 1 and *start, *end (end -1: the end), else 0. */
int32_t mpeg_core_tag_loop(const MpegCore* c, int64_t* start, int64_t* end);

/* Fades: a gain on what is read, ramped sample by sample from the gain now to `gain` over
 * `samples` samples (0: at once), across loops and seeks. Gains are fixed point:
 * MPEG_CORE_UNITY leaves the samples as they are, 0 silences them. MP3_OK, or MP3_BAD_BUFFER for
 * a gain outside [0, MPEG_CORE_UNITY] or negative samples. */
#define MPEG_CORE_UNITY (1 << 24)
int32_t mpeg_core_fade(MpegCore* c, int32_t gain, int64_t samples);
/* The gain now (after the samples read so far). */
int32_t mpeg_core_gain(const MpegCore* c);

/* ReplayGain, applied inside the decoder (no cost per sample): mode MPEG_REPLAYGAIN_OFF, _TRACK
 * or _ALBUM, with preamp_centibels (tenths of a dB) added, lowered so that the stated peak does not
 * clip. The values come from the tags (data in memory: all of them; a reader: those at its start
 * and end; fed data: those before the first frame) and the LAME tag of the first frame. Set it
 * before reading, or between reads (it applies from the next frame decoded). MP3_OK;
 * MP3_BAD_BUFFER for another mode; MP3_NO_FRAME before the first frame was found. */
enum { MPEG_REPLAYGAIN_OFF = 0, MPEG_REPLAYGAIN_TRACK = 1, MPEG_REPLAYGAIN_ALBUM = 2 };
int32_t mpeg_core_set_replaygain(MpegCore* c, int32_t mode, int32_t preamp_centibels);

/* The data's tags, as mpeg_tags_read gives them (mpeg_tags.h), read once the first frame is
 * found: NULL before, or when the data has none. Owned by the core. */
const MpegTags* mpeg_core_tags(const MpegCore* c);

/* Kinds of bitrate. */
enum { MPEG_BITRATE_UNKNOWN = 0, MPEG_BITRATE_CBR = 1, MPEG_BITRATE_ABR = 2, MPEG_BITRATE_VBR = 3 };

/* The stream's facts, read once from its first frame (and from the walk over the frame headers
 * where it says so). */
typedef struct MpegStreamInfo {
    int32_t layer;           /* 1, 2 or 3 */
    int32_t version;         /* 10 MPEG-1, 20 MPEG-2, 25 MPEG-2.5 */
    int32_t sample_rate;     /* Hz, as coded */
    int32_t channels;        /* as coded: 1 or 2 */
    int32_t frame_bytes;     /* the first frame's size without padding */
    int32_t bitrate;         /* the first frame's, bit/s */
    int32_t bitrate_mode;    /* MPEG_BITRATE_*: the LAME tag's, else from the frames walked over
                                (constant when every audio frame has one bitrate) */
    int32_t average_bitrate; /* bit/s of the audio frames walked over: their one bitrate when they
                                share it, else their bits over their time, rounded; 0 before a
                                walk (fed data, a reader before mpeg_core_length) */
    char encoder[12];        /* the LAME tag's encoder ("LAME3.100"), "" when none */
    int32_t delay;           /* the LAME tag's encoder delay and padding, samples; -1 without */
    int32_t padding;
    int32_t has_peak, has_track_gain, has_album_gain; /* the LAME tag's ReplayGain */
    double peak;             /* linear, 1.0 full scale */
    double track_gain;       /* dB */
    double album_gain;       /* dB */
    int64_t frames;          /* audio frames walked over (the Info frame not counted), before a
                                walk the Info frame's count (data in memory whose index could not
                                be made: the estimate seeks use); -1 unknown */
    int64_t length;          /* as mpeg_core_length, without walking (a reader before its walk:
                                the LAME tag's); -1 unknown */
    int64_t stated_frames;   /* the frames the Info/Xing header states (its frame count, when it
                                has one and it is not 0); -1 without */
    int32_t info_frame;      /* 1 when the first frame is an Info/Xing frame (holding no audio) */
} MpegStreamInfo;

/* Fills *info: MP3_OK, or MP3_NEED_MORE before the first frame was found (then zeroed), or the
 * failure the data gave. */
int32_t mpeg_core_get_info(const MpegCore* c, MpegStreamInfo* info);

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
