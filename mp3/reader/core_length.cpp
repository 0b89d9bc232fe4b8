// The core's length: the walk over the frame headers of data in memory, and the rule that takes
// the LAME tag's length only where the tag agrees with the walk (its frame count and music
// length). Past the tag's count the decode ends where the tag says, so the walk's length is
// counted as the decode hands it back (mpeg_core_output_samples) and a tag that claims more
// frames than the data holds gives way to the frames there are. The length the first frame states
// (mpeg_core_stated_length) is the one a caller has before any walk.
#include "held_core.h"

void mpeg_held_walk_memory(HeldCore* h) {
    const MpegCore* c = &h->core;
    h->walk = MpegWalk{};
    const MpegFrameIndex& x = c->index;
    if (!x.offsets) return;
    for (int32_t i = 0; i < x.frames; ++i) {
        const uint8_t* frame = h->start + x.offsets[i];
        int32_t size = x.offsets[i + 1] - x.offsets[i];
        // The distance to the next frame holds whatever the frame search stepped over too.
        MpegHeader hd{};
        const int32_t bare = mpeg_header_parse(frame, size < 4 ? size : 4, &hd);
        const int32_t whole = bare > 0 ? mpeg_header_frame_bytes(&hd, bare) : size;
        if (whole < size) size = whole;
        mpeg_walk_add(&h->walk, x.offsets[i], frame, size, i > 0 || !c->info);
    }
    h->walk.walked = 1;
}

int64_t mpeg_held_length(const HeldCore* h) {
    const MpegCore* c = &h->core;
    if (h->walk.walked) {
        if (mpeg_claim_agrees(&h->claim, &h->walk))
            return c->gap.on && c->gap.length >= 0
                       ? c->gap.length
                       : mpeg_core_output_samples(c, h->claim.frames + 1);
        return mpeg_core_output_samples(c, h->walk.frames + (c->info ? 1 : 0));
    }
    if (h->source == kMemory) return mpeg_core_output_samples(c, h->frames);
    return mpeg_core_stated_length(c);
}

int64_t mpeg_core_stated_length(const MpegCore* c) {
    if (!c || !held(c)->opened) return -1;
    if (c->gap.on && c->gap.length >= 0) return c->gap.length;
    // The Info frame counts the audio frames after it.
    if (c->info && c->info_frames >= 0)
        return mpeg_core_output_samples(c, int64_t(c->info_frames) + 1);
    return -1;
}
