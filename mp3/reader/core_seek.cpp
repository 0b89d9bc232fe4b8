// The core's position, seeks and frames (mpeg_core.h), counted in samples: a seek lands on the
// sample asked for (the frame that holds it, sought with its pre-roll, then the samples before it
// thrown away by the next read). Data in memory seeks through its index, a reader that can seek
// and the windows shown through the frames they have passed (a reader walked on over the headers
// to a frame further on). Also the length, the gapless switch, whether the data has ended, and the
// frames after the gapless run stepped over.
#include <cstdint>

#include "core.h"
#include "held_core.h"
#include "window.h"

namespace {

// Samples per channel of one frame's output.
int64_t samples_per_frame(const MpegCore* c) {
    const int32_t ss = mpeg_core_sample_bytes(c);
    return ss > 0 ? c->frame_pcm_bytes / ss : 0;
}

// The frame a decode that gives frame f whole starts at: the first of its pre-roll, from the
// index's main data sizes.
int32_t preroll_from(const HeldCore* h, int64_t f) {
    return mpeg_preroll_of_sizes(h->index.main, h->core.header.id == 0 ? 1 : 0, h->core.layer,
                                 int32_t(f));
}

// Walks the frames of a reader on, headers only, until frame f is indexed (its successor's
// offset known) or the stream has ended. The read position is lost: a seek follows.
int32_t walk_to(HeldCore* h, int64_t f) {
    ReadIndex* x = &h->index;
    while (!x->done && x->count <= f) {
        // Only the frame the walk goes on from need stay in the window.
        const int64_t keep = x->next - h->win.base;
        if (keep > 0) {
            const int32_t dropped = mpeg_window_drop(&h->win, int32_t(keep));
            h->pos = h->pos > dropped ? h->pos - dropped : 0;
        }
        bool failed = false;
        if (!mpeg_held_read_piece(h, &failed)) {
            if (failed) return MP3_READ_FAILED;
            mpeg_held_index_window(h);
            x->done = h->walk.walked = 1;
        }
    }
    return MP3_OK;
}

// Moves a reader to frame `from`, a frame start: the window starts there afresh.
int32_t reader_at_frame(HeldCore* h, int32_t from) {
    const int64_t at = from < h->index.count ? h->index.offsets[from]
                                             : (h->index.count ? h->index.offsets[h->index.count] : 0);
    if (h->reader.seek(h->reader_ctx, at) != 0) return MP3_READ_FAILED;
    mpeg_window_drop(&h->win, h->win.filled);
    h->win.base = at;
    h->pos = 0;
    h->ended = 0;
    h->audio_end = 0;
    if (h->data_end >= 0 && at >= h->data_end) mpeg_held_data_ended(h);
    mpeg_core_seek_at(&h->core, from);
    return MP3_OK;
}

// On to the start of frame f (>= 0) of data in memory, through the index or, without one, from
// the estimate `guess` (a byte offset from the first frame); a reader to the frame's first
// sample handed back. The sample reached, or a negative result.
int64_t to_frame(HeldCore* h, int64_t f, int64_t guess) {
    MpegCore* c = &h->core;
    if (h->failure) return h->failure;
    if (!mpeg_held_can_seek(h)) return MP3_CANNOT_SEEK;
    if (!h->opened) return MP3_NO_FRAME;
    if (f < 0) return MP3_BAD_BUFFER;
    if (h->source != kMemory) return mpeg_core_seek(c, mpeg_core_output_samples(c, f));
    if (f > INT32_MAX) f = INT32_MAX;
    h->pos = mpeg_core_move_frame(c, int32_t(f), h->data_len, guess);
    h->discard = 0;
    h->pend_len = 0;
    const int64_t at = mpeg_core_output_samples(c, f);
    h->out_bytes = at * mpeg_core_sample_bytes(c);
    return at;
}

}  // namespace

bool mpeg_held_can_seek(const HeldCore* h) {
    return h->source == kMemory || h->source == kWindow || (h->source == kReader && h->reader.seek);
}

