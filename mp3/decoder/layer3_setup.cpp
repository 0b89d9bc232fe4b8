// Layer III set-up and tables: derives a stream's constants from its first header (band tables,
// decode limits, output format, gain offset of the mono mix), builds the formula tables
// (dequantisation, alias coefficients, intensity ratios, IMDCT windows) and chooses the frame
// decoder, the output variant and the synthesis variant. Formula tables are computed in double
// and stored as float (ISO/IEC 11172-3 2.4.3.4, Tables B.9 and the block-type windows).
#include <cmath>
#include <cstring>

#include "layer3_hybrid.h"
#include "tables/libm_values.h"

namespace {

// Alias-reduction coefficients c[i] of ISO/IEC 11172-3 Table B.9.
constexpr double kAliasCoef[8] = {-0.6, -0.535, -0.33, -0.185, -0.095, -0.041, -0.0142, -0.0037};

// Output variants by chan_code: 0 mono source, 1 stereo, 2 mix, 3 left, 4 right.
// A single-channel stream mixes a stray two-channel frame to its one output channel.
constexpr L3OutputFn kOutputs[5] = {l3_output_mono, l3_output_stereo, l3_output_mix,
                                    l3_output_left, l3_output_right};

}  // namespace

void l3_init_defaults(MpegDecoder* d) {
    d->l3.l3_output = l3_output_stereo;
    d->l3.synth_l3 = d->kernels->synth_l3[1];
    d->l3.synth_l3_track = d->kernels->synth_l3[1];
}

// Windows of the four block types (normal, start, short, stop) with the transforms' output
// signs folded in: types 0, 1, 3 negate entries 9..35, type 2 entries 3..11, so the IMDCT hands
// its results over unnegated. On top of that every entry is negated: the polyphase synthesis
// inverts polarity (its window is -D, as Layers I and II also compensate), and folding the -1
// here costs nothing.
void l3_build_windows(MpegDecoder* d) {
    float(*w)[36] = d->l3.l3_windows;
    for (int i = 0; i < 36; ++i) {
        // sin(pi / 36 (i + 0.5)) and sin(pi / 12 (i + 0.5)) from libm_values.h.
        double lng = libm::kSin36[i];
        w[0][i] = float(lng);
        w[1][i] = float(i < 18 ? lng : i < 24 ? 1.0 : i < 30 ? libm::kSin12[i - 18] : 0.0);
        w[2][i] = float(i < 12 ? libm::kSin12[i] : 0.0);
        w[3][i] = float(i < 6 ? 0.0 : i < 12 ? libm::kSin12[i - 6] : i < 18 ? 1.0 : lng);
    }
    for (int t : {0, 1, 3})
        for (int i = 9; i < 36; ++i) w[t][i] = -w[t][i];
    for (int i = 3; i < 12; ++i) w[2][i] = -w[2][i];
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 36; ++i) w[t][i] = -w[t][i];
}

void l3_build_imdct_cosines(MpegDecoder*) { (void)l3_imdct_cosines(); }

// MPEG-1 ratios {left, right} for positions 0..6: tan(p pi / 12) split as sin/(sin + cos) and
// cos/(sin + cos); entries 8..15 carry the sqrt(2) that MS removed through global_gain.
// Position 7 is "not intensity coded": left stays, right is cleared (or, with MS, both get the
// mid signal).
void l3_build_is_ratios(MpegDecoder* d) {
    float(*r)[2] = d->l3.is_ratio;
    for (int i = 0; i < 7; ++i) {
        const double sn = libm::kIsSin[i], cs = libm::kIsCos[i];  // of t = i pi / 12
        r[i][0] = float(sn / (sn + cs));
        r[i][1] = float(cs / (sn + cs));
        r[8 + i][0] = float(std::sqrt(2.0) * (sn / (sn + cs)));
        r[8 + i][1] = float(std::sqrt(2.0) * (cs / (sn + cs)));
    }
    r[7][0] = 1.0f;
    r[7][1] = 0.0f;
    r[15][0] = 1.0f;
    r[15][1] = 1.0f;
}

// MPEG-2/2.5 ratios by [intensity_scale][MS][entry]: group r (slen r) holds 2^r entries from
// 2^r - 1 on; odd positions attenuate the left, even ones the right by base^((p + 1) / 2) with
// base = 2^(-(scale + 1) / 4); the group's largest position is "not intensity coded".
void l3_build_is_ratios_lsf(MpegDecoder* d) {
    for (int b = 0; b < 2; ++b) {
        for (int ms = 0; ms < 2; ++ms) {
            const double v = ms ? std::sqrt(2.0) : 1.0;
            float(*t)[2] = d->l3.is_ratio_lsf[b][ms];
            for (int r = 0; r < 6; ++r) {
                const int n = 1 << r, first = n - 1;
                for (int l = 0; l < n; ++l) {
                    double a = v, c = v;
                    if (l == n - 1) {
                        a = 1.0;
                        c = ms ? 1.0 : 0.0;
                    } else if (l & 1) {
                        a = v * libm::kIsLsfPow[17 * b + (l + 1) / 2];
                    } else if (l > 0) {
                        c = v * libm::kIsLsfPow[17 * b + l / 2];
                    }
                    t[first + l][0] = float(a);
                    t[first + l][1] = float(c);
                }
            }
        }
    }
}

