// The streamed player: the decoding core over a window of blocks (its first frame found from the
// first block on), the hand-over of the next block into the window, and the poll that fills each
// free stream buffer from the core, reading the current block or the current and the next one.
// Every read is bounded by the valid bytes of the window. A frame that runs past them waits at
// its first byte for the next block; a tag that runs past them is stepped over across as many
// blocks as it takes, the stream buffer kept until frames come. Looping, it also holds the
// blocks a pass restarts from, asked for ahead of the seam.
// Gapless playback, asked for before play, hands back only the encoder's input.
#include "stream_state.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <allegro.h>

#include "player_common.h"
#include "tags.h"

int32_t mp3_fade_to(Mp3Fade* f, int32_t volume, int32_t ms, int32_t frequency) {
    int32_t gain = 0;
    int64_t samples = 0;
    if (mp3_fade_args(volume, ms, frequency, &gain, &samples) != 0) return -1;
    mpeg_fade_to(f, gain, samples);
    return 0;
}

int32_t mp3_tag_loop_points(const MpegTags* tags, int64_t* start, int64_t* end) {
    *start = *end = 0;
    const int32_t r = tags ? mpeg_tags_loop(tags, start, end) : 0;
    return r == 1 && *start >= 0 && *end >= 0 ? 1 : 0;
}

