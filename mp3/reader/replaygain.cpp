// ReplayGain: the tags' values merged with the LAME tag's, and the factor a mode makes of them.
#include "replaygain.h"

#include <cmath>
#include <cstring>

namespace {

// One mode's gain and peak: its own where given, else the other mode's.
struct Pick {
    bool has_gain, has_peak;
    double gain, peak;
};

Pick pick(const MpegReplayGain& rg, bool album) {
    Pick p{};
    const bool own_gain = album ? rg.has_album_gain : rg.has_track_gain;
    const bool other_gain = album ? rg.has_track_gain : rg.has_album_gain;
    p.has_gain = own_gain || other_gain;
    p.gain = own_gain ? (album ? rg.album_gain : rg.track_gain)
                      : (album ? rg.track_gain : rg.album_gain);
    const bool own_peak = album ? rg.has_album_peak : rg.has_track_peak;
    const bool other_peak = album ? rg.has_track_peak : rg.has_album_peak;
    p.has_peak = own_peak || other_peak;
    p.peak = own_peak ? (album ? rg.album_peak : rg.track_peak)
                      : (album ? rg.track_peak : rg.album_peak);
    return p;
}

}  // namespace

void mpeg_replaygain_merge(MpegReplayGain* rg, const MpegLameInfo* lame) {
    if (!rg || !lame) return;
    if (!rg->has_track_gain && lame->has_track_gain) {
        rg->has_track_gain = 1;
        rg->track_gain = lame->track_gain;
    }
    if (!rg->has_album_gain && lame->has_album_gain) {
        rg->has_album_gain = 1;
        rg->album_gain = lame->album_gain;
    }
    // The tag holds one peak, that of the track it was encoded from.
    if (lame->has_peak) {
        const bool album_only = lame->has_album_gain && !lame->has_track_gain;
        int32_t* has = album_only ? &rg->has_album_peak : &rg->has_track_peak;
        double* peak = album_only ? &rg->album_peak : &rg->track_peak;
        if (!*has) {
            *has = 1;
            *peak = lame->peak;
        }
    }
}

int32_t mpeg_replaygain_read(const uint8_t* data, size_t len, const uint8_t* frame,
                             int32_t avail, const MpegHeader* h, MpegReplayGain* rg) {
    if (!rg) return 0;
    std::memset(rg, 0, sizeof *rg);
    MpegTags* tags = mpeg_tags_read(data, len);
    if (!tags) return 0;
    mpeg_tags_replaygain(tags, rg);
    mpeg_tags_free(tags);
    MpegLameInfo lame;
    if (frame && h && mpeg_lame_info_read(frame, avail, h, &lame)) mpeg_replaygain_merge(rg, &lame);
    return rg->has_track_gain | rg->has_track_peak | rg->has_album_gain | rg->has_album_peak;
}

namespace {

// 10^y as 2^n e^r (n whole, |r| <= ln 2 / 2, e^r by its Taylor series), with the basic operations
// and the exact floor and ldexp alone: every platform's build computes the same factor, which a
// libm's pow would not promise to the last bit. Within a few units of the last place of double,
// far finer than the float the factor becomes.
double pow10_of(double y) {
    if (y > 30.0) y = 30.0;
    if (y < -30.0) y = -30.0;
    const double x = y * 2.302585092994045684;                   // y ln 10
    const double n = std::floor(x * 1.4426950408889634074 + 0.5);  // x / ln 2, nearest
    // ln 2 in two parts, the first with few bits so that n times it is exact.
    const double r = (x - n * 0.693145751953125) - n * 1.42860682030941723212e-6;
    double sum = 1.0, term = 1.0;
    for (int k = 1; k <= 20; ++k) {
        term *= r / k;
        sum += term;
    }
    return std::ldexp(sum, int(n));
}

}  // namespace

float mpeg_replaygain_factor(const MpegReplayGain* rg, int32_t mode, int32_t preamp_centibels) {
    if (!rg || (mode != MPEG_REPLAYGAIN_TRACK && mode != MPEG_REPLAYGAIN_ALBUM)) return 1.0f;
    const Pick p = pick(*rg, mode == MPEG_REPLAYGAIN_ALBUM);
    if (!p.has_gain || !std::isfinite(p.gain)) return 1.0f;
    double f = pow10_of((p.gain + preamp_centibels / 10.0) / 20.0);
    // Full scale is 1.0 at 32768, but the largest positive 16-bit sample is 32767.
    const double most = 32767.0 / 32768.0;
    if (p.has_peak && p.peak > 0.0 && f * p.peak > most) f = most / p.peak;
    if (!(f <= 64.0)) f = 64.0;
    return float(f);
}
