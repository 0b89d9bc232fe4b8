// The core as callers see it (mpeg_core.h): a core on the heap that keeps the place of its bytes
// itself, either the caller's data in memory, a window of the pieces fed to it, a window of
// the pieces it reads through the caller's reader, or the window of its blocks a caller shows
// it, and reads them through the window-passing calls of core.h. It counts the output in samples: a seek lands on the sample asked for (the
// frame that holds it, sought with its pre-roll, then the samples before it thrown away).
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core.h"
#include "held_core.h"
#include "tags.h"
#include "window.h"

namespace {

// Bytes of fed data, and of a reader that cannot seek, held back from the frame search until the
// data ends: the tags at the end of the data are cut from them then, as they are from data in
// memory. 128 KiB holds the runs of tags at the end that files commonly carry (ID3v1, Lyrics3, an
// APEv2 tag of text, even with a small picture or a short MP3 file inside it), while a caller
// that feeds a file a piece at a time sees its first frame, format and tags once 128 KiB past it
// are in. A longer run is stepped over by the frame search from its front where its first tag can
// be told from there, else (a tag known by its footer alone) searched as junk.
constexpr int32_t kHoldBack = 128 * 1024;
// The first size of the window of fed bytes; it doubles whenever a piece does not fit.
constexpr int32_t kFirstWindow = 64 * 1024;
// The piece a reader is asked for at a time.
constexpr int32_t kPiece = 64 * 1024;
// The end of a reader's data first searched for tags when the reader can seek and knows its size
// (the tags at the end are then cut at once, with no hold-back); taken twice as long while the
// cut may go on further back, up to kTailMax.
constexpr int32_t kTail = 256 * 1024;
constexpr int32_t kTailMax = 1 << 30;

int64_t memory_read(void* ctx, void* buf, size_t n) {
    MemoryReader* m = static_cast<MemoryReader*>(ctx);
    const size_t k = n < m->len - m->at ? n : m->len - m->at;
    std::memcpy(buf, m->data + m->at, k);
    m->at += k;
    return int64_t(k);
}

int32_t memory_seek(void* ctx, int64_t offset) {
    MemoryReader* m = static_cast<MemoryReader*>(ctx);
    if (offset < 0 || uint64_t(offset) > m->len) return -1;
    m->at = size_t(offset);
    return 0;
}

int64_t memory_size(void* ctx) { return int64_t(static_cast<MemoryReader*>(ctx)->len); }

constexpr MpegReader kMemoryReader = {memory_read, memory_seek, memory_size};

// Room for n more bytes at the window's end; false when memory ran out or the window would
// pass 2 GiB.
bool make_room(MpegWindow* w, int32_t n) {
    if (w->cap - w->filled >= n) return true;
    const int64_t need = int64_t(w->filled) + n;
    if (need > INT32_MAX) return false;
    int64_t cap = w->cap > 0 ? w->cap : kFirstWindow;
    while (cap < need) cap *= 2;
    if (cap > INT32_MAX) cap = INT32_MAX;
    void* b = std::realloc(w->buf, size_t(cap));
    if (!b) return false;
    w->buf = static_cast<uint8_t*>(b);
    w->cap = static_cast<int32_t>(cap);
    return true;
}

// The bytes of the window the frame search may see: all of them once the data has ended (the
// tags at the end cut), else all but the hold-back.
int32_t visible(const HeldCore* h) {
    int32_t vis = h->ended ? h->audio_end
                  : h->data_end >= 0 ? h->win.filled
                                     : (h->win.filled > kHoldBack ? h->win.filled - kHoldBack : 0);
    return vis < h->pos ? h->pos : vis;  // the search went into what proved to be the tags at the end
}

// Room for n more bytes in the window of fed or read data: the bytes before the read position
// (and before the frame the index walks from next) are dropped first, being done with.
bool window_room(HeldCore* h, int32_t n) {
    if (h->win.cap - h->win.filled >= n) return true;
    int64_t keep = h->pos;
    if (h->source == kReader && !h->index.done && h->index.next - h->win.base < keep)
        keep = h->index.next - h->win.base;
    const int32_t dropped = mpeg_window_drop(&h->win, keep > 0 ? int32_t(keep) : 0);
    h->pos -= dropped;
    return make_room(&h->win, n);
}

void data_ended(HeldCore* h) {
    h->ended = 1;
    if (h->data_end >= 0) {
        const int64_t n = h->data_end - h->win.base;
        h->audio_end = n < 0 ? 0 : n < h->win.filled ? int32_t(n) : h->win.filled;
        return;
    }
    h->audio_end = h->win.buf ? mpeg_trailing_tags(h->win.buf, h->win.filled) : 0;
}

// Whether the cut of the tags at the end of a tail of the data, stopped at n, may have stopped
// only because the tail begins too late: a tag at the end that it could not follow back (an ID3v1
// block, an APEv2 footer, a Lyrics3v2 end or an ID3v2 footer) stands there.
bool cut_may_go_on(const uint8_t* tail, int32_t n) {
    if (n < 128) return true;
    return std::memcmp(tail + n - 32, "APETAGEX", 8) == 0 ||
           std::memcmp(tail + n - 9, "LYRICS200", 9) == 0 ||
           std::memcmp(tail + n - 10, "3DI", 3) == 0;
}

// The last n bytes of a reader's data of `size` bytes, read into a fresh block; null on a failure.
uint8_t* read_tail(const HeldCore* h, int64_t size, int32_t n) {
    uint8_t* tail = static_cast<uint8_t*>(std::malloc(size_t(n) + 1));
    if (!tail) return nullptr;
    int32_t got = 0;
    if (h->reader.seek(h->reader_ctx, size - n) == 0) {
        while (got < n) {
            const int64_t k = h->reader.read(h->reader_ctx, tail + got, size_t(n - got));
            if (k <= 0 || k > n - got) break;
            got += int32_t(k);
        }
    }
    if (got == n) return tail;
    std::free(tail);
    return nullptr;
}

// Where the tags at the end of a reader's data begin, read from its last bytes when it can seek
// and knows its size; -1 otherwise. The bytes read are kept for the tags (h->tail). The reader
// is left anywhere.
int64_t find_data_end(HeldCore* h) {
    const MpegReader* r = &h->reader;
    if (!r->seek || !r->size) return -1;
    const int64_t size = r->size(h->reader_ctx);
    if (size < 0) return -1;
    int32_t n = size < kTail ? int32_t(size) : kTail;
    for (;;) {
        uint8_t* tail = read_tail(h, size, n);
        if (!tail) return -1;
        const int32_t cut = mpeg_trailing_tags(tail, n);
        if (n < size && n < kTailMax && cut_may_go_on(tail, cut)) {
            std::free(tail);
            n = int64_t(n) * 2 < size ? n * 2 : int32_t(size);
            continue;
        }
        h->tail = tail;
        h->tail_len = n;
        return size - n + cut;
    }
}

// Records the frames of buf[0, len), which lie at `base` in the data, from the index's next
// offset on, as far as they lie whole in it. `final`: the data ends with buf.
void index_bytes(HeldCore* h, const uint8_t* buf, int32_t len, int64_t base, int32_t final) {
    ReadIndex* x = &h->index;
    const bool reader = h->source == kReader;
    for (;;) {
        const int64_t rel = x->next - base;
        if (rel < 0 || rel > len) return;
        int32_t pos = int32_t(rel), size = 0;
        const int32_t r = mpeg_sync_next(&x->sync, buf, len, final, &pos, &size);
        if (r != MPEG_SYNC_FRAME) {
            if (r != MPEG_SYNC_MORE) {
                x->done = 1;
                if (reader) h->walk.walked = 1;
            }
            return;
        }
        if (x->count + 2 > x->cap) {
            const int32_t more = x->cap ? x->cap * 2 : 1024;
            int64_t* o = static_cast<int64_t*>(std::realloc(x->offsets, sizeof(int64_t) * size_t(more)));
            if (o) x->offsets = o;
            int16_t* m = static_cast<int16_t*>(std::realloc(x->main, sizeof(int16_t) * size_t(more)));
            if (m) x->main = m;
            // Without memory the index stops growing: seeks reach the frames indexed so far.
            if (!o || !m) {
                x->done = 1;
                return;
            }
            x->cap = more;
        }
        if (reader)
            mpeg_walk_add(&h->walk, base + pos, buf + pos, size, x->count > 0 || !h->core.info);
        x->offsets[x->count] = base + pos;
        x->main[x->count] = int16_t(mpeg_frame_main_bytes(buf + pos, size));
        ++x->count;
        x->next = base + pos + size;
        x->offsets[x->count] = x->next;
        mpeg_sync_taken(&x->sync);
    }
}

// The frame a decode that gives frame f whole starts at: the first of its pre-roll, from the
// index's main data sizes.
int32_t preroll_from(const HeldCore* h, int64_t f) {
    return mpeg_preroll_of_sizes(h->index.main, h->core.header.id == 0 ? 1 : 0, h->core.layer,
                                 int32_t(f));
}

// Records the frames of the bytes at hand: a reader's window (only a reader that can seek uses
// the index) or the window shown.
void index_window(HeldCore* h) {
    if (!h->opened || h->index.done) return;
    if (h->source == kReader && h->reader.seek)
        index_bytes(h, h->win.buf, visible(h), h->win.base, h->ended);
    else if (h->source == kWindow && h->shown)
        index_bytes(h, h->shown, h->shown_len, h->shown_at, h->shown_last);
}

// Reads the next piece of the reader into the window. false when no more bytes come (the data
// ended, or the reader failed: *failed set).
bool read_piece(HeldCore* h, bool* failed) {
    if (h->ended) return false;
    if (!window_room(h, kPiece)) {
        *failed = true;
        return false;
    }
    const int64_t n = h->reader.read(h->reader_ctx, mpeg_window_end(&h->win), size_t(kPiece));
    if (n <= 0 || n > kPiece) {
        if (n != 0) *failed = true;
        data_ended(h);
    } else {
        mpeg_window_grew(&h->win, int32_t(n));
        // The audio ends where the tags at the end begin, known ahead.
        if (h->data_end >= 0 && h->win.base + h->win.filled >= h->data_end) data_ended(h);
    }
    index_window(h);
    return n > 0 && n <= kPiece;
}

// Finds the first frame of fed or read data in buf[0, vis).
int32_t open_fed(HeldCore* h, int32_t vis) {
    const int32_t r = mpeg_core_open(&h->core, h->win.buf, vis, h->ended, &h->pos);
    if (r == MP3_NEED_MORE) return r;
    if (r != MP3_OK) {
        h->failure = r == MP3_SETUP_FAILED ? r : MP3_NO_FRAME;
        return h->failure;
    }
    // The frames are read from the first one on, known to start at pos.
    mpeg_sync_restart(&h->core.sync, 1);
    h->opened = 1;
    h->first_at = h->win.base + h->pos;
    h->index.sync = h->core.sync;
    h->index.next = h->win.base + h->pos;
    // The bytes before the first frame hold the leading tags when none has been dropped yet.
    const bool head = h->win.base == 0;
    const int32_t first = mpeg_header_max_frame_bytes(&h->core.header, h->core.frame_bytes);
    const int32_t avail = h->win.filled - h->pos < first ? h->win.filled - h->pos : first;
    mpeg_held_opened(h, h->win.buf + h->pos, avail, head ? h->win.buf : nullptr,
                     head ? size_t(h->pos) : 0);
    index_window(h);
    return MP3_OK;
}

// The read position in the window shown, or -1 when the window does not hold it.
int32_t shown_pos(const HeldCore* h) {
    const int64_t rel = h->next_at - h->shown_at;
    return h->shown && rel >= 0 && rel <= h->shown_len ? int32_t(rel) : -1;
}

// Whether the frame search, waiting for more bytes, stands between frames: inside or after a tag
// or junk, or past one since `passed`.
bool between_frames(const MpegSync* s, uint32_t passed) {
    return mpeg_sync_between_frames(s) || s->passed != passed;
}

// Finds the first frame in the window shown.
int32_t open_window(HeldCore* h) {
    MpegCore* c = &h->core;
    int32_t pos = shown_pos(h);
    if (pos < 0) return MP3_NEED_MORE;
    const int32_t r = mpeg_core_open(c, h->shown, h->shown_len, h->shown_last, &pos);
    h->next_at = h->shown_at + pos;
    // Before the first frame only a tag says that what comes is not a frame cut short.
    if (r == MP3_NEED_MORE)
        return c->sync.after_tag || c->sync.skip > 0 ? MP3_BETWEEN_FRAMES : MP3_NEED_MORE;
    if (r != MP3_OK) {
        h->failure = r == MP3_SETUP_FAILED ? r : MP3_NO_FRAME;
        return h->failure;
    }
    h->opened = 1;
    h->first_at = h->next_at;
    h->index.sync = c->sync;
    mpeg_sync_restart(&h->index.sync, 1);
    h->index.next = h->next_at;
    const int32_t first = mpeg_header_max_frame_bytes(&c->header, c->frame_bytes);
    const int32_t avail = h->shown_len - pos < first ? h->shown_len - pos : first;
    mpeg_held_opened(h, h->shown + pos, avail, nullptr, 0);
    index_window(h);
    return MP3_OK;
}

// Fills out[*filled, room) from the window shown.
int32_t fill_window(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled) {
    MpegCore* c = &h->core;
    if (!h->opened) {
        if (const int32_t r = open_window(h); r != MP3_OK) return r;
    }
    // A seek sets the decoder up again, with no pre-roll of its own: the frames of the pre-roll
    // come with the bytes and are thrown away (the discard).
    if (!mpeg_core_prepare(c, nullptr, 0)) return MP3_SETUP_FAILED;
    int32_t pos = shown_pos(h);
    if (pos < 0) return MP3_NEED_MORE;
    const uint32_t passed = c->sync.passed;
    const int32_t r =
        mpeg_core_fill(c, h->shown, h->shown_len, h->shown_last, &pos, out, room, filled);
    h->next_at = h->shown_at + pos;
    return r == MP3_NEED_MORE && between_frames(&c->sync, passed) ? MP3_BETWEEN_FRAMES : r;
}

// Fills out[*filled, room) from the source, the pieces of a reader read as they are needed.
int32_t fill(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled) {
    MpegCore* c = &h->core;
    if (h->source == kWindow) return fill_window(h, out, room, filled);
    if (h->source == kMemory) {
        // After a seek the decoder is set up again, the frames before the one sought refilling
        // its state.
        if (!mpeg_core_prepare(c, h->start, h->data_len)) return MP3_SETUP_FAILED;
        return mpeg_core_fill(c, h->start, h->data_len, 1, &h->pos, out, room, filled);
    }
    for (;;) {
        int32_t r = MP3_NEED_MORE;
        if (h->win.buf || h->ended) {
            if (!h->win.buf) return h->failure = MP3_NO_FRAME;
            const int32_t vis = visible(h);
            r = h->opened ? MP3_OK : open_fed(h, vis);
            if (r == MP3_OK) {
                // A reader's seek sets the decoder up again, with no pre-roll of its own: the
                // frames of the pre-roll are read and thrown away (the discard).
                if (!mpeg_core_prepare(c, nullptr, 0)) return MP3_SETUP_FAILED;
                r = mpeg_core_fill(c, h->win.buf, vis, h->ended, &h->pos, out, room, filled);
            }
        }
        if (r != MP3_NEED_MORE || h->source != kReader) return r;
        bool failed = false;
        if (!read_piece(h, &failed) && failed) return MP3_READ_FAILED;
    }
}

// The PCM bytes of one sample of every channel (0 before the first frame).
int32_t sample_size(const MpegCore* c) { return mpeg_core_sample_bytes(c); }

// Samples per channel of one frame's output.
int64_t samples_per_frame(const MpegCore* c) {
    const int32_t ss = sample_size(c);
    return ss > 0 ? c->frame_pcm_bytes / ss : 0;
}

// Decodes and throws away what a seek left to discard. MP3_OK once it is done.
int32_t throw_away(HeldCore* h) {
    uint8_t scratch[4096];
    while (h->discard > 0) {
        const int32_t n = h->discard < int64_t(sizeof scratch) ? int32_t(h->discard)
                                                               : int32_t(sizeof scratch);
        int32_t got = 0;
        const int32_t r = fill(h, scratch, n, &got);
        h->discard -= got;
        if (r != MP3_OK) return r;
    }
    return MP3_OK;
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
        if (!read_piece(h, &failed)) {
            if (failed) return MP3_READ_FAILED;
            index_window(h);
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
    if (h->data_end >= 0 && at >= h->data_end) data_ended(h);
    mpeg_core_seek_at(&h->core, from);
    return MP3_OK;
}

}  // namespace

namespace {

bool can_seek(const HeldCore* h) {
    return h->source == kMemory || h->source == kWindow || (h->source == kReader && h->reader.seek);
}

// Goes on at the loop's start: false when the seek failed (looping then ends).
bool restart_loop(HeldCore* h) {
    h->pass_gave = 0;
    if (mpeg_core_seek(&h->core, h->loop_start) >= 0) return true;
    h->looping = 0;
    return false;
}

// Fills out[*filled, room) as the loop says: up to the loop's end, then on from its start
// (within this read), and at the end of the data (when it comes before the length said) on
// from the start; a pass that gives nothing ends the looping. The bytes read count into the position.
int32_t read_looped(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled) {
    const int32_t ss = sample_size(&h->core);
    int32_t r = MP3_OK;
    while (*filled < room) {
        if (r = throw_away(h); r != MP3_OK) return r;
        int32_t limit = room;
        if (h->looping && h->loop_end >= 0 && ss > 0) {
            const int64_t left = h->loop_end * ss - h->out_bytes;
            if (left <= 0) {
                if (h->pass_gave == 0 || !restart_loop(h)) {
                    h->looping = 0;
                    return MP3_ENDED;
                }
                continue;
            }
            if (left < room - *filled) limit = *filled + int32_t(left);
        }
        const int32_t before = *filled;
        r = fill(h, out, limit, filled);
        h->out_bytes += *filled - before;
        h->pass_gave += *filled - before;
        if (r == MP3_OK) continue;
        if (r == MP3_ENDED && h->looping && h->pass_gave > 0 && restart_loop(h)) {
            r = MP3_OK;
            continue;
        }
        if (r == MP3_ENDED) h->looping = 0;
        return r;
    }
    // A read that ends right at the loop's end restarts at once: the position is never past
    // the loop.
    if (h->looping && h->loop_end >= 0 && h->loop_end * ss <= h->out_bytes && h->pass_gave > 0)
        restart_loop(h);
    return r;
}

}  // namespace

MpegCore* mpeg_core_create(int32_t reduction, int32_t convert, int32_t freq_limit) {
    void* m = std::calloc(1, sizeof(HeldCore));
    if (!m) return nullptr;
    HeldCore* h = new (m) HeldCore();
    h->source = kNone;
    h->data_end = -1;
    mpeg_fade_init(&h->fade);
    h->win = MpegWindow{nullptr, 0, 0, 0};
    if (!mpeg_core_init(&h->core, reduction, convert, freq_limit)) {
        mpeg_core_free(&h->core);
        std::free(m);
        return nullptr;
    }
    mpeg_core_set_gapless(&h->core, 1);
    return &h->core;
}

void mpeg_core_destroy(MpegCore* c) {
    if (!c) return;
    HeldCore* h = held(c);
    mpeg_core_free(c);
    mpeg_window_free(&h->win);
    std::free(h->index.offsets);
    std::free(h->index.main);
    std::free(h->tail);
    mpeg_held_free_tags(h);
    h->~HeldCore();
    std::free(h);
}

int32_t mpeg_core_set_data(MpegCore* c, const uint8_t* data, size_t len) {
    HeldCore* h = held(c);
    if (!c || h->source == kFed || h->source == kReader || h->source == kWindow)
        return MP3_NO_FRAME;
    if (len > size_t(INT32_MAX)) {
        // Past what a window holds: read a piece at a time, as from a file.
        if (h->source == kMemory || !data) return MP3_NO_FRAME;
        h->memory = MemoryReader{data, len, 0};
        return mpeg_core_set_reader(c, &kMemoryReader, &h->memory);
    }
    if (h->source == kMemory) {
        mpeg_core_restart(c);  // new data: the decoder is kept
        mpeg_held_free_tags(h);
        h->looping = 0;
    }
    h->source = kMemory;
    h->opened = 0;
    h->failure = MP3_NO_FRAME;
    h->pos = 0;
    h->out_bytes = h->discard = 0;
    h->walk = MpegWalk{};
    if (!data || len == 0) return h->failure;
    // The tags at the end are cut off; the first frame is found past the tags and junk in front.
    const int32_t n = mpeg_trailing_tags(data, int32_t(len));
    int32_t first = 0;
    const int32_t r = mpeg_core_open(c, data, n, 1, &first);
    if (r != MP3_OK) {
        if (r == MP3_SETUP_FAILED) h->failure = r;
        return h->failure;
    }
    h->start = data + first;
    h->data_len = n - first;
    h->opened = 1;
    h->first_at = first;
    h->failure = 0;
    const int32_t frame = mpeg_header_max_frame_bytes(&c->header, c->frame_bytes);
    mpeg_held_opened(h, h->start, h->data_len < frame ? h->data_len : frame, data, len);
    // Without memory for the index the core still reads; seeks then land on estimates.
    mpeg_core_index(c, h->start, h->data_len);
    mpeg_held_walk_memory(h);
    if (c->index.offsets)
        h->frames = c->index.frames;
    else if (c->xing && (c->xing->flags & 1) && c->xing->frames > 0)
        h->frames = c->xing->frames;
    else
        h->frames = c->frame_bytes > 0 ? h->data_len / c->frame_bytes : 0;
    return MP3_OK;
}

int32_t mpeg_core_set_reader(MpegCore* c, const MpegReader* reader, void* ctx) {
    HeldCore* h = held(c);
    if (!c || h->source != kNone || !reader || !reader->read) return MP3_NO_FRAME;
    h->source = kReader;
    h->reader = *reader;
    h->reader_ctx = ctx;
    h->data_end = find_data_end(h);
    if (reader->seek && reader->seek(ctx, 0) != 0) return h->failure = MP3_READ_FAILED;
    // The first frame is looked for at once, so that the format is known on return.
    while (!h->opened && !h->failure) {
        bool failed = false;
        const bool more = read_piece(h, &failed);
        if (failed) return h->failure = MP3_READ_FAILED;
        const int32_t r = open_fed(h, visible(h));
        if (r != MP3_NEED_MORE) return r;
        if (!more && h->ended) return h->failure = MP3_NO_FRAME;
    }
    return h->failure;
}

int32_t mpeg_core_feed(MpegCore* c, const uint8_t* bytes, int32_t n) {
    HeldCore* h = held(c);
    if (!c || !bytes || n <= 0 || (h->source != kNone && h->source != kFed) || h->ended) return 0;
    h->source = kFed;
    // When the piece does not fit, the bytes before the read position are dropped first (they
    // are done with); the bytes held are moved down only then, not for every piece.
    if (!window_room(h, n)) return 0;
    std::memcpy(mpeg_window_end(&h->win), bytes, size_t(n));
    mpeg_window_grew(&h->win, n);
    // The first frame is looked for as soon as the bytes may show it, so that the format, the
    // tags and the stream's facts are known before the first read.
    if (!h->opened && !h->failure) open_fed(h, visible(h));
    return n;
}

void mpeg_core_feed_end(MpegCore* c) {
    HeldCore* h = held(c);
    if (!c || (h->source != kNone && h->source != kFed) || h->ended) return;
    h->source = kFed;
    data_ended(h);
    if (!h->opened && !h->failure && h->win.buf) open_fed(h, visible(h));
}

int32_t mpeg_core_read(MpegCore* c, uint8_t* out, int32_t room, int32_t* filled) {
    int32_t none = 0;
    if (!filled) filled = &none;
    *filled = 0;
    HeldCore* h = held(c);
    if (!c || !out || room <= 0) return MP3_BAD_BUFFER;
    if (h->failure) return h->failure;
    if (h->source == kNone) return MP3_NEED_MORE;
    // The rest of a faded sample that the last read cut.
    const int32_t p = h->pend_len < room ? h->pend_len : room;
    if (p > 0) {
        std::memcpy(out, h->pend, size_t(p));
        std::memmove(h->pend, h->pend + p, size_t(h->pend_len - p));
        h->pend_len -= p;
        *filled = p;
    }
    const int32_t ss = sample_size(c);
    int32_t r = MP3_OK;
    while (*filled < room && r == MP3_OK) {
        const bool fading = !mpeg_fade_unity(&h->fade) && ss > 0 && h->out_bytes % ss == 0;
        if (!fading) {
            r = read_looped(h, out, room, filled);
            continue;
        }
        // Faded sample by sample: whole samples straight into out, a sample the read cuts
        // through a sample of room, its rest kept for the next read.
        const int32_t whole = (room - *filled) / ss * ss;
        if (whole > 0) {
            const int32_t from = *filled;
            r = read_looped(h, out, from + whole, filled);
            mpeg_fade_apply(&h->fade, out + from, *filled - from, c->bits, c->stereo ? 2 : 1);
            if (r == MP3_OK && *filled < room) continue;
            break;
        }
        uint8_t one[8];
        int32_t got = 0;
        r = read_looped(h, one, ss, &got);
        mpeg_fade_apply(&h->fade, one, got, c->bits, c->stereo ? 2 : 1);
        const int32_t k = room - *filled < got ? room - *filled : got;
        std::memcpy(out + *filled, one, size_t(k));
        *filled += k;
        std::memcpy(h->pend, one + k, size_t(got - k));
        h->pend_len = got - k;
        if (r == MP3_OK && h->pend_len > 0) break;
    }
    return *filled == room && r != MP3_OK && h->pend_len > 0 ? MP3_OK : r;
}

int32_t mpeg_core_get_format(const MpegCore* c, MpegOutputFormat* f) {
    if (!f) return MP3_BAD_BUFFER;
    const HeldCore* h = held(c);
    if (!c || !h->opened) {
        std::memset(f, 0, sizeof *f);
        return c && h->failure ? h->failure : MP3_NEED_MORE;
    }
    mpeg_decoder_get_format(mpeg_core_decoder(const_cast<MpegCore*>(c)), f);
    return MP3_OK;
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
    const int32_t ss = c ? sample_size(c) : 0;
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
    if (!can_seek(h)) return MP3_CANNOT_SEEK;
    if (!h->opened) return MP3_NO_FRAME;
    const int64_t spf = samples_per_frame(c);
    const int32_t ss = sample_size(c);
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

int32_t mpeg_core_set_loop(MpegCore* c, int64_t start, int64_t end) {
    if (!c) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    if (h->failure) return h->failure;
    if (!can_seek(h)) return MP3_CANNOT_SEEK;
    if (!h->opened) return MP3_NO_FRAME;
    if (start < 0 || (end >= 0 && end <= start)) return MP3_BAD_LOOP;
    const int64_t length = mpeg_core_length(c);
    if (length < 0 || start >= length || end > length) return MP3_BAD_LOOP;
    h->looping = 1;
    h->loop_start = start;
    h->loop_end = end < 0 ? length : end;
    h->pass_gave = 1;  // the pass under way counts as one that gave
    return MP3_OK;
}

int32_t mpeg_core_set_looping(MpegCore* c, int32_t on) {
    if (!c) return MP3_BAD_BUFFER;
    if (!on) {
        held(c)->looping = 0;
        return MP3_OK;
    }
    int64_t start = 0, end = -1;
    if (c->gap.on && mpeg_core_tag_loop(c, &start, &end) &&
        mpeg_core_set_loop(c, start, end) == MP3_OK)
        return MP3_OK;
    return mpeg_core_set_loop(c, 0, -1);
}

int32_t mpeg_core_get_loop(const MpegCore* c, int64_t* start, int64_t* end) {
    if (!c || !held(c)->looping) return 0;
    if (start) *start = held(c)->loop_start;
    if (end) *end = held(c)->loop_end;
    return 1;
}

int32_t mpeg_core_fade(MpegCore* c, int32_t gain, int64_t samples) {
    if (!c || gain < 0 || gain > MPEG_CORE_UNITY || samples < 0) return MP3_BAD_BUFFER;
    mpeg_fade_to(&held(c)->fade, gain, samples);
    return MP3_OK;
}

int32_t mpeg_core_gain(const MpegCore* c) {
    return c ? int32_t(held(c)->fade.gain >> 16) : 0;
}

int64_t mpeg_core_decode_all(MpegCore* c, int32_t threads, uint8_t* out, int64_t room,
                             MpegCorePlace place, void* ctx) {
    if (!c || !out == !place || room < 0) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    if (h->failure) return h->failure;
    // Only from the start of data in memory, nothing read yet.
    if (h->source != kMemory || h->pos != 0 || c->current_frame != 0 || c->given != 0 ||
        c->gap.carry_len != 0)
        return 0;
    int32_t pos = 0;
    const int32_t n =
        mpeg_core_decode_run(c, h->start, h->data_len, threads, out, room, place, ctx, &pos);
    if (n < 0) {
        h->pos = mpeg_core_move_frame(c, 0, h->data_len, 0);
        h->out_bytes = 0;
        return MP3_BAD_BUFFER;
    }
    h->pos = pos;
    h->out_bytes = mpeg_core_range_bytes(c, 0, n);
    return h->out_bytes;
}

namespace {

// On to the start of frame f (>= 0) of data in memory, through the index or, without one, from
// the estimate `guess` (a byte offset from the first frame); a reader to the frame's first
// sample handed back. The sample reached, or a negative result.
int64_t to_frame(HeldCore* h, int64_t f, int64_t guess) {
    MpegCore* c = &h->core;
    if (h->failure) return h->failure;
    if (!can_seek(h)) return MP3_CANNOT_SEEK;
    if (!h->opened) return MP3_NO_FRAME;
    if (f < 0) return MP3_BAD_BUFFER;
    if (h->source != kMemory) return mpeg_core_seek(c, mpeg_core_output_samples(c, f));
    if (f > INT32_MAX) f = INT32_MAX;
    h->pos = mpeg_core_move_frame(c, int32_t(f), h->data_len, guess);
    h->discard = 0;
    h->pend_len = 0;
    const int64_t at = mpeg_core_output_samples(c, f);
    h->out_bytes = at * sample_size(c);
    return at;
}

}  // namespace

void mpeg_core_set_gapless(MpegCore* c, int32_t on) {
    if (!c) return;
    HeldCore* h = held(c);
    const int32_t ss = sample_size(c);
    const bool read = h->opened && ss > 0 && (h->out_bytes > 0 || h->discard > 0 ||
                                              c->current_frame > 0 || c->gap.carry_len > 0);
    // The frame that holds the position, as the old mode counts it.
    const int64_t f = read ? mpeg_core_frame_of(c, mpeg_core_tell(c)) : 0;
    mpeg_core_use_gapless(c, on);
    h->pend_len = 0;
    if (!read) return;
    if (can_seek(h) && h->source != kWindow) {
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
        int32_t pos = shown_pos(h), size = 0;
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
            pos = shown_pos(h);
            if (pos < 0) return MP3_NEED_MORE;
            buf = h->shown, len = h->shown_len, final = h->shown_last;
        } else {
            buf = h->win.buf, len = visible(h), final = h->ended, pos = h->pos;
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
            return between_frames(&c->sync, passed) ? MP3_BETWEEN_FRAMES : MP3_NEED_MORE;
        if (h->source != kReader) return MP3_NEED_MORE;
        bool failed = false;
        if (!read_piece(h, &failed) && failed) return MP3_READ_FAILED;
    }
}

int32_t mpeg_core_set_window(MpegCore* c, const uint8_t* bytes, int32_t len, int64_t offset,
                             int32_t last) {
    if (!c || (!bytes && len != 0) || len < 0 || offset < 0) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    if (h->source != kNone && h->source != kWindow) return MP3_BAD_BUFFER;
    if (h->source == kNone) {
        h->source = kWindow;
        h->next_at = offset;
    }
    h->shown = len > 0 ? bytes : nullptr;
    h->shown_len = len;
    h->shown_at = offset;
    h->shown_last = last ? 1 : 0;
    if (!h->tags_taken && offset == 0 && len > 0) {
        // The tags are those the data's first window holds (tags at the end only when it is the
        // last), read from a copy of it, before the first frame is known.
        h->tags_taken = 1;
        h->tag_bytes = static_cast<uint8_t*>(std::malloc(size_t(len)));
        if (h->tag_bytes) {
            std::memcpy(h->tag_bytes, bytes, size_t(len));
            h->tags = mpeg_tags_read(h->tag_bytes, size_t(len));
            if (h->tags && mpeg_tags_sources(h->tags) == 0) mpeg_held_free_tags(h);
        }
    }
    if (h->failure) return h->failure;
    if (!h->opened) return open_window(h);
    index_window(h);
    return MP3_OK;
}

int64_t mpeg_core_next_offset(const MpegCore* c) {
    if (!c) return -1;
    const HeldCore* h = held(c);
    switch (h->source) {
    case kWindow: return h->next_at;
    case kFed:
    case kReader: return h->win.base + h->pos;
    case kMemory: return h->opened ? h->first_at + h->pos : -1;
    default: return -1;
    }
}

int32_t mpeg_core_skip_byte(MpegCore* c) {
    if (!c || held(c)->source != kWindow) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    // The bytes there are searched through as junk, with confirmation.
    if (h->opened) mpeg_sync_rejected(&c->sync);
    h->next_at += 1;
    return MP3_OK;
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
    const int32_t ss = c ? sample_size(c) : 0;
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
