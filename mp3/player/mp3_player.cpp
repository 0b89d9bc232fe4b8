// The in-memory player: the decoding core over the whole data (mpeg_core.h: its first frame found
// at create, its frames indexed for seeks, the fade and ReplayGain applied as it reads) and the
// Allegro glue: play into an audio stream, the poll that fills each free stream buffer from the
// core, the tail of two silent buffers, looping, seeking, time queries and the decode of a whole
// file into a SAMPLE. Gapless playback, asked for before play, hands back only the encoder's
// input and joins a loop's end to its start inside a buffer.
#include "player_state.h"

#include <cstring>
#include <new>

#include <allegro.h>

#include "mpeg_core.h"
#include "player_common.h"

namespace {

int32_t poll_held(Mp3Player* p);

using Autopoll = Mp3Autopoll<Mp3Player, mp3_poll>;

int32_t sample_bytes(const Mp3Player* p) { return mp3_sample_bytes(p->format); }

// Samples per channel of one frame's output.
int64_t frame_samples(const Mp3Player* p) {
    return p->format.frame_pcm_bytes / sample_bytes(p);
}

// Back to frame 0. A silent tail still to come after the data's end is dropped: the next poll
// decodes from there (the poll that ends the data sets its tail after this).
void rewind_held(Mp3Player* p) {
    mpeg_core_seek_frame(p->core, 0);
    p->tail_polls = 0;
}

// Where a pass with the loop points set jumps back (-1 without them).
int64_t points_end(const Mp3Player* p) {
    if (!p->points) return -1;
    return p->loop_end == 0 ? mpeg_core_length(p->core) : p->loop_end;
}

// Jumps to handed-back sample `out`, exactly: the next sample handed back is the one an
// uninterrupted decode gives there. The pass then ends at the loop points' end. false when the
// seek failed.
bool jump_to(Mp3Player* p, int64_t out) {
    if (mpeg_core_seek(p->core, out) < 0) return false;
    p->tail_polls = 0;
    p->pass_end = points_end(p);
    return true;
}

// Moves to frame f when it is one of the file's (0 <= f < total_frames); `skip` counts it from
// the frame now, so that without an index the estimate moves from where the reading stands.
void to_frame(Mp3Player* p, int64_t f, bool skip) {
    if (f < 0 || f >= p->total_frames) return;
    if (skip)
        mpeg_core_skip_frames(p->core, f - mpeg_core_frame(p->core));
    else
        mpeg_core_seek_frame(p->core, f);
    p->tail_polls = 0;
}

// Moves to the frame that holds the time `ms` from the start (gapless: from the first sample
// handed back).
void seek_time(Mp3Player* p, int64_t ms) {
    if (ms < 0 || p->format.frequency <= 0) return;
    to_frame(p, mpeg_core_frame_of(p->core, ms * p->format.frequency / 1000), false);
}

// Moves to the frame that holds the time `ms` after the start of the frame now: counted in
// decoded samples, so that no rounding of the frame's duration accumulates.
void skip_time(Mp3Player* p, int64_t ms) {
    const int64_t spf = frame_samples(p);
    if (spf <= 0) return;
    // ms * frequency / 1000 samples on, floored: both terms over a common denominator.
    const int64_t num = mpeg_core_frame(p->core) * spf * 1000 + ms * p->format.frequency;
    const int64_t den = spf * 1000;
    to_frame(p, num >= 0 ? num / den : -((-num + den - 1) / den), true);
}

// Fills buf with `bytes` bytes from the core, starting a new pass at the end of one when looping
// gapless, or at the loop points' end (and at the data's) when looping with loop points: a jump
// back to the loop's start inside the buffer. MP3_OK full; MP3_ENDED the data (or the run)
// ended first; MP3_SETUP_FAILED the set-up of a new pass failed.
int32_t fill(Mp3Player* p, uint8_t* buf, int32_t bytes, int32_t* filled, bool loop) {
    int32_t rewound_at = -1;  // where a new pass began in this call
    const bool points = loop && p->points;
    const int32_t ss = sample_bytes(p);
    MpegCore* c = p->core;
    for (;;) {
        int32_t room = bytes;
        if (points && p->pass_end >= 0) {
            const int64_t left = p->pass_end - mpeg_core_tell(c);
            if (left <= 0) {
                if (*filled == rewound_at) return MP3_ENDED;
                if (!jump_to(p, p->loop_start)) return MP3_SETUP_FAILED;
                rewound_at = *filled;
                continue;
            }
            if (left * ss < room - *filled) room = *filled + static_cast<int32_t>(left * ss);
        }
        int32_t got = 0;
        const int32_t r = mpeg_core_read(c, buf + *filled, room - *filled, &got);
        *filled += got;
        if (r == MP3_OK) {
            if (*filled == bytes) {
                // A pass that ends with the buffer jumps back now, so that the poll does not
                // take the data's end for the music's, and the position reads the loop's start.
                if (points && p->pass_end >= 0 && mpeg_core_tell(c) >= p->pass_end &&
                    !jump_to(p, p->loop_start))
                    return MP3_SETUP_FAILED;
                if (loop && !points && p->gapless && mpeg_core_ended(c)) rewind_held(p);
                return r;
            }
            continue;
        }
        // A pass that handed nothing back ends the looping too.
        if (r == MP3_SETUP_FAILED || !loop || *filled == rewound_at) return r;
        if (points) {
            // The data ended before the loop's end (loop points set while playing, the pass
            // under way going on to the data's end).
            if (!jump_to(p, p->loop_start)) return MP3_SETUP_FAILED;
        } else {
            if (!p->gapless) return MP3_ENDED;
            rewind_held(p);
        }
        rewound_at = *filled;
    }
}

void release(Mp3Player* p) {
    mpeg_core_destroy(p->core);
    delete p;
}

}  // namespace