namespace {

using Autopoll = Mp3Autopoll<Mp3StreamPlayer, mp3s_poll>;

// What a block lent out by mp3s_next_block is for (Mp3StreamPlayer::lent).
enum : int32_t { kLentNone = 0, kLentWindow = 1, kLentAhead = 2 };


int32_t poll_held(Mp3StreamPlayer* p);
void keep_restart(Mp3StreamPlayer* p);

void release(Mp3StreamPlayer* p) {
    mpeg_tags_free(p->tags);
    mpeg_core_free(&p->core);
    mpeg_window_free(&p->win);
    mpeg_window_free(&p->ahead);
    std::free(p->idx_off);
    std::free(p->idx_main);
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
    keep_restart(p);
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
            p->first_at = p->win.base + p->read_off;
            p->pending = 0;
            p->idx_sync = p->core.sync;
            mpeg_sync_restart(&p->idx_sync, 1);
            p->idx_next = p->first_at;
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
    p->stream = mp3_open_stream(mp3_format_of(&p->core), fpb, vol, pan, speed);
    p->tail_polls = 0;
    p->held = nullptr;
    p->held_bytes = 0;
    // The caller installs the timer once the lock is released (Autopoll::sync).
    return MP3_OK;
}

// Stops the stream (the lock held); the timer is removed once the lock is released.
void stop_held(Mp3StreamPlayer* p) {
    p->want_play = 0;
    if (!p->stream) return;
    Autopoll::close(p);
    p->held = nullptr;
    p->held_bytes = 0;
}

void hand_back(Mp3StreamPlayer* p, uint8_t* buf, int32_t bytes) {
    mp3_fade_apply(&p->fade, buf, bytes, p->core.bits, p->core.stereo ? 2 : 1);
    mp3_hand_back(p->stream, buf, bytes, p->core.bits);
    p->held = nullptr;
    p->held_bytes = 0;
}

// Indexes the frames of the window from idx_next on, as far as they lie whole in it (the rest
// once the next block has come). Runs whenever a block arrives, so that every frame is indexed
// before the block holding it is dropped.
void index_window(Mp3StreamPlayer* p) {
    if (p->pending) return;
    const int32_t final = p->last_bytes != -1;
    for (;;) {
        const int64_t rel = p->idx_next - p->win.base;
        if (rel < 0 || rel >= p->win.filled) return;
        int32_t pos = static_cast<int32_t>(rel), size = 0;
        if (mpeg_sync_next(&p->idx_sync, p->win.buf, p->win.filled, final, &pos, &size) !=
            MPEG_SYNC_FRAME)
            return;
        if (p->idx_count + 2 > p->idx_cap) {
            const int32_t more = p->idx_cap ? p->idx_cap * 2 : 256;
            int64_t* o = static_cast<int64_t*>(std::realloc(p->idx_off, sizeof(int64_t) * size_t(more)));
            if (o) p->idx_off = o;
            int16_t* m = static_cast<int16_t*>(std::realloc(p->idx_main, sizeof(int16_t) * size_t(more)));
            if (m) p->idx_main = m;
            // Without memory the index stops growing: seeks reach the frames indexed so far.
            if (!o || !m) return;
            p->idx_cap = more;
        }
        p->idx_off[p->idx_count] = p->win.base + pos;
        p->idx_main[p->idx_count] = static_cast<int16_t>(mpeg_frame_main_bytes(p->win.buf + pos, size));
        ++p->idx_count;
        p->idx_off[p->idx_count] = p->win.base + pos + size;
        p->idx_next = p->win.base + pos + size;
        mpeg_sync_taken(&p->idx_sync);
    }
}

// The handed-back index of the next sample.
int64_t out_position(const Mp3StreamPlayer* p) {
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    return p->out_base + (ss > 0 ? p->core.given / ss : 0);
}

// Handed-back samples of the data where known (a gapless run's length, a Xing frame count), else -1.
int64_t known_length(const Mp3StreamPlayer* p) {
    const MpegCore* c = &p->core;
    if (c->gap.on && c->gap.length >= 0) return c->gap.length;
    if (p->total_frames >= 0) return mpeg_core_output_samples(c, p->total_frames + c->info);
    return -1;
}

// Where a pass with loop points jumps back (-1: at the data's end).
int64_t points_end(const Mp3StreamPlayer* p) {
    if (!p->points) return -1;
    return p->loop_end == 0 ? -1 : p->loop_end;
}

// The frame a jump to handed-back sample `out` decodes from (the first of the pre-roll of the
// frame that holds it), or -1 when that frame has not been passed yet.
int32_t jump_from(const Mp3StreamPlayer* p, int64_t out) {
    const int64_t f = mp3_frame_of_out(&p->core, out);
    if (p->pending || f < 0 || f >= p->idx_count) return -1;
    const int32_t one_granule = p->core.header.id == 0 ? 1 : 0;
    return mpeg_preroll_of_sizes(p->idx_main, one_granule, p->core.layer, static_cast<int32_t>(f));
}

// The handed-back sample a looping pass starts again at.
int64_t restart_out(const Mp3StreamPlayer* p) { return p->points ? p->loop_start : 0; }

// The file offset a looping pass restarts decoding at, or -1 (not looping, or the loop's start
// not passed yet).
int64_t restart_at(const Mp3StreamPlayer* p) {
    if (!p->loop) return -1;
    const int32_t from = jump_from(p, restart_out(p));
    return from < 0 ? -1 : p->idx_off[from];
}

// Whether the blocks held for the restart hold file offset `at`.
bool ahead_holds(const Mp3StreamPlayer* p, int64_t at) {
    return p->ahead.filled > 0 && at >= p->ahead.base && at < p->ahead.base + p->ahead.filled;
}

// The offset of the restart's next block still to come, or -1 when none is (not looping, or
// two blocks held, or the file's last).
int64_t ahead_wanted(const Mp3StreamPlayer* p) {
    const int64_t at = restart_at(p);
    if (at < 0 || p->ahead_failed) return -1;
    if (!ahead_holds(p, at)) return at;
    if (p->ahead_last != -1 || p->ahead.filled >= 2 * p->block_size) return -1;
    return p->ahead.base + p->ahead.filled;
}

// The window is about to drop its older block: when the restart of a looping pass lies in it
// and the restart's blocks are not held yet, the window's two blocks are kept as the restart's
// (as if asked for ahead). A loop whose start is reached just before its end then has them at
// the seam. Not while a block for them is lent out (its bytes would land on these).
void keep_restart(Mp3StreamPlayer* p) {
    const int64_t at = restart_at(p);
    if (at < p->win.base || at >= p->win.base + p->block_size || ahead_holds(p, at) ||
        p->ahead_failed || p->lent == kLentAhead)
        return;
    if (!p->ahead.buf && !mpeg_window_init(&p->ahead, 2 * p->block_size)) {
        p->ahead_failed = 1;
        return;
    }
    std::memcpy(p->ahead.buf, p->win.buf, size_t(p->win.filled));
    p->ahead.base = p->win.base;
    p->ahead.filled = p->win.filled;
    p->ahead_last = p->last_bytes;
}

// Whether the window holds every frame the next poll may decode: those up to the one that holds
// the last sample of a whole buffer from the position on, or up to the end of the pass. The
// window's next block may then come a poll later.
bool window_holds_next_poll(const Mp3StreamPlayer* p) {
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    if (!p->stream || p->pending || p->discard > 0 || p->settling || ss <= 0) return false;
    const int64_t spf = p->core.frame_pcm_bytes / ss;
    int64_t last = out_position(p) + p->frames_per_buffer * spf - 1;
    if (p->loop && p->points && p->pass_end > 0 && p->pass_end <= last) last = p->pass_end - 1;
    const int64_t need = mp3_frame_of_out(&p->core, last) + 1;
    return need >= 0 && need <= p->idx_count && p->idx_off[need] <= p->win.base + p->win.filled;
}

// The block asked for next and its offset: the window's next one, or the restart's, which
// takes the turn whenever the window can wait a poll for its own. A game that gives one block a
// poll then has the restart at hand before the seam, and the window's blocks in time.
int32_t wanted(const Mp3StreamPlayer* p, int64_t* at) {
    const bool own = p->awaiting != 0 && p->last_bytes == -1;
    const int64_t ahead = ahead_wanted(p);
    if (ahead >= 0 && (!own || window_holds_next_poll(p))) {
        *at = ahead;
        return kLentAhead;
    }
    *at = own ? p->win.base + p->win.filled : -1;
    return own ? kLentWindow : kLentNone;
}

// Jumps to handed-back sample `out` of a frame already passed, decoding again from the
// pre-roll's first frame: read on from there where the window holds it, else the window starts
// there, with the restart's blocks when they were asked for ahead, or empty (the block at that
// offset is asked for next). The frames of the pre-roll and the samples before `out` are decoded
// and thrown away. false when the frame has not been passed yet.
bool jump_to(Mp3StreamPlayer* p, int64_t out) {
    const int32_t from = jump_from(p, out);
    if (from < 0) return false;
    const int64_t at = p->idx_off[from];
    if (at >= p->win.base && at < p->win.base + p->win.filled) {
        p->read_off = static_cast<int32_t>(at - p->win.base);
    } else {
        mpeg_window_drop(&p->win, p->win.filled);
        const bool ahead = ahead_holds(p, at);
        p->win.base = ahead ? p->ahead.base : at;
        p->read_off = static_cast<int32_t>(at - p->win.base);
        if (ahead) {
            std::memcpy(mpeg_window_end(&p->win), p->ahead.buf, size_t(p->ahead.filled));
            mpeg_window_grew(&p->win, p->ahead.filled);
        }
        p->last_bytes = ahead ? p->ahead_last : -1;
        p->awaiting = ahead && (p->ahead.filled > p->block_size || p->ahead_last != -1) ? 0 : -1;
        p->refill = ahead ? 0 : 1;
        p->settling = p->awaiting != 0 ? 1 : 0;
    }
    // A block lent out for the window before the jump is taken for the old offset's: not
    // taken, and asked for again.
    if (p->lent == kLentWindow) p->lent_stale = 1;
    p->tail_polls = 0;
    mpeg_core_seek_at(&p->core, from);
    // The decoder set up afresh (the core holds no index of a streamed player: no pre-roll of
    // its own); the pre-roll's frames come with the blocks.
    if (!mpeg_core_prepare(&p->core, nullptr, 0)) return false;
    p->out_base = mp3_out_of_frame(&p->core, from);
    p->discard = (out - p->out_base) * mpeg_core_sample_bytes(&p->core);
    p->pass_end = points_end(p);
    p->jumped = 1;
    return true;
}

// Whether the data has been decoded to its end, nothing of it left to hand back: the last block
// is held and no frame follows the read position.
bool data_done(const Mp3StreamPlayer* p) {
    if (p->last_bytes == -1 || p->core.gap.carry_len != 0) return false;
    MpegSync s = p->core.sync;
    int32_t pos = p->read_off, size = 0;
    return mpeg_sync_next(&s, p->win.buf, p->win.filled, 1, &pos, &size) != MPEG_SYNC_FRAME;
}

// Whether a seamless looping pass has been handed back whole: its loop points' end reached, or
// the gapless run's end or the data's.
bool pass_over(const Mp3StreamPlayer* p) {
    if (!p->loop || p->discard > 0) return false;
    if (p->points && p->pass_end >= 0) return out_position(p) >= p->pass_end;
    return (p->points || p->core.gap.on) && (mpeg_core_run_done(&p->core) || data_done(p));
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
    p->tags = mpeg_tags_read(b, size_t(size));
    p->read_off = 0;
    p->block_size = size;
    p->awaiting = -1;
    p->last_bytes = last ? size : -1;
    p->stream = nullptr;
    p->autopoll.store(0);
    p->total_frames = -1;
    p->pass_end = -1;
    p->ahead_last = -1;
    mp3_fade_init(&p->fade);
    p->tag_points = mp3_tag_loop_points(p->tags, &p->tag_start, &p->tag_end);
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
    index_window(p);
    return p;
}

void mp3s_destroy(Mp3StreamPlayer* p) {
    mp3_destroy_player<Mp3StreamPlayer, mp3s_stop, release, Autopoll>(p);
}

uint8_t* mp3s_next_block(Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return nullptr;
    int64_t at = -1;
    int32_t which = wanted(p, &at);
    if (which == kLentAhead && !p->ahead.buf &&
        !mpeg_window_init(&p->ahead, 2 * p->block_size)) {
        p->ahead_failed = 1;
        which = wanted(p, &at);
    }
    if (which == kLentNone) return nullptr;
    p->lent = which;
    p->lent_stale = 0;
    p->lent_at = at;
    if (which == kLentWindow) return mpeg_window_end(&p->win);
    // The restart's first block, or another restart's (new loop points): the blocks held go.
    if (at != p->ahead.base + p->ahead.filled) {
        mpeg_window_drop(&p->ahead, p->ahead.filled);
        p->ahead.base = at;
        p->ahead_last = -1;
    }
    return mpeg_window_end(&p->ahead);
}

int64_t mp3s_next_block_offset(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return -1;
    int64_t at = p->lent_at;
    if (!p->lent || p->lent_stale) wanted(p, &at);
    return at;
}

namespace {

void give_block_held(Mp3StreamPlayer* p, int32_t last_bytes) {
    // Only a block that mp3s_next_block asked for is taken. One asked for before a jump (the
    // automatic poll's, between the game's calls) holds the bytes of the old offset: dropped,
    // and the block at the new offset is asked for.
    if (!p) return;
    const bool stale = p->lent && p->lent_stale;
    const int32_t which = p->lent;
    p->lent = p->lent_stale = 0;
    if (stale) return;
    if (last_bytes != -1) {
        if (last_bytes < 0) last_bytes = 0;
        if (last_bytes > p->block_size) last_bytes = p->block_size;
    }
    if (which == kLentAhead) {
        // Taken where it continues the restart's blocks (they stay from pass to pass).
        if (p->lent_at != p->ahead.base + p->ahead.filled || p->ahead_last != -1 ||
            p->ahead.filled >= 2 * p->block_size)
            return;
        mpeg_window_grew(&p->ahead, last_bytes == -1 ? p->block_size : last_bytes);
        p->ahead_last = last_bytes;
        return;
    }
    if (p->awaiting == 0 || p->last_bytes != -1) return;
    // After a jump the block at the new offset comes alone: the one after it is asked for too.
    p->awaiting = p->refill && last_bytes == -1 ? -1 : 0;
    p->refill = 0;
    if (p->awaiting == 0) p->settling = 0;
    p->last_bytes = last_bytes;
    mpeg_window_grew(&p->win, last_bytes == -1 ? p->block_size : last_bytes);
    index_window(p);
    if (p->pending == -1) {
        const int32_t r = search_first(p);
        if (r < 0) p->pending = -2;  // no frame in the whole data
        if (r > 0 && p->want_play) {
            p->want_play = 0;
            start_play(p, p->want_bytes, p->want_vol, p->want_pan, p->want_speed);
        }
        index_window(p);
    }
}

}  // namespace

void mp3s_give_block(Mp3StreamPlayer* p, int32_t last_bytes) {
    {
        const Mp3Hold<Mp3StreamPlayer> hold(p);
        give_block_held(p, last_bytes);
    }
    // A play remembered until the first frame came may have started.
    Autopoll::sync(p, true);
}

int32_t mp3s_play(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan) {
    return mp3s_play_ex(p, buffer_bytes, vol, pan, 1000);
}

namespace {

int32_t play_held(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                  int32_t speed) {
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

}  // namespace

int32_t mp3s_play_ex(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                     int32_t speed) {
    int32_t r;
    {
        const Mp3Hold<Mp3StreamPlayer> hold(p);
        r = play_held(p, buffer_bytes, vol, pan, speed);
    }
    Autopoll::sync(p, true);
    return r;
}

int32_t mp3s_poll(Mp3StreamPlayer* p) {
    return mp3_poll_trying<Mp3StreamPlayer, poll_held, Autopoll>(p);
}

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
            // Looping without a seamless join: decoding starts again from the start in the
            // next poll.
            if (p->loop && jump_to(p, 0)) return MP3_OK;
            stop_held(p);
            return MP3_ENDED;
        }
    }
    const uint32_t passed = p->core.sync.passed;
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    bool switched = false;  // this poll used up the older block and asked for its successor
    for (;;) {
        const bool points = p->loop && p->points;
        int32_t room = bytes;
        if (points && p->pass_end >= 0 && p->discard == 0) {
            const int64_t left = p->pass_end - out_position(p);
            if (left <= 0) {
                if (!p->jumped && jump_to(p, p->loop_start)) continue;
                // A pass that gave nothing (loop points at or past the data's end, or a jump
                // that failed) ends the looping, as at the data's end.
                hand_back(p, buf, bytes);
                p->tail_polls = 2;
                return MP3_OK;
            }
            if (left * ss < room - p->held_bytes) room = p->held_bytes + static_cast<int32_t>(left * ss);
        }
        const Window w = window(p);
        int32_t r;
        if (p->discard > 0) {
            // After a jump: the pre-roll's output and the samples before the target.
            uint8_t scratch[sizeof(p->core.gap.carry)];
            const int32_t n = p->discard < int64_t(sizeof scratch) ? int32_t(p->discard)
                                                                  : int32_t(sizeof scratch);
            int32_t got = 0;
            r = mpeg_core_fill(&p->core, w.buf, w.len, w.final, &p->read_off, scratch, n, &got);
            p->discard -= got;
            if (r == MP3_OK) continue;
        } else {
            const int32_t before = p->held_bytes;
            r = mpeg_core_fill(&p->core, w.buf, w.len, w.final, &p->read_off, buf, room,
                               &p->held_bytes);
            if (p->held_bytes > before) p->jumped = 0;
            if (r == MP3_OK) {
                if (p->held_bytes == bytes) break;
                continue;
            }
        }
        if (r != MP3_NEED_MORE) {
            // The end of the data, of the gapless run, or another stream spliced on. Looping
            // with loop points, or gapless, the pass starts again inside this buffer (a pass
            // that gave nothing ends the looping).
            const bool seamless = p->loop && (p->points || p->core.gap.on);
            if (seamless && !p->jumped && jump_to(p, points ? p->loop_start : 0)) continue;
            hand_back(p, buf, bytes);
            p->tail_polls = 2;
            return MP3_OK;
        }
        if (w.joined) {
            // A full join that cannot tell holds something larger than a block, which is no
            // frame this player can read: searched past.
            if (switch_if_passed(p)) {
                switched = true;
            } else {
                mpeg_sync_rejected(&p->core.sync);
                p->read_off += 1;
            }
            continue;
        }
        // The current block is used up. Between frames (a tag or junk going on), when this poll
        // has crossed one, before the first buffer (the first frame may be found near the end
        // of the blocks held), after a jump until the window holds two blocks again (the blocks
        // at the new offset are asked for only then), or when this poll asked for the next block
        // itself (a buffer that takes more MP3 bytes than a block holds, as free format at high
        // bitrates does), the next block was not late: the buffer is kept and filled on once the
        // next block has come.
        const bool first_buffer = p->core.given == p->held_bytes;
        if (mpeg_sync_between_frames(&p->core.sync) || p->core.sync.passed != passed ||
            first_buffer || p->jumped || p->settling || switched) {
            p->held = buf;
            return MP3_OK;
        }
        hand_back(p, buf, bytes);
        stop_held(p);
        return MP3_DATA_LATE;
    }
    hand_back(p, buf, bytes);
    // A pass that ends with the buffer starts again now, as it would inside the next: the
    // position reads the loop's start, and the blocks after the restart's are asked for.
    if (pass_over(p)) jump_to(p, restart_out(p));
    // The join is read to the poll's end; an older block used up is then given back.
    switch_if_passed(p);
    if (mpeg_core_run_done(&p->core) && !(p->loop && (p->points || p->core.gap.on)))
        p->tail_polls = 2;
    return MP3_OK;
}

}  // namespace