void l3_build_tables(MpegDecoder* d) {
    l3_build_dequant_tables(d);
    for (int j = 0; j < 8; ++j) {
        double c = kAliasCoef[j], n = std::sqrt(1.0 + c * c);
        d->l3.alias_cs_ca[j][0] = float(1.0 / n);
        d->l3.alias_cs_ca[j][1] = float(c / n);
    }
    l3_build_is_ratios(d);
    l3_build_is_ratios_lsf(d);
    l3_build_imdct_cosines(d);
    l3_build_windows(d);
}

int32_t l3_setup(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p) {
    L3State& s = d->l3;
    s.reservoir_fill = 0;
    s.main_start = 0;
    // A reserved sampling index has no band table: such a stream cannot be decoded.
    if (h->layer != 1 || h->sampling_frequency < 0 || h->sampling_frequency > 2) return 0;

    const int32_t id = h->id ? 1 : 0;
    const int32_t mpeg25 = h->sync == 2 ? 1 : 0;
    s.mixed_long_bands = id ? 8 : 6;
    s.frame_bytes = p->frame_bytes;
    MpegFrameInfo info;
    mpeg_header_info(h, &info);
    const int32_t rate = info.sample_rate;
    const int32_t row = h->sampling_frequency + 3 * (id ? 1 : mpeg25 ? 2 : 0);
    const int32_t* b = sfb_table[row];
    const int32_t* sh = sfb_table[row] + 23;
    for (int i = 0; i < 22; ++i) {
        s.long_width[i] = b[i + 1] - b[i];
        s.long_end[i] = b[i + 1];
    }
    for (int i = 0; i < 13; ++i) {
        s.short_width[i] = sh[i + 1] - sh[i];
        s.long_end[22 + i] = 3 * sh[i + 1];
    }

    // Decode limits: subbands up to freq_limit (rounded), at most the subbands the synthesis
    // hears (32 at full rate; 15 at half rate, whose 16-band synthesis leaves subband 15 out;
    // 8 at quarter rate). Every line up to 576 may carry signal, the last band of the lower
    // sampling frequencies included: the 24 kHz accuracy stream codes it.
    int32_t sblimit = (rate / 2 + p->freq_limit * 64) / rate;
    const int32_t cap = p->reduction == 0 ? 32 : p->reduction == 1 ? 15 : 8;
    if (sblimit > cap) sblimit = cap;
    s.l3_sblimit = sblimit;
    const int32_t long_top = b[22];
    const int32_t short_top = 3 * sh[13];
    s.huff_limit = long_top + 8 < 18 * sblimit ? long_top + 8 : 18 * sblimit;
    s.long_limit = long_top < s.huff_limit ? long_top : s.huff_limit;
    s.short_limit = short_top < s.huff_limit ? short_top : s.huff_limit;
    // The filter bank fills up to the subband above the limit: alias reduction gives it eight
    // lines from the one below (layer3_hybrid.cpp, channel_span).
    const int32_t filled = s.huff_limit < 576 ? s.huff_limit + 8 : 576;
    s.limit_subbands = (filled + 17) / 18;

    const int32_t chan_code = h->mode == 3 ? 0 : p->chan_sel + 1;
    // The mix adds both channels at half gain; so does a single-channel stream's mix of a
    // two-channel frame.
    s.gain_offset_by_nch[0] = (h->mode != 3 && p->chan_sel == 1) ? -4 : 0;
    s.gain_offset_by_nch[1] = (h->mode == 3 || p->chan_sel == 1) ? -4 : 0;
    s.gain_offset = s.gain_offset_by_nch[h->mode == 3 ? 0 : 1];
    const int32_t out_ch = (h->mode == 3 || p->chan_sel != 0) ? 1 : 2;

    d->l3.synth_l3 = d->kernels->synth_l3[2 * (3 * p->form + p->reduction) + out_ch - 1];
    s.l3_output = kOutputs[chan_code];
    d->l3.synth_l3_track = d->kernels->synth_l3[2 * (3 * p->form + p->reduction) + 1];
    mpeg_set_output(d, out_ch, info.samples, rate, p);
    s.out_bytes = d->out_bytes;
    s.silence_byte = p->eight_bit ? 0x80 : 0;
    s.chan_code = chan_code;
    s.sample_bytes = p->sample_bytes;
    s.granule_frames = 18 * (32 >> p->reduction);
    s.last_nch = h->mode == 3 ? 1 : 2;
    s.granule_bytes = s.out_bytes / 2;

    l3_build_tables(d);
    synth_reset(d);

    std::memset(s.hybrid_out, 0, sizeof s.hybrid_out);
    std::memset(d->samples.xr, 0, sizeof d->samples.xr);
    std::memset(s.line_extent, 0, sizeof s.line_extent);

    d->decode_frame = id ? l3_decode_frame : l3_decode_frame_lsf;
    return 1;
}
