// The decoding core: the first frame and the set-up, the fill of a PCM buffer (frames decoded
// straight into it where they fit whole and none of their samples is cut, else through the
// carry), the gapless run, and the rewind and seek of indexed data with their pre-roll.
#include "core.h"

#include <stdlib.h>
#include <string.h>

#include "decoder_state.h"
#include "lame_tag.h"

static_assert(sizeof(MpegDecoder) <= sizeof(MpegDecoderRoom) &&
                  alignof(MpegDecoder) <= alignof(MpegDecoderRoom),
              "the core's decoder room holds an MpegDecoder");

namespace {

int32_t sample_bytes(const MpegCore* c) { return (c->stereo ? 2 : 1) * (c->bits / 8); }
// 0 before the first frame has set the format up.
int64_t frame_samples(const MpegCore* c) {
    const int32_t ss = sample_bytes(c);
    return ss > 0 ? c->frame_pcm_bytes / ss : 0;
}

int32_t setup_decoder(MpegCore* c) {
    return mpeg_decoder_setup(mpeg_core_decoder(c), &c->header, c->frame_bytes, c->reduction, 0,
                              c->convert, c->freq_limit);
}

// The first frame's Info/Xing header and LAME tag, read once inside that frame (avail bytes of
// it): what everything above the core asks of them is kept here.
void read_first_frame(MpegCore* c, const uint8_t* frame, int32_t avail) {
    c->xing = mpeg_xing_read(frame, avail, &c->header);
    c->info_frames = mpeg_lame_info_frames(frame, avail, &c->header);
    c->has_lame_tag = mpeg_lame_tag_read(frame, avail, &c->header, &c->lame_tag);
    mpeg_lame_info_read(frame, avail, &c->header, &c->lame);
    c->info = c->layer == 3 && (c->xing || c->info_frames >= 0 || c->has_lame_tag) ? 1 : 0;
    const int32_t on = c->gap.on;
    mpeg_gap_bounds(&c->gap, c->has_lame_tag ? &c->lame_tag : nullptr, c->info_frames,
                    frame_samples(c), c->reduction, c->info);
    c->gap.on = on;
}

// Frame f next, at a frame start known to be one or (searched) anywhere.
void moved(MpegCore* c, int32_t f, int32_t at_frame) {
    c->current_frame = f;
    c->needs_setup = 1;
    c->given = 0;
    c->gap.carry_len = 0;
    mpeg_sync_restart(&c->sync, at_frame);
}

}  // namespace

int32_t mpeg_core_init(MpegCore* c, int32_t reduction, int32_t convert, int32_t freq_limit) {
    c->xing = nullptr;
    c->index = MpegFrameIndex{nullptr, 0};
    c->gap.on = 0;
    c->reduction = reduction;
    c->convert = convert;
    c->freq_limit = freq_limit;
    mpeg_core_restart(c);
    // The decoder is set up in place inside the caller's record: no large temporary.
    return mpeg_decoder_init(mpeg_core_decoder(c), 1);
}

void mpeg_core_free(MpegCore* c) {
    mpeg_decoder_free(mpeg_core_decoder(c));
    mpeg_core_restart(c);
}

void mpeg_core_restart(MpegCore* c) {
    mpeg_xing_free(c->xing);
    c->xing = nullptr;
    mpeg_index_free(&c->index);
    mpeg_sync_init(&c->sync);
    c->header = MpegHeader{};
    c->ready = c->needs_setup = 0;
    c->frame_bytes = c->bitrate = 0;
    c->layer = -1;
    c->frequency = c->stereo = c->bits = c->frame_pcm_bytes = 0;
    c->info = 0;
    c->info_frames = -1;
    c->has_lame_tag = 0;
    c->lame_tag = MpegLameTag{};
    c->lame = MpegLameInfo{};
    c->current_frame = 0;
    c->given = 0;
    c->gap.start = 0;
    c->gap.length = -1;
    c->gap.carry_off = c->gap.carry_len = 0;
}

int32_t mpeg_core_open(MpegCore* c, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos) {
    const int32_t r = mpeg_sync_lock(&c->sync, buf, len, final, pos, &c->header, &c->frame_bytes,
                                    &c->bitrate);
    if (r != MPEG_SYNC_FRAME) return r == MPEG_SYNC_MORE ? MP3_NEED_MORE : MP3_ENDED;
    if (!setup_decoder(c)) return MP3_SETUP_FAILED;
    MpegOutputFormat f;
    mpeg_decoder_get_format(mpeg_core_decoder(c), &f);
    if (f.bits * f.out_samples <= 0 || f.sample_rate <= 0) return MP3_SETUP_FAILED;
    c->frequency = f.sample_rate;
    c->stereo = f.channels >= 2 ? -1 : 0;
    c->bits = f.bits;
    c->frame_pcm_bytes = (f.bits / 8) * f.out_samples;
    // A frame of any output form fits the carry; a larger one would be written past it.
    if (c->frame_pcm_bytes > int32_t(sizeof c->gap.carry)) return MP3_SETUP_FAILED;
    c->layer = mpeg_header_layer(&c->header);
    // The Xing header and the LAME tag lie inside the first frame; reading stops at its end.
    const int32_t first = mpeg_header_max_frame_bytes(&c->header, c->frame_bytes);
    const int32_t left = len - *pos;
    read_first_frame(c, buf + *pos, left < first ? left : first);
    c->ready = 1;
    return MP3_OK;
}