void mp3s_start_autopoll(Mp3StreamPlayer* p, int32_t ms) { Autopoll::start(p, ms); }
void mp3s_stop_autopoll(Mp3StreamPlayer* p) { Autopoll::stop(p); }

void mp3s_stop(Mp3StreamPlayer* p) {
    {
        const Mp3Hold<Mp3StreamPlayer> hold(p);
        if (!p) return;
        stop_held(p);
    }
    Autopoll::sync(p, true);
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
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return 0;
    // Until a jump's pre-roll and lead-in are decoded (the blocks at its offset may still be
    // coming), the next sample handed back is the one jumped to.
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    if (p->discard > 0 && ss > 0)
        return mpeg_core_samples_ms(&p->core, out_position(p) + p->discard / ss);
    return mpeg_core_position_ms(&p->core);
}
int32_t mp3s_position_secs(const Mp3StreamPlayer* p) { return mp3s_position_ms(p) / 1000; }

int64_t mp3s_position_samples(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return 0;
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    return out_position(p) + (p->discard > 0 && ss > 0 ? p->discard / ss : 0);
}

int64_t mp3s_length_samples(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p && !p->pending ? known_length(p) : -1;
}
int32_t mp3s_frame_ms(const Mp3StreamPlayer* p) {
    return player_core_query(p, mpeg_core_frame_ms);
}

