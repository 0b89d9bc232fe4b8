// mp3dec's decode (decode.h): the core's PCM into the output, a few frames at a time, the
// output's own buffer taking it straight from the core.
#include "decode.h"

namespace {

int32_t place_piece(void* ctx, uint8_t* pcm, int64_t at, int32_t bytes) {
    return pcm_output_place(static_cast<const PcmOutput*>(ctx), at, pcm, bytes);
}

}  // namespace

bool decode_on_threads(const Options& o, const Input& in) {
    return !o.bench && in.regular && in.size < (int64_t(1) << 30) &&
           (o.threads > 1 || (o.threads == 0 && mpeg_core_processors() > 1));
}

Decoded decode_stream(MpegCore* c, PcmOutput* out, bool gapless, int32_t threads) {
    Decoded r{};
    MpegOutputFormat f;
    MpegStreamInfo info;
    mpeg_core_get_format(c, &f);
    mpeg_core_get_info(c, &info);
    // The Info frame, left out gapless, is not counted among the frames decoded.
    const int64_t left_out = gapless && info.info_frame ? 1 : 0;
    if (threads >= 0 && pcm_output_start_placing(out)) {
        const int64_t n = mpeg_core_decode_all(c, threads, nullptr, 0, place_piece, out);
        if (n < 0 || !pcm_output_placed(out, n)) {
            r.write_error = 1;
            return r;
        }
    }
    // A few frames' PCM at a time, straight into the output's buffer.
    const int32_t want = 4 * f.out_samples * (f.bits / 8);
    for (;;) {
        uint8_t* room = pcm_output_room(out, want);
        if (!room) {
            r.write_error = 1;
            return r;
        }
        int32_t filled = 0;
        const int32_t got = mpeg_core_read(c, room, want, &filled);
        pcm_output_put(out, filled);
        if (got == MP3_OK) continue;
        r.frames = mpeg_core_frame(c) - left_out;
        r.end = got == MP3_ENDED ? mpeg_core_scan_rest(c) : got;
        r.read_error = r.end == MP3_READ_FAILED ? 1 : 0;
        r.end_at = mpeg_core_next_offset(c);
        return r;
    }
}
