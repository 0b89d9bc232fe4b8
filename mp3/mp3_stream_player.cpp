// The streamed player: create from the first block (sync search, decoder set-up, Xing header),
// the two-block hand-over and its join, and the poll that decodes frames_per_buffer frames from
// the current block or the join into each free stream buffer. Every read is bounded by the
// valid bytes of the buffer being read; a frame that runs past them is the end of the data, or,
// while more blocks are to come, waits at its first byte for the next block.
#include "mp3_stream_player.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <allegro.h>

#include "frame_walk.h"
#include "mp3_common.h"

namespace {

using Autopoll = Mp3Autopoll<Mp3StreamPlayer, mp3s_poll>;

uint8_t* current(Mp3StreamPlayer* p) { return p->current_block == 1 ? p->block_a : p->block_b; }
uint8_t* other(Mp3StreamPlayer* p) { return p->current_block == 1 ? p->block_b : p->block_a; }

void release(Mp3StreamPlayer* p) {
    mpeg_decoder_free(&p->decoder);
    xing_free(p->xing);
    std::free(p->joined);
    std::free(p->block_a);
    std::free(p->block_b);
    delete p;
}

// The older block of the join is used up once the read position has passed its end: the newer
// block becomes current and the older one may be refilled.
void switch_if_passed(Mp3StreamPlayer* p) {
    if (p->read_off < p->block_size) return;
    p->read_off -= p->block_size;
    p->current_block = -p->current_block;
    p->awaiting = -1;
}

// Bytes of an ID3v2 tag (header, body and any footer) at the start of the block, or 0 when
// there is none or it does not end inside the block.
int32_t id3v2_size(const uint8_t* b, int32_t n) {
    if (n < 10 || std::memcmp(b, "ID3", 3) != 0) return 0;
    int64_t size = int64_t(b[6] & 127) << 21 | int64_t(b[7] & 127) << 14 |
                   int64_t(b[8] & 127) << 7 | int64_t(b[9] & 127);
    size += (b[5] & 0x10) ? 20 : 10;
    return size < n ? static_cast<int32_t>(size) : 0;
}

}  // namespace

Mp3StreamPlayer* mp3s_create(const void* first_block, int32_t size, int32_t last) {
    if (!first_block || size < 4 || size > INT32_MAX / 2) return nullptr;
    const uint8_t* b = static_cast<const uint8_t*>(first_block);
    Mp3StreamPlayer* p = new (std::nothrow) Mp3StreamPlayer();
    if (!p) return nullptr;
    int32_t offset = 0;
    // The decoder is set up in place inside the heap player (no large temporary on the stack).
    if (!mpeg_decoder_init(&p->decoder, 1)) {
        release(p);
        return nullptr;
    }
    // A leading ID3v2 tag that lies wholly in the first block is stepped over before the search:
    // its text (UTF-16 byte order marks FF FE among it) would otherwise pass for a frame header.
    int32_t skip = id3v2_size(b, size);
    p->frame_bytes = mpeg_header_find(b + skip, size - skip, &p->header, &p->bitrate, &offset);
    offset += skip;
    // A block must hold at least one frame, or no frame could ever be read whole from the join.
    if (p->frame_bytes <= 0 || p->frame_bytes > size ||
        !mpeg_decoder_setup(&p->decoder, &p->header, p->frame_bytes, 0, 0, 0, 24000)) {
        release(p);
        return nullptr;
    }
    p->block_a = static_cast<uint8_t*>(std::malloc(size_t(size)));
    p->block_b = static_cast<uint8_t*>(std::malloc(size_t(size)));
    p->joined = static_cast<uint8_t*>(std::malloc(2 * size_t(size)));
    if (!p->block_a || !p->block_b || !p->joined) {
        release(p);
        return nullptr;
    }
    MpegOutputFormat f;
    mpeg_decoder_get_format(&p->decoder, &f);
    p->frequency = f.sample_rate;
    p->stereo = f.channels >= 2 ? -1 : 0;
    p->bits = f.bits;
    p->frame_pcm_bytes = (f.bits / 8) * f.out_samples;
    if (p->frame_pcm_bytes <= 0 || p->frequency <= 0) {
        release(p);
        return nullptr;
    }
    std::memcpy(p->block_a, b, size_t(size));
    p->read_off = offset;
    p->current_block = 1;
    p->block_size = size;
    p->awaiting = -1;
    p->last_bytes = last ? size : -1;
    p->stream = nullptr;
    p->current_frame = 0;
    p->autopoll.store(0);
    p->layer = mp3_layer_number(&p->header);

    // The Xing header lies inside the first frame; reading stops at that frame's end.
    int32_t first = mp3_max_frame_bytes(&p->header, p->frame_bytes);
    int32_t avail = size - offset < first ? size - offset : first;
    p->xing = xing_read(p->block_a + offset, avail, &p->header);
    p->total_frames =
        p->xing && (p->xing->flags & 1) && p->xing->frames > 0 ? p->xing->frames : -1;
    return p;
}

