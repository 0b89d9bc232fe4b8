// The in-memory player: create (tags, first header, decoder set-up, Xing header), play into an
// Allegro audio stream, the poll that decodes frames_per_buffer frames straight into each free
// stream buffer, the tail of two silent buffers, looping, seeking, time queries and the decode
// of a whole file into a SAMPLE. Frames are found through the shared frame synchronisation, so
// tags and junk anywhere are stepped over and no read goes past start + data_len.
// Gapless playback, asked for before play, hands back only the encoder's input and joins a
// loop's end to its start inside a buffer.
#include "mp3_player.h"

#include <cstring>
#include <new>

#include <allegro.h>

#include "frame_sync.h"
#include "tags.h"
#include "player_common.h"

namespace {

using Autopoll = Mp3Autopoll<Mp3Player, mp3_poll>;

// The player always decodes at full rate, keeps the stream's channels, 16-bit, up to 24 kHz.
int32_t setup_decoder(Mp3Player* p) {
    return mpeg_decoder_setup(&p->decoder, &p->header, p->frame_bytes, 0, 0, 0, 24000);
}

int32_t channels(const Mp3Player* p) { return p->stereo ? 2 : 1; }

// The start of a whole-file decode: a silent sample of `bytes` bytes, the player stopped and
// rewound and its decoder set up afresh. Null when the size, the sample or the set-up fails.
SAMPLE* begin_whole_decode(Mp3Player* p, int64_t bytes) {
    if (bytes <= 0 || bytes > INT32_MAX) return nullptr;
    SAMPLE* s = create_sample(p->bits, p->stereo, p->frequency,
                              static_cast<int>(bytes / (p->bits / 8) / channels(p)));
    if (!s) return nullptr;
    mp3_stop(p);
    mp3_rewind(p);
    if (!setup_decoder(p)) {
        destroy_sample(s);
        return nullptr;
    }
    p->needs_setup = 0;
    std::memset(s->data, 0, static_cast<size_t>(bytes));
    return s;
}

// Gapless playback (at the end of this file).
int32_t poll_gapless(Mp3Player* p, uint8_t* buf, int32_t bytes);
SAMPLE* decode_all_gapless(Mp3Player* p);
int32_t gapless_position_ms(const Mp3Player* p);
int32_t gapless_length_ms(const Mp3Player* p);

void hand_back(Mp3Player* p, void* buf, int32_t bytes) {
    mp3_hand_back(p->stream, buf, bytes, p->bits);
}

// Moves the read position to a byte offset, kept inside the data (a Xing table or a frame count
// that disagrees with the data cannot move it outside).
void set_offset(Mp3Player* p, int64_t off) {
    if (off < 0) off = 0;
    if (off > p->data_len) off = p->data_len;
    p->pos = p->start + off;
}

// Seeks through the index: frame f starts at its recorded offset; a frame past the frames the
// data holds (a frame count that promises more) is the end of the data. False without an index.
bool seek_indexed(Mp3Player* p, int32_t f) {
    if (!p->index.offsets) return false;
    p->pos = p->start + (f < p->index.frames ? p->index.offsets[f] : p->data_len);
    p->current_frame = f;
    p->needs_setup = 1;
    mp3_sync_restart(&p->sync, 1);
    return true;
}

// Moves to the frame that holds the time `ms` after the start of frame `from`: the time is
// counted in samples, so no rounding of the frame's duration accumulates.
void seek_time(Mp3Player* p, int32_t from, int64_t ms) {
    const int32_t spf = p->frame_pcm_bytes / (p->bits / 8) / channels(p);
    if (spf <= 0) return;
    // ms * frequency / 1000 samples, floored: both terms over a common denominator.
    const int64_t num = int64_t(from) * spf * 1000 + ms * p->frequency;
    const int64_t f = mp3_frame_of_sample(num, spf * 1000);
    if (f < 0 || f > INT32_MAX) return;
    if (from == 0)
        mp3_seek_frame(p, static_cast<int32_t>(f));
    else
        mp3_skip_frames(p, static_cast<int32_t>(f - from));
}

void release(Mp3Player* p) {
    mp3_index_free(&p->index);
    mpeg_decoder_free(&p->decoder);
    xing_free(p->xing);
    delete p;
}

}  // namespace

