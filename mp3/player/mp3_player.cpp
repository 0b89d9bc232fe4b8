// The in-memory player: the decoding core over the whole data (its first frame found at create,
// its frames indexed for seeks) and the Allegro glue: play into an audio stream, the poll that
// fills each free stream buffer from the core, the tail of two silent buffers, looping, seeking,
// time queries and the decode of a whole file into a SAMPLE. No read goes past start + data_len.
// Gapless playback, asked for before play, hands back only the encoder's input and joins a
// loop's end to its start inside a buffer.
#include "player_state.h"

#include <cstring>
#include <new>

#include <allegro.h>

#include "player_common.h"
#include "tags.h"

namespace {

int32_t poll_held(Mp3Player* p);

using Autopoll = Mp3Autopoll<Mp3Player, mp3_poll>;

void hand_back(Mp3Player* p, void* buf, int32_t bytes) {
    mp3_fade_apply(&p->fade, static_cast<uint8_t*>(buf), bytes, p->core.bits,
                   p->core.stereo ? 2 : 1);
    mp3_hand_back(p->stream, buf, bytes, p->core.bits);
}

// Frames of the data as decoding finds them: the index's count, or the estimate without one.
int32_t data_frames(const Mp3Player* p) {
    return p->core.index.offsets ? p->core.index.frames : p->total_frames;
}

// Whether a gapless pass has been handed back whole: the run's end, or the data's last frame
// (a run without an end, or one that the data ends before) with nothing left in the carry.
bool pass_done(const Mp3Player* p) {
    return mpeg_core_run_done(&p->core) ||
           (p->core.gap.carry_len == 0 && p->core.current_frame >= data_frames(p));
}

// Moves to frame f (in range): through the index, or from an estimate (a byte offset from start).
// A silent tail still to come after the data's end is dropped: the next poll decodes from f.
void move_to(Mp3Player* p, int32_t f, int64_t guess) {
    p->pos = p->start + mpeg_core_seek_frame(&p->core, f, p->data_len, guess);
    p->out_base = mp3_out_of_frame(&p->core, f);
    p->tail_polls = 0;
}

// Handed-back samples of the data: the whole run with gapless on.
int64_t out_length(const Mp3Player* p) {
    return mpeg_core_output_samples(&p->core, data_frames(p));
}

// The handed-back index of the next sample.
int64_t out_position(const Mp3Player* p) {
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    return p->out_base + (ss > 0 ? p->core.given / ss : 0);
}

// Where a pass with the loop points set jumps back (-1 without them).
int64_t points_end(const Mp3Player* p) {
    if (!p->points) return -1;
    return p->loop_end == 0 ? out_length(p) : p->loop_end;
}

// Jumps to handed-back sample `out`: to the frame that holds it, with its pre-roll, and on
// through that frame's samples before it, so that the next sample handed back is the one an
// uninterrupted decode gives there. The pass then ends at the loop points' end. 0 when the
// set-up failed.
bool jump_to(Mp3Player* p, int64_t out) {
    const int64_t f = mp3_frame_of_out(&p->core, out);
    if (f < 0 || f >= data_frames(p)) return false;
    move_to(p, static_cast<int32_t>(f), f * p->core.frame_bytes);
    if (!mpeg_core_prepare(&p->core, p->start, p->data_len)) return false;
    p->pass_end = points_end(p);
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    const int64_t skip = (out - p->out_base) * ss;
    if (skip <= 0) return true;
    uint8_t scratch[sizeof(p->core.gap.carry)];
    if (skip > int64_t(sizeof scratch)) return false;
    int32_t off = static_cast<int32_t>(p->pos - p->start), got = 0;
    mpeg_core_fill(&p->core, p->start, p->data_len, 1, &off, scratch,
                   static_cast<int32_t>(skip), &got);
    p->pos = p->start + off;
    return got == skip;
}

// Moves to the frame that holds the time `ms` after the start of frame `from`: the time is
// counted in samples, so no rounding of the frame's duration accumulates.
void seek_time(Mp3Player* p, int32_t from, int64_t ms) {
    const int32_t spf = p->core.frame_pcm_bytes / mpeg_core_sample_bytes(&p->core);
    if (spf <= 0) return;
    // ms * frequency / 1000 samples, floored: both terms over a common denominator.
    const int64_t num = int64_t(from) * spf * 1000 + ms * p->core.frequency;
    const int64_t f = mpeg_frame_of_sample(num, spf * 1000);
    if (f < 0 || f > INT32_MAX) return;
    if (from == 0)
        mp3_seek_frame(p, static_cast<int32_t>(f));
    else
        mp3_skip_frames(p, static_cast<int32_t>(f - from));
}

// Fills buf with `bytes` bytes from the core, starting a new pass at the end of one when looping
// gapless, or at the loop points' end (and at the data's) when looping with loop points: a jump
// back to the loop's start inside the buffer. MP3_OK full; MP3_ENDED the data (or the run)
// ended first; MP3_SETUP_FAILED the set-up of a new pass failed.
int32_t fill(Mp3Player* p, uint8_t* buf, int32_t bytes, int32_t* filled, bool loop) {
    int32_t rewound_at = -1;  // where a new pass began in this call
    const bool points = loop && p->points;
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    for (;;) {
        int32_t room = bytes;
        if (points && p->pass_end >= 0) {
            const int64_t left = p->pass_end - out_position(p);
            if (left <= 0) {
                if (*filled == rewound_at) return MP3_ENDED;
                if (!jump_to(p, p->loop_start)) return MP3_SETUP_FAILED;
                rewound_at = *filled;
                continue;
            }
            if (left * ss < room - *filled) room = *filled + static_cast<int32_t>(left * ss);
        }
        int32_t off = static_cast<int32_t>(p->pos - p->start);
        const int32_t r =
            mpeg_core_fill(&p->core, p->start, p->data_len, 1, &off, buf, room, filled);
        p->pos = p->start + off;
        if (r == MP3_OK) {
            if (*filled == bytes) {
                // A pass that ends with the buffer jumps back now, so that the poll does not
                // take the data's end for the music's, and the position reads the loop's start.
                if (points && p->pass_end >= 0 && out_position(p) >= p->pass_end &&
                    !jump_to(p, p->loop_start))
                    return MP3_SETUP_FAILED;
                if (loop && !points && p->core.gap.on && pass_done(p)) {
                    mp3_rewind(p);
                    if (!mpeg_core_prepare(&p->core, p->start, p->data_len)) return MP3_SETUP_FAILED;
                }
                return r;
            }
            continue;
        }
        // A pass that handed nothing back ends the looping too.
        if (!loop || *filled == rewound_at) return MP3_ENDED;
        if (points) {
            // The data ended before the loop's end (loop points set while playing, the pass
            // under way going on to the data's end).
            if (!jump_to(p, p->loop_start)) return MP3_SETUP_FAILED;
        } else {
            if (!p->core.gap.on) return MP3_ENDED;
            mp3_rewind(p);
            if (!mpeg_core_prepare(&p->core, p->start, p->data_len)) return MP3_SETUP_FAILED;
        }
        rewound_at = *filled;
    }
}

void release(Mp3Player* p) {
    mpeg_tags_free(p->tags);
    mpeg_core_free(&p->core);
    delete p;
}

}  // namespace