Mp3Player* mp3_create(const void* data, int32_t len) {
    if (!data || len <= 0) return nullptr;
    Mp3Player* p = new (std::nothrow) Mp3Player();
    if (!p) return nullptr;
    // The player always decodes at full rate, keeps the stream's channels, 16-bit, up to 24 kHz.
    // The first confirmed frame is normally the one right after the leading tags; junk in front
    // of it is searched through. Without memory for the index the player still plays; seeks
    // then land on estimates.
    p->core = mpeg_core_create(0, 0, 24000);
    MpegOutputFormat f;
    MpegStreamInfo info;
    if (!p->core || mpeg_core_set_data(p->core, static_cast<const uint8_t*>(data), size_t(len)) != MP3_OK ||
        mpeg_core_get_format(p->core, &f) != MP3_OK || mpeg_core_get_info(p->core, &info) != MP3_OK) {
        release(p);
        return nullptr;
    }
    // The player plays every frame unless gapless playback is asked for.
    mpeg_core_set_gapless(p->core, 0);
    p->data = static_cast<const uint8_t*>(data);
    p->len = len;
    p->format = mp3_format_of(f);
    p->stream = nullptr;
    p->autopoll.store(0);
    p->pass_end = -1;
    p->gain_mode = MPEG_REPLAYGAIN_OFF;
    int64_t end = 0;
    p->tag_points = mpeg_core_tag_loop(p->core, &p->tag_start, &end);
    p->tag_end = end < 0 ? 0 : end;
    // The Xing header's count first; else the frames counted (a variable bitrate or padding
    // included), the Info frame among them.
    const int64_t frames =
        info.stated_frames > 0 ? info.stated_frames : info.frames + info.info_frame;
    p->total_frames = static_cast<int32_t>(frames < 0 ? 0 : frames > INT32_MAX ? INT32_MAX : frames);
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
        const int32_t fpb = buffer_bytes / p->format.frame_pcm_bytes;
        if (fpb <= 0) return MP3_BAD_BUFFER;
        p->frames_per_buffer = fpb;
        p->stream = mp3_open_stream(p->format, fpb, vol, pan, speed);
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
    const int32_t bytes = p->frames_per_buffer * p->format.frame_pcm_bytes;
    std::memset(buf, 0, static_cast<size_t>(bytes));

    if (const int32_t t = mp3_tail_poll(p->stream, buf, bytes, p->format.bits, &p->tail_polls);
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
    // After a rewind or seek the core sets the decoder up again (the frames before the one
    // sought refilling its state) before it reads on.
    int32_t filled = 0;
    const int32_t r = fill(p, buf, bytes, &filled, p->loop != 0);
    mp3_hand_back(p->stream, buf, bytes, p->format.bits);
    if (r == MP3_SETUP_FAILED) {
        Autopoll::close(p);
        rewind_held(p);
        return MP3_SETUP_FAILED;
    }
    // The end (the data's, another stream's start, or the gapless run's without looping): the
    // rest of this buffer and two more are silence.
    const bool at_end = p->loop && p->points ? false
                        : p->gapless         ? !p->loop && mpeg_core_ended(p->core)
                                             : mpeg_core_ended(p->core) != 0;
    if (r != MP3_OK || at_end) {
        rewind_held(p);
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
    if (p) rewind_held(p);
}

void mp3_seek_frame(Mp3Player* p, int32_t frame) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) to_frame(p, frame, false);
}

