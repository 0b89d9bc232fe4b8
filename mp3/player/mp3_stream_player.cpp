// The streamed player: the decoding core over a window of blocks (its first frame found from the
// first block on), the hand-over of the next block into the window, and the poll that fills each
// free stream buffer from the core, reading the current block or the current and the next one.
// Every read is bounded by the valid bytes of the window. A frame that runs past them waits at
// its first byte for the next block; a tag that runs past them is stepped over across as many
// blocks as it takes, the stream buffer kept until frames come.
// Gapless playback, asked for before play, hands back only the encoder's input.
#include "player_state.h"

#include <cstring>
#include <new>

#include <allegro.h>

#include "player_common.h"
#include "tags.h"

namespace {

using Autopoll = Mp3Autopoll<Mp3StreamPlayer, mp3s_poll>;


int32_t poll_held(Mp3StreamPlayer* p);

void release(Mp3StreamPlayer* p) {
    mpeg_core_free(&p->core);
    mpeg_window_free(&p->win);
    delete p;
}

// The bytes being read: the current block, joined by the next one once it has come. `final`:
// the last block's valid bytes end the window.
struct Window {
    const uint8_t* buf;
    int32_t len;
    int32_t final;
    bool joined;
};

Window window(const Mp3StreamPlayer* p) {
    return {p->win.buf, p->win.filled, p->last_bytes != -1, p->awaiting == 0};
}

// The older block of the join is used up once the read position has passed its end: the newer
// block becomes current and the older one may be refilled.
bool switch_if_passed(Mp3StreamPlayer* p) {
    if (p->awaiting != 0 || p->read_off < p->block_size) return false;
    p->read_off -= p->block_size;
    mpeg_window_drop(&p->win, p->block_size);
    p->awaiting = -1;
    return true;
}

// Searches the blocks held for the first frame. 1 found and set up; 0 the next block is
// needed; -1 there is none, or it cannot be played.
int32_t search_first(Mp3StreamPlayer* p) {
    for (;;) {
        const Window w = window(p);
        const int32_t r = mpeg_core_open(&p->core, w.buf, w.len, w.final, &p->read_off);
        if (r == MP3_OK) {
            // A frame larger than a block could never be read whole from the join.
            if (p->core.frame_bytes > p->block_size) return -1;
            const MpegXing* x = p->core.xing;
            p->total_frames = x && (x->flags & 1) && x->frames > 0 ? x->frames : -1;
            p->pending = 0;
            // A first frame in the newer block of the join: the older one is asked for again
            // before playback starts.
            switch_if_passed(p);
            return 1;
        }
        if (r != MP3_NEED_MORE) return -1;
        if (!w.joined) return 0;
        // The search goes on once the next block has joined the current one, so that playback
        // starts with both. A full join that cannot tell holds a candidate larger than a block:
        // searched past.
        if (switch_if_passed(p)) return 0;
        p->read_off += 1;
    }
}

int32_t start_play(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                   int32_t speed) {
    const int32_t fpb = buffer_bytes / p->core.frame_pcm_bytes;
    if (fpb <= 0) return MP3_BAD_BUFFER;
    p->frames_per_buffer = fpb;
    p->stream = mp3_open_stream(&p->core, fpb, vol, pan, speed);
    p->tail_polls = 0;
    p->held = nullptr;
    p->held_bytes = 0;
    // Without a stream no timer is installed: stop would never remove it.
    if (p->stream) Autopoll::on_play(p);
    return MP3_OK;
}

void hand_back(Mp3StreamPlayer* p, uint8_t* buf, int32_t bytes) {
    mp3_hand_back(p->stream, buf, bytes, p->core.bits);
    p->held = nullptr;
    p->held_bytes = 0;
}

}  // namespace