Mp3Player* mp3_create(const void* data, int32_t len) {
    if (!data || len <= 0) return nullptr;
    const uint8_t* d = static_cast<const uint8_t*>(data);
    const int32_t n = mpeg_trailing_tags(d, len);

    Mp3Player* p = new (std::nothrow) Mp3Player();
    if (!p) return nullptr;
    // The player always decodes at full rate, keeps the stream's channels, 16-bit, up to 24 kHz.
    if (!mpeg_core_init(&p->core, 0, 0, 24000)) {
        release(p);
        return nullptr;
    }
    // The first confirmed frame: normally the one right after the leading tags; junk in front
    // of it is searched through.
    int32_t first_at = 0;
    if (mpeg_core_open(&p->core, d, n, 1, &first_at) != MP3_OK) {
        release(p);
        return nullptr;
    }
    p->stream = nullptr;
    p->data_len = n - first_at;
    p->start = p->pos = d + first_at;
    p->autopoll.store(0);
    p->tags = mpeg_tags_read(d, size_t(len));
    p->out_base = 0;
    p->points = 0;
    p->pass_end = -1;
    mp3_fade_init(&p->fade);
    p->tag_points = mp3_tag_loop_points(p->tags, &p->tag_start, &p->tag_end);
    // Without memory for the index the player still plays; seeks then step by frame_bytes or
    // through the Xing table, as estimates.
    mpeg_core_index(&p->core, p->start, p->data_len);
    const MpegXing* x = p->core.xing;
    if (x && (x->flags & 1) && x->frames > 0)
        p->total_frames = x->frames;
    else if (p->core.index.offsets)
        p->total_frames = p->core.index.frames;  // counted: a variable bitrate or padding included
    else
        p->total_frames = p->data_len / p->core.frame_bytes;
    return p;
}

