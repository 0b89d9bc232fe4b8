// The read under mpeg_core_read, with the core's loop: what a seek left to discard is decoded and
// thrown away first, then the output goes up to the loop's end and on from its start (a restart
// is a seek). Also the calls that set the loop and the fade (mpeg_core_read applies the fade:
// fade.h).
#include "held_core.h"

namespace {

// Decodes and throws away what a seek left to discard. MP3_OK once it is done.
int32_t throw_away(HeldCore* h) {
    uint8_t scratch[4096];
    while (h->discard > 0) {
        const int32_t n = h->discard < int64_t(sizeof scratch) ? int32_t(h->discard)
                                                               : int32_t(sizeof scratch);
        int32_t got = 0;
        const int32_t r = mpeg_held_fill(h, scratch, n, &got);
        h->discard -= got;
        if (r != MP3_OK) return r;
    }
    return MP3_OK;
}

// Goes on at the loop's start: false when the seek failed (looping then ends).
bool restart_loop(HeldCore* h) {
    h->pass_gave = 0;
    if (mpeg_core_seek(&h->core, h->loop_start) >= 0) return true;
    h->looping = 0;
    return false;
}

}  // namespace

int32_t mpeg_held_read_looped(HeldCore* h, uint8_t* out, int32_t room, int32_t* filled) {
    const int32_t ss = mpeg_core_sample_bytes(&h->core);
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
        r = mpeg_held_fill(h, out, limit, filled);
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

int32_t mpeg_core_set_loop(MpegCore* c, int64_t start, int64_t end) {
    if (!c) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    if (h->failure) return h->failure;
    if (!mpeg_held_can_seek(h)) return MP3_CANNOT_SEEK;
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