void mp3s_destroy(Mp3StreamPlayer* p) {
    if (!p) return;
    mp3s_stop(p);
    release(p);
}

uint8_t* mp3s_next_block(Mp3StreamPlayer* p) {
    if (!p || p->awaiting == 0 || p->last_bytes != -1) return nullptr;
    return other(p);
}

void mp3s_give_block(Mp3StreamPlayer* p, int32_t last_bytes) {
    // Only a block that mp3s_next_block asked for is taken.
    if (!p || p->awaiting == 0 || p->last_bytes != -1) return;
    if (last_bytes != -1) {
        if (last_bytes < 0) last_bytes = 0;
        if (last_bytes > p->block_size) last_bytes = p->block_size;
    }
    p->awaiting = 0;
    p->last_bytes = last_bytes;
    std::memcpy(p->joined, current(p), size_t(p->block_size));
    std::memcpy(p->joined + p->block_size, other(p), size_t(p->block_size));
}

int32_t mp3s_play(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan) {
    return mp3s_play_ex(p, buffer_bytes, vol, pan, 1000);
}

int32_t mp3s_play_ex(Mp3StreamPlayer* p, int32_t buffer_bytes, int32_t vol, int32_t pan,
                     int32_t speed) {
    if (!p) return -1;
    if (p->stream) return 0;
    int32_t fpb = buffer_bytes / p->frame_pcm_bytes;
    if (fpb <= 0) return -1;
    p->frames_per_buffer = fpb;
    int32_t samples = fpb * p->frame_pcm_bytes / (p->stereo ? 2 : 1) / (p->bits / 8);
    p->stream = play_audio_stream(samples, p->bits, p->stereo, p->frequency, vol, pan);
    p->tail_polls = 0;
    if (p->stream && speed != 1000) adjust_sample(p->stream->samp, vol, pan, speed, TRUE);
    // Without a stream no timer is installed: stop would never remove it.
    if (p->stream) Autopoll::on_play(p);
    return 0;
}

int32_t mp3s_poll(Mp3StreamPlayer* p) {
    if (!p || !p->stream) return -1;
    uint8_t* buf = static_cast<uint8_t*>(get_audio_stream_buffer(p->stream));
    if (!buf) return 0;
    int32_t bytes = p->frames_per_buffer * p->frame_pcm_bytes;
    std::memset(buf, 0, size_t(bytes));

    if (p->tail_polls > 0) {
        mp3_hand_back(p->stream, buf, bytes, p->bits);
        if (--p->tail_polls > 0) return 0;
        mp3s_stop(p);
        return 1;
    }

    const bool is_last = p->last_bytes != -1;
    const bool from_joined = p->awaiting == 0;
    const uint8_t* src = from_joined ? p->joined : current(p);
    int32_t limit;
    if (from_joined)
        limit = is_last ? p->block_size + p->last_bytes : 2 * p->block_size;
    else
        limit = is_last ? p->last_bytes : p->block_size;

    uint8_t* out = buf;
    bool ended = false;
    for (int32_t i = 0; i < p->frames_per_buffer; ++i) {
        // A trailing ID3v1 tag is stepped over (and is then the end of the data).
        if (p->read_off <= limit - 3 && std::memcmp(src + p->read_off, "TAG", 3) == 0)
            p->read_off += 128;
        if (p->read_off >= limit) {
            ended = true;
            break;
        }
        const int32_t at = p->read_off;
        InOut io{0, 0};
        int32_t r = mp3_walk_frame(&p->decoder, src, limit, &p->read_off, p->frame_bytes, out, &io);
        if (r == MP3_WALK_END) {
            // More blocks to come: the frame cut short by the limit waits for the next one.
            if (!is_last) p->read_off = at;
            ended = true;
            break;
        }
        if (r != MP3_WALK_FRAME) {
            mp3_hand_back(p->stream, buf, bytes, p->bits);
            mp3s_stop(p);
            return -2;
        }
        out += io.out_bytes;
        p->current_frame += 1;
    }
    mp3_hand_back(p->stream, buf, bytes, p->bits);

    if (ended) {
        if (is_last) {
            p->tail_polls = 2;
            return 0;
        }
        // Underrun. When the join ran out, the older block is released all the same, so that
        // a later block and play resume where the data stopped.
        if (from_joined) switch_if_passed(p);
        mp3s_stop(p);
        return -3;
    }
    if (from_joined) {
        switch_if_passed(p);
    } else if (p->read_off >= p->block_size) {
        if (is_last) {
            p->tail_polls = 2;
        } else {
            mp3s_stop(p);
            return -3;
        }
    }
    return 0;
}