void mp3_destroy(Mp3Player* p) { mp3_destroy_player<Mp3Player, mp3_stop, release, Autopoll>(p); }

int32_t mp3_play(Mp3Player* p, int32_t buffer_bytes, int32_t vol, int32_t pan) {
    return mp3_play_ex(p, buffer_bytes, vol, pan, 1000, 0);
}

int32_t mp3_play_ex(Mp3Player* p, int32_t buffer_bytes, int32_t vol, int32_t pan, int32_t speed,
                    int32_t loop) {
    {
        const Mp3Hold<Mp3Player> hold(p);
        if (!p) return MP3_BAD_BUFFER;
        if (p->stream) return MP3_OK;
        const int32_t fpb = buffer_bytes / p->core.frame_pcm_bytes;
        if (fpb <= 0) return MP3_BAD_BUFFER;
        p->frames_per_buffer = fpb;
        p->stream = mp3_open_stream(&p->core, fpb, vol, pan, speed);
        p->loop = loop;
        p->tail_polls = 0;
        p->pass_end = points_end(p);
    }
    // Without a stream no timer is installed.
    Autopoll::sync(p, true);
    return MP3_OK;
}

int32_t mp3_poll(Mp3Player* p) { return mp3_poll_trying<Mp3Player, poll_held, Autopoll>(p); }

namespace {

int32_t poll_held(Mp3Player* p) {
    if (!p->stream) return MP3_NOT_PLAYING;
    uint8_t* buf = static_cast<uint8_t*>(get_audio_stream_buffer(p->stream));
    if (!buf) return MP3_OK;
    const int32_t bytes = p->frames_per_buffer * p->core.frame_pcm_bytes;
    std::memset(buf, 0, static_cast<size_t>(bytes));

    if (const int32_t t = mp3_tail_poll(p->stream, buf, bytes, p->core.bits, &p->tail_polls);
        t >= 0) {
        if (t == 0) return MP3_OK;
        if (!p->loop) {
            Autopoll::close(p);
            return MP3_ENDED;
        }
        // Looping: this second silent buffer has been handed back as silence; decoding starts
        // again from frame 0 in the next poll (the end of data rewound the player).
        return MP3_OK;
    }
    // After a rewind or seek the decoder is set up again (the frames before the one sought
    // refilling its state).
    int32_t filled = 0;
    const int32_t r = mpeg_core_prepare(&p->core, p->start, p->data_len)
                          ? fill(p, buf, bytes, &filled, p->loop != 0)
                          : MP3_SETUP_FAILED;
    hand_back(p, buf, bytes);
    if (r == MP3_SETUP_FAILED) {
        Autopoll::close(p);
        mp3_rewind(p);
        return MP3_SETUP_FAILED;
    }
    // The end (the data's, another stream's start, or the gapless run's without looping): the
    // rest of this buffer and two more are silence.
    const bool at_end = p->loop && p->points ? false
                        : p->core.gap.on    ? !p->loop && pass_done(p)
                                            : p->pos - p->start >= p->data_len;
    if (r != MP3_OK || at_end) {
        mp3_rewind(p);
        p->tail_polls = 2;
    }
    return MP3_OK;
}

}  // namespace

