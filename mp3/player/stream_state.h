// The streamed player's layout, private to the library and its own tests (callers see the record
// only as an opaque handle, mp3_stream_player.h), and what it takes from the core's own layout:
// the core embedded, its fade, and the frame arithmetic of the samples it hands back.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core.h"
#include "fade.h"
#include "mp3_lock.h"
#include "mp3_stream_player.h"
#include "mpeg_tags.h"
#include "player_common.h"
#include "window.h"

struct AUDIOSTREAM;

// A fade: a gain on the PCM handed back, on top of the stream's own volume (MpegFade, the core's
// fade). Allegro's volume 255 is unity.
using Mp3Fade = MpegFade;
constexpr int64_t kMp3Unity = MPEG_CORE_UNITY;

inline void mp3_fade_init(Mp3Fade* f) { mpeg_fade_init(f); }

// Starts a ramp from the gain now to `volume` (0-255) over `ms` at `frequency`: 0, or -1 for a
// volume outside 0-255 or ms < 0.
int32_t mp3_fade_to(Mp3Fade* f, int32_t volume, int32_t ms, int32_t frequency);

// Applies the fade to a buffer of `bytes` bytes of signed 16-bit (or unsigned 8-bit) PCM of
// `channels` channels, the ramp advancing one step a sample. Nothing to do at unity.
inline void mp3_fade_apply(Mp3Fade* f, uint8_t* buf, int32_t bytes, int32_t bits, int32_t channels) {
    mpeg_fade_apply(f, buf, bytes, bits, channels);
}

inline Mp3Format mp3_format_of(const MpegCore* c) {
    return Mp3Format{c->bits, c->stereo, c->frequency, c->frame_pcm_bytes};
}

// Loop points and seeks by sample count the samples per channel that the player hands back:
// with gapless on, those of the run (sample 0 is the run's first), else every decoded sample.
// The frame that holds handed-back sample `out`, and the handed-back index of the first sample
// that frame f gives (a frame before the run gives none: the run's start).
inline int64_t mp3_frame_of_out(const MpegCore* c, int64_t out) {
    const int32_t ss = mpeg_core_sample_bytes(c);
    const int64_t spf = ss > 0 ? c->frame_pcm_bytes / ss : 0;
    return spf > 0 ? (out + (c->gap.on ? c->gap.start : 0)) / spf : 0;
}
inline int64_t mp3_out_of_frame(const MpegCore* c, int64_t f) {
    const int32_t ss = mpeg_core_sample_bytes(c);
    const int64_t d = ss > 0 ? f * (c->frame_pcm_bytes / ss) : 0;
    if (!c->gap.on) return d;
    return (d > c->gap.start ? d : c->gap.start) - c->gap.start;
}

// The loop points the file's tags give (LOOPSTART with LOOPLENGTH or LOOPEND), from the tags
// the player read at create (null: none): 1 and *start, *end (end 0: the data's end), or 0.
int32_t mp3_tag_loop_points(const MpegTags* tags, int64_t* start, int64_t* end);
// A query of one of the core's fields under the player's lock: its value, or 0 for null.
template <typename P, typename F>
int32_t player_core_field(const P* p, F MpegCore::*field) {
    const Mp3Hold<P> hold(p);
    return p ? int32_t(p->core.*field) : 0;
}

// A query of the core under the player's lock: f(core), or 0 for null.
template <typename P>
int32_t player_core_query(const P* p, int32_t (*f)(const MpegCore*)) {
    const Mp3Hold<P> hold(p);
    return p ? f(&p->core) : 0;
}

struct Mp3StreamPlayer {
    MpegCore core;          // decoder, frame synchronisation over the blocks, format, gapless run
    MpegWindow win;         // 2 * block_size: the current block, then the next one once given
    int32_t read_off;      // offset of the next frame in the window
    int32_t block_size;    // the size of the first block
    int32_t awaiting;      // -1 reading the current block alone, 0 reading `joined`
    int32_t last_bytes;    // -1 while more blocks come, else the valid bytes of the last block
    int32_t total_frames;  // Xing frame count, or -1
    int64_t first_at;      // offset of the first frame in the file
    AUDIOSTREAM* stream;   // playing exactly when not null
    int32_t frames_per_buffer;
    std::atomic<int32_t> autopoll; // -1 while automatic polling is wanted (read by the timer thread)
    int32_t autopoll_ms;
    std::mutex timer_ops;  // orders the timer's installs and removes (never under `lock`)
    std::atomic<bool> timer_on; // the poll's timer is installed (written under timer_ops)
    int32_t tail_polls;
    int32_t pending;       // -1 while the first frame is still to come (tags fill the blocks)
    uint8_t* held;         // a stream buffer being filled across polls (waiting for blocks)
    int32_t held_bytes;    // bytes of `held` already filled
    int32_t want_play;     // play asked for while pending: its arguments follow
    int32_t want_bytes, want_vol, want_pan, want_speed;
    MpegTags* tags;        // the tags seen in the first block (null when memory ran out)
    // The frames passed, indexed as the blocks arrive, for seeks and loops: the file offset of
    // each (idx_count + 1 entries, the last where the last frame indexed ends) and the main data
    // it adds to the bit reservoir (for the pre-roll).
    int64_t* idx_off;
    int16_t* idx_main;
    int32_t idx_count, idx_cap;
    MpegSync idx_sync;     // the index's own frame synchronisation
    int64_t idx_next;      // file offset of the next frame to index
    int32_t refill;        // 1 after a jump: the block at win.base comes alone, another follows
    int32_t settling;      // 1 from a jump until the window holds two blocks (or the last) again
    int64_t out_base;      // handed-back index of the first sample since the last jump
    int64_t discard;       // PCM bytes still to throw away after a jump (pre-roll, lead-in)
    int32_t jumped;        // 1 from a jump until its first sample is handed back
    int32_t lent;          // from mp3s_next_block until the block is given: 1 for the window,
                           // 2 for the restart's blocks (`ahead`)
    int32_t lent_stale;    // 1 when a jump came between: the block given is for the old offset
    int64_t lent_at;       // the file offset named for the block lent
    // A looping pass's restart, asked for ahead of the seam so that the poll that crosses it has
    // the pass's last frames and the restart's pre-roll at hand together: up to two blocks from
    // the offset decoding restarts at, kept from pass to pass (the same bytes every time).
    MpegWindow ahead;      // empty (no memory) until a loop first asks for it
    int32_t ahead_last;    // -1, or the valid bytes of the file's last block, held last in it
    int32_t ahead_failed;  // 1 when its memory could not be had: seams wait for their blocks
    int32_t loop;          // non-zero: start again when the data (or the loop points' pass) ends
    int32_t points;        // 1 while loop points are set
    int64_t loop_start, loop_end; // as set (end 0: the end of the data)
    int64_t pass_end;      // handed-back index where this pass jumps back; -1: the data's end
    Mp3Fade fade;          // mp3s_fade's gain on the PCM handed back
    int32_t tag_points;    // 1 when the first block's tags give loop points (taken gapless)
    int64_t tag_start, tag_end;
    mutable Mp3Lock lock;  // held by every call; the poll only tries it
};
