// Layer III, second half of a granule (ISO/IEC 11172-3 2.4.3.4, 13818-3 2.4.3.2): MS and
// intensity stereo, alias reduction, the hybrid filter bank (36- and 12-point IMDCT, block-type
// windows, overlap-add, frequency inversion) and the four output variants that hand 18 x 32
// subband samples per channel to the polyphase synthesis. Input: dequantised spectra in
// samples.xr with their line extents; output: PCM through synth_l3. Every stage runs only up to
// the extents, so silent high bands cost nothing.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "layer3_dsp.h"
#include "layer3_hybrid.h"

namespace {

// Output slots are rows of 32 subbands.
constexpr int kSb = 32;

// The hybrid filter bank of one channel, steps shared by the plain form (output = previous
// overlap + windowed IMDCT, new overlap over `cur`) and the adding form (output and overlap
// `store` accumulate). The lowest `normal_sbs` subbands take the normal window whatever the
// block type (a start or stop block with mixed_block_flag set). Returns the number of subbands
// transformed.
template <bool kAdd>
int32_t hybrid_transform(MpegDecoder* d, float* cur, const float* prev, float* store, float* out,
                         int32_t bt, int32_t long_lines, int32_t total_lines, int32_t normal_sbs) {
    const L3ImdctCos& c = l3_imdct_cosines();
    const int32_t nlong = std::clamp<int32_t>((long_lines + 17) / 18, 0, kSb);
    const int32_t ns = std::clamp<int32_t>((total_lines + 17) / 18, 0, kSb);
    const float* w0 = d->l3.l3_windows[0];
    const float* wbt = d->l3.l3_windows[bt == 2 ? 0 : (bt & 3)];
    const float* ws = d->l3.l3_windows[2];
    const int32_t n0 = std::min(normal_sbs, nlong);
    if constexpr (!kAdd) {
        const MpegKernels& k = *d->kernels;
        k.hybrid_long(c, cur, prev, out, w0, 0, n0);
        k.hybrid_long(c, cur, prev, out, wbt, n0, nlong);
        k.hybrid_short(c, cur, prev, out, ws, nlong, ns);
        return std::max(nlong, ns);
    }
    for (int32_t sb = 0; sb < nlong; ++sb) {
        float* v = cur + 18 * sb;
        float ov[18];
        imdct36(c, v);
        long_window(v, sb < n0 ? w0 : wbt, [&](int j, float a) { out[j * kSb + sb] += a; }, ov);
        for (int j = 0; j < 18; ++j) store[18 * sb + j] += ov[j];
    }
    for (int32_t sb = nlong; sb < ns; ++sb) {
        float* v = cur + 18 * sb;
        float ov[12];
        imdct12(c, v);
        short_window(v, ws, [&](int j, float o) { out[j * kSb + sb] += o; }, ov);
        for (int j = 0; j < 12; ++j) store[18 * sb + j] += ov[j];
    }
    return std::max(nlong, ns);
}

// The plain hybrid filter bank: transforms, then the previous overlap alone for subbands that
// only it reaches, then zeros up to limit_subbands. Returns the new overlap extent in lines.
int32_t hybrid_overlap(MpegDecoder* d, float* cur, const float* prev, float* out, int32_t bt,
                       int32_t long_lines, int32_t total_lines, int32_t prev_lines,
                       int32_t normal_sbs) {
    const int32_t g = hybrid_transform<false>(d, cur, prev, nullptr, out, bt, long_lines,
                                              total_lines, normal_sbs);
    const int32_t ge = std::max(g, std::clamp<int32_t>((prev_lines + 17) / 18, 0, kSb));
    if (g < ge) d->kernels->copy_overlap(out, prev, g, ge);
    const int32_t fill = std::min<int32_t>(d->l3.limit_subbands, kSb);
    if (ge < fill) d->kernels->clear_subbands(out, ge, fill);
    return 18 * ge;
}

// Channel q's block type and the lines its long and whole transforms cover, within the
// frequency limit: lines up to huff_limit, and for long blocks the eight lines above it that
// alias reduction fills from the subband below (the other half of that subband's alias
// cancellation). A short block's lines above huff_limit are above the limit.
struct ChannelSpan {
    int32_t bt;
    int32_t long_lines;
    int32_t extent;
    int32_t normal_sbs; // 2 for a start or stop block flagged mixed, else 0
};

int32_t limited_lines(const L3State& s, int32_t bt) {
    if (bt == 2 || s.huff_limit >= 576) return s.huff_limit;
    return std::min(s.huff_limit + 8, 576);
}

ChannelSpan channel_span(const MpegDecoder* d, int32_t g, int32_t q) {
    const L3State& s = d->l3;
    const GranuleInfo& gi = s.gr[g][q];
    ChannelSpan r;
    r.bt = gi.block_type;
    const int32_t lim = limited_lines(s, r.bt);
    r.extent = std::min(s.line_extent[g][q], lim);
    r.normal_sbs = (r.bt == 1 || r.bt == 3) && gi.mixed_block_flag ? 2 : 0;
    if (r.bt != 2) r.long_lines = r.extent;
    else if (gi.mixed_block_flag) r.long_lines = std::min(s.long_end[s.mixed_long_bands - 1], lim);
    else r.long_lines = 0;
    return r;
}

// Hybrid filter bank of channel q into hy (one of the hybrid_out channels), within the limit;
// returns the extent.
int32_t hybrid_channel(MpegDecoder* d, int32_t g, int32_t q, float* hy) {
    L3State& s = d->l3;
    ChannelSpan sp = channel_span(d, g, q);
    int32_t r = hybrid_overlap(d, d->samples.xr[q][g], d->samples.xr[q][g ^ 1], hy, sp.bt,
                               sp.long_lines, sp.extent, s.line_extent[g ^ 1][q], sp.normal_sbs);
    s.line_extent[g][q] = r;
    l3_freq_invert(d, hy, r);
    return r;
}

// The overlap that granule slot `slot` holds for channel q, silenced.
void clear_overlap(MpegDecoder* d, int32_t slot, int32_t q) {
    std::memset(d->samples.xr[q][slot], 0, sizeof d->samples.xr[q][slot]);
    d->l3.line_extent[slot][q] = 0;
}

void clear_history(MpegDecoder* d, int32_t c) {
    std::memset(d->syn.synth_buf[c], 0, sizeof d->syn.synth_buf[c]);
    std::memset(d->syn.synth_rev[c], 0, sizeof d->syn.synth_rev[c]);
}

// The overlap of channel 0 in slot `slot` and synthesis history 0 times f (the mix's state).
void scale_mix_state(MpegDecoder* d, int32_t slot, float f) {
    float* x = d->samples.xr[0][slot];
    const int32_t n = std::clamp(d->l3.line_extent[slot][0], 0, 576);
    for (int32_t i = 0; i < n; ++i) x[i] *= f;
    for (float& v : d->syn.synth_buf[0]) v *= f;
    for (float& v : d->syn.synth_rev[0]) v *= f;  // copies of history values, scaled alike
}

// Channel 0's own state from the mix's (half of each channel) and channel 1's (its half):
// twice their difference, overlap and synthesis history alike. The histories step together
// (l3_output_mix), so block for block they hold the same instants.
void unmix_state(MpegDecoder* d, int32_t slot) {
    float* x0 = d->samples.xr[0][slot];
    const float* x1 = d->samples.xr[1][slot];
    int32_t* ext = d->l3.line_extent[slot];
    const int32_t n = std::clamp(std::max(ext[0], ext[1]), 0, 576);
    for (int32_t i = 0; i < n; ++i) x0[i] = 2.0f * (x0[i] - x1[i]);
    ext[0] = n;
    float* h0 = d->syn.synth_buf[0];
    const float* h1 = d->syn.synth_buf[1];
    for (int32_t i = 0; i < 1024; ++i) h0[i] = 2.0f * (h0[i] - h1[i]);
    // The reversed runs hold copies of the same values at the same places in both channels.
    float* r0 = d->syn.synth_rev[0];
    const float* r1 = d->syn.synth_rev[1];
    for (int32_t i = 0; i < 512; ++i) r0[i] = 2.0f * (r0[i] - r1[i]);
}

}  // namespace