void mp3_start_autopoll(Mp3Player* p, int32_t ms) { Autopoll::start(p, ms); }
void mp3_stop_autopoll(Mp3Player* p) { Autopoll::stop(p); }

void mp3_stop(Mp3Player* p) {
    {
        const Mp3Hold<Mp3Player> hold(p);
        if (!p) return;
        if (p->stream) Autopoll::close(p);
    }
    Autopoll::sync(p, true);
}

void mp3_rewind(Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return;
    p->pos = p->start;
    mpeg_core_rewind(&p->core);
    p->out_base = 0;
    p->tail_polls = 0;  // the poll that ends the data sets its tail after this
}

void mp3_seek_frame(Mp3Player* p, int32_t frame) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || frame < 0 || frame >= p->total_frames) return;
    move_to(p, frame, int64_t(frame) * p->core.frame_bytes);
}

void mp3_skip_frames(Mp3Player* p, int32_t frames) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return;
    const int64_t t = int64_t(p->core.current_frame) + frames;
    if (t < 0 || t >= p->total_frames) return;
    const int64_t guess = (p->pos - p->start) + int64_t(frames) * p->core.frame_bytes;
    move_to(p, static_cast<int32_t>(t), guess);
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
    if (p) seek_time(p, p->core.current_frame, ms);
}

void mp3_skip_secs(Mp3Player* p, int32_t secs) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, p->core.current_frame, int64_t(secs) * 1000);
}

void mp3_adjust(Mp3Player* p, int32_t vol, int32_t pan, int32_t speed, int32_t loop) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || !p->stream) return;
    mp3_adjust_stream(p->stream, vol, pan, speed);
    p->loop = loop;
}

void mp3_set_loop(Mp3Player* p, int32_t loop) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p && (p->stream || p->points)) p->loop = loop;
}

int32_t mp3_set_loop_points(Mp3Player* p, int64_t start, int64_t end) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || mp3_check_loop_points(start, end, out_length(p)) != 0) return -1;
    mp3_take_loop_points(p, start, end, points_end);
    return 0;
}

int32_t mp3_fade(Mp3Player* p, int32_t volume, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mp3_fade_to(&p->fade, volume, ms, p->core.frequency) : -1;
}

int32_t mp3_get_loop_points(const Mp3Player* p, int64_t* start, int64_t* end) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return -1;
    const int64_t len = out_length(p);
    const int64_t e = !p->points || p->loop_end == 0 ? len : p->loop_end;
    if (start) *start = p->points ? p->loop_start : 0;
    if (end) *end = e;
    return 0;
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
    if (size) *size = p->frames_per_buffer * p->core.frame_pcm_bytes;
    return mp3_stream_data(p->stream);
}

