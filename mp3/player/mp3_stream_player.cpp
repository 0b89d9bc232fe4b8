// The streamed player: the hand-over of blocks into a window of two (the current block, and the
// next one once given), which the public core is shown and reads where it lies, and the poll that
// fills each free stream buffer from the core. The core finds the first frame, indexes the frames
// as they pass, names the offset a seek or a loop's restart reads from, and tells a tag that runs
// past the blocks (the stream buffer is kept until frames come) from a frame that is late. The
// player keeps the blocks, the stream buffer held across polls, the silent tail, and, looping,
// the blocks a pass restarts from, asked for ahead of the seam.
// Gapless playback, asked for before play, hands back only the encoder's input.
#include "stream_state.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <allegro.h>

namespace {

using Autopoll = Mp3Autopoll<Mp3StreamPlayer, mp3s_poll>;

// What a block lent out by mp3s_next_block is for (Mp3StreamPlayer::lent).
enum : int32_t { kLentNone = 0, kLentWindow = 1, kLentAhead = 2 };

int32_t poll_held(Mp3StreamPlayer* p);
void keep_restart(Mp3StreamPlayer* p);

void release(Mp3StreamPlayer* p) {
    mpeg_core_destroy(p->core);
    std::free(p->win.buf);
    std::free(p->ahead.buf);
    delete p;
}

// The first n bytes of the blocks dropped, the rest moved down.
void drop_front(Mp3Blocks* b, int32_t n) {
    if (n > b->filled) n = b->filled;
    std::memmove(b->buf, b->buf + n, size_t(b->filled - n));
    b->filled -= n;
    b->base += n;
}

// Shows the core the window's bytes: after every change of them.
int32_t show(Mp3StreamPlayer* p) {
    return mpeg_core_set_window(p->core, p->win.buf, p->win.filled, p->win.base,
                                p->last_bytes != -1);
}

// Where the core reads next, from the window's start.
int64_t read_off(const Mp3StreamPlayer* p) { return mpeg_core_next_offset(p->core) - p->win.base; }

bool joined(const Mp3StreamPlayer* p) { return p->awaiting == 0; }

// The older block of the join is used up once the read position has passed its end: the newer
// block becomes current and the older one may be refilled.
bool switch_if_passed(Mp3StreamPlayer* p) {
    if (p->awaiting != 0 || read_off(p) < p->block_size) return false;
    keep_restart(p);
    drop_front(&p->win, p->block_size);
    p->awaiting = -1;
    show(p);
    return true;
}

// Searches the blocks held for the first frame. 1 found and set up; 0 the next block is
// needed (*wait: what the core said); -1 there is none, or it cannot be played.
int32_t search_first(Mp3StreamPlayer* p, int32_t* wait) {
    for (;;) {
        const int32_t r = show(p);
        if (r == MP3_OK) {
            MpegOutputFormat f;
            MpegStreamInfo info;
            mpeg_core_get_format(p->core, &f);
            mpeg_core_get_info(p->core, &info);
            // A frame larger than a block could never be read whole from the join.
            if (info.frame_bytes > p->block_size) return -1;
            p->format = mp3_format_of(f);
            p->total_frames = info.stated_frames;
            p->pending = 0;
            // A first frame in the newer block of the join: the older one is asked for again
            // before playback starts.
            switch_if_passed(p);
            return 1;
        }
        if (r != MP3_NEED_MORE && r != MP3_BETWEEN_FRAMES) return -1;
        *wait = r;
        if (!joined(p)) return 0;
        // The search goes on once the next block has joined the current one, so that playback
        // starts with both. A full join that cannot tell holds a candidate larger than a block:
        // searched past.
        if (switch_if_passed(p)) return 0;
        mpeg_core_skip_byte(p->core);
    }
}

int32_t start_play(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                   int32_t speed) {
    const int32_t fpb = buffer_bytes / p->format.frame_pcm_bytes;
    if (fpb <= 0) return MP3_BAD_BUFFER;
    p->frames_per_buffer = fpb;
    p->stream = mp3_open_stream(p->format, fpb, vol, pan, speed);
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
    mp3_hand_back(p->stream, buf, bytes, p->format.bits);
    p->handed += p->held_bytes;
    p->held = nullptr;
    p->held_bytes = 0;
}

// Handed-back samples of the data where the data says (a gapless run's length, the Info
// header's frame count), else -1.
int64_t known_length(const Mp3StreamPlayer* p) {
    return p->pending ? -1 : mpeg_core_length(p->core);
}

// Where a pass with loop points jumps back (-1: at the data's end).
int64_t points_end(const Mp3StreamPlayer* p) {
    if (!p->points) return -1;
    return p->loop_end == 0 ? -1 : p->loop_end;
}

// The handed-back sample a looping pass starts again at.
int64_t restart_out(const Mp3StreamPlayer* p) { return p->points ? p->loop_start : 0; }

// The file offset a looping pass restarts decoding at, or -1 (not looping, or the loop's start
// not passed yet).
int64_t restart_at(const Mp3StreamPlayer* p) {
    if (!p->loop || p->pending) return -1;
    return mpeg_core_seek_offset(p->core, restart_out(p));
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

// Memory for the restart's blocks: false when it could not be had (seams then wait for their
// blocks).
bool ahead_ready(Mp3StreamPlayer* p) {
    if (p->ahead.buf) return true;
    p->ahead.buf = static_cast<uint8_t*>(std::malloc(2 * size_t(p->block_size)));
    if (!p->ahead.buf) p->ahead_failed = 1;
    return p->ahead.buf != nullptr;
}

// The window is about to drop its older block: when the restart of a looping pass lies in it
// and the restart's blocks are not held yet, the window's two blocks are kept as the restart's
// (as if asked for ahead). A loop whose start is reached just before its end then has them at
// the seam. Not while a block for them is lent out (its bytes would land on these).
void keep_restart(Mp3StreamPlayer* p) {
    const int64_t at = restart_at(p);
    if (at < p->win.base || at >= p->win.base + p->block_size || ahead_holds(p, at) ||
        p->ahead_failed || p->lent == kLentAhead || !ahead_ready(p))
        return;
    std::memcpy(p->ahead.buf, p->win.buf, size_t(p->win.filled));
    p->ahead.base = p->win.base;
    p->ahead.filled = p->win.filled;
    p->ahead_last = p->last_bytes;
}

// Whether the window holds every frame the next poll may decode: those up to the one that holds
// the last sample of a whole buffer from the position on, or up to the end of the pass. The
// window's next block may then come a poll later.
bool window_holds_next_poll(const Mp3StreamPlayer* p) {
    const int32_t ss = mp3_sample_bytes(p->format);
    if (!p->stream || p->pending || mpeg_core_lead_in(p->core) > 0 || p->settling || ss <= 0)
        return false;
    const int64_t spf = p->format.frame_pcm_bytes / ss;
    int64_t last = mpeg_core_tell(p->core) + p->frames_per_buffer * spf - 1;
    if (p->loop && p->points && p->pass_end > 0 && p->pass_end <= last) last = p->pass_end - 1;
    const int64_t end = mpeg_core_frame_offset(p->core, mpeg_core_frame_of(p->core, last) + 1);
    return end >= 0 && end <= p->win.base + p->win.filled;
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

// Jumps to handed-back sample `out` of a frame already passed: the core seeks there and names
// the offset it decodes again from (the pre-roll's first frame). Read on from there where the
// window holds it, else the window starts there, with the restart's blocks when they were asked
// for ahead, or empty (the block at that offset is asked for next). false when the frame has not
// been passed yet.
bool jump_to(Mp3StreamPlayer* p, int64_t out) {
    const int64_t at = p->pending ? -1 : mpeg_core_seek_offset(p->core, out);
    if (at < 0) return false;
    if (at < p->win.base || at >= p->win.base + p->win.filled) {
        const bool ahead = ahead_holds(p, at);
        p->win.filled = 0;
        p->win.base = ahead ? p->ahead.base : at;
        if (ahead) {
            std::memcpy(p->win.buf, p->ahead.buf, size_t(p->ahead.filled));
            p->win.filled = p->ahead.filled;
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
    show(p);
    if (mpeg_core_seek(p->core, out) < 0) return false;
    p->handed = 0;
    p->jump_lead = mpeg_core_lead_in(p->core);
    p->pass_end = points_end(p);
    p->jumped = 1;
    return true;
}

// Whether a seamless looping pass has been handed back whole: its loop points' end reached, or
// the gapless run's end or the data's.
bool pass_over(const Mp3StreamPlayer* p) {
    if (!p->loop || mpeg_core_lead_in(p->core) > 0) return false;
    if (p->points && p->pass_end >= 0) return mpeg_core_tell(p->core) >= p->pass_end;
    return (p->points || p->gapless) && mpeg_core_ended(p->core);
}

// Whether the gapless run has been handed back whole.
bool run_done(const Mp3StreamPlayer* p) {
    const int64_t len = known_length(p);
    return p->gapless && len >= 0 && mpeg_core_tell(p->core) >= len &&
           mpeg_core_lead_in(p->core) == 0;
}

}  // namespace

Mp3StreamPlayer* mp3s_create(const void* first_block, int32_t size, int32_t last) {
    if (!first_block || size < 4 || size > INT32_MAX / 2) return nullptr;
    const uint8_t* b = static_cast<const uint8_t*>(first_block);
    Mp3StreamPlayer* p = new (std::nothrow) Mp3StreamPlayer();
    if (!p) return nullptr;
    // The player always decodes at full rate, keeps the stream's channels, 16-bit, up to 24 kHz.
    p->core = mpeg_core_create(0, 0, 24000);
    p->win.buf = static_cast<uint8_t*>(std::malloc(2 * size_t(size)));
    if (!p->core || !p->win.buf) {
        release(p);
        return nullptr;
    }
    mpeg_core_set_gapless(p->core, 0);
    std::memcpy(p->win.buf, b, size_t(size));
    p->win.filled = size;
    p->block_size = size;
    p->awaiting = -1;
    p->last_bytes = last ? size : -1;
    p->stream = nullptr;
    p->autopoll.store(0);
    p->total_frames = -1;
    p->pass_end = -1;
    p->ahead_last = -1;
    int32_t wait = MP3_NEED_MORE;
    const int32_t r = search_first(p, &wait);
    // Without a confirmed frame in the first block, a tag stepped over, or a frame header whose
    // confirmation lies past the block, says that frames are to come. A frame must fit in a
    // block.
    MpegHeader h;
    const int64_t at = read_off(p);
    const int32_t stated =
        at >= 0 && at < size ? mpeg_header_parse(b + at, size - int32_t(at), &h) : 0;
    const bool waits_on_header = stated > 0 && stated <= size;
    if (r < 0 || (r == 0 && !waits_on_header && wait != MP3_BETWEEN_FRAMES)) {
        release(p);
        return nullptr;
    }
    p->pending = r == 0 ? -1 : 0;
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
    if (which == kLentAhead && !ahead_ready(p)) which = wanted(p, &at);
    if (which == kLentNone) return nullptr;
    p->lent = which;
    p->lent_stale = 0;
    p->lent_at = at;
    if (which == kLentWindow) return p->win.buf + p->win.filled;
    // The restart's first block, or another restart's (new loop points): the blocks held go.
    if (at != p->ahead.base + p->ahead.filled) {
        p->ahead.filled = 0;
        p->ahead.base = at;
        p->ahead_last = -1;
    }
    return p->ahead.buf + p->ahead.filled;
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
    const int32_t valid = last_bytes == -1 ? p->block_size : last_bytes;
    if (which == kLentAhead) {
        // Taken where it continues the restart's blocks (they stay from pass to pass).
        if (p->lent_at != p->ahead.base + p->ahead.filled || p->ahead_last != -1 ||
            p->ahead.filled >= 2 * p->block_size)
            return;
        p->ahead.filled += valid;
        p->ahead_last = last_bytes;
        return;
    }
    if (p->awaiting == 0 || p->last_bytes != -1) return;
    // After a jump the block at the new offset comes alone: the one after it is asked for too.
    p->awaiting = p->refill && last_bytes == -1 ? -1 : 0;
    p->refill = 0;
    if (p->awaiting == 0) p->settling = 0;
    p->last_bytes = last_bytes;
    p->win.filled += valid;
    // The core indexes the frames of the block now, before it can be dropped.
    show(p);
    if (p->pending == -1) {
        int32_t wait = 0;
        const int32_t r = search_first(p, &wait);
        if (r < 0) p->pending = -2;  // no frame in the whole data
        if (r > 0 && p->want_play) {
            p->want_play = 0;
            start_play(p, p->want_bytes, p->want_vol, p->want_pan, p->want_speed);
        }
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
    const int32_t bytes = p->frames_per_buffer * p->format.frame_pcm_bytes;
    uint8_t* buf = p->held;
    if (!buf) {
        buf = static_cast<uint8_t*>(get_audio_stream_buffer(p->stream));
        if (!buf) return MP3_OK;
        std::memset(buf, 0, size_t(bytes));
        p->held_bytes = 0;
        if (const int32_t t = mp3_tail_poll(p->stream, buf, bytes, p->format.bits, &p->tail_polls);
            t >= 0) {
            if (t == 0) return MP3_OK;
            // Looping without a seamless join: decoding starts again from the start in the
            // next poll.
            if (p->loop && jump_to(p, 0)) return MP3_OK;
            stop_held(p);
            return MP3_ENDED;
        }
    }
    const int32_t ss = mp3_sample_bytes(p->format);
    bool switched = false;  // this poll used up the older block and asked for its successor
    for (;;) {
        const bool points = p->loop && p->points;
        int32_t room = bytes;
        if (points && p->pass_end >= 0) {
            const int64_t left = p->pass_end - mpeg_core_tell(p->core);
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
        const bool join = joined(p);
        int32_t got = 0;
        const int32_t r = mpeg_core_read(p->core, buf + p->held_bytes, room - p->held_bytes, &got);
        p->held_bytes += got;
        if (got > 0) p->jumped = 0;
        if (r == MP3_OK) {
            if (p->held_bytes == bytes) break;
            continue;
        }
        if (r != MP3_NEED_MORE && r != MP3_BETWEEN_FRAMES) {
            // The end of the data, of the gapless run, or another stream spliced on. Looping
            // with loop points, or gapless, the pass starts again inside this buffer (a pass
            // that gave nothing ends the looping).
            const bool seamless = p->loop && (p->points || p->gapless);
            if (seamless && !p->jumped && jump_to(p, points ? p->loop_start : 0)) continue;
            hand_back(p, buf, bytes);
            p->tail_polls = 2;
            return MP3_OK;
        }
        if (join) {
            // A full join that cannot tell holds something larger than a block, which is no
            // frame this player can read: searched past.
            if (switch_if_passed(p))
                switched = true;
            else
                mpeg_core_skip_byte(p->core);
            continue;
        }
        // The current block is used up. Between frames (a tag or junk going on, or one crossed
        // by this read), before the first buffer (the first frame may be found near the end
        // of the blocks held), after a jump until the window holds two blocks again (the blocks
        // at the new offset are asked for only then), or when this poll asked for the next block
        // itself (a buffer that takes more MP3 bytes than a block holds, as free format at high
        // bitrates does), the next block was not late: the buffer is kept and filled on once the
        // next block has come.
        const bool first_buffer =
            p->handed == 0 && mpeg_core_lead_in(p->core) == p->jump_lead;
        if (r == MP3_BETWEEN_FRAMES || first_buffer || p->jumped || p->settling || switched) {
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
    if (run_done(p) && !(p->loop && (p->points || p->gapless))) p->tail_polls = 2;
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
    if (size) *size = p->frames_per_buffer * p->format.frame_pcm_bytes;
    return mp3_stream_data(p->stream);
}

namespace {

// Samples per channel in milliseconds at the stream's rate, truncated.
int32_t samples_ms(const Mp3StreamPlayer* p, int64_t samples) {
    if (p->format.frequency <= 0 || samples <= 0) return 0;
    const int64_t ms = samples * 1000 / p->format.frequency;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

}  // namespace

int32_t mp3s_current_frame(const Mp3StreamPlayer* p) {
    return static_cast<int32_t>(mp3_core_query<Mp3StreamPlayer, int64_t>(p, mpeg_core_frame));
}
int32_t mp3s_position_ms(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return 0;
    // Until a jump's pre-roll and lead-in are decoded (the blocks at its offset may still be
    // coming), the next sample handed back is the one jumped to.
    if (mpeg_core_lead_in(p->core) > 0) return samples_ms(p, mpeg_core_tell(p->core));
    return mpeg_core_position_ms(p->core);
}
int32_t mp3s_position_secs(const Mp3StreamPlayer* p) { return mp3s_position_ms(p) / 1000; }

int64_t mp3s_position_samples(const Mp3StreamPlayer* p) {
    return mp3_core_query<Mp3StreamPlayer, int64_t>(p, mpeg_core_tell);
}

int64_t mp3s_length_samples(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p ? known_length(p) : -1;
}
int32_t mp3s_frame_ms(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p ? mp3_frame_ms_of(p->format) : 0;
}

int32_t mp3s_total_frames(const Mp3StreamPlayer* p, int32_t total_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p) return 0;
    if (p->total_frames >= 0) return p->total_frames;
    MpegStreamInfo info;
    mpeg_core_get_info(p->core, &info);
    return info.frame_bytes > 0 ? total_bytes / info.frame_bytes : 0;
}

// Counted in samples, as the position is: the length the data says, else the time of the bytes
// from the first frame on at its bitrate.
int32_t mp3s_length_ms(const Mp3StreamPlayer* p, int32_t total_bytes) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->pending) return 0;
    return samples_ms(p, mpeg_core_length_of_size(p->core, total_bytes));
}

int32_t mp3s_length_secs(const Mp3StreamPlayer* p, int32_t total_bytes) {
    return mp3s_length_ms(p, total_bytes) / 1000;
}

int32_t mp3s_bytes_per_second(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p ? mp3_sample_bytes(p->format) * p->format.frequency : 0;
}
int32_t mp3s_bitrate(const Mp3StreamPlayer* p) { return mp3_info_field(p, &MpegStreamInfo::bitrate); }
int32_t mp3s_layer(const Mp3StreamPlayer* p) {
    // -1 before the first frame is found.
    const int32_t layer = mp3_info_field(p, &MpegStreamInfo::layer);
    return p && layer == 0 ? -1 : layer;
}
int32_t mp3s_bits(const Mp3StreamPlayer* p) { return mp3_format_field(p, &Mp3Format::bits); }
int32_t mp3s_is_stereo(const Mp3StreamPlayer* p) { return mp3_format_field(p, &Mp3Format::stereo); }
int32_t mp3s_frequency(const Mp3StreamPlayer* p) { return mp3_format_field(p, &Mp3Format::frequency); }

int32_t mp3s_set_gapless(Mp3StreamPlayer* p, int32_t on) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->stream || (p->pending == -1 && p->want_play)) return MP3_PLAYING;
    // The core goes on from the next frame, counted as the new mode counts it.
    mpeg_core_set_gapless(p->core, on);
    p->gapless = on ? 1 : 0;
    p->handed = 0;
    p->jump_lead = mpeg_core_lead_in(p->core);
    // Loop points count the samples handed back, which gapless changes: those set are cleared,
    // and with gapless on the file's tags give the default ones.
    p->points = 0;
    p->pass_end = -1;
    const int64_t len = known_length(p);
    int64_t start = 0, end = 0;
    if (on && !p->pending && mpeg_core_tag_loop(p->core, &start, &end)) {
        if (end < 0) end = 0;
        if (mp3_check_loop_points(start, end, len >= 0 ? len : INT64_MAX) == 0) {
            p->points = 1;
            p->loop_start = start;
            p->loop_end = end;
            p->pass_end = points_end(p);
        }
    }
    return MP3_OK;
}

int32_t mp3s_seek_ms(Mp3StreamPlayer* p, int32_t ms) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    if (!p || p->pending || ms < 0) return -1;
    // The frame that holds the time, as the in-memory player's seeks land (counted in samples;
    // gapless, from the first sample handed back).
    const int64_t f = mpeg_core_frame_of(p->core, int64_t(ms) * p->format.frequency / 1000);
    if (f < 0) return -1;
    // Only a frame passed (its end indexed) can be sought.
    if (mpeg_core_frame_offset(p->core, f + 1) < 0) return -1;
    return jump_to(p, mpeg_core_frame_sample(p->core, f)) ? 0 : -1;
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
    int32_t gain = 0;
    int64_t samples = 0;
    if (!p || mp3_fade_args(volume, ms, p->format.frequency, &gain, &samples) != 0) return -1;
    return mpeg_core_fade(p->core, gain, samples) == MP3_OK ? 0 : -1;
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

const MpegTags* mp3s_tags(const Mp3StreamPlayer* p) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p ? mpeg_core_tags(p->core) : nullptr;
}

int32_t mp3s_set_replaygain(Mp3StreamPlayer* p, int32_t mode, int32_t preamp) {
    const Mp3Hold<Mp3StreamPlayer> hold(p);
    return p && mpeg_core_set_replaygain(p->core, mode, preamp) == MP3_OK ? 0 : -1;
}
