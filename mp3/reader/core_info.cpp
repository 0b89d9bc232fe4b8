// What the core tells about its data: the tags (read once the first frame is found, from what
// the source has at hand), the ReplayGain made of them and the LAME tag, the loop points the tags
// give, and the record of the stream's facts.
#include <cstdlib>
#include <cstring>

#include "decoder_state.h"
#include "held_core.h"
#include "replaygain.h"

namespace {

// The bytes the tags of a reader or fed data are read from: what lies before the first frame,
// then the reader's last bytes (the whole data when they reach back to its start). Null when
// there are none or memory ran out; *n their count.
uint8_t* tag_source(const HeldCore* h, const uint8_t* head, size_t head_len, size_t* n) {
    *n = 0;
    const bool whole = h->tail && h->data_end >= 0 && h->reader.size &&
                       h->tail_len >= h->reader.size(h->reader_ctx);
    if (whole) head_len = 0;  // the tail holds the head too
    const size_t tail = h->tail ? size_t(h->tail_len) : 0;
    if (head_len + tail == 0) return nullptr;
    uint8_t* b = static_cast<uint8_t*>(std::malloc(head_len + tail));
    if (!b) return nullptr;
    if (head_len) std::memcpy(b, head, head_len);
    if (tail) std::memcpy(b + head_len, h->tail, tail);
    *n = head_len + tail;
    return b;
}

}  // namespace

void mpeg_held_opened(HeldCore* h, const uint8_t* frame, int32_t avail, const uint8_t* head,
                      size_t head_len) {
    mpeg_claim_read(&h->claim, frame, avail, &h->core.header);
    // A window's tags were read from the data's first window when it was shown.
    if (h->source == kWindow) return;
    mpeg_held_free_tags(h);
    if (h->source == kMemory) {
        h->tags = mpeg_tags_read(head, head_len);
    } else {
        size_t n = 0;
        h->tag_bytes = tag_source(h, head, head_len, &n);
        if (h->tag_bytes) h->tags = mpeg_tags_read(h->tag_bytes, n);
    }
    std::free(h->tail);
    h->tail = nullptr;
    h->tail_len = 0;
    // A record without a single tag says nothing.
    if (h->tags && mpeg_tags_sources(h->tags) == 0) {
        mpeg_tags_free(h->tags);
        h->tags = nullptr;
    }
}

void mpeg_held_free_tags(HeldCore* h) {
    mpeg_tags_free(h->tags);
    h->tags = nullptr;
    std::free(h->tag_bytes);
    h->tag_bytes = nullptr;
}

const MpegTags* mpeg_core_tags(const MpegCore* c) { return c ? held(c)->tags : nullptr; }

int32_t mpeg_core_tag_loop(const MpegCore* c, int64_t* start, int64_t* end) {
    int64_t s = 0, e = 0;
    const HeldCore* h = c ? held(c) : nullptr;
    const int32_t r = h && h->tags ? mpeg_tags_loop(h->tags, &s, &e) : 0;
    if (r != 1 || s < 0 || e < 0) return 0;
    if (start) *start = s;
    if (end) *end = e == 0 ? -1 : e;
    return 1;
}

int32_t mpeg_core_set_replaygain(MpegCore* c, int32_t mode, int32_t preamp_centibels) {
    if (!c) return MP3_BAD_BUFFER;
    HeldCore* h = held(c);
    // A window's tags are known before its first frame: their gain is taken until then.
    if (!h->opened && (h->failure || h->source != kWindow))
        return h->failure ? h->failure : MP3_NO_FRAME;
    if (mode < MPEG_REPLAYGAIN_OFF || mode > MPEG_REPLAYGAIN_ALBUM) return MP3_BAD_BUFFER;
    MpegReplayGain rg{};
    if (h->tags) mpeg_tags_replaygain(h->tags, &rg);
    mpeg_replaygain_merge(&rg, &c->lame);
    // A gain the decoder cannot take (a preamp far out of range) is refused, the gain kept.
    return mpeg_decoder_set_gain(mpeg_core_decoder(c),
                                 mpeg_replaygain_factor(&rg, mode, preamp_centibels))
               ? MP3_OK
               : MP3_BAD_BUFFER;
}

int32_t mpeg_core_get_info(const MpegCore* c, MpegStreamInfo* info) {
    if (!info) return MP3_BAD_BUFFER;
    std::memset(info, 0, sizeof *info);
    if (!c) return MP3_BAD_BUFFER;
    const HeldCore* h = held(c);
    if (!h->opened) return h->failure ? h->failure : MP3_NEED_MORE;
    const MpegHeader& hd = c->header;
    MpegFrameInfo fi;
    mpeg_header_info(&hd, &fi);
    info->layer = c->layer;
    info->version = hd.sync == 2 ? 25 : hd.id == 1 ? 10 : 20;
    info->sample_rate = fi.sample_rate;
    info->channels = fi.channels;
    info->frame_bytes = c->frame_bytes;
    info->bitrate = c->bitrate;
    const MpegLameInfo& lame = c->lame;
    std::memcpy(info->encoder, lame.encoder, sizeof lame.encoder);
    info->delay = c->has_lame_tag ? c->lame_tag.delay : -1;
    info->padding = c->has_lame_tag ? c->lame_tag.padding : -1;
    info->has_peak = lame.has_peak;
    info->has_track_gain = lame.has_track_gain;
    info->has_album_gain = lame.has_album_gain;
    info->peak = lame.peak;
    info->track_gain = lame.track_gain;
    info->album_gain = lame.album_gain;

    // The frames walked over once the walk is done (data in memory at once, a reader once its
    // length was asked for or its data all passed), else the Info frame's count.
    const MpegWalk& w = h->walk;
    info->frames = w.walked                  ? w.frames
                   : h->source == kMemory      ? h->frames - c->info
                   : c->info && c->info_frames >= 0 ? c->info_frames
                                               : -1;
    if (w.walked) info->average_bitrate = mpeg_walk_bitrate(&w, fi.samples, fi.sample_rate);
    info->bitrate_mode = mpeg_lame_bitrate_mode(&lame);
    // Without a LAME tag that says: constant when every audio frame has the same bitrate.
    if (info->bitrate_mode == MPEG_BITRATE_UNKNOWN && w.walked && w.frames > 0)
        info->bitrate_mode = w.same_rate ? MPEG_BITRATE_CBR : MPEG_BITRATE_VBR;

    info->length = mpeg_held_length(h);
    const MpegXing* x = c->xing;
    info->stated_frames = x && (x->flags & 1) && x->frames > 0 ? x->frames : -1;
    info->info_frame = c->info;
    return MP3_OK;
}
