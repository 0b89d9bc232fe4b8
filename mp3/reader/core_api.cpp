// The core as callers see it (mpeg_core.h): a core on the heap that keeps the place of its bytes
// itself (core_sources.cpp), counts its output in samples and seeks by them (core_seek.cpp), and
// loops and fades (core_loop.cpp). Here: the making and freeing of a core, the read that hands
// back PCM (faded, the rest of a sample a read cuts kept for the next), the output format, and
// the whole-data decode of data in memory (on several threads: core_threads.cpp).
#include <cstdlib>
#include <cstring>
#include <new>

#include "core.h"
#include "held_core.h"
#include "window.h"

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
    const int32_t ss = mpeg_core_sample_bytes(c);
    int32_t r = MP3_OK;
    while (*filled < room && r == MP3_OK) {
        const bool fading = !mpeg_fade_unity(&h->fade) && ss > 0 && h->out_bytes % ss == 0;
        if (!fading) {
            r = mpeg_held_read_looped(h, out, room, filled);
            continue;
        }
        // Faded sample by sample: whole samples straight into out, a sample the read cuts
        // through a sample of room, its rest kept for the next read.
        const int32_t whole = (room - *filled) / ss * ss;
        if (whole > 0) {
            const int32_t from = *filled;
            r = mpeg_held_read_looped(h, out, from + whole, filled);
            mpeg_fade_apply(&h->fade, out + from, *filled - from, c->bits, c->stereo ? 2 : 1);
            if (r == MP3_OK && *filled < room) continue;
            break;
        }
        uint8_t one[8];
        int32_t got = 0;
        r = mpeg_held_read_looped(h, one, ss, &got);
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