Mp3Player* mp3_create(const void* data, int32_t len) {
    if (!data || len <= 0) return nullptr;
    const uint8_t* d = static_cast<const uint8_t*>(data);
    const int32_t n = mp3_trailing_tags(d, len);

    // The decoder is set up in place inside the heap player rather than in a temporary on the
    // stack and copied: the result is the same and the stack stays small.
    Mp3Player* p = new (std::nothrow) Mp3Player();
    if (!p) return nullptr;
    if (!mpeg_decoder_init(&p->decoder, 1)) {
        release(p);
        return nullptr;
    }
    // The first confirmed frame: normally the one right after the leading tags; junk in front
    // of it is searched through.
    int32_t first_at = 0;
    mp3_sync_init(&p->sync);
    if (mp3_sync_lock(&p->sync, d, n, 1, &first_at, &p->header, &p->frame_bytes, &p->bitrate) !=
            MP3_SYNC_FRAME ||
        !setup_decoder(p)) {
        release(p);
        return nullptr;
    }
    MpegOutputFormat f;
    mpeg_decoder_get_format(&p->decoder, &f);
    p->frequency = f.sample_rate;
    p->stereo = f.channels >= 2 ? -1 : 0;
    p->bits = f.bits;
    p->frame_pcm_bytes = (f.bits / 8) * f.out_samples;
    if (p->frame_pcm_bytes <= 0 || p->frequency <= 0) {
        release(p);
        return nullptr;
    }
    p->stream = nullptr;
    p->current_frame = 0;
    d += first_at;
    p->data_len = n - first_at;
    p->start = p->pos = d;
    p->autopoll.store(0);
    p->needs_setup = 0;
    p->layer = mpeg_header_layer(&p->header);

    // The Xing header lies inside the first frame; reading stops at that frame's end.
    int32_t first = mpeg_header_max_frame_bytes(&p->header, p->frame_bytes);
    p->xing = xing_read(d, first < n ? first : n, &p->header);
    // Without memory for the index the player still plays; seeks then step by frame_bytes or
    // through the Xing table, as estimates.
    mp3_index_build(&p->index, &p->sync, p->start, p->data_len);
    if (p->xing && (p->xing->flags & 1) && p->xing->frames > 0)
        p->total_frames = p->xing->frames;
    else if (p->index.offsets)
        p->total_frames = p->index.frames;  // counted: a variable bitrate or padding included
    else
        p->total_frames = p->data_len / p->frame_bytes;
    return p;
}

void mp3_destroy(Mp3Player* p) {
    if (!p) return;
    {
        // Waits for a poll in progress; the stop removes the timer, so none starts afterwards.
        const Mp3Hold<Mp3Player> hold(p);
        mp3_stop(p);
    }
    release(p);
}

int32_t mp3_play(Mp3Player* p, int32_t buffer_bytes, int32_t vol, int32_t pan) {
    const Mp3Hold<Mp3Player> hold(p);
    return mp3_play_ex(p, buffer_bytes, vol, pan, 1000, 0);
}

int32_t mp3_play_ex(Mp3Player* p, int32_t buffer_bytes, int32_t vol, int32_t pan, int32_t speed,
                    int32_t loop) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return -1;
    if (p->stream) return 0;
    int32_t fpb = buffer_bytes / p->frame_pcm_bytes;
    if (fpb <= 0) return -1;
    p->frames_per_buffer = fpb;
    // The stream's buffer length, in samples per channel, is exactly fpb frames.
    int32_t samples = fpb * p->frame_pcm_bytes / channels(p) / (p->bits / 8);
    p->stream = play_audio_stream(samples, p->bits, p->stereo, p->frequency, vol, pan);
    if (p->stream && speed != 1000) adjust_sample(p->stream->samp, vol, pan, speed, TRUE);
    p->loop = loop;
    p->tail_polls = 0;
    // Without a stream no timer is installed: stop would never remove it.
    if (p->stream) Autopoll::on_play(p);
    return 0;
}

namespace {

int32_t poll_held(Mp3Player* p);

}  // namespace