void l3_imdct36(float* v) { imdct36(l3_imdct_cosines(), v); }
void l3_imdct12(float* v) { imdct12(l3_imdct_cosines(), v); }

void l3_ms_stereo(const MpegDecoder* d, float* left, int32_t lines) {
    d->kernels->ms_stereo(left, lines);
}

// The long-block part of intensity stereo: from the band after channel 1's last nonzero one up
// to band 20, the left spectrum is split by the ratio pair ratio_of(band) (left, right), for at
// most the lines the left channel holds.
template <class RatioOf>
void intensity_long(const L3State& s, float* left, int32_t last, int32_t left_extent,
                    RatioOf ratio_of) {
    float* right = left + 1152;
    int32_t pos = s.long_end[last];
    int32_t budget = left_extent - pos;
    for (int32_t i = last + 1; i <= 20; ++i) {
        const float* p = ratio_of(i);
        for (int32_t k = 0; k < s.long_width[i]; ++k, ++pos) {
            if (--budget < 0) return;
            float a = left[pos];
            right[pos] = p[1] * a;
            left[pos] = p[0] * a;
        }
    }
}

// MPEG-1 intensity stereo: above channel 1's last nonzero band the left channel carries the
// sum and channel 1's scalefactors its direction. Positions 7 and above are not intensity
// coded (the 4-bit scalefactors can hold up to 15; the standard only defines 0..6).
void l3_intensity_stereo(MpegDecoder* d, float* left, const int32_t* scalefac1,
                         const DequantSummary* summary, int32_t left_extent, int32_t ms) {
    const L3State& s = d->l3;
    const DequantSummary& s1 = summary[1];
    float* right = left + 1152;
    const int32_t last = std::clamp(s1.last_band, 0, s1.is_short ? 12 : 21);
    const float(*ratio)[2] = s.is_ratio + 8 * (ms ? 1 : 0);
    if (!s1.is_short) {
        intensity_long(s, left, last, left_extent,
                       [&](int32_t i) { return ratio[std::min(scalefac1[i], 7)]; });
    } else {
        int32_t pos = s.long_end[22 + last];
        int32_t budget = left_extent - pos;
        for (int32_t i = last + 1; i <= 11; ++i) {
            const float* p[3];
            for (int w = 0; w < 3; ++w) p[w] = ratio[std::min(scalefac1[23 + 13 * w + i], 7)];
            for (int32_t k = 0; k < s.short_width[i]; ++k, pos += 3) {
                budget -= 3;
                if (budget < 0) return;
                for (int w = 0; w < 3; ++w) {
                    float a = left[pos + w];
                    right[pos + w] = p[w][1] * a;
                    left[pos + w] = p[w][0] * a;
                }
            }
        }
    }
}