int32_t mpeg_core_length_ms(const MpegCore* c) {
    const HeldCore* h = held(c);
    if (!c || !h->opened) return -1;
    const int64_t n = mpeg_held_length(h);
    return n < 0 ? -1 : mpeg_core_samples_ms(c, n);
}

int32_t mpeg_core_seek_ms(MpegCore* c, int32_t ms) {
    HeldCore* h = held(c);
    if (!c || h->source != kMemory || !h->opened || h->frames <= 0) return -1;
    const int32_t ss = mpeg_core_sample_bytes(c);
    const int32_t spf = ss > 0 ? c->frame_pcm_bytes / ss : 0;
    if (spf <= 0 || c->frequency <= 0) return -1;
    // The sample ms * frequency / 1000 of the output (gapless: of the run, which begins
    // gap.start samples into the decode), as a fraction over 1000: no rounding.
    int64_t num = int64_t(ms < 0 ? 0 : ms) * c->frequency;
    if (c->gap.on) num += c->gap.start * 1000;
    int64_t f = mpeg_frame_of_sample(num, spf * 1000);
    if (f >= h->frames) f = h->frames - 1;
    if (f < 0) f = 0;
    h->pos = mpeg_core_move_frame(c, static_cast<int32_t>(f), h->data_len, f * c->frame_bytes);
    h->discard = 0;
    h->pend_len = 0;
    h->out_bytes = mpeg_core_output_samples(c, f) * ss;
    return mpeg_core_position_ms(c);
}

int64_t mpeg_core_tell(const MpegCore* c) {
    const HeldCore* h = held(c);
    const int32_t ss = c ? mpeg_core_sample_bytes(c) : 0;
    return ss > 0 ? h->out_bytes / ss : 0;
}

int64_t mpeg_core_length(MpegCore* c) {
    HeldCore* h = held(c);
    if (!c || !h->opened) return -1;
    const int64_t n = mpeg_held_length(h);
    if (h->walk.walked || h->source != kReader || !h->reader.seek) return n;
    // A walk over the headers to the end (what the LAME tag says is taken only when the walk
    // agrees with it), then back to where the reading stood.
    const int64_t at = mpeg_core_tell(c);
    if (walk_to(h, INT64_MAX) != MP3_OK) return -1;
    const int64_t total = mpeg_held_length(h);
    mpeg_core_seek(c, at);
    return total;
}

int64_t mpeg_core_seek(MpegCore* c, int64_t sample) {
    HeldCore* h = held(c);
    if (!c) return MP3_BAD_BUFFER;
    if (h->failure) return h->failure;
    if (!mpeg_held_can_seek(h)) return MP3_CANNOT_SEEK;
    if (!h->opened) return MP3_NO_FRAME;
    const int64_t spf = samples_per_frame(c);
    const int32_t ss = mpeg_core_sample_bytes(c);
    if (spf <= 0) return MP3_NO_FRAME;
    if (sample < 0) sample = 0;
    // The frame that holds the sample, counted in decoded samples (gapless: the run begins
    // gap.start samples into the decode).
    const int64_t decoded = sample + (c->gap.on ? c->gap.start : 0);
    int64_t f = decoded / spf;
    int32_t from;
    if (h->source == kMemory) {
        const int64_t total = mpeg_core_output_samples(c, h->frames);
        if (sample >= total) {
            sample = total;
            f = h->frames;
        }
        h->pos = mpeg_core_move_frame(c, int32_t(f), h->data_len, f * c->frame_bytes);
        from = int32_t(f);  // the pre-roll is the core's own (mpeg_core_prepare)
    } else if (h->source == kWindow) {
        // Only the frames passed so far are known; past the last, once the data has ended, is
        // the end.
        const ReadIndex* x = &h->index;
        if (x->count == 0 || (f >= x->count && !x->done)) return MP3_CANNOT_SEEK;
        if (f >= x->count) {
            f = x->count;
            const int64_t total = mpeg_core_output_samples(c, f);
            if (sample > total) sample = total;
        }
        from = preroll_from(h, f);
        h->next_at = x->offsets[from];
        mpeg_core_seek_at(c, from);
    } else {
        if (const int32_t r = walk_to(h, f); r != MP3_OK) return r;
        if (f >= h->index.count) {
            // Past the last frame: the end.
            f = h->index.count;
            const int64_t total = mpeg_core_output_samples(c, f);
            if (sample > total) sample = total;
        }
        if (c->gap.on && c->gap.length >= 0 && sample > c->gap.length) sample = c->gap.length;
        from = preroll_from(h, f);
        if (const int32_t r = reader_at_frame(h, from); r != MP3_OK) return r;
    }
    if (c->gap.on && c->gap.length >= 0 && sample > c->gap.length) sample = c->gap.length;
    // The rest of a faded sample that the last read cut belongs to the old position.
    h->pend_len = 0;
    h->discard = (sample - mpeg_core_output_samples(c, from)) * ss;
    if (h->discard < 0) h->discard = 0;
    h->out_bytes = sample * ss;
    return sample;
}