// The poll only tries the lock: while a control call holds the player (from another thread) this
// tick gives up at once, as a poll that finds no free buffer does.
int32_t mp3_poll(Mp3Player* p) {
    if (!p) return -1;
    if (!mp3_try_lock(&p->lock)) return 0;
    const int32_t r = poll_held(p);
    mp3_unlock(&p->lock);
    return r;
}

namespace {

int32_t poll_held(Mp3Player* p) {
    if (!p || !p->stream) return -1;
    uint8_t* buf = static_cast<uint8_t*>(get_audio_stream_buffer(p->stream));
    if (!buf) return 0;
    int32_t bytes = p->frames_per_buffer * p->frame_pcm_bytes;
    std::memset(buf, 0, static_cast<size_t>(bytes));

    if (p->tail_polls > 0) {
        hand_back(p, buf, bytes);
        if (--p->tail_polls > 0) return 0;
        if (!p->loop) {
            mp3_stop(p);
            return 1;
        }
        // Looping: this second silent buffer has been handed back as silence; decoding starts
        // again from frame 0 in the next poll (the end of data rewound the player).
        return 0;
    }
    if (p->needs_setup) {
        p->tail_polls = 0;
        p->gap.carry_len = 0;  // gapless: a frame's rest from before a seek or rewind is dropped
        if (!setup_decoder(p)) {
            hand_back(p, buf, bytes);
            mp3_stop(p);
            mp3_rewind(p);
            return -4;
        }
        p->needs_setup = 0;
        // After a seek: the frames before the one sought refill the decoder's state; their
        // output is overwritten below.
        if (mp3_index_decode_preroll(&p->index, &p->decoder, p->start, p->data_len, p->layer,
                                     p->current_frame, buf) > 0)
            std::memset(buf, 0, static_cast<size_t>(bytes));
    }
    if (p->gap.on) return poll_gapless(p, buf, bytes);

    uint8_t* out = buf;
    for (int32_t i = 0; i < p->frames_per_buffer; ++i) {
        int32_t off = static_cast<int32_t>(p->pos - p->start);
        InOut io{0, 0};
        // Another stream spliced on (MP3_SYNC_OTHER) is the end of this one's data.
        if (mp3_sync_decode(&p->sync, &p->decoder, p->start, p->data_len, 1, &off, out, &io) !=
            MP3_SYNC_FRAME) {
            mp3_rewind(p);
            hand_back(p, buf, bytes);
            p->tail_polls = 2;
            return 0;
        }
        p->pos = p->start + off;
        out += io.out_bytes;
        p->current_frame += 1;
    }
    hand_back(p, buf, bytes);
    if (p->pos - p->start >= p->data_len) {
        mp3_rewind(p);
        p->tail_polls = 2;
    }
    return 0;
}

}  // namespace

void mp3_start_autopoll(Mp3Player* p, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    Autopoll::start(p, ms);
}

void mp3_stop_autopoll(Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    Autopoll::stop(p);
}

void mp3_stop(Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || !p->stream) return;
    // The timer goes first, so that no poll starts on a stream that is being stopped.
    Autopoll::on_stop(p);
    stop_audio_stream(p->stream);
    p->stream = nullptr;
}

void mp3_rewind(Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return;
    p->current_frame = 0;
    p->pos = p->start;
    p->needs_setup = 1;
    mp3_sync_restart(&p->sync, 1);
}

void mp3_seek_frame(Mp3Player* p, int32_t frame) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || frame < 0 || frame >= p->total_frames) return;
    if (seek_indexed(p, frame)) return;
    int32_t o = xing_offset(p->xing, frame, p->data_len);
    set_offset(p, o >= 0 ? int64_t(o) : int64_t(frame) * p->frame_bytes);
    p->current_frame = frame;
    p->needs_setup = 1;
    mp3_sync_restart(&p->sync, p->pos == p->start);
}