void mp3s_start_autopoll(Mp3StreamPlayer* p, int32_t ms) { Autopoll::start(p, ms); }

void mp3s_stop_autopoll(Mp3StreamPlayer* p) { Autopoll::stop(p); }

void mp3s_stop(Mp3StreamPlayer* p) {
    if (!p || !p->stream) return;
    // The timer goes first, so that no poll starts on a stream that is being stopped.
    Autopoll::on_stop(p);
    stop_audio_stream(p->stream);
    p->stream = nullptr;
}

void mp3s_adjust(Mp3StreamPlayer* p, int32_t vol, int32_t pan, int32_t speed) {
    if (p && p->stream) adjust_sample(p->stream->samp, vol, pan, speed, TRUE);
}

int32_t mp3s_is_playing(const Mp3StreamPlayer* p) { return p && p->stream ? -1 : 0; }

void* mp3s_output_buffer(const Mp3StreamPlayer* p, int32_t* size) {
    if (!p || !p->stream) return nullptr;
    if (size) *size = p->frames_per_buffer * p->frame_pcm_bytes;
    return p->stream->samp->data;
}

int32_t mp3s_current_frame(const Mp3StreamPlayer* p) { return p ? p->current_frame : 0; }
int32_t mp3s_position_ms(const Mp3StreamPlayer* p) { return p ? mp3_position_ms_of(p) : 0; }
int32_t mp3s_position_secs(const Mp3StreamPlayer* p) { return mp3s_position_ms(p) / 1000; }
int32_t mp3s_frame_ms(const Mp3StreamPlayer* p) { return p ? mp3_frame_ms_of(p) : 0; }

int32_t mp3s_total_frames(const Mp3StreamPlayer* p, int32_t total_bytes) {
    if (!p) return 0;
    return p->total_frames >= 0 ? p->total_frames : total_bytes / p->frame_bytes;
}

int32_t mp3s_length_ms(const Mp3StreamPlayer* p, int32_t total_bytes) {
    int64_t ms = int64_t(mp3s_total_frames(p, total_bytes)) * mp3s_frame_ms(p);
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}

int32_t mp3s_length_secs(const Mp3StreamPlayer* p, int32_t total_bytes) {
    return mp3s_length_ms(p, total_bytes) / 1000;
}

int32_t mp3s_bytes_per_second(const Mp3StreamPlayer* p) { return p ? mp3_bytes_per_second_of(p) : 0; }
int32_t mp3s_bitrate(const Mp3StreamPlayer* p) { return p ? p->bitrate : 0; }
int32_t mp3s_layer(const Mp3StreamPlayer* p) { return p ? p->layer : 0; }
int32_t mp3s_bits(const Mp3StreamPlayer* p) { return p ? p->bits : 0; }
int32_t mp3s_is_stereo(const Mp3StreamPlayer* p) { return p ? p->stereo : 0; }
int32_t mp3s_frequency(const Mp3StreamPlayer* p) { return p ? p->frequency : 0; }
