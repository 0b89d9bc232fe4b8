// The in-memory MP3 player: plays MPEG audio data that lies in memory through an Allegro 4
// audio stream, decoding a whole number of frames into each free stream buffer and handing it
// back as unsigned PCM. It polls itself from an Allegro timer on request, loops, seeks to the
// frame that holds the time asked for (through an index of the frames made at create), reports
// position and length, and can decode the whole file into an Allegro SAMPLE. The MP3 bytes are
// read where the caller keeps them.
#pragma once

#include <atomic>
#include <cstdint>

#include "core.h"
#include "mpeg_result.h"
#include "mp3_lock.h"

struct AUDIOSTREAM;
struct SAMPLE;

struct Mp3Player {
    Mp3Core core;          // decoder, frame synchronisation, format, gapless run, frame index
    const uint8_t* start;  // the first frame (after any leading tags and junk)
    const uint8_t* pos;    // next byte to decode
    int32_t data_len;      // bytes from start (trailing tags excluded)
    int32_t total_frames;
    AUDIOSTREAM* stream;   // playing exactly when not null
    int32_t loop;
    int32_t frames_per_buffer;
    std::atomic<int32_t> autopoll; // -1 while automatic polling is wanted (read by the timer thread)
    int32_t autopoll_ms;
    int32_t tail_polls;    // silent polls still to give after the data ended
    mutable Mp3Lock lock;  // held by every call; the poll only tries it
};

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
// a frame start); the first buffer after one is the same as an uninterrupted decode's there.
void mp3_rewind(Mp3Player* p);
void mp3_seek_frame(Mp3Player* p, int32_t frame);
void mp3_seek_ms(Mp3Player* p, int32_t ms);
void mp3_seek_secs(Mp3Player* p, int32_t secs);
void mp3_skip_frames(Mp3Player* p, int32_t frames);
void mp3_skip_ms(Mp3Player* p, int32_t ms);
void mp3_skip_secs(Mp3Player* p, int32_t secs);

void mp3_adjust(Mp3Player* p, int32_t vol, int32_t pan, int32_t speed, int32_t loop);
void mp3_set_loop(Mp3Player* p, int32_t loop);
int32_t mp3_is_playing(const Mp3Player* p);
int32_t mp3_is_looping(const Mp3Player* p);
// While playing: the stream's sample data, and one buffer's size in bytes stored at *size.
void* mp3_output_buffer(const Mp3Player* p, int32_t* size);
// The whole file as a new SAMPLE (unsigned when 16-bit), or null; leaves the player stopped
// at frame 0.
SAMPLE* mp3_decode_all(Mp3Player* p);

int32_t mp3_current_frame(const Mp3Player* p);
int32_t mp3_total_frames(const Mp3Player* p);
int32_t mp3_position_ms(const Mp3Player* p);
int32_t mp3_position_secs(const Mp3Player* p);
int32_t mp3_frame_ms(const Mp3Player* p);
int32_t mp3_length_ms(const Mp3Player* p);
int32_t mp3_length_secs(const Mp3Player* p);
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