int32_t mpeg_core_index(MpegCore* c, const uint8_t* data, int32_t len) {
    return mpeg_index_build(&c->index, &c->sync, data, len);
}

void mpeg_core_use_gapless(MpegCore* c, int32_t on) {
    c->gap.on = on ? -1 : 0;
    c->gap.carry_len = 0;
}

int32_t mpeg_core_fill(MpegCore* c, const uint8_t* buf, int32_t len, int32_t final, int32_t* pos,
                      uint8_t* out, int32_t room, int32_t* filled) {
    MpegGapless* g = &c->gap;
    if (!c->ready) return MP3_ENDED;
    while (*filled < room) {
        if (const int32_t n = mpeg_gap_take(g, out + *filled, room - *filled)) {
            *filled += n;
            c->given += n;
            continue;
        }
        const int64_t at = int64_t(c->current_frame) * frame_samples(c);
        if (g->on && at >= mpeg_gap_end(g)) return MP3_ENDED;
        int32_t r;
        if (g->on && c->info && c->current_frame == 0) {
            // The Info frame holds no audio: stepped over, never decoded (its bytes would go
            // into the bit reservoir).
            int32_t size = 0;
            r = mpeg_sync_next(&c->sync, buf, len, final, pos, &size);
            if (r == MPEG_SYNC_FRAME) {
                *pos += size;
                mpeg_sync_taken(&c->sync);
                c->current_frame = 1;
                continue;
            }
        } else {
            // A frame that fits whole and whose samples are all handed back (plain PCM, or a
            // frame inside the gapless run) is decoded straight into the buffer.
            const bool direct =
                room - *filled >= c->frame_pcm_bytes &&
                (!g->on || (at >= g->start && at + frame_samples(c) <= mpeg_gap_end(g)));
            MpegInOut io{0, 0};
            r = mpeg_sync_decode(&c->sync, mpeg_core_decoder(c), buf, len, final, pos,
                                direct ? out + *filled : g->carry, &io);
            if (r == MPEG_SYNC_FRAME) {
                c->current_frame += 1;
                if (direct) {
                    *filled += io.out_bytes;
                    c->given += io.out_bytes;
                } else if (g->on) {
                    mpeg_gap_keep(g, at, io.out_bytes, sample_bytes(c));
                } else {
                    g->carry_off = 0;
                    g->carry_len = io.out_bytes;
                }
                continue;
            }
        }
        return r == MPEG_SYNC_MORE ? MP3_NEED_MORE : r == MPEG_SYNC_OTHER ? MP3_OTHER_STREAM
                                                                        : MP3_ENDED;
    }
    return MP3_OK;
}

int32_t mpeg_core_run_done(const MpegCore* c) {
    return c->gap.on && c->gap.carry_len == 0 &&
                   int64_t(c->current_frame) * frame_samples(c) >= mpeg_gap_end(&c->gap)
               ? 1
               : 0;
}

void mpeg_core_rewind(MpegCore* c) { moved(c, 0, 1); }

void mpeg_core_seek_at(MpegCore* c, int32_t f) { moved(c, f, 1); }

int32_t mpeg_core_move_frame(MpegCore* c, int32_t f, int32_t data_len, int64_t guess) {
    if (c->index.offsets) {
        moved(c, f, 1);
        return f < c->index.frames ? c->index.offsets[f] : data_len;
    }
    // Estimates: a Xing table or a frame count that disagrees with the data cannot move the
    // position outside it.
    const int32_t o = mpeg_xing_offset(c->xing, f, data_len);
    int64_t at = o >= 0 ? int64_t(o) : guess;
    if (at < 0) at = 0;
    if (at > data_len) at = data_len;
    moved(c, f, at == 0);
    return static_cast<int32_t>(at);
}

int32_t mpeg_core_prepare(MpegCore* c, const uint8_t* data, int32_t len) {
    if (!c->needs_setup) return 1;
    c->gap.carry_len = 0;
    if (!setup_decoder(c)) return 0;
    c->needs_setup = 0;
    // The carry serves as scratch: the pre-roll's output is thrown away.
    mpeg_index_decode_preroll(&c->index, mpeg_core_decoder(c), data, len, c->layer, c->current_frame,
                             c->gap.carry);
    return 1;
}

int64_t mpeg_core_output_samples(const MpegCore* c, int64_t frames) {
    const int64_t decoded = frames * frame_samples(c);
    if (!c->gap.on) return decoded;
    const int64_t end = mpeg_gap_end(&c->gap);
    const int64_t n = (decoded < end ? decoded : end) - c->gap.start;
    return n > 0 ? n : 0;
}

