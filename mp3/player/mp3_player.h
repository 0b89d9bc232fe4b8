// The in-memory MP3 player: plays MPEG audio data that lies in memory through an Allegro 4
// audio stream, decoding a whole number of frames into each free stream buffer and handing it
// back as unsigned PCM. It polls itself from an Allegro timer on request, loops, seeks to the
// frame that holds the time asked for (through an index of the frames made at create), reports
// position and length, and can decode the whole file into an Allegro SAMPLE. The MP3 bytes are
// read where the caller keeps them.
// A C header (C99 and C++): the player is opaque, made and freed by its create and destroy calls.
#ifndef ZIVIVEV_MP3_PLAYER_H
#define ZIVIVEV_MP3_PLAYER_H

#include <stdint.h>

#include "mpeg_result.h"
#include "mpeg_tags.h"

#ifdef __cplusplus
extern "C" {
#endif

struct SAMPLE;

typedef struct Mp3Player Mp3Player;

// Results are the named codes of mpeg_result.h (MP3_OK, negative for failures); flags are -1
// (true) or 0.
Mp3Player* mp3_create(const void* data, int32_t len);
void mp3_destroy(Mp3Player* p);

// MP3_OK (also when already playing), or MP3_BAD_BUFFER when buffer_bytes is smaller than one
// frame's PCM.
int32_t mp3_play(Mp3Player* p, int32_t buffer_bytes, int32_t vol, int32_t pan);
int32_t mp3_play_ex(Mp3Player* p, int32_t buffer_bytes, int32_t vol, int32_t pan, int32_t speed,
                    int32_t loop);
// MP3_OK buffer filled / none free / silent tail; MP3_ENDED ended and stopped; MP3_NOT_PLAYING;
// MP3_SETUP_FAILED (stopped, rewound). Data without further frames is the end of the data.
int32_t mp3_poll(Mp3Player* p);
void mp3_start_autopoll(Mp3Player* p, int32_t ms);
void mp3_stop_autopoll(Mp3Player* p);
void mp3_stop(Mp3Player* p);

// Seeks and skips land on the frame that holds the time asked for (times are rounded down to
// a frame start); the first buffer after one is the same as an uninterrupted decode's there,
// also after one made while the silent buffers after the data's end were being handed back.
void mp3_rewind(Mp3Player* p);
void mp3_seek_frame(Mp3Player* p, int32_t frame);
void mp3_seek_ms(Mp3Player* p, int32_t ms);
void mp3_seek_secs(Mp3Player* p, int32_t secs);
void mp3_skip_frames(Mp3Player* p, int32_t frames);
void mp3_skip_ms(Mp3Player* p, int32_t ms);
void mp3_skip_secs(Mp3Player* p, int32_t secs);

void mp3_adjust(Mp3Player* p, int32_t vol, int32_t pan, int32_t speed, int32_t loop);
void mp3_set_loop(Mp3Player* p, int32_t loop);
// Loop points, in samples per channel of the PCM the player hands back (gapless samples with
// gapless on): the intro [0, start) plays once, then [start, end) repeats, the sample after
// end - 1 being sample start exactly as an uninterrupted decode gives it. end is exclusive, 0 the
// end of the data. 0, or -1 for null, start < 0, end <= start or an end past the data. Setting
// them sets the loop flag; while playing they take effect from the next pass. Switching gapless
// clears them.
int32_t mp3_set_loop_points(Mp3Player* p, int64_t start, int64_t end);
// The loop points in force (0 and the length when none are set): 0, or -1 for null.
int32_t mp3_get_loop_points(const Mp3Player* p, int64_t* start, int64_t* end);
// Ramps a gain on the PCM handed back from its value now to `volume` (0-255, Allegro's volume
// scale, 255 unchanged), sample by sample over `ms` milliseconds, with no steps at buffer edges.
// It multiplies on top of the stream's volume (mp3_adjust), goes on across loops and seeks and is
// kept while stopped; a fade to 0 plays silence until the game stops the player. Callable from
// the game's thread while the automatic poll runs. 0, or -1 for null, a volume outside 0-255 or
// ms < 0.
int32_t mp3_fade(Mp3Player* p, int32_t volume, int32_t ms);
int32_t mp3_is_playing(const Mp3Player* p);
int32_t mp3_is_looping(const Mp3Player* p);
// While playing: the stream's sample data, and one buffer's size in bytes stored at *size.
void* mp3_output_buffer(const Mp3Player* p, int32_t* size);
// The whole file as a new SAMPLE (unsigned when 16-bit), or null; leaves the player stopped
// at frame 0.
struct SAMPLE* mp3_decode_all(Mp3Player* p);

int32_t mp3_current_frame(const Mp3Player* p);
int32_t mp3_total_frames(const Mp3Player* p);
int32_t mp3_position_ms(const Mp3Player* p);
int32_t mp3_position_secs(const Mp3Player* p);
int32_t mp3_frame_ms(const Mp3Player* p);
int32_t mp3_length_ms(const Mp3Player* p);
int32_t mp3_length_secs(const Mp3Player* p);
// The same in samples per channel of the PCM handed back, 64-bit: the next sample to be handed
// back (where a seek or a loop's restart put it), and all of them.
int64_t mp3_position_samples(const Mp3Player* p);
int64_t mp3_length_samples(const Mp3Player* p);
int32_t mp3_bytes_per_second(const Mp3Player* p);
int32_t mp3_bitrate(const Mp3Player* p);
int32_t mp3_layer(const Mp3Player* p);
int32_t mp3_bits(const Mp3Player* p);
int32_t mp3_is_stereo(const Mp3Player* p);
int32_t mp3_frequency(const Mp3Player* p);

// Gapless playback, off by default; set while stopped: MP3_OK, or MP3_PLAYING (also for null).
// On, the PCM handed back is the encoder's input as the file's LAME tag describes it (the Info
// frame left out, the encoder's delay and padding cut off), a loop joins the last sample to the
// first with nothing between, mp3_decode_all gives exactly those samples and the position and
// length queries count them. A file without a LAME tag is handed back whole, looping seamlessly.
int32_t mp3_set_gapless(Mp3Player* p, int32_t on);

// What the file says about itself: its tags (ID3v2, APEv2, ID3v1, read at create; read them with
// the mpeg_tags_* calls), or null when it has none. The record belongs to the player. The
// duration is mp3_length_ms.
const MpegTags* mp3_tags(const Mp3Player* p);

// ReplayGain: mode 0 off, 1 track, 2 album, with preamp_centibels (tenths of a dB) added. The
// gain is the file's (its tags', else its LAME tag's; the other kind's where the one asked for is
// missing), lowered where the file's peak shows the output would clip, and applied inside the
// decoder before the samples are rounded, from the next frame decoded on, across seeks and
// loops. A file without a gain plays as coded. 0, or -1 for a null player or an unknown mode.
int32_t mp3_set_replaygain(Mp3Player* p, int32_t mode, int32_t preamp_centibels);

#ifdef __cplusplus
}
#endif

#endif
