// The MpegDecoder object: initialisation, release, stream set-up and the output format.
//
// Set-up fixes, once per stream, the layer's frame decoder, the synthesis variant and the output
// format (channels, samples per frame, rate after reduction, sample width); nothing on the
// per-frame path branches on these choices again. The Layer I/II and Layer III halves of the
// set-up live with their layers; this file holds the dispatch and the common Layer I/II tail.
#include <cstdlib>
#include <cstring>

#include "decoder_internal.h"
#include "kernels.h"

void* (*eq_settings_alloc)(size_t bytes) = std::malloc;

namespace {

// Per-stream frame decoder by raw layer code (0 reserved, 1 Layer III, 2 Layer II, 3 Layer I).
// A reserved code gets the Layer II decoder; the Layer II set-up then refuses the stream.
constexpr MpegDecodeFn kDecodeByLayer[4] = {l2_decode_frame, l3_decode_entry, l2_decode_frame,
                                            l1_decode_frame};

// Output channels by chan_code: single-channel source, stereo, mix, left, right.
constexpr int32_t kChannelsByCode[5] = {1, 2, 1, 1, 1};

void eq_settings_defaults(EqSettings* eq) {
    eq->enabled = 0;
    for (float& g : eq->band_gain) g = 1.0f;
    eq->l3_gain_offset = 0.0f;
}

// The kernel record of a requested path: the best one this processor runs for mpeg_path_best,
// the plain one for a path it lacks.
const MpegKernels* kernels_for(int32_t path) {
    if (path == mpeg_path_best) path = mpeg_best_path();
    const MpegKernels* k = mpeg_kernels(path);
    return k ? k : &kernels_plain;
}

}  // namespace

int32_t mpeg_decoder_init(MpegDecoder* d, int32_t allocate) {
    EqSettings* eq = allocate ? nullptr : d->eq_settings;
    std::memset(static_cast<void*>(d), 0, sizeof(*d));
    if (allocate) eq = static_cast<EqSettings*>(eq_settings_alloc(sizeof(EqSettings)));
    // Without its EqSettings record the decoder must not be used (the 32-point transform reads
    // it); report that instead of leaving a null pointer to be found later.
    if (!eq) return 0;
    eq_settings_defaults(eq);
    d->eq_settings = eq;

    d->l12.l2_tables_pending = 1;
    d->l12.l1_table_pending = 1;
    d->syn.dct_coef_pending = 1;
    d->path_request = mpeg_path_best;
    d->kernels = kernels_for(d->path_request);
    d->decode_frame = l2_decode_frame;
    d->synth = d->kernels->synth[0];
    d->l3.synth_l3 = d->kernels->synth_l3[1];
    l3_init_defaults(d);
    return 1;
}

void mpeg_decoder_free(MpegDecoder* d) {
    if (!d) return;
    std::free(d->eq_settings);
    d->eq_settings = nullptr;
}

int32_t mpeg_decoder_setup(MpegDecoder* d, const MpegHeader* h, int32_t frame_bytes,
                           int32_t reduction, int32_t transform, int32_t convert,
                           int32_t freq_limit) {
    if (d->l12.l2_tables_pending) {
        build_l12_tables(d);
        d->l12.l2_tables_pending = 0;
    }
    d->kernels = kernels_for(d->path_request);
    const int32_t layer = h->layer & 3;
    d->decode_frame = kDecodeByLayer[layer];

    // The parameter rules shared by every layer; applying them twice changes nothing, so the
    // layer set-ups may apply them again.
    if (reduction < 0) reduction = 0;
    if (reduction > 2) reduction = 2;
    if (freq_limit < 1000) freq_limit = 1000;
    d->frame_bytes = frame_bytes;

    if (layer == 3) return l1_setup(d, h, frame_bytes, reduction, transform, convert, freq_limit);
    if (layer == 1) return l3_setup(d, h, frame_bytes, reduction, transform, convert, freq_limit);
    return l2_setup(d, h, frame_bytes, reduction, transform, convert, freq_limit);
}

int32_t l12_finish_setup(MpegDecoder* d, const MpegHeader* h, int32_t fs, int32_t sb,
                         int32_t samples, int32_t reduction, int32_t convert, int32_t freq_limit) {
    // Callers pass clamped parameters; clamp again so that no table index can leave its range.
    if (reduction < 0) reduction = 0;
    if (reduction > 2) reduction = 2;
    if (freq_limit < 1000) freq_limit = 1000;
    if (fs <= 0) return 0;
    const int32_t eight_bit = (convert >> 3) & 1;
    const bool two_channels = h->mode != 3;

    // freq_limit over the subband width fs / 64, rounded to nearest; the top subband is never
    // decoded at full or half rate.
    int32_t limit = int32_t((int64_t(freq_limit) * 64 + fs / 2) / fs);
    const int32_t cap = reduction == 0 ? 31 : reduction == 1 ? 15 : 8;
    if (limit > cap) limit = cap;
    if (limit > sb) limit = sb;

    // Stereo rows interleave left and right per subband, so entries count both channels.
    d->l12.entries = two_channels ? 2 * sb : sb;
    d->l12.decode_limit = two_channels ? 2 * limit : limit;

    const int32_t chan_code = two_channels ? (convert & 3) + 1 : 0;
    d->synth = d->kernels->synth[15 * eight_bit + 5 * reduction + chan_code];

    const int32_t channels = kChannelsByCode[chan_code];
    d->out_samples = channels * (samples >> reduction);
    d->out_bytes = d->out_samples * (eight_bit ? 1 : 2);
    d->format.channels = channels;
    d->format.out_samples = d->out_samples;
    d->format.sample_rate = fs >> reduction;
    d->format.bits = eight_bit ? 8 : 16;
    d->format.frame_bytes = d->frame_bytes;
    d->format.reserved = 0;

    std::memset(d->samples.rows, 0, sizeof(d->samples.rows));
    synth_reset(d);
    return 1;
}

void mpeg_decoder_get_format(const MpegDecoder* d, MpegOutputFormat* f) { *f = d->format; }

void mpeg_decoder_request_path(MpegDecoder* d, int32_t path) { d->path_request = path; }

int32_t mpeg_decoder_path(const MpegDecoder* d) { return d->kernels->path; }

int32_t mpeg_best_path() {
    return mpeg_kernels(mpeg_path_avx2) ? int32_t(mpeg_path_avx2) : int32_t(mpeg_path_plain);
}