int32_t mpeg_core_sample_bytes(const MpegCore* c) { return (c->stereo ? 2 : 1) * (c->bits / 8); }

int32_t mpeg_core_bytes_per_second(const MpegCore* c) {
    return mpeg_core_sample_bytes(c) * c->frequency;
}

int32_t mpeg_core_frame_ms(const MpegCore* c) {
    const int32_t bps = mpeg_core_bytes_per_second(c);
    return bps > 0 ? static_cast<int32_t>(double(c->frame_pcm_bytes) / bps * 1000.0) : 0;
}

int32_t mpeg_core_position_ms(const MpegCore* c) {
    if (c->frequency <= 0) return 0;
    if (c->gap.on)
        return mpeg_gap_position_ms(&c->gap, int64_t(c->current_frame) * frame_samples(c),
                                   sample_bytes(c), c->frequency);
    const double samples = double(int64_t(c->current_frame) * frame_samples(c));
    return static_cast<int32_t>(samples / c->frequency * 1000.0);
}

int32_t mpeg_core_samples_ms(const MpegCore* c, int64_t samples) {
    if (c->frequency <= 0) return 0;
    const int64_t ms = samples * 1000 / c->frequency;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

int32_t mpeg_core_open_like(MpegCore* c, const MpegCore* like, const uint8_t* data, int32_t len) {
    int32_t at = 0;
    mpeg_core_use_gapless(c, like->gap.on);
    // The gain (ReplayGain) rides on the decoder's tables: the same for every segment.
    mpeg_decoder_set_gain(mpeg_core_decoder(c),
                          mpeg_core_decoder(const_cast<MpegCore*>(like))->gain);
    if (mpeg_core_open(c, data, len, 1, &at) != MP3_OK || at != 0 ||
        c->frame_pcm_bytes != like->frame_pcm_bytes || c->info != like->info)
        return 0;
    // The index of the same data is like's: copied, not walked again.
    if (!like->index.offsets) return mpeg_core_index(c, data, len);
    const size_t bytes = sizeof(int32_t) * (size_t(like->index.frames) + 1);
    int32_t* offsets = static_cast<int32_t*>(malloc(bytes));
    if (!offsets) return 0;
    memcpy(offsets, like->index.offsets, bytes);
    mpeg_index_free(&c->index);
    c->index = MpegFrameIndex{offsets, like->index.frames};
    return 1;
}

int64_t mpeg_core_range_bytes(const MpegCore* c, int32_t from, int32_t to) {
    return (mpeg_core_output_samples(c, to) - mpeg_core_output_samples(c, from)) * sample_bytes(c);
}

int32_t mpeg_core_decode_on(MpegCore* c, const uint8_t* data, int32_t len, int32_t* pos,
                            int32_t from, int32_t to, int32_t piece, uint8_t* buf,
                            int32_t advance, MpegPcmSink put, void* ctx, int64_t at) {
    if (!c->index.offsets || from < 0 || from > to || to > c->index.frames || piece <= 0) return 0;
    for (int32_t f = from; f < to; f += piece) {
        const int32_t end = to - f > piece ? f + piece : to;
        const int64_t want = mpeg_core_range_bytes(c, f, end);
        if (want < 0 || want > INT32_MAX) return 0;
        int32_t filled = 0;
        if (want > 0) mpeg_core_fill(c, data, len, 1, pos, buf, int32_t(want), &filled);
        if (filled != want || (put && filled > 0 && !put(ctx, buf, at, filled))) return 0;
        at += filled;
        if (advance) buf += filled;
    }
    // The frames after the last that hands anything back (gapless) are not decoded. A frame the
    // decoder rejected was stepped over and the next one decoded in its place: the data read
    // then reaches past the frame the count gives, and every frame after it falls one place
    // later in a straight decode than its number says, which this range cannot know.
    return c->gap.carry_len == 0 && c->current_frame <= to &&
                   *pos <= c->index.offsets[c->current_frame] &&
                   mpeg_core_output_samples(c, c->current_frame) == mpeg_core_output_samples(c, to)
               ? 1
               : 0;
}

int32_t mpeg_core_decode_pieces(MpegCore* c, const uint8_t* data, int32_t len, int32_t from,
                               int32_t to, int32_t piece, uint8_t* buf, MpegPcmSink put,
                               void* ctx) {
    if (!c->index.offsets || from < 0 || from > to || to > c->index.frames) return 0;
    if (mpeg_core_range_bytes(c, from, to) == 0) return 1;
    int32_t pos = mpeg_core_move_frame(c, from, len, 0);
    if (!mpeg_core_prepare(c, data, len)) return 0;
    return mpeg_core_decode_on(c, data, len, &pos, from, to, piece, buf, 0, put, ctx, 0);
}

int32_t mpeg_core_decode_range(MpegCore* c, const uint8_t* data, int32_t len, int32_t from,
                              int32_t to, uint8_t* out) {
    return mpeg_core_decode_pieces(c, data, len, from, to, to > from ? to - from : 1, out, nullptr,
                                   nullptr);
}