namespace {

SAMPLE* decode_all_held(Mp3Player* p) {
    // Sized by the frames the data holds (the index's count): gapless, the run's part of them.
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    const int64_t bytes = mpeg_core_output_samples(&p->core, data_frames(p)) * ss;
    if (bytes <= 0 || bytes > INT32_MAX) return nullptr;
    SAMPLE* s = create_sample(p->core.bits, p->core.stereo, p->core.frequency,
                              static_cast<int>(bytes / ss));
    if (!s) return nullptr;
    if (p->stream) Autopoll::close(p);
    mp3_rewind(p);
    if (!mpeg_core_prepare(&p->core, p->start, p->data_len)) {
        destroy_sample(s);
        return nullptr;
    }
    // The frames but the last few on several threads where that pays (their PCM byte for byte
    // the one-thread PCM), the rest as one decode from where they end.
    uint8_t* data = static_cast<uint8_t*>(s->data);
    int32_t off = 0;
    const int32_t n = mpeg_core_decode_run(&p->core, p->start, p->data_len, 0, data, bytes,
                                           nullptr, nullptr, &off);
    const int64_t done = n > 0 ? mpeg_core_range_bytes(&p->core, 0, n) : 0;
    p->pos = p->start + off;
    p->out_base = mp3_out_of_frame(&p->core, n > 0 ? n : 0);
    if (!mpeg_core_prepare(&p->core, p->start, p->data_len)) {
        destroy_sample(s);
        mp3_rewind(p);
        return nullptr;
    }
    // What the rest does not fill (a damaged frame gives fewer samples) stays silent.
    std::memset(data + done, 0, static_cast<size_t>(bytes - done));
    int32_t filled = 0;
    fill(p, data + done, static_cast<int32_t>(bytes - done), &filled, false);
    mp3_rewind(p);
    if (p->core.bits == 16) mp3_to_unsigned(s->data, static_cast<int32_t>(bytes));
    return s;
}

}  // namespace

SAMPLE* mp3_decode_all(Mp3Player* p) {
    if (!p) return nullptr;
    SAMPLE* s;
    {
        const Mp3Hold<Mp3Player> hold(p);
        s = decode_all_held(p);
    }
    // The stream stopped: its timer goes, outside the lock.
    Autopoll::sync(p, true);
    return s;
}

int32_t mp3_current_frame(const Mp3Player* p) {
    return player_core_field(p, &MpegCore::current_frame);
}
int32_t mp3_total_frames(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::total_frames); }

int32_t mp3_bytes_per_second(const Mp3Player* p) {
    return player_core_query(p, mpeg_core_bytes_per_second);
}
int32_t mp3_frame_ms(const Mp3Player* p) { return player_core_query(p, mpeg_core_frame_ms); }
int32_t mp3_position_ms(const Mp3Player* p) { return player_core_query(p, mpeg_core_position_ms); }
int32_t mp3_position_secs(const Mp3Player* p) { return mp3_position_ms(p) / 1000; }

int64_t mp3_position_samples(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? out_position(p) : 0;
}

int64_t mp3_length_samples(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? out_length(p) : 0;
}

// Counted in samples, as the position is: the frames the data holds (the Info frame's silence
// included, gapless off), so that the position at the end of the data is the length.
int32_t mp3_length_ms(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return 0;
    return mpeg_core_samples_ms(&p->core, mpeg_core_output_samples(&p->core, data_frames(p)));
}

int32_t mp3_length_secs(const Mp3Player* p) { return mp3_length_ms(p) / 1000; }
int32_t mp3_bitrate(const Mp3Player* p) { return player_core_field(p, &MpegCore::bitrate); }
int32_t mp3_layer(const Mp3Player* p) { return player_core_field(p, &MpegCore::layer); }
int32_t mp3_bits(const Mp3Player* p) { return player_core_field(p, &MpegCore::bits); }
int32_t mp3_is_stereo(const Mp3Player* p) { return player_core_field(p, &MpegCore::stereo); }
int32_t mp3_frequency(const Mp3Player* p) { return player_core_field(p, &MpegCore::frequency); }

int32_t mp3_set_gapless(Mp3Player* p, int32_t on) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || p->stream) return MP3_PLAYING;
    mpeg_core_set_gapless(&p->core, on);
    // The handed-back count starts again at the next frame, as the new mode counts it (the
    // carry of a frame under way is gone).
    p->core.given = 0;
    p->out_base = mp3_out_of_frame(&p->core, p->core.current_frame);
    // Loop points count the samples handed back, which gapless changes: those set are cleared,
    // and with gapless on the file's tags give the default ones.
    p->points = 0;
    p->pass_end = -1;
    if (on && p->tag_points &&
        mp3_check_loop_points(p->tag_start, p->tag_end, out_length(p)) == 0) {
        p->points = 1;
        p->loop_start = p->tag_start;
        p->loop_end = p->tag_end;
        p->pass_end = points_end(p);
    }
    return MP3_OK;
}