int32_t mp3s_total_frames(const Mp3StreamPlayer* p, int32_t total_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return 0;
    if (p->total_frames >= 0) return p->total_frames;
    return p->core.frame_bytes > 0 ? total_bytes / p->core.frame_bytes : 0;
}

// Counted in samples, as the position is. The Xing header's frame count gives the frames after
// the Info frame, whose silence is decoded too with gapless off; without a count, a constant
// bitrate gives the time of the bytes from the first frame on.
int32_t mp3s_length_ms(const Mp3StreamPlayer* p, int32_t total_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->pending) return 0;
    const MpegCore* c = &p->core;
    if (c->gap.on && c->gap.length >= 0) return mpeg_core_samples_ms(c, c->gap.length);
    if (p->total_frames >= 0)
        return mpeg_core_samples_ms(c, mpeg_core_output_samples(c, p->total_frames + c->info));
    const int64_t bytes = int64_t(total_bytes) - p->first_at;
    if (bytes <= 0 || c->bitrate <= 0) return 0;
    const int64_t decoded = bytes * 8 * c->frequency / c->bitrate;
    if (!c->gap.on) return mpeg_core_samples_ms(c, decoded);
    const int64_t n = decoded - c->gap.start;
    return mpeg_core_samples_ms(c, n > 0 ? n : 0);
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
    mpeg_core_use_gapless(&p->core, on);
    // The handed-back count starts again at the next frame, as the new mode counts it (the
    // carry of a frame under way is gone).
    p->core.given = 0;
    p->out_base = mp3_out_of_frame(&p->core, p->core.current_frame);
    // Loop points count the samples handed back, which gapless changes: those set are cleared,
    // and with gapless on the tags of the first block give the default ones.
    p->points = 0;
    p->pass_end = -1;
    const int64_t len = known_length(p);
    if (on && p->tag_points && !p->pending &&
        mp3_check_loop_points(p->tag_start, p->tag_end,
                              len >= 0 ? len : INT64_MAX) == 0) {
        p->points = 1;
        p->loop_start = p->tag_start;
        p->loop_end = p->tag_end;
        p->pass_end = points_end(p);
    }
    return MP3_OK;
}

