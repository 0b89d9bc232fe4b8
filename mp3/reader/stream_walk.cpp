// The walk's sums and the check of the first frame's claims against them.
#include "stream_walk.h"

#include <cmath>

#include "lame_tag.h"
#include "xing.h"

void mpeg_walk_add(MpegWalk* w, int64_t offset, const uint8_t* frame, int32_t size, int32_t audio) {
    if (w->end == 0) w->first = offset;
    w->end = offset + size;
    if (!audio) return;
    const int32_t code = frame[2] >> 4;
    if (w->frames == 0) {
        MpegHeader h{};
        int32_t rate = 0;
        mpeg_header_parse_rate(frame, 4, &h, &rate);
        w->rate = rate;
        w->rate_code = code;
        w->same_rate = 1;
    } else if (code != w->rate_code) {
        w->same_rate = 0;
    }
    ++w->frames;
    w->bytes += size;
}

void mpeg_claim_read(MpegClaim* c, const uint8_t* frame, int32_t avail, const MpegHeader* h) {
    c->frames = mpeg_lame_info_frames(frame, avail, h);
    c->bytes = -1;
    if (MpegXing* x = mpeg_xing_read(frame, avail, h)) {
        if (x->flags & 2) c->bytes = int64_t(uint32_t(x->bytes));
        mpeg_xing_free(x);
    }
    c->music = mpeg_lame_music_length(frame, avail, h);
}

int32_t mpeg_claim_agrees(const MpegClaim* c, const MpegWalk* w) {
    if (!w->walked || c->music < 0 || c->frames != w->frames) return 0;
    const uint32_t span = uint32_t(uint64_t(w->end - w->first));
    if (uint32_t(c->music) != span) return 0;
    return c->bytes < 0 || uint32_t(c->bytes) == span ? 1 : 0;
}

int32_t mpeg_walk_bitrate(const MpegWalk* w, int32_t samples_per_frame, int32_t sample_rate) {
    if (w->frames <= 0 || samples_per_frame <= 0 || sample_rate <= 0) return 0;
    if (w->same_rate && w->rate > 0) return w->rate;
    const double seconds = double(w->frames) * samples_per_frame / double(sample_rate);
    return int32_t(std::llround(double(w->bytes) * 8.0 / seconds));
}
