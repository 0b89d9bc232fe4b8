// The set-up parameters after the rules common to every layer, and the output format a layer's
// set-up derives from them. A leaf below the object and the layers: decoder.cpp clamps the
// caller's arguments here once per stream, and each layer's set-up fixes its output format here.
#include "decoder_internal.h"

MpegSetup mpeg_setup_params(int32_t frame_bytes, int32_t reduction, int32_t convert,
                            int32_t freq_limit) {
    MpegSetup p;
    p.frame_bytes = frame_bytes;
    p.reduction = reduction < 0 ? 0 : reduction > 2 ? 2 : reduction;
    p.eight_bit = (convert & MPEG_CONVERT_U8) ? 1 : 0;
    p.chan_sel = convert & MPEG_CONVERT_CHANNELS;
    // Form indexes as the synthesis tables order them (OutForm): s16, u8, rounded s16, s24,
    // rounded s24, s32, rounded s32, f32. Rounding has no meaning for 8-bit output and float.
    const int32_t round = (convert & MPEG_CONVERT_ROUND) ? 1 : 0;
    const int32_t width = convert & MPEG_CONVERT_FORM;
    p.valid = !(p.eight_bit && width != 0);
    if (width == MPEG_CONVERT_S24) {
        p.form = 3 + round;
        p.sample_bytes = 3;
    } else if (width == MPEG_CONVERT_S32) {
        p.form = 5 + round;
        p.sample_bytes = 4;
    } else if (width == MPEG_CONVERT_F32) {
        p.form = 7;
        p.sample_bytes = 4;
    } else {
        p.form = p.eight_bit ? 1 : 2 * round;
        p.sample_bytes = p.eight_bit ? 1 : 2;
    }
    p.freq_limit = freq_limit < 1000 ? 1000 : freq_limit;
    return p;
}

void mpeg_set_output(MpegDecoder* d, int32_t channels, int32_t samples, int32_t rate,
                     const MpegSetup* p) {
    d->frame_bytes = p->frame_bytes;
    d->out_samples = channels * (samples >> p->reduction);
    d->out_bytes = d->out_samples * p->sample_bytes;
    d->format = {channels,
                 d->out_samples,
                 rate >> p->reduction,
                 8 * p->sample_bytes,
                 p->frame_bytes,
                 p->form == 7 ? MPEG_FORMAT_FLOAT : 0};
}