void mp3_skip_frames(Mp3Player* p, int32_t frames) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return;
    int64_t t = int64_t(p->current_frame) + frames;
    if (t < 0 || t >= p->total_frames) return;
    if (seek_indexed(p, static_cast<int32_t>(t))) return;
    int32_t o = xing_offset(p->xing, static_cast<int32_t>(t), p->data_len);
    if (o >= 0)
        set_offset(p, o);
    else
        set_offset(p, (p->pos - p->start) + int64_t(frames) * p->frame_bytes);
    p->current_frame = static_cast<int32_t>(t);
    p->needs_setup = 1;
    mp3_sync_restart(&p->sync, p->pos == p->start);
}

void mp3_seek_ms(Mp3Player* p, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, 0, ms);
}

void mp3_seek_secs(Mp3Player* p, int32_t secs) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, 0, int64_t(secs) * 1000);
}

void mp3_skip_ms(Mp3Player* p, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, p->current_frame, ms);
}

void mp3_skip_secs(Mp3Player* p, int32_t secs) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, p->current_frame, int64_t(secs) * 1000);
}

void mp3_adjust(Mp3Player* p, int32_t vol, int32_t pan, int32_t speed, int32_t loop) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || !p->stream) return;
    adjust_sample(p->stream->samp, vol, pan, speed, TRUE);
    p->loop = loop;
}

void mp3_set_loop(Mp3Player* p, int32_t loop) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p && p->stream) p->loop = loop;
}

int32_t mp3_is_playing(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p && p->stream ? -1 : 0;
}

int32_t mp3_is_looping(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p && p->stream ? p->loop : 0;
}

void* mp3_output_buffer(const Mp3Player* p, int32_t* size) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || !p->stream) return nullptr;
    if (size) *size = p->frames_per_buffer * p->frame_pcm_bytes;
    return p->stream->samp->data;
}

SAMPLE* mp3_decode_all(Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return nullptr;
    if (p->gap.on) return decode_all_gapless(p);
    // The index counts the frames the data holds; the Xing count leaves out the Xing frame
    // itself, which is decoded (as silence) too, so sizing by it would lose the last frame.
    const int32_t frames = p->index.offsets ? p->index.frames : p->total_frames;
    const int64_t size = int64_t(frames) * p->frame_pcm_bytes;
    SAMPLE* s = begin_whole_decode(p, size);
    if (!s) return nullptr;
    uint8_t* out = static_cast<uint8_t*>(s->data);
    int64_t room = size;
    int32_t off = 0;
    InOut io{0, 0};
    while (room >= p->frame_pcm_bytes &&
           mp3_sync_decode(&p->sync, &p->decoder, p->start, p->data_len, 1, &off, out, &io) ==
               MP3_SYNC_FRAME) {
        out += io.out_bytes;
        room -= io.out_bytes;
    }
    mp3_rewind(p);
    if (p->bits == 16) mp3_to_unsigned(s->data, static_cast<int32_t>(size));
    return s;
}

int32_t mp3_current_frame(const Mp3Player* p) {
    return mp3_held_field(p, &Mp3Player::current_frame);
}
int32_t mp3_total_frames(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::total_frames); }

int32_t mp3_bytes_per_second(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mp3_bytes_per_second_of(p) : 0;
}
int32_t mp3_frame_ms(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mp3_frame_ms_of(p) : 0;
}
int32_t mp3_position_ms(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p && p->gap.on) return gapless_position_ms(p);
    return p ? mp3_position_ms_of(p) : 0;
}
int32_t mp3_position_secs(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return mp3_position_ms(p) / 1000;
}

int32_t mp3_length_ms(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return 0;
    if (p->gap.on) return gapless_length_ms(p);
    int64_t ms = int64_t(mp3_frame_ms(p)) * p->total_frames;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

int32_t mp3_length_secs(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return mp3_length_ms(p) / 1000;
}
int32_t mp3_bitrate(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::bitrate); }
int32_t mp3_layer(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::layer); }
int32_t mp3_bits(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::bits); }
int32_t mp3_is_stereo(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::stereo); }
int32_t mp3_frequency(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::frequency); }

// Gapless playback: the run of samples handed back (mp3_common.h) is one pass; a loop starts
// the next pass inside the same buffer.