// MPEG-2/2.5 intensity stereo: positions index a ratio table whose groups follow the slen of
// the scalefactor group a band belongs to; short blocks go window by window.
void l3_intensity_stereo_lsf(MpegDecoder* d, float* left, const int32_t* scalefac1,
                             const DequantSummary* summary, const LsfIsInfo* info,
                             int32_t left_extent, int32_t ms) {
    const L3State& s = d->l3;
    float* right = left + 1152;
    const float(*table)[2] = s.is_ratio_lsf[info->intensity_scale & 1][ms ? 1 : 0];
    int32_t offset[22] = {};
    for (int k = 0, band = 0; k < 3; ++k) {
        int32_t slen = std::clamp(info->slen[k], 0, 5);
        for (int32_t n = 0; n < info->cnt[k] && band < 22; ++n) offset[band++] = (1 << slen) - 1;
    }
    auto pair = [&](int32_t sf, int32_t band) {
        return table[std::clamp(sf + offset[band], 0, 62)];
    };
    const DequantSummary& s1 = summary[1];
    if (!s1.is_short) {
        intensity_long(s, left, std::clamp(s1.last_band, 0, 21), left_extent,
                       [&](int32_t i) { return pair(scalefac1[i], i); });
    } else {
        const DequantSummary& s0 = summary[0];
        for (int w = 0; w < 3; ++w) {
            const int32_t e = std::min(s0.last_band_w[w], 12);
            for (int32_t i = std::max(s1.last_band_w[w] + 1, 1); i <= e; ++i) {
                const float* p = pair(scalefac1[23 + 13 * w + i], i);
                int32_t pos = s.long_end[22 + i - 1] + w;
                for (int32_t k = 0; k < s.short_width[i]; ++k, pos += 3) {
                    float a = left[pos];
                    right[pos] = p[1] * a;
                    left[pos] = p[0] * a;
                }
            }
        }
    }
}

