// The streamed MP3 player: plays MPEG audio that the caller hands over in fixed-size blocks,
// never holding the whole file. It keeps the current block and the next one side by side in a
// window, so that a frame crossing a block boundary decodes whole, and asks for the next block
// once the older one is used up.
// Decoding into Allegro's audio stream, the unsigned conversion, automatic polling and the tail
// of two silent buffers work as in the in-memory player. It indexes the frames as their blocks
// pass, so it can seek to any time it has passed and loop (the whole data, or between loop
// points): it then asks for blocks again from the offset decoding restarts at. Looping, it asks
// for a pass's restart blocks ahead of the seam and keeps them, so that a caller who gives one
// block a poll carries it over every seam.
// A C header (C99 and C++): the player is opaque, made and freed by its create and destroy calls.
#ifndef ZIVIVEV_MP3_STREAM_PLAYER_H
#define ZIVIVEV_MP3_STREAM_PLAYER_H

#include <stdint.h>

#include "mpeg_result.h"
#include "mpeg_tags.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Mp3StreamPlayer Mp3StreamPlayer;

// A player over the first block (copied; its size fixes the block size for good), or null when
// the block holds no frame or is smaller than one frame. `last`: no more blocks. A first block
// that begins with a tag going on past it, or ends before its first frame is confirmed, gives a
// player that asks for blocks until the first frame is found; until then its format queries give
// 0, and play is remembered and done then.
Mp3StreamPlayer* mp3s_create(const void* first_block, int32_t size, int32_t last);
void mp3s_destroy(Mp3StreamPlayer* p);

// Where the caller may write the next block (block_size bytes), or null when none is wanted now.
uint8_t* mp3s_next_block(Mp3StreamPlayer* p);
// The byte offset in the file of the block mp3s_next_block asks for, or -1 while it asks for
// none. The first block is offset 0; without a loop or a seek the offset is the bytes given so
// far. After a seek it names the offset decoding restarts at (the pre-roll's first frame), and
// the blocks from there on are asked for again. While looping it names, besides, the two blocks
// from the offset a pass restarts at, once that offset has been passed: whenever the blocks held
// carry the next poll, before the next block of the pass, and only once (they are kept). At the
// seam the pass goes on from them, and the blocks after them are asked for.
int64_t mp3s_next_block_offset(const Mp3StreamPlayer* p);
// Commits the block written at mp3s_next_block's address: -1, or its valid bytes when it is the
// last (clamped to 0..block_size).
void mp3s_give_block(Mp3StreamPlayer* p, int32_t last_bytes);

// MP3_OK (also when already playing, or remembered until the first frame comes), or
// MP3_BAD_BUFFER when buffer_bytes is smaller than one frame's PCM or the data held no frame.
int32_t mp3s_play(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan);
int32_t mp3s_play_ex(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                     int32_t speed);
// MP3_OK buffer filled / none free / silent tail / waiting for the blocks that end a tag, or for
// the two blocks at the offset a seek (or a loop restart not asked for ahead) reads from;
// MP3_ENDED ended and stopped; MP3_NOT_PLAYING; MP3_NO_FRAME the data held no frame at all, or a
// frame larger than a block (stopped); MP3_DATA_LATE the data ran out inside the frames before
// the next block came (stopped).
int32_t mp3s_poll(Mp3StreamPlayer* p);
void mp3s_start_autopoll(Mp3StreamPlayer* p, int32_t ms);
void mp3s_stop_autopoll(Mp3StreamPlayer* p);
void mp3s_stop(Mp3StreamPlayer* p);
void mp3s_adjust(Mp3StreamPlayer* p, int32_t vol, int32_t pan, int32_t speed);

int32_t mp3s_is_playing(const Mp3StreamPlayer* p);
void* mp3s_output_buffer(const Mp3StreamPlayer* p, int32_t* size);
int32_t mp3s_current_frame(const Mp3StreamPlayer* p);
int32_t mp3s_position_ms(const Mp3StreamPlayer* p);
int32_t mp3s_position_secs(const Mp3StreamPlayer* p);
// In samples per channel of the PCM handed back, 64-bit: the next sample to be handed back, and
// the length where the data says it (a gapless run's, a Xing count), else -1.
int64_t mp3s_position_samples(const Mp3StreamPlayer* p);
int64_t mp3s_length_samples(const Mp3StreamPlayer* p);
int32_t mp3s_frame_ms(const Mp3StreamPlayer* p);
// Lengths need the size of the whole file, which the player never sees.
int32_t mp3s_total_frames(const Mp3StreamPlayer* p, int32_t total_bytes);
int32_t mp3s_length_ms(const Mp3StreamPlayer* p, int32_t total_bytes);
int32_t mp3s_length_secs(const Mp3StreamPlayer* p, int32_t total_bytes);
int32_t mp3s_bytes_per_second(const Mp3StreamPlayer* p);
int32_t mp3s_bitrate(const Mp3StreamPlayer* p);
int32_t mp3s_layer(const Mp3StreamPlayer* p);
int32_t mp3s_bits(const Mp3StreamPlayer* p);
int32_t mp3s_is_stereo(const Mp3StreamPlayer* p);
int32_t mp3s_frequency(const Mp3StreamPlayer* p);

// Gapless playback, off by default; set while stopped: MP3_OK, or MP3_PLAYING (also for null).
// On, the PCM handed back is the encoder's input as the file's LAME tag describes it (the Info
// frame left out, the encoder's delay and padding cut off; the padding only where the Info
// frame counts the frames), and the position and length queries count those samples.
int32_t mp3s_set_gapless(Mp3StreamPlayer* p, int32_t on);

// The tags seen in the first block (an ID3v2 tag at the start of the file, as far as the block
// holds it; tags at the end only when the first block is the last), or null when it held none.
// The record belongs to the player.
const MpegTags* mp3s_tags(const Mp3StreamPlayer* p);

// ReplayGain as mp3_set_replaygain: from the tags of the first block and the LAME tag of the first
// frame (once that frame has been found; a player still waiting for it takes the tags' gain).
int32_t mp3s_set_replaygain(Mp3StreamPlayer* p, int32_t mode, int32_t preamp_centibels);
// Seeks to the frame that holds `ms` (as the in-memory player's seeks land), exactly as an
// uninterrupted decode gives it there, and rewinds: 0, or -1 and no change for a time the player
// has not passed yet (its frames are indexed as their blocks arrive).
int32_t mp3s_seek_ms(Mp3StreamPlayer* p, int32_t ms);
int32_t mp3s_rewind(Mp3StreamPlayer* p);

// The loop flag (mp3s_play has no loop argument; it keeps the flag and the loop points): at the
// end of the data the player starts again from its start, or from the loop points' start.
// Gapless or with loop points the join is seamless; else after the silent tail.
void mp3s_set_loop(Mp3StreamPlayer* p, int32_t loop);
int32_t mp3s_is_looping(const Mp3StreamPlayer* p);
// Loop points as mp3_set_loop_points sets them (samples per channel of the PCM handed back). An
// end past the data is refused where the length is known (a gapless run's length, a Xing count).
int32_t mp3s_set_loop_points(Mp3StreamPlayer* p, int64_t start, int64_t end);
int32_t mp3s_get_loop_points(const Mp3StreamPlayer* p, int64_t* start, int64_t* end);
// A fade, as mp3_fade.
int32_t mp3s_fade(Mp3StreamPlayer* p, int32_t volume, int32_t ms);

#ifdef __cplusplus
}
#endif

#endif