void mp3_skip_frames(Mp3Player* p, int32_t frames) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) to_frame(p, mpeg_core_frame(p->core) + frames, true);
}

void mp3_seek_ms(Mp3Player* p, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, ms);
}

void mp3_seek_secs(Mp3Player* p, int32_t secs) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) seek_time(p, int64_t(secs) * 1000);
}

void mp3_skip_ms(Mp3Player* p, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) skip_time(p, ms);
}

void mp3_skip_secs(Mp3Player* p, int32_t secs) {
    const Mp3Hold<Mp3Player> hold(p);
    if (p) skip_time(p, int64_t(secs) * 1000);
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
    if (!p || mp3_check_loop_points(start, end, mpeg_core_length(p->core)) != 0) return -1;
    mp3_take_loop_points(p, start, end, points_end);
    return 0;
}

int32_t mp3_fade(Mp3Player* p, int32_t volume, int32_t ms) {
    const Mp3Hold<Mp3Player> hold(p);
    int32_t gain = 0;
    int64_t samples = 0;
    if (!p || mp3_fade_args(volume, ms, p->format.frequency, &gain, &samples) != 0) return -1;
    return mpeg_core_fade(p->core, gain, samples) == MP3_OK ? 0 : -1;
}

int32_t mp3_get_loop_points(const Mp3Player* p, int64_t* start, int64_t* end) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p) return -1;
    const int64_t e = !p->points || p->loop_end == 0 ? mpeg_core_length(p->core) : p->loop_end;
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
    if (size) *size = p->frames_per_buffer * p->format.frame_pcm_bytes;
    return mp3_stream_data(p->stream);
}

namespace {

// Decodes the whole data into out[0, bytes) with a core of its own (the player's gapless setting
// and ReplayGain, none of its fade): the frames but the last few on several threads where that
// pays (their PCM byte for byte the one-thread PCM), the rest read on from there. What the data
// does not fill (a damaged frame gives fewer samples) stays silent. false when the core could
// not be had.
bool decode_whole(const Mp3Player* p, uint8_t* out, int64_t bytes) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    if (!c || mpeg_core_set_data(c, p->data, size_t(p->len)) != MP3_OK) {
        mpeg_core_destroy(c);
        return false;
    }
    mpeg_core_set_gapless(c, p->gapless);
    if (p->gain_mode != MPEG_REPLAYGAIN_OFF)
        mpeg_core_set_replaygain(c, p->gain_mode, p->gain_preamp);
    int64_t done = mpeg_core_decode_all(c, 0, out, bytes, nullptr, nullptr);
    if (done < 0) done = 0;
    int32_t r = MP3_OK;
    while (r == MP3_OK && done < bytes) {
        const int64_t room = bytes - done < INT32_MAX ? bytes - done : INT32_MAX;
        int32_t got = 0;
        r = mpeg_core_read(c, out + done, static_cast<int32_t>(room), &got);
        done += got;
    }
    std::memset(out + done, 0, static_cast<size_t>(bytes - done));
    mpeg_core_destroy(c);
    return true;
}

