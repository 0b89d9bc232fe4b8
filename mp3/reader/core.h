// The decoding core that mp3dec and both players are built on: it owns the decoder, the frame
// synchronisation, the first frame's header, Xing header and output format, the gapless run and
// (for data held whole in memory) the frame index, and turns a window of MP3 bytes into PCM.
//
// The caller keeps the bytes and passes a window of them on every call (buf, len, whether more
// bytes follow it, and the read position in it), as mpeg_sync_decode takes them: the whole data
// for data in memory, the join of two blocks for a streamed player, a piece of a file for mp3dec.
// mpeg_core_open finds the first frame and sets the decoder up from it; mpeg_core_fill then fills a
// PCM buffer frame by frame, through a one-frame carry, with plain or gapless PCM.
//
// This header is the library's own (not installed): the core's layout and the window-passing
// calls under the players and mp3dec. Callers see the core through mpeg_core.h, which keeps the
// bytes itself (core_sources.cpp).
#pragma once

#include <cstdint>

#include "frame_index.h"
#include "frame_sync.h"
#include "gapless.h"
#include "lame_info.h"
#include "lame_tag.h"
#include "mpeg_core.h"
#include "mpeg_decoder.h"
#include "mpeg_result.h"
#include "xing.h"

extern "C" {


// Room for the decoder inside the core. The decoder's layout stays inside the library, so the
// core, and the players that embed it, hold a block of fixed size and alignment instead; core.cpp
// checks that an MpegDecoder fits it (with room to grow without changing the core's size), and
// mpeg_core_decoder gives the decoder placed in it.
struct MpegDecoderRoom {
    alignas(16) unsigned char bytes[48 * 1024];
};

struct MpegCore {
    MpegDecoderRoom decoder_room; // the decoder: mpeg_core_decoder
    MpegSync sync;
    MpegHeader header;     // of the first frame
    MpegXing* xing;        // the first frame's Xing header, or null
    MpegFrameIndex index;   // data in memory only (mpeg_core_index); empty otherwise
    MpegGapless gap;        // the run of decoded samples handed back, and the one-frame carry
    int32_t reduction, convert, freq_limit; // the decoder's set-up options
    int32_t ready;         // 1 once the first frame is found and the decoder set up
    int32_t needs_setup;   // set the decoder up again before the next frame (after a seek)
    int32_t frame_bytes;   // first frame, without padding
    int32_t bitrate;       // bits per second of the first frame
    int32_t layer;         // 1, 2, 3, or -1 before the first frame
    int32_t frequency;     // output sample rate, Hz
    int32_t stereo;        // -1 two output channels, 0 one
    int32_t bits;          // 16 or 8
    int32_t frame_pcm_bytes;
    int32_t info;          // 1 when the first frame is an Info/Xing frame (no audio)
    int32_t info_frames;   // the audio frames its header counts; -1 unknown
    int32_t has_lame_tag;  // 1 when the first frame carries a LAME tag (lame_tag then holds it)
    MpegLameTag lame_tag;  // its encoder delay and padding
    MpegLameInfo lame;     // what else it says: encoder, bitrate method, ReplayGain (zero without)
    int32_t current_frame; // number of the next frame to decode, from 0 (the Info frame's 0)
    int64_t given;         // PCM bytes handed out since the start or the last rewind or seek
};

// The core's decoder (in its decoder_room).
inline MpegDecoder* mpeg_core_decoder(MpegCore* c) {
    return reinterpret_cast<MpegDecoder*>(c->decoder_room.bytes);
}

// Prepares a core (the decoder allocated) for the search of a first frame. 1, or 0 when memory
// ran out (mpeg_core_free is still safe).
int32_t mpeg_core_init(MpegCore* c, int32_t reduction, int32_t convert, int32_t freq_limit);
void mpeg_core_free(MpegCore* c);
// Back to the search of a first frame, the decoder kept (new data: mp3dec's benchmark passes).
void mpeg_core_restart(MpegCore* c);

// Searches buf[*pos, len) for the first frame; once found (*pos at it), sets the decoder up and
// reads the first frame's Xing header and LAME tag. MP3_OK, MP3_NEED_MORE, MP3_ENDED (no frame
// at all) or MP3_SETUP_FAILED (a stream the decoder cannot take).
int32_t mpeg_core_open(MpegCore* c, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos);

// Builds the index of data[0, len) held in memory, whose first frame, found by mpeg_core_open,
// starts at 0. 1, or 0 when memory ran out (seeks then have no index).
int32_t mpeg_core_index(MpegCore* c, const uint8_t* data, int32_t len);

// Gapless on (the encoder's input as the LAME tag describes it: the Info frame left out, the
// encoder's delay and padding cut, up to the tag's frame count) or off (every frame decoded).
void mpeg_core_use_gapless(MpegCore* c, int32_t on);

// Fills out[*filled, room) from the window, frame by frame, and moves *pos and *filled on.
// MP3_OK when full; else MP3_NEED_MORE, MP3_ENDED or MP3_OTHER_STREAM as the frames ran out
// (*filled says how far).
int32_t mpeg_core_fill(MpegCore* c, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos,
                      uint8_t* out, int32_t room, int32_t* filled);

// Whether the gapless run has been handed back whole (never, gapless off).
int32_t mpeg_core_run_done(const MpegCore* c);

// Back to frame 0, or on to frame f of data in memory (data_len bytes from the first frame): the
// byte offset to read from next. With an index that is frame f's offset (the data's length past
// the frames indexed); without one the Xing table's offset or else `guess`, kept inside the data
// and searched from. The decoder is set up again before the next frame.
void mpeg_core_rewind(MpegCore* c);
int32_t mpeg_core_move_frame(MpegCore* c, int32_t f, int32_t data_len, int64_t guess);

// On to frame f of a stream whose frames the caller has indexed itself (a streamed player), the
// next bytes read being that frame's first: the decoder is set up again before the next frame,
// with no pre-roll of its own (the caller decodes the frames before f and throws their output
// away).
void mpeg_core_seek_at(MpegCore* c, int32_t f);

// Sets the decoder up again where a rewind or seek asked for it, the frames before a sought frame
// of indexed data (its pre-roll) decoded with their output thrown away. 0 when the set-up failed.
int32_t mpeg_core_prepare(MpegCore* c, const uint8_t* data, int32_t len);

// Samples per channel that decoding `frames` frames from the start hands back.
int64_t mpeg_core_output_samples(const MpegCore* c, int64_t frames);

// Whole-data decoding on several threads. Each thread has a core of its own, opened on the same
// data as the first; a run of frames decoded from a seek to its first frame (its pre-roll
// decoded with the output thrown away) gives byte for byte what a decode from frame 0 gives
// those frames, so segments split at frame boundaries join into the one-thread output.
//
// Opens c (initialised) on data[0, len), which the core `like` was opened and indexed on (its
// first frame at 0), with like's options, gapless setting and a copy of its index (an index of
// its own where like has none). 1, or 0 when the data does not open the same way or memory ran
// out. like is only read: several threads may open cores like one at once.
int32_t mpeg_core_open_like(MpegCore* c, const MpegCore* like, const uint8_t* data, int32_t len);
// The PCM bytes a decode from frame 0 hands back for frames [from, to).
int64_t mpeg_core_range_bytes(const MpegCore* c, int32_t from, int32_t to);
// Decodes frames [from, to) of indexed data into out, mpeg_core_range_bytes(c, from, to) bytes,
// from a seek to `from`. 1 when exactly those frames gave exactly those bytes; 0 otherwise
// (damaged data, a frame that gave other than its share, a set-up that failed).
int32_t mpeg_core_decode_range(MpegCore* c, const uint8_t* data, int32_t len, int32_t from,
                              int32_t to, uint8_t* out);
// Takes a piece of a range's PCM: `bytes` at pcm, `at` bytes into the range's output. 1 to go
// on, 0 to stop the decode.
typedef MpegCorePlace MpegPcmSink;
// The same, `piece` frames at a time into buf (room for `piece` frames' PCM), each piece handed
// to put (when not null) before the next is decoded over it: a range of any length through a
// small buffer, from one seek. 0 also when put stopped it.
int32_t mpeg_core_decode_pieces(MpegCore* c, const uint8_t* data, int32_t len, int32_t from,
                               int32_t to, int32_t piece, uint8_t* buf, MpegPcmSink put,
                               void* ctx);
// Decodes frames [from, to) of indexed data from where c stands: at frame `from`, with *pos its
// byte offset (after a straight decode of the frames before it, or a seek there and
// mpeg_core_prepare). `piece` frames at a time into buf, each piece handed to put (when not
// null) `at` bytes, plus the bytes before it in the range, into the output; with `advance` each
// piece goes after the one before in buf, else over it. 1 when exactly those frames gave exactly
// their bytes (c then stands at `to` for a straight decode to go on); 0 as decode_pieces.
int32_t mpeg_core_decode_on(MpegCore* c, const uint8_t* data, int32_t len, int32_t* pos,
                            int32_t from, int32_t to, int32_t piece, uint8_t* buf,
                            int32_t advance, MpegPcmSink put, void* ctx, int64_t at);

// The whole-data decode (core_threads.cpp). c, opened and indexed on data[0, len) and not read
// from yet, decodes the frames from the start but the last few (which the caller's own decode
// reads, with the data's end) on up to `threads` threads, 0 asking for the default: the
// processors the process may run on, once the first frames' measured cost says the threads pay.
// The PCM goes straight into out (the frames whose PCM fits its `room` bytes) when out is not
// null, else a piece at a time to put, from whichever thread decoded it (pieces that do not overlap, in any order).
// Returns the frames n whose PCM was given, byte for byte what a straight decode gives them
// (0 where the data has no index); c then stands at frame n, seeked there: *pos is the byte
// offset to read on from, after mpeg_core_prepare (PCM of later frames may have been given
// too where damaged data stopped the join: the caller's decode writes over it). -1 when put
// stopped the decode.
int32_t mpeg_core_decode_run(MpegCore* c, const uint8_t* data, int32_t len, int32_t threads,
                             uint8_t* out, int64_t room, MpegPcmSink put, void* ctx,
                             int32_t* pos);

// The output format's arithmetic: bytes of one sample of every channel, bytes a second, and one
// frame's duration in whole milliseconds, truncated (26 for a 44.1 kHz Layer III frame); 0
// before the first frame has set the format up.
int32_t mpeg_core_sample_bytes(const MpegCore* c);
int32_t mpeg_core_bytes_per_second(const MpegCore* c);
int32_t mpeg_core_frame_ms(const MpegCore* c);

// Time of the PCM handed back so far, and of `samples` samples per channel.
int32_t mpeg_core_position_ms(const MpegCore* c);
int32_t mpeg_core_samples_ms(const MpegCore* c, int64_t samples);

}  // extern "C"