namespace {

int32_t sample_bytes(const Mp3Player* p) { return mp3_sample_bytes_of(p); }
int64_t frame_samples(const Mp3Player* p) { return mp3_frame_samples_of(p); }

// Frames of the data, as the poll's frame synchronisation finds them.
int64_t count_frames(const Mp3Player* p) {
    Mp3Sync s = p->sync;
    mp3_sync_restart(&s, 1);
    int32_t pos = 0, size = 0;
    int64_t n = 0;
    while (mp3_sync_next(&s, p->start, p->data_len, 1, &pos, &size) == MP3_SYNC_FRAME) {
        mp3_sync_taken(&s);
        pos += size;
        ++n;
    }
    return n;
}

bool pass_done(const Mp3Player* p) {
    return p->gap.carry_len == 0 &&
           int64_t(p->current_frame) * frame_samples(p) >= mp3_gap_end(&p->gap);
}

// Fills out[0, bytes) with gapless PCM, starting a new pass at the end of one when looping.
// Returns the bytes written, fewer than asked only where a pass ended without looping; -4 when
// the set-up for a new pass failed.
int32_t gapless_fill(Mp3Player* p, uint8_t* out, int32_t bytes, bool loop) {
    int32_t done = 0;
    bool rewound = false;  // a new pass began in this call and has handed nothing back yet
    while (done < bytes) {
        if (const int32_t n = mp3_gap_take(&p->gap, out + done, bytes - done)) {
            done += n;
            rewound = false;
            continue;
        }
        const int64_t at = int64_t(p->current_frame) * frame_samples(p);
        int32_t off = static_cast<int32_t>(p->pos - p->start);
        InOut io{0, 0};
        if (at < mp3_gap_end(&p->gap) &&
            mp3_sync_decode(&p->sync, &p->decoder, p->start, p->data_len, 1, &off, p->gap.carry,
                            &io) == MP3_SYNC_FRAME) {
            p->pos = p->start + off;
            p->current_frame += 1;
            mp3_gap_keep(&p->gap, at, io.out_bytes, sample_bytes(p));
            continue;
        }
        // The pass is over (its last sample handed back, or the data ended early).
        if (!loop || rewound) return done;
        mp3_rewind(p);
        if (!setup_decoder(p)) return -4;
        p->needs_setup = 0;
        rewound = true;
    }
    return done;
}

int32_t poll_gapless(Mp3Player* p, uint8_t* buf, int32_t bytes) {
    const int32_t n = gapless_fill(p, buf, bytes, p->loop != 0);
    hand_back(p, buf, bytes);
    if (n < 0) {
        mp3_stop(p);
        mp3_rewind(p);
        return -4;
    }
    // The end without looping: the rest of this buffer and two more are silence, as always.
    if (n < bytes || (!p->loop && pass_done(p))) {
        mp3_rewind(p);
        p->tail_polls = 2;
    }
    return 0;
}

SAMPLE* decode_all_gapless(Mp3Player* p) {
    const int64_t size = p->gap.length * sample_bytes(p);
    SAMPLE* s = begin_whole_decode(p, size);
    if (!s) return nullptr;
    p->gap.carry_len = 0;
    gapless_fill(p, static_cast<uint8_t*>(s->data), static_cast<int32_t>(size), false);
    mp3_rewind(p);
    p->gap.carry_len = 0;
    if (p->bits == 16) mp3_to_unsigned(s->data, static_cast<int32_t>(size));
    return s;
}

int32_t gapless_position_ms(const Mp3Player* p) {
    return mp3_gap_position_ms(&p->gap, int64_t(p->current_frame) * frame_samples(p),
                               sample_bytes(p), p->frequency);
}

int32_t gapless_length_ms(const Mp3Player* p) { return mp3_gap_length_ms(&p->gap, p->frequency); }

}  // namespace

int32_t mp3_set_gapless(Mp3Player* p, int32_t on) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || p->stream) return -1;
    if (on && !p->gap.on) {
        // The tag lies inside the first frame; reading stops at that frame's end.
        const int32_t first = mpeg_header_max_frame_bytes(&p->header, p->frame_bytes);
        mp3_gap_bounds(&p->gap, p->start, first < p->data_len ? first : p->data_len, &p->header,
                       count_frames(p), frame_samples(p));
    }
    p->gap.on = on ? -1 : 0;
    p->gap.carry_len = 0;
    return 0;
}