Mp3StreamPlayer* mp3s_create(const void* first_block, int32_t size, int32_t last) {
    if (!first_block || size < 4 || size > INT32_MAX / 2) return nullptr;
    const uint8_t* b = static_cast<const uint8_t*>(first_block);
    Mp3StreamPlayer* p = new (std::nothrow) Mp3StreamPlayer();
    if (!p) return nullptr;
    // The player always decodes at full rate, keeps the stream's channels, 16-bit, up to 24 kHz.
    if (!mpeg_core_init(&p->core, 0, 0, 24000)) {
        release(p);
        return nullptr;
    }
    if (!mpeg_window_init(&p->win, 2 * size)) {
        release(p);
        return nullptr;
    }
    std::memcpy(mpeg_window_end(&p->win), b, size_t(size));
    mpeg_window_grew(&p->win, size);
    p->read_off = 0;
    p->block_size = size;
    p->awaiting = -1;
    p->last_bytes = last ? size : -1;
    p->stream = nullptr;
    p->autopoll.store(0);
    p->total_frames = -1;
    const int32_t r = search_first(p);
    // Without a confirmed frame in the first block, a tag at its start, or a frame header whose
    // confirmation lies past the block, says that frames are to come. A frame must fit in a
    // block.
    MpegHeader h;
    const int32_t at = p->read_off;
    const int32_t stated = at < size ? mpeg_header_parse(b + at, size - at, &h) : 0;
    const bool waits_on_header = stated > 0 && stated <= size;
    if (r < 0 || (r == 0 && !waits_on_header && mpeg_tag_at(b, size, 1) <= 0)) {
        release(p);
        return nullptr;
    }
    p->pending = r == 0 ? -1 : 0;
    return p;
}

void mp3s_destroy(Mp3StreamPlayer* p) {
    mp3_destroy_player<Mp3StreamPlayer, mp3s_stop, release>(p);
}

uint8_t* mp3s_next_block(Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->awaiting == 0 || p->last_bytes != -1) return nullptr;
    return mpeg_window_end(&p->win);
}

void mp3s_give_block(Mp3StreamPlayer* p, int32_t last_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    // Only a block that mp3s_next_block asked for is taken.
    if (!p || p->awaiting == 0 || p->last_bytes != -1) return;
    if (last_bytes != -1) {
        if (last_bytes < 0) last_bytes = 0;
        if (last_bytes > p->block_size) last_bytes = p->block_size;
    }
    p->awaiting = 0;
    p->last_bytes = last_bytes;
    mpeg_window_grew(&p->win, last_bytes == -1 ? p->block_size : last_bytes);
    if (p->pending == -1) {
        const int32_t r = search_first(p);
        if (r < 0) p->pending = -2;  // no frame in the whole data
        if (r > 0 && p->want_play) {
            p->want_play = 0;
            start_play(p, p->want_bytes, p->want_vol, p->want_pan, p->want_speed);
        }
    }
}

int32_t mp3s_play(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return mp3s_play_ex(p, buffer_bytes, vol, pan, 1000);
}

int32_t mp3s_play_ex(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                     int32_t speed) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return MP3_BAD_BUFFER;
    if (p->pending == -2) return MP3_BAD_BUFFER;
    if (p->pending == -1) {
        if (buffer_bytes <= 0) return MP3_BAD_BUFFER;
        p->want_play = 1;
        p->want_bytes = buffer_bytes;
        p->want_vol = vol;
        p->want_pan = pan;
        p->want_speed = speed;
        return MP3_OK;
    }
    if (p->stream) return MP3_OK;
    return start_play(p, buffer_bytes, vol, pan, speed);
}

int32_t mp3s_poll(Mp3StreamPlayer* p) { return mp3_poll_trying<Mp3StreamPlayer, poll_held>(p); }

namespace {

int32_t poll_held(Mp3StreamPlayer* p) {
    if (p->pending) {
        if (!p->want_play) return MP3_NOT_PLAYING;
        if (p->pending == -1) return MP3_OK;  // the blocks that end the leading tags are to come
        p->want_play = 0;
        return MP3_NO_FRAME;
    }
    if (!p->stream) return MP3_NOT_PLAYING;
    const int32_t bytes = p->frames_per_buffer * p->core.frame_pcm_bytes;
    uint8_t* buf = p->held;
    if (!buf) {
        buf = static_cast<uint8_t*>(get_audio_stream_buffer(p->stream));
        if (!buf) return MP3_OK;
        std::memset(buf, 0, size_t(bytes));
        p->held_bytes = 0;
        if (const int32_t t = mp3_tail_poll(p->stream, buf, bytes, p->core.bits, &p->tail_polls);
            t >= 0) {
            if (t == 0) return MP3_OK;
            mp3s_stop(p);
            return MP3_ENDED;
        }
    }
    const uint32_t passed = p->core.sync.passed;
    for (;;) {
        const Window w = window(p);
        const int32_t r = mpeg_core_fill(&p->core, w.buf, w.len, w.final, &p->read_off, buf, bytes,
                                        &p->held_bytes);
        if (r == MP3_OK) break;
        if (r != MP3_NEED_MORE) {
            // The end of the data, of the gapless run, or another stream spliced on.
            hand_back(p, buf, bytes);
            p->tail_polls = 2;
            return MP3_OK;
        }
        if (w.joined) {
            // A full join that cannot tell holds something larger than a block, which is no
            // frame this player can read: searched past.
            if (!switch_if_passed(p)) {
                mpeg_sync_rejected(&p->core.sync);
                p->read_off += 1;
            }
            continue;
        }
        // The current block is used up. Between frames (a tag or junk going on), when this poll
        // has crossed one, or before the first buffer (the first frame may be found near the
        // end of the blocks held), the next block was not late: the buffer is kept and filled on
        // once the next block has come.
        const bool first_buffer = p->core.given == p->held_bytes;
        if (mpeg_sync_between_frames(&p->core.sync) || p->core.sync.passed != passed ||
            first_buffer) {
            p->held = buf;
            return MP3_OK;
        }
        hand_back(p, buf, bytes);
        mp3s_stop(p);
        return MP3_DATA_LATE;
    }
    hand_back(p, buf, bytes);
    // The join is read to the poll's end; an older block used up is then given back.
    switch_if_passed(p);
    if (mpeg_core_run_done(&p->core)) p->tail_polls = 2;
    return MP3_OK;
}

}  // namespace

