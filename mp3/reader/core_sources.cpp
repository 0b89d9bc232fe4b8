// The sources of the core's bytes (mpeg_core.h): the caller's data in memory, a window of the
// pieces fed to it, a window of the pieces it reads through the caller's reader, or the window of
// its blocks a caller shows it, read through the window-passing calls of core.h. The tags at the
// end of the data are cut off before the frame search sees them (fed data and a reader that
// cannot seek hold bytes back until the data ends); the frames of a reader that can seek and of
// the windows shown are indexed as they pass, for seeks.
#include <cstddef>
#include <cstdlib>
#include <cstring>

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
    mpeg_held_index_window(h);
    return MP3_OK;
}

// Finds the first frame in the window shown.
int32_t open_window(HeldCore* h) {
    MpegCore* c = &h->core;
    int32_t pos = mpeg_held_shown_pos(h);
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
    mpeg_held_index_window(h);
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
    int32_t pos = mpeg_held_shown_pos(h);
    if (pos < 0) return MP3_NEED_MORE;
    const uint32_t passed = c->sync.passed;
    const int32_t r =
        mpeg_core_fill(c, h->shown, h->shown_len, h->shown_last, &pos, out, room, filled);
    h->next_at = h->shown_at + pos;
    return r == MP3_NEED_MORE && mpeg_held_between_frames(&c->sync, passed) ? MP3_BETWEEN_FRAMES
                                                                              : r;
}

}  // namespace

int32_t mpeg_held_visible(const HeldCore* h) {
    int32_t vis = h->ended ? h->audio_end
                  : h->data_end >= 0 ? h->win.filled
                                     : (h->win.filled > kHoldBack ? h->win.filled - kHoldBack : 0);
    return vis < h->pos ? h->pos : vis;  // the search went into what proved to be the tags at the end
}

void mpeg_held_data_ended(HeldCore* h) {
    h->ended = 1;
    if (h->data_end >= 0) {
        const int64_t n = h->data_end - h->win.base;
        h->audio_end = n < 0 ? 0 : n < h->win.filled ? int32_t(n) : h->win.filled;
        return;
    }
    h->audio_end = h->win.buf ? mpeg_trailing_tags(h->win.buf, h->win.filled) : 0;
}

void mpeg_held_index_window(HeldCore* h) {
    if (!h->opened || h->index.done) return;
    if (h->source == kReader && h->reader.seek)
        index_bytes(h, h->win.buf, mpeg_held_visible(h), h->win.base, h->ended);
    else if (h->source == kWindow && h->shown)
        index_bytes(h, h->shown, h->shown_len, h->shown_at, h->shown_last);
}

bool mpeg_held_read_piece(HeldCore* h, bool* failed) {
    if (h->ended) return false;
    if (!window_room(h, kPiece)) {
        *failed = true;
        return false;
    }
    const int64_t n = h->reader.read(h->reader_ctx, mpeg_window_end(&h->win), size_t(kPiece));
    if (n <= 0 || n > kPiece) {
        if (n != 0) *failed = true;
        mpeg_held_data_ended(h);
    } else {
        mpeg_window_grew(&h->win, int32_t(n));
        // The audio ends where the tags at the end begin, known ahead.
        if (h->data_end >= 0 && h->win.base + h->win.filled >= h->data_end)
            mpeg_held_data_ended(h);
    }
    mpeg_held_index_window(h);
    return n > 0 && n <= kPiece;
}

int32_t mpeg_held_shown_pos(const HeldCore* h) {
    const int64_t rel = h->next_at - h->shown_at;
    return h->shown && rel >= 0 && rel <= h->shown_len ? int32_t(rel) : -1;
}

bool mpeg_held_between_frames(const MpegSync* s, uint32_t passed) {
    return mpeg_sync_between_frames(s) || s->passed != passed;
}

int32_t mpeg_held_fill(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled) {
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
            const int32_t vis = mpeg_held_visible(h);
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
        if (!mpeg_held_read_piece(h, &failed) && failed) return MP3_READ_FAILED;
    }
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
        const bool more = mpeg_held_read_piece(h, &failed);
        if (failed) return h->failure = MP3_READ_FAILED;
        const int32_t r = open_fed(h, mpeg_held_visible(h));
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
    if (!h->opened && !h->failure) open_fed(h, mpeg_held_visible(h));
    return n;
}

void mpeg_core_feed_end(MpegCore* c) {
    HeldCore* h = held(c);
    if (!c || (h->source != kNone && h->source != kFed) || h->ended) return;
    h->source = kFed;
    mpeg_held_data_ended(h);
    if (!h->opened && !h->failure && h->win.buf) open_fed(h, mpeg_held_visible(h));
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
    mpeg_held_index_window(h);
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