void mpeg_core_set_gapless(MpegCore* c, int32_t on) {
    if (!c) return;
    HeldCore* h = held(c);
    const int32_t ss = mpeg_core_sample_bytes(c);
    const bool read = h->opened && ss > 0 && (h->out_bytes > 0 || h->discard > 0 ||
                                              c->current_frame > 0 || c->gap.carry_len > 0);
    // The frame that holds the position, as the old mode counts it.
    const int64_t f = read ? mpeg_core_frame_of(c, mpeg_core_tell(c)) : 0;
    mpeg_core_use_gapless(c, on);
    h->pend_len = 0;
    if (!read) return;
    if (mpeg_held_can_seek(h) && h->source != kWindow) {
        to_frame(h, f, f * c->frame_bytes);
        return;
    }
    // Fed data and a window go on from the next frame decoded (the rest of the one under way is
    // dropped).
    h->discard = 0;
    h->out_bytes = mpeg_core_output_samples(c, c->current_frame) * ss;
}

int64_t mpeg_core_frame(const MpegCore* c) {
    if (!c || !held(c)->opened) return 0;
    // A reader's seek reads its pre-roll first: the frame sought is the one that holds the
    // position.
    if (held(c)->discard > 0 && held(c)->source == kReader)
        return mpeg_core_frame_of(c, mpeg_core_tell(c));
    return c->current_frame;
}

int64_t mpeg_core_frame_of(const MpegCore* c, int64_t sample) {
    const int64_t spf = c && held(c)->opened ? samples_per_frame(c) : 0;
    if (spf <= 0) return -1;
    if (sample < 0) sample = 0;
    return (sample + (c->gap.on ? c->gap.start : 0)) / spf;
}

int64_t mpeg_core_seek_frame(MpegCore* c, int64_t frame) {
    if (!c) return MP3_BAD_BUFFER;
    return to_frame(held(c), frame, frame * c->frame_bytes);
}

int64_t mpeg_core_skip_frames(MpegCore* c, int64_t frames) {
    if (!c) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    return to_frame(h, mpeg_core_frame(c) + frames,
                    int64_t(h->pos) + frames * c->frame_bytes);
}

int32_t mpeg_core_ended(const MpegCore* c) {
    if (!c) return 0;
    const HeldCore* h = held(c);
    if (h->failure) return 1;
    if (!h->opened || h->looping || h->pend_len > 0 || h->discard > 0 || c->gap.carry_len > 0)
        return 0;
    if (mpeg_core_run_done(c)) return 1;
    if (h->source == kWindow) {
        // The bytes after the read position are at hand once the last are shown: ended when
        // no frame follows in them.
        int32_t pos = mpeg_held_shown_pos(h), size = 0;
        if (!h->shown_last || pos < 0) return 0;
        MpegSync s = c->sync;
        return mpeg_sync_next(&s, h->shown, h->shown_len, 1, &pos, &size) != MPEG_SYNC_FRAME;
    }
    // Gapless off, the data's bytes must all have been read: junk after the last frame is known
    // for what it is only once it has been searched through.
    if (h->source == kMemory)
        return (c->gap.on ? c->current_frame >= h->frames : h->pos >= h->data_len) ? 1 : 0;
    return h->ended && h->pos >= h->audio_end ? 1 : 0;
}