SAMPLE* decode_all_held(Mp3Player* p) {
    // Sized by the length of the decode (gapless: the encoder's input).
    const int32_t ss = sample_bytes(p);
    const int64_t samples = mpeg_core_length(p->core);
    const int64_t bytes = samples * ss;
    if (samples <= 0 || bytes > INT32_MAX) return nullptr;
    SAMPLE* s = create_sample(p->format.bits, p->format.stereo, p->format.frequency,
                              static_cast<int>(samples));
    if (!s) return nullptr;
    if (p->stream) Autopoll::close(p);
    rewind_held(p);
    if (!decode_whole(p, static_cast<uint8_t*>(s->data), bytes)) {
        destroy_sample(s);
        return nullptr;
    }
    if (p->format.bits == 16) mp3_to_unsigned(s->data, static_cast<int32_t>(bytes));
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
    return static_cast<int32_t>(mp3_core_query<Mp3Player, int64_t>(p, mpeg_core_frame));
}
int32_t mp3_total_frames(const Mp3Player* p) { return mp3_held_field(p, &Mp3Player::total_frames); }

int32_t mp3_bytes_per_second(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? sample_bytes(p) * p->format.frequency : 0;
}

int32_t mp3_frame_ms(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mp3_frame_ms_of(p->format) : 0;
}

int32_t mp3_position_ms(const Mp3Player* p) {
    return mp3_core_query<Mp3Player, int32_t>(p, mpeg_core_position_ms);
}
int32_t mp3_position_secs(const Mp3Player* p) { return mp3_position_ms(p) / 1000; }

int64_t mp3_position_samples(const Mp3Player* p) {
    return mp3_core_query<Mp3Player, int64_t>(p, mpeg_core_tell);
}

int64_t mp3_length_samples(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mpeg_core_length(p->core) : 0;
}

// Counted in samples, as the position is: the frames the data holds (the Info frame's silence
// included, gapless off), so that the position at the end of the data is the length.
int32_t mp3_length_ms(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mpeg_core_length_ms(p->core) : 0;
}

int32_t mp3_length_secs(const Mp3Player* p) { return mp3_length_ms(p) / 1000; }
int32_t mp3_bitrate(const Mp3Player* p) { return mp3_info_field(p, &MpegStreamInfo::bitrate); }
int32_t mp3_layer(const Mp3Player* p) { return mp3_info_field(p, &MpegStreamInfo::layer); }
int32_t mp3_bits(const Mp3Player* p) { return mp3_format_field(p, &Mp3Format::bits); }
int32_t mp3_is_stereo(const Mp3Player* p) { return mp3_format_field(p, &Mp3Format::stereo); }
int32_t mp3_frequency(const Mp3Player* p) { return mp3_format_field(p, &Mp3Format::frequency); }

const MpegTags* mp3_tags(const Mp3Player* p) {
    const Mp3Hold<Mp3Player> hold(p);
    return p ? mpeg_core_tags(p->core) : nullptr;
}

int32_t mp3_set_replaygain(Mp3Player* p, int32_t mode, int32_t preamp_centibels) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || mpeg_core_set_replaygain(p->core, mode, preamp_centibels) != MP3_OK) return -1;
    p->gain_mode = mode;
    p->gain_preamp = preamp_centibels;
    return 0;
}

int32_t mp3_set_gapless(Mp3Player* p, int32_t on) {
    const Mp3Hold<Mp3Player> hold(p);
    if (!p || p->stream) return MP3_PLAYING;
    // The handed-back count starts again at the next frame, as the new mode counts it (the
    // carry of a frame under way is gone).
    const int64_t next = mpeg_core_frame(p->core);
    mpeg_core_set_gapless(p->core, on);
    mpeg_core_seek_frame(p->core, next);
    p->gapless = on ? 1 : 0;
    // Loop points count the samples handed back, which gapless changes: those set are cleared,
    // and with gapless on the file's tags give the default ones.
    p->points = 0;
    p->pass_end = -1;
    if (on && p->tag_points &&
        mp3_check_loop_points(p->tag_start, p->tag_end, mpeg_core_length(p->core)) == 0) {
        p->points = 1;
        p->loop_start = p->tag_start;
        p->loop_end = p->tag_end;
        p->pass_end = points_end(p);
    }
    return MP3_OK;
}
