// The set-up parameters after the rules common to every layer, and the output format a layer's
// set-up derives from them. A leaf below the object and the layers: decoder.cpp clamps the
// caller's arguments here once per stream, and each layer's set-up fixes its output format here.
#include "decoder_internal.h"

MpegSetup mpeg_setup_params(int32_t frame_bytes, int32_t reduction, int32_t convert,
                            int32_t freq_limit) {
    MpegSetup p;
    p.frame_bytes = frame_bytes;
    p.reduction = reduction < 0 ? 0 : reduction > 2 ? 2 : reduction;
    p.eight_bit = (convert >> 3) & 1;
    p.chan_sel = convert & 3;
    p.freq_limit = freq_limit < 1000 ? 1000 : freq_limit;
    return p;
}

void mpeg_set_output(MpegDecoder* d, int32_t channels, int32_t samples, int32_t rate,
                     const MpegSetup* p) {
    d->frame_bytes = p->frame_bytes;
    d->out_samples = channels * (samples >> p->reduction);
    d->out_bytes = d->out_samples * (p->eight_bit ? 1 : 2);
    d->format = {channels, d->out_samples, rate >> p->reduction, p->eight_bit ? 8 : 16,
                 p->frame_bytes, 0};
}