void l3_antialias(const MpegDecoder* d, float* x, int32_t boundaries) {
    d->kernels->antialias(d->l3.alias_cs_ca, x, std::clamp<int32_t>(boundaries, 0, 31));
}

int32_t l3_hybrid(MpegDecoder* d, float* cur, const float* prev, float* out, int32_t block_type,
                  int32_t long_lines, int32_t total_lines, int32_t prev_lines) {
    return hybrid_overlap(d, cur, prev, out, block_type, long_lines, total_lines, prev_lines, 0);
}

int32_t l3_hybrid_add(MpegDecoder* d, float* cur, float* store, float* out, int32_t block_type,
                      int32_t long_lines, int32_t total_lines) {
    return 18 * hybrid_transform<true>(d, cur, nullptr, store, out, block_type, long_lines,
                                       total_lines, 0);
}

void l3_spectrum_add(float* dst, const float* src, int32_t count) {
    for (int32_t i = 0; i < count; ++i) dst[i] += src[i];
}

void l3_freq_invert(const MpegDecoder* d, float* out, int32_t lines) {
    const int32_t n = std::min<int32_t>((lines + 17) / 18, kSb);
    d->kernels->freq_invert(out, 2 * ((n + 1) / 2) - 1);
}

void l3_output_left(MpegDecoder* d, uint8_t* out, int32_t g) {
    float* hy = &d->l3.hybrid_out[0][0][0];
    hybrid_channel(d, g, 0, hy);
    d->l3.synth_l3(d, hy, out, 0);
}

void l3_output_right(MpegDecoder* d, uint8_t* out, int32_t g) {
    // A single-channel frame has no channel 1 of its own: it is the channel heard.
    float* hy = &d->l3.hybrid_out[0][0][0];
    hybrid_channel(d, g, d->l3.nch > 1 ? 1 : 0, hy);
    d->l3.synth_l3(d, hy, out, 0);
}

void l3_output_stereo(MpegDecoder* d, uint8_t* out, int32_t g) {
    const int32_t nch = d->l3.nch;
    float* hy = &d->l3.hybrid_out[0][0][0];
    if (nch == 2) {
        // Both channels' rows, then one synthesis call for both (its batches of transforms run
        // on across the channels).
        hybrid_channel(d, g, 0, hy);
        hybrid_channel(d, g, 1, &d->l3.hybrid_out[1][0][0]);
        d->l3.synth_l3(d, hy, out, 2);
    } else {
        hybrid_channel(d, g, 0, hy);
        d->l3.synth_l3(d, hy, out, 0);
        // One channel in a two-channel output: both sides play it, sample for sample. Channel
        // 1's own overlap and history are left alone (they are silenced when it returns).
        const int32_t b = d->l3.sample_bytes;
        for (int32_t i = 0; i < d->l3.granule_frames; ++i)
            std::memcpy(out + (2 * i + 1) * b, out + 2 * i * b, size_t(b));
    }
}

