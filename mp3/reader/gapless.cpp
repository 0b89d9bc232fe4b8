// The gapless run: which of the decoded samples are handed back, worked out from the first
// frame's LAME tag, and the carry of one decoded frame that a buffer takes part of.
#include "gapless.h"

#include <cstring>

#include "lame_tag.h"

void mpeg_gap_bounds(MpegGapless* g, const MpegLameTag* tag, int64_t audio, int64_t frame_samples,
                    int32_t reduction, int32_t info) {
    g->carry_len = 0;
    g->start = info ? frame_samples : 0;
    g->length = -1;
    if (!tag) return;
    // The Info frame counts the audio frames after it; without a count only the start is cut.
    int64_t skip = 0, keep = 0;
    mpeg_lame_trim(tag, audio >= 0 ? audio * frame_samples : int64_t(1) << 56, reduction, &skip, &keep);
    g->start = frame_samples + skip;
    g->length = audio >= 0 ? keep : -1;
}

int64_t mpeg_gap_end(const MpegGapless* g) {
    return g->length >= 0 ? g->start + g->length : INT64_MAX;
}

int32_t mpeg_gap_take(MpegGapless* g, uint8_t* out, int32_t room) {
    const int32_t n = g->carry_len < room ? g->carry_len : room;
    if (n <= 0) return 0;
    std::memcpy(out, g->carry + g->carry_off, size_t(n));
    g->carry_off += n;
    g->carry_len -= n;
    return n;
}

void mpeg_gap_keep(MpegGapless* g, int64_t at, int32_t bytes, int32_t sample_bytes) {
    const int64_t end = mpeg_gap_end(g);
    const int64_t got = bytes / sample_bytes;
    const int64_t lo = (g->start > at ? g->start : at) - at;
    const int64_t hi = (end < at + got ? end : at + got) - at;
    g->carry_off = static_cast<int32_t>(lo * sample_bytes);
    g->carry_len = hi > lo ? static_cast<int32_t>((hi - lo) * sample_bytes) : 0;
}

int32_t mpeg_gap_position_ms(const MpegGapless* g, int64_t decoded, int32_t sample_bytes,
                            int32_t frequency) {
    if (frequency <= 0) return 0;
    const int64_t end = mpeg_gap_end(g);
    int64_t n = (decoded < end ? decoded : end) - g->start - g->carry_len / sample_bytes;
    if (n < 0) n = 0;
    return static_cast<int32_t>(n * 1000 / frequency);
}

int32_t mpeg_gap_length_ms(const MpegGapless* g, int32_t frequency) {
    if (frequency <= 0 || g->length < 0) return 0;
    const int64_t ms = g->length * 1000 / frequency;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}