int32_t mpeg_core_scan_rest(MpegCore* c) {
    if (!c) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    if (!h->opened || h->looping || h->discard > 0 || !mpeg_core_run_done(c))
        return mpeg_core_ended(c) ? MP3_ENDED : MP3_OK;
    // The frames after the run, stepped over with the decode's own synchronisation from where
    // the decode stopped: the bytes at hand, then (a reader) the pieces read on.
    for (;;) {
        const uint8_t* buf;
        int32_t len, final, pos;
        if (h->source == kMemory) {
            buf = h->start, len = h->data_len, final = 1, pos = h->pos;
        } else if (h->source == kWindow) {
            pos = mpeg_held_shown_pos(h);
            if (pos < 0) return MP3_NEED_MORE;
            buf = h->shown, len = h->shown_len, final = h->shown_last;
        } else {
            buf = h->win.buf, len = mpeg_held_visible(h), final = h->ended, pos = h->pos;
        }
        const uint32_t passed = c->sync.passed;
        int32_t size = 0;
        const int32_t r = buf ? mpeg_sync_next(&c->sync, buf, len, final, &pos, &size)
                              : MPEG_SYNC_END;
        if (h->source == kWindow) h->next_at = h->shown_at + pos;
        else h->pos = pos;
        if (r == MPEG_SYNC_FRAME) {
            if (h->source == kWindow) h->next_at += size;
            else h->pos += size;
            mpeg_sync_taken(&c->sync);
            continue;
        }
        if (r == MPEG_SYNC_OTHER) return MP3_OTHER_STREAM;
        if (r != MPEG_SYNC_MORE) return MP3_ENDED;
        if (h->source == kWindow)
            return mpeg_held_between_frames(&c->sync, passed) ? MP3_BETWEEN_FRAMES : MP3_NEED_MORE;
        if (h->source != kReader) return MP3_NEED_MORE;
        bool failed = false;
        if (!mpeg_held_read_piece(h, &failed) && failed) return MP3_READ_FAILED;
    }
}

int64_t mpeg_core_frame_offset(const MpegCore* c, int64_t frame) {
    if (!c) return -1;
    const HeldCore* h = held(c);
    const ReadIndex* x = &h->index;
    if (h->source != kWindow && h->source != kReader) return -1;
    return x->count > 0 && frame >= 0 && frame <= x->count ? x->offsets[frame] : -1;
}

int64_t mpeg_core_seek_offset(const MpegCore* c, int64_t sample) {
    const int64_t f = mpeg_core_frame_of(c, sample);
    if (f < 0 || mpeg_core_frame_offset(c, f) < 0 || f >= held(c)->index.count) return -1;
    return held(c)->index.offsets[preroll_from(held(c), f)];
}

int64_t mpeg_core_lead_in(const MpegCore* c) {
    const int32_t ss = c ? mpeg_core_sample_bytes(c) : 0;
    return ss > 0 ? held(c)->discard / ss : 0;
}

int64_t mpeg_core_length_of_size(const MpegCore* c, int64_t total_bytes) {
    if (!c || !held(c)->opened) return -1;
    const int64_t n = mpeg_held_length(held(c));
    if (n >= 0) return n;
    // The time of the bytes from the first frame on at the first frame's bitrate.
    const int64_t bytes = total_bytes - held(c)->first_at;
    if (bytes <= 0 || c->bitrate <= 0) return 0;
    const int64_t decoded = bytes * 8 * c->frequency / c->bitrate;
    if (!c->gap.on) return decoded;
    return decoded > c->gap.start ? decoded - c->gap.start : 0;
}

int64_t mpeg_core_frame_sample(const MpegCore* c, int64_t frame) {
    if (!c || !held(c)->opened || frame < 0) return -1;
    return mpeg_core_output_samples(c, frame);
}