// A granule whose channel count differs from the one before. Each channel keeps its own
// overlap and synthesis history, and a channel that was absent starts from silence: the output
// is each channel decoded on its own, then mixed or duplicated as the output form asks.
void l3_channel_switch(MpegDecoder* d, int32_t g) {
    L3State& s = d->l3;
    const int32_t prev = g ^ 1;
    switch (s.chan_code) {
        case 1:
            // Stereo: channel 0 runs on; channel 1 returns from silence.
            if (s.nch == 2) {
                clear_overlap(d, prev, 1);
                clear_history(d, 1);
            }
            break;
        case 4:
            // Right only: the channel heard changes (channel 1 of a two-channel frame, the one
            // channel otherwise), and the new one starts from silence.
            clear_overlap(d, prev, s.nch == 2 ? 1 : 0);
            clear_history(d, 0);
            break;
        case 0:
        case 2:
            // Mixed into one channel. A single-channel frame plays channel 0 at full level; the
            // mix of two holds half of each (channel 1's half also on its own, see
            // l3_output_mix). From one channel to two: the state is halved and channel 1
            // starts from silence, its history aligned with the mix's. From two to one:
            // channel 0's own state is twice the mix's less channel 1's.
            if (s.nch == 2) {
                scale_mix_state(d, prev, 0.5f);
                clear_overlap(d, prev, 1);
                clear_history(d, 1);
                d->syn.synth_pos[1] = d->syn.synth_pos[0];
            } else {
                unmix_state(d, prev);
            }
            break;
        default:
            // Left only: channel 0 is in every frame.
            break;
    }
}

// The mono mix of a two-channel stream. Both channels come in at half gain (gain_offset), so
// their sum is the mean. With equal block types the spectra are summed before one transform;
// otherwise channel 1 is transformed on its own and added, and its overlap joins channel 0's
// store, which carries the mix to the next granule. Beside the mix, channel 1 runs through its
// own filter bank and synthesis history (its overlap in xr[1], its history synth_buf[1]): when
// a single-channel frame follows, channel 0's own state is the mix's less channel 1's.
void l3_output_mix(MpegDecoder* d, uint8_t* out, int32_t g) {
    L3State& s = d->l3;
    float* hy = &s.hybrid_out[0][0][0];
    float* x0 = d->samples.xr[0][g];
    const ChannelSpan c0 = channel_span(d, g, 0);
    int32_t r;
    alignas(16) float own[576];
    int32_t own_extent = 0;
    if (s.nch == 2) {
        // Channel 1 alone, from a copy of its spectrum (the mix below consumes it).
        // Zeroed: the filter bank writes the subbands the spectrum reaches, the synthesis reads
        // them all.
        alignas(16) float hy1[18][32] = {};
        alignas(16) uint8_t thrown[18 * 32 * 2 * 4];
        std::memcpy(own, d->samples.xr[1][g], sizeof own);
        const ChannelSpan c1 = channel_span(d, g, 1);
        own_extent = hybrid_overlap(d, own, d->samples.xr[1][g ^ 1], &hy1[0][0], c1.bt,
                                    c1.long_lines, c1.extent, s.line_extent[g ^ 1][1],
                                    c1.normal_sbs);
        l3_freq_invert(d, &hy1[0][0], own_extent);
        s.synth_l3_track(d, &hy1[0][0], thrown, 1);
    }
    if (s.nch < 2) {
        // A single-channel frame: its one channel is the mean of two equal ones.
        int32_t n = c0.extent;
        l3_spectrum_add(x0, x0, n);
        r = hybrid_overlap(d, x0, d->samples.xr[0][g ^ 1], hy, c0.bt,
                           c0.bt == 2 ? c0.long_lines : n, n, s.line_extent[g ^ 1][0],
                           c0.normal_sbs);
        s.line_extent[g][0] = r;
        s.line_extent[g][1] = 0;
    } else {
        const ChannelSpan c1 = channel_span(d, g, 1);
        if (c0.bt != c1.bt || s.gr[g][0].mixed_block_flag || s.gr[g][1].mixed_block_flag) {
            // Within the frequency limit like the other variants (channel_span).
            r = hybrid_overlap(d, x0, d->samples.xr[0][g ^ 1], hy, c0.bt, c0.long_lines,
                               c0.extent, s.line_extent[g ^ 1][0], c0.normal_sbs);
            int32_t r1 = 18 * hybrid_transform<true>(d, d->samples.xr[1][g], nullptr, x0, hy,
                                                     c1.bt, c1.long_lines, c1.extent,
                                                     c1.normal_sbs);
            // Channel 1 may reach further than channel 0: the store and the inversion must
            // cover its subbands too.
            r = std::max(r, r1);
            s.line_extent[g][0] = r;
            s.line_extent[g][1] = r1;
        } else {
            int32_t n = std::max(c0.extent, c1.extent);
            l3_spectrum_add(x0, d->samples.xr[1][g], n);
            r = l3_hybrid(d, x0, d->samples.xr[0][g ^ 1], hy, c0.bt,
                          c0.bt == 2 ? c0.long_lines : n, n, s.line_extent[g ^ 1][0]);
            s.line_extent[g][0] = r;
        }
    }
    if (s.nch == 2) {
        std::memcpy(d->samples.xr[1][g], own, sizeof own);
        s.line_extent[g][1] = own_extent;
    }
    l3_freq_invert(d, hy, r);
    s.synth_l3(d, hy, out, 0);
}