int32_t mp3s_seek_ms(Mp3StreamPlayer* p, int32_t ms) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->pending || ms < 0) return -1;
    // The frame that holds the time, as the in-memory player's seeks land (counted in samples).
    const int32_t ss = mpeg_core_sample_bytes(&p->core);
    const int64_t spf = ss > 0 ? p->core.frame_pcm_bytes / ss : 0;
    if (spf <= 0) return -1;
    const int64_t f = int64_t(ms) * p->core.frequency / (spf * 1000);
    if (f >= p->idx_count) return -1;
    return jump_to(p, mp3_out_of_frame(&p->core, f)) ? 0 : -1;
}

int32_t mp3s_rewind(Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p && jump_to(p, 0) ? 0 : -1;
}

void mp3s_set_loop(Mp3StreamPlayer* p, int32_t loop) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (p) p->loop = loop;
}

int32_t mp3s_is_looping(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p ? p->loop : 0;
}

int32_t mp3s_set_loop_points(Mp3StreamPlayer* p, int64_t start, int64_t end) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->pending) return -1;
    // Without a known length an end is taken as given; the data's end ends the pass anyway.
    const int64_t len = known_length(p);
    if (mp3_check_loop_points(start, end, len >= 0 ? len : INT64_MAX) != 0) return -1;
    mp3_take_loop_points(p, start, end, points_end);
    return 0;
}

int32_t mp3s_fade(Mp3StreamPlayer* p, int32_t volume, int32_t ms) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p ? mp3_fade_to(&p->fade, volume, ms, p->core.frequency) : -1;
}

int32_t mp3s_get_loop_points(const Mp3StreamPlayer* p, int64_t* start, int64_t* end) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return -1;
    const int64_t len = known_length(p);
    const int64_t e = p->points && p->loop_end != 0 ? p->loop_end : len > 0 ? len : 0;
    if (start) *start = p->points ? p->loop_start : 0;
    if (end) *end = e;
    return 0;
}
