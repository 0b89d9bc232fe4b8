// What the streamed player tells about the file it plays, and the ReplayGain it applies: the tags
// read from its first block, and the gain of the tags and the LAME tag set into the core's
// decoder, where it rides on the dequantisation (no cost per sample). The in-memory player has
// both from its core.
#include "stream_state.h"

#include "replaygain.h"

namespace {

template <typename P>
const MpegTags* tags_of(const P* p) {
    const Mp3Hold<P> hold(p);
    return p && p->tags && mpeg_tags_sources(p->tags) != 0 ? p->tags : nullptr;
}

template <typename P>
int32_t set_replaygain(P* p, int32_t mode, int32_t preamp_centibels) {
    const Mp3Hold<P> hold(p);
    if (!p || mode < MPEG_REPLAYGAIN_OFF || mode > MPEG_REPLAYGAIN_ALBUM) return -1;
    MpegReplayGain rg;
    mpeg_tags_replaygain(p->tags, &rg);
    mpeg_replaygain_merge(&rg, &p->core.lame);
    const float gain = mpeg_replaygain_factor(&rg, mode, preamp_centibels);
    return mpeg_decoder_set_gain(mpeg_core_decoder(&p->core), gain) ? 0 : -1;
}

}  // namespace

const MpegTags* mp3s_tags(const Mp3StreamPlayer* p) { return tags_of(p); }

int32_t mp3s_set_replaygain(Mp3StreamPlayer* p, int32_t mode, int32_t preamp) {
    return set_replaygain(p, mode, preamp);
}