void l3_output_mono(MpegDecoder* d, uint8_t* out, int32_t g) {
    if (d->l3.nch > 1)
        l3_output_mix(d, out, g);
    else
        l3_output_left(d, out, g);
}

void l3_granule_finish(MpegDecoder* d, uint8_t* out, int32_t g) {
    L3State& s = d->l3;
    float* x0 = d->samples.xr[0][g];
    const int32_t nch = s.nch;
    if (s.huff_limit < 576) {
        // Under a frequency limit a short block is decoded to the end of the short band the
        // limit falls in. Its lines above the limit go before stereo processing could move
        // them into the other channel or the filter bank could read them as overlap.
        for (int32_t ch = 0; ch < nch && ch < 2; ++ch) {
            int32_t& ext = s.line_extent[g][ch];
            if (s.gr[g][ch].block_type != 2 || ext <= s.huff_limit) continue;
            float* x = d->samples.xr[ch][g];
            std::fill(x + s.huff_limit, x + std::min(ext, 576), 0.0f);
            ext = s.huff_limit;
        }
    }
    if (nch > 1) {
        const DequantSummary* sum = s.summary[g];
        if (s.ms_stereo) {
            int32_t n;
            if (s.i_stereo) {
                int32_t k = std::clamp(sum[1].last_band, 0, sum[1].is_short ? 12 : 21);
                n = s.long_end[k + 22 * (sum[1].is_short ? 1 : 0)];
            } else {
                n = std::max(s.line_extent[g][0], s.line_extent[g][1]);
            }
            l3_ms_stereo(d, x0, std::clamp(n, 0, 576));
        }
        if (s.i_stereo) {
            const int32_t ext = std::clamp(s.line_extent[g][0], 0, 576);
            if (s.id == 1)
                l3_intensity_stereo(d, x0, s.scalefac[g][1], sum, ext, s.ms_stereo);
            else
                l3_intensity_stereo_lsf(d, x0, s.scalefac[g][1], sum, &s.lsf_is, ext, s.ms_stereo);
        }
        if (s.mode_extension != 0) {
            int32_t m = std::max(s.line_extent[g][0], s.line_extent[g][1]);
            s.line_extent[g][0] = s.line_extent[g][1] = m;
        }
    }
    for (int32_t ch = 0; ch < nch && ch < 2; ++ch) {
        if (s.summary[g][ch].long_bands == 0) continue;
        int32_t& ext = s.line_extent[g][ch];
        ext = std::clamp(ext, 0, 576);
        // Only a short block is "mixed": start and stop blocks with the flag set are reduced
        // over every boundary, as long blocks.
        const GranuleInfo& gi = s.gr[g][ch];
        int32_t h = (gi.block_type == 2 && gi.mixed_block_flag) ? 1 : std::min((ext + 7) / 18, 31);
        l3_antialias(d, d->samples.xr[ch][g], h);
        ext = std::max(ext, 18 * h + 8);
    }
    if (nch != s.last_nch) {
        l3_channel_switch(d, g);
        s.last_nch = nch;
    }
    s.l3_output(d, out, g);
}
