// The core as callers see it (mpeg_core.h): a core on the heap that keeps the place of its bytes
// itself, either the caller's data in memory or a window of the pieces fed to it, and reads them
// through the window-passing calls of core.h that the players and mp3dec use.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core.h"
#include "tags.h"
#include "window.h"

namespace {

// Bytes of fed data held back from the frame search until the feed ends: the tags at the end of
// the data are cut from them then, as they are from data in memory. (A run of tags at the end
// longer than this is stepped over by the frame search from its front instead.)
constexpr int32_t kHoldBack = 64 * 1024;
// The first size of the window of fed bytes; it doubles whenever a piece does not fit.
constexpr int32_t kFirstWindow = 64 * 1024;

enum Source : int32_t { kNone, kMemory, kFed };

// The core first: an MpegCore* made by mpeg_core_create points at one of these.
struct HeldCore {
    MpegCore core;
    int32_t source;       // kNone until data is set or fed
    int32_t opened;       // 1 once the first frame is found and the decoder set up
    int32_t failure;      // MP3_NO_FRAME or MP3_SETUP_FAILED once the data proved unusable
    int32_t pos;          // next byte to read: in start[] (memory) or win.buf[] (fed)
    const uint8_t* start; // memory: the first frame
    int32_t data_len;     // memory: bytes from start, the tags at the end cut off
    int32_t frames;       // memory: frames of the data (the index's count, else an estimate)
    MpegWindow win;       // fed: the bytes not yet read, from pos on
    int32_t ended;        // fed: 1 once mpeg_core_feed_end was called
    int32_t audio_end;    // fed, once ended: bytes of the window before the tags at the end
};
static_assert(offsetof(HeldCore, core) == 0, "a held core starts with its core");
static_assert(alignof(HeldCore) <= alignof(std::max_align_t), "calloc aligns a held core");

HeldCore* held(MpegCore* c) { return reinterpret_cast<HeldCore*>(c); }
const HeldCore* held(const MpegCore* c) { return reinterpret_cast<const HeldCore*>(c); }

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

// Finds the first frame of fed data in buf[0, vis).
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
    return MP3_OK;
}

}  // namespace

MpegCore* mpeg_core_create(int32_t reduction, int32_t convert, int32_t freq_limit) {
    void* m = std::calloc(1, sizeof(HeldCore));
    if (!m) return nullptr;
    HeldCore* h = new (m) HeldCore();
    h->source = kNone;
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
    h->~HeldCore();
    std::free(h);
}

int32_t mpeg_core_set_data(MpegCore* c, const uint8_t* data, int32_t len) {
    HeldCore* h = held(c);
    if (!c || h->source == kFed) return MP3_NO_FRAME;
    if (h->source == kMemory) mpeg_core_restart(c);  // new data: the decoder is kept
    h->source = kMemory;
    h->opened = 0;
    h->failure = MP3_NO_FRAME;
    h->pos = 0;
    if (!data || len <= 0) return h->failure;
    // The tags at the end are cut off; the first frame is found past the tags and junk in front.
    const int32_t n = mpeg_trailing_tags(data, len);
    int32_t first = 0;
    const int32_t r = mpeg_core_open(c, data, n, 1, &first);
    if (r != MP3_OK) {
        if (r == MP3_SETUP_FAILED) h->failure = r;
        return h->failure;
    }
    h->start = data + first;
    h->data_len = n - first;
    h->opened = 1;
    h->failure = 0;
    // Without memory for the index the core still reads; seeks then land on estimates.
    mpeg_core_index(c, h->start, h->data_len);
    if (c->index.offsets)
        h->frames = c->index.frames;
    else if (c->xing && (c->xing->flags & 1) && c->xing->frames > 0)
        h->frames = c->xing->frames;
    else
        h->frames = c->frame_bytes > 0 ? h->data_len / c->frame_bytes : 0;
    return MP3_OK;
}

int32_t mpeg_core_feed(MpegCore* c, const uint8_t* bytes, int32_t n) {
    HeldCore* h = held(c);
    if (!c || !bytes || n <= 0 || h->source == kMemory || h->ended) return 0;
    h->source = kFed;
    // When the piece does not fit, the bytes before the read position are dropped first (they
    // are done with); the bytes held are moved down only then, not for every piece.
    if (h->win.cap - h->win.filled < n) {
        h->pos -= mpeg_window_drop(&h->win, h->pos);
        if (!make_room(&h->win, n)) return 0;
    }
    std::memcpy(mpeg_window_end(&h->win), bytes, size_t(n));
    mpeg_window_grew(&h->win, n);
    return n;
}

void mpeg_core_feed_end(MpegCore* c) {
    HeldCore* h = held(c);
    if (!c || h->source == kMemory || h->ended) return;
    h->source = kFed;
    h->ended = 1;
    h->audio_end = h->win.buf ? mpeg_trailing_tags(h->win.buf, h->win.filled) : 0;
}

int32_t mpeg_core_read(MpegCore* c, uint8_t* out, int32_t room, int32_t* filled) {
    int32_t none = 0;
    if (!filled) filled = &none;
    *filled = 0;
    HeldCore* h = held(c);
    if (!c || !out || room <= 0) return MP3_BAD_BUFFER;
    if (h->failure) return h->failure;
    if (h->source == kMemory) {
        // After a seek the decoder is set up again, the frames before the one sought refilling
        // its state.
        if (!mpeg_core_prepare(c, h->start, h->data_len)) return MP3_SETUP_FAILED;
        return mpeg_core_fill(c, h->start, h->data_len, 1, &h->pos, out, room, filled);
    }
    if (!h->win.buf) return h->ended ? (h->failure = MP3_NO_FRAME) : MP3_NEED_MORE;
    int32_t vis = h->ended ? h->audio_end
                           : (h->win.filled > kHoldBack ? h->win.filled - kHoldBack : 0);
    if (vis < h->pos) vis = h->pos;  // the search went into what proved to be the tags at the end
    if (!h->opened) {
        const int32_t r = open_fed(h, vis);
        if (r != MP3_OK) return r;
    }
    return mpeg_core_fill(c, h->win.buf, vis, h->ended, &h->pos, out, room, filled);
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
    if (h->source == kMemory) return mpeg_core_samples_ms(c, mpeg_core_output_samples(c, h->frames));
    if (c->gap.on && c->gap.length >= 0) return mpeg_core_samples_ms(c, c->gap.length);
    // The Info frame counts the audio frames after it.
    if (c->info && c->info_frames >= 0)
        return mpeg_core_samples_ms(c, mpeg_core_output_samples(c, int64_t(c->info_frames) + 1));
    return -1;
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
    h->pos = mpeg_core_seek(c, static_cast<int32_t>(f), h->data_len, f * c->frame_bytes);
    return mpeg_core_position_ms(c);
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
        h->pos = mpeg_core_seek(c, 0, h->data_len, 0);
        return MP3_BAD_BUFFER;
    }
    h->pos = pos;
    return mpeg_core_range_bytes(c, 0, n);
}