void mp3s_start_autopoll(Mp3StreamPlayer* p, int32_t ms) { Autopoll::start(p, ms); }
void mp3s_stop_autopoll(Mp3StreamPlayer* p) { Autopoll::stop(p); }

void mp3s_stop(Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return;
    p->want_play = 0;
    if (!p->stream) return;
    Autopoll::close(p);
    p->held = nullptr;
    p->held_bytes = 0;
}

void mp3s_adjust(Mp3StreamPlayer* p, int32_t vol, int32_t pan, int32_t speed) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (p && p->stream) mp3_adjust_stream(p->stream, vol, pan, speed);
}

int32_t mp3s_is_playing(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p && (p->stream || (p->pending == -1 && p->want_play)) ? -1 : 0;
}

void* mp3s_output_buffer(const Mp3StreamPlayer* p, int32_t* size) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || !p->stream) return nullptr;
    if (size) *size = p->frames_per_buffer * p->core.frame_pcm_bytes;
    return mp3_stream_data(p->stream);
}

int32_t mp3s_current_frame(const Mp3StreamPlayer* p) {
    return player_core_field(p, &MpegCore::current_frame);
}
int32_t mp3s_position_ms(const Mp3StreamPlayer* p) {
    return player_core_query(p, mpeg_core_position_ms);
}
int32_t mp3s_position_secs(const Mp3StreamPlayer* p) { return mp3s_position_ms(p) / 1000; }
int32_t mp3s_frame_ms(const Mp3StreamPlayer* p) {
    return player_core_query(p, mpeg_core_frame_ms);
}

int32_t mp3s_total_frames(const Mp3StreamPlayer* p, int32_t total_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return 0;
    if (p->total_frames >= 0) return p->total_frames;
    return p->core.frame_bytes > 0 ? total_bytes / p->core.frame_bytes : 0;
}

int32_t mp3s_length_ms(const Mp3StreamPlayer* p, int32_t total_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (p && p->core.gap.on && p->core.gap.length >= 0)
        return mpeg_core_samples_ms(&p->core, p->core.gap.length);
    const int64_t ms = int64_t(mp3s_total_frames(p, total_bytes)) * mp3s_frame_ms(p);
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

int32_t mp3s_length_secs(const Mp3StreamPlayer* p, int32_t total_bytes) {
    return mp3s_length_ms(p, total_bytes) / 1000;
}

int32_t mp3s_bytes_per_second(const Mp3StreamPlayer* p) {
    return player_core_query(p, mpeg_core_bytes_per_second);
}
int32_t mp3s_bitrate(const Mp3StreamPlayer* p) { return player_core_field(p, &MpegCore::bitrate); }
int32_t mp3s_layer(const Mp3StreamPlayer* p) { return player_core_field(p, &MpegCore::layer); }
int32_t mp3s_bits(const Mp3StreamPlayer* p) { return player_core_field(p, &MpegCore::bits); }
int32_t mp3s_is_stereo(const Mp3StreamPlayer* p) { return player_core_field(p, &MpegCore::stereo); }
int32_t mp3s_frequency(const Mp3StreamPlayer* p) {
    return player_core_field(p, &MpegCore::frequency);
}

int32_t mp3s_set_gapless(Mp3StreamPlayer* p, int32_t on) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->stream || (p->pending == -1 && p->want_play)) return MP3_PLAYING;
    mpeg_core_set_gapless(&p->core, on);
    return MP3_OK;
}
