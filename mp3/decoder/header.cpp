// MPEG audio frame headers, the one owner of what a header says: the four-byte decode, the
// frame's rate, bitrate, slot size, frame size and channel count, the free-format search for the
// next frame and the sync scan. The layer decoders and the players ask here.
//
// Implements the header of ISO/IEC 11172-3 clause 2.4.2.3 and ISO/IEC 13818-3 clause 2.4.2.3
// plus the MPEG-2.5 eleven-bit sync. All arithmetic is integer: sampling frequencies are kept in
// units of 50 Hz for the frame-size formulas. Every read stays inside the `n` bytes given.
#include <cstring>

#include "decoder_internal.h"

namespace {

// Bitrates in kbit/s: [id][layer code][bitrate_index]. Layer codes 3, 2, 1 are Layers I, II,
// III (code 0 is reserved and never looked up). ISO/IEC 13818-3 Table 2.4.2.3 for id 0,
// ISO/IEC 11172-3 clause 2.4.2.3 for id 1. Entries 0 (free format) and 15 hold 0.
constexpr int16_t kBitrates[2][4][16] = {
    {
        {},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    },
    {
        {},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    },
};

// Sampling frequencies in units of 50 Hz, [id][index]; index 3 is reserved.
constexpr int32_t kFreq50[2][3] = {{441, 480, 320}, {882, 960, 640}};

constexpr bool bitrates_increase() {
    for (int id = 0; id < 2; ++id)
        for (int l = 1; l < 4; ++l)
            for (int i = 2; i < 15; ++i)
                if (kBitrates[id][l][i] <= kBitrates[id][l][i - 1]) return false;
    return true;
}
static_assert(bitrates_increase(), "bitrate rows increase");
static_assert(kBitrates[1][1][9] == 128 && kBitrates[1][2][14] == 384, "bitrate spot checks");

// Bytes of the padding slot of a layer code: 4 in Layer I (code 3), 1 in Layers II and III.
int32_t slot_bytes(int32_t layer) { return layer == 3 ? 4 : 1; }

// First offset k in [start, window) where the two bytes at k equal the first header's first
// two bytes; -1 when there is none. window <= n - 3, so p[k + 1] is readable.
int32_t find_header_copy(const uint8_t* p, int32_t start, int32_t window) {
    for (int32_t k = start; k < window; ++k)
        if (p[k] == p[0] && p[k + 1] == p[1]) return k;
    return -1;
}

// Walks frames of `size` bytes plus each frame's own padding from `first` while the offset is
// within the window (at most n - 3, so offset + 2 is readable); every start must repeat the
// first header's two bytes. Returns the number of frames confirmed, or 0 on a mismatch.
int32_t count_frame_chain(const uint8_t* p, int32_t first, int32_t size, int32_t slot,
                          int32_t window) {
    int32_t count = 0;
    for (int32_t o = first; o <= window; ++count) {
        if (p[o] != p[0] || p[o + 1] != p[1]) return 0;
        o += size + ((p[o + 2] >> 1) & 1) * slot;
    }
    return count;
}

// A free-format frame states no size: look for the next frame whose start repeats the first
// header and which is followed by a consistent chain of frames. `n` is already limited to 10000.
int32_t free_format_size(const uint8_t* p, int32_t n, const MpegHeader* h) {
    const int32_t slot = slot_bytes(h->layer);
    const int32_t pad0 = mpeg_header_frame_bytes(h, 0);
    const int32_t window = n - 3;
    int32_t start = 24;
    for (;;) {
        const int32_t k = find_header_copy(p, start, window);
        if (k < 0) return 0;
        const int32_t size = k - pad0;
        if (size <= 0) return 0;
        if (count_frame_chain(p, size + pad0, size, slot, window) > 0) return size;
        start = k + 1;
        if (start >= 2000) return 0;
    }
}

// Frame size in bytes without padding of a header with a tabled bitrate of `br` kbit/s.
int32_t frame_size(const MpegHeader* h, int32_t br) {
    const int32_t f50 = kFreq50[h->id][h->sampling_frequency];
    switch (h->layer) {
    case 3: return 4 * (240 * br / f50);
    case 2: return 2880 * br / f50;
    default: return (h->id == 0 && h->sync == 1 ? 1440 : 2880) * br / f50;
    }
}

// Bitrate in bit/s of a free-format frame of `size` bytes.
int32_t free_format_rate(const MpegHeader* h, int32_t size) {
    const int64_t fs = int64_t(kFreq50[h->id][h->sampling_frequency]) * 50;
    int64_t div = 144;
    if (h->layer == 3) div = 48;
    else if (h->layer == 1 && h->id == 0 && h->sync == 1) div = 72;
    return int32_t(int64_t(size) * fs / div);
}

}  // namespace

int32_t mpeg_header_decode(const uint8_t* p, int32_t n, MpegHeader* h) {
    h->sync = 0;
    if (n < 4 || p[0] != 0xFF) return 0;
    const uint8_t b1 = p[1], b2 = p[2], b3 = p[3];
    if ((b1 & 0xF0) == 0xF0) h->sync = 1;
    else if ((b1 & 0xF0) == 0xE0) h->sync = 2;
    else return 0;
    h->id = (b1 >> 3) & 1;
    h->layer = (b1 >> 1) & 3;
    h->protection_bit = b1 & 1;
    h->bitrate_index = b2 >> 4;
    h->sampling_frequency = (b2 >> 2) & 3;
    h->padding_bit = (b2 >> 1) & 1;
    h->private_bit = b2 & 1;
    h->mode = b3 >> 6;
    h->mode_extension = (b3 >> 4) & 3;
    h->copy_bit = (b3 >> 3) & 1;
    h->home_bit = (b3 >> 2) & 1;
    h->emphasis = b3 & 3;
    return 1;
}

int32_t mpeg_header_info(const MpegHeader* h, MpegFrameInfo* info) {
    *info = MpegFrameInfo{};
    const int32_t id = h->id & 1, layer = h->layer & 3, sf = h->sampling_frequency & 3;
    info->layer = layer ? 4 - layer : 0;
    info->slot_bytes = slot_bytes(layer);
    info->channels = h->mode == 3 ? 1 : 2;
    info->samples = layer == 3 ? 384 : layer == 1 && id == 0 ? 576 : 1152;
    if (sf == 3) return 0;
    info->sample_rate = kFreq50[id][sf] * 50 >> (h->sync == 2 ? 1 : 0);
    if (layer == 0 || h->bitrate_index == 15) return 0;
    const int32_t br = kBitrates[id][layer][h->bitrate_index & 15];
    info->bitrate = br * 1000;
    info->frame_bytes = br ? frame_size(h, br) : 0;
    return 1;
}

int32_t mpeg_header_frame_bytes(const MpegHeader* h, int32_t frame_bytes) {
    return frame_bytes + (h->padding_bit & 1) * slot_bytes(h->layer & 3);
}

int32_t mpeg_header_max_frame_bytes(const MpegHeader* h, int32_t frame_bytes) {
    MpegHeader padded = *h;
    padded.padding_bit = 1;
    return mpeg_header_frame_bytes(&padded, frame_bytes);
}

int32_t mpeg_header_layer(const MpegHeader* h) {
    return h->layer >= 1 && h->layer <= 3 ? 4 - h->layer : -1;
}

int32_t mpeg_header_parse(const uint8_t* p, int32_t n, MpegHeader* h) {
    if (n > 10000) n = 10000;
    if (!mpeg_header_decode(p, n, h)) return 0;
    MpegFrameInfo info;
    if (!mpeg_header_info(h, &info)) return 0;
    if (h->bitrate_index == 0) return free_format_size(p, n, h);
    return info.frame_bytes;
}

int32_t mpeg_header_parse_rate(const uint8_t* p, int32_t n, MpegHeader* h, int32_t* bitrate) {
    const int32_t size = mpeg_header_parse(p, n, h);
    if (bitrate) {
        if (size == 0) *bitrate = 0;
        else if (h->bitrate_index == 0) *bitrate = free_format_rate(h, size);
        else *bitrate = kBitrates[h->id][h->layer][h->bitrate_index] * 1000;
    }
    return size;
}

int32_t mpeg_header_find(const uint8_t* p, int32_t n, MpegHeader* h, int32_t* bitrate,
                         int32_t* offset) {
    for (int32_t i = 0; i + 1 < n; ++i) {
        if (p[i] != 0xFF) continue;
        const int hi = p[i + 1] & 0xF0;
        if (hi != 0xF0 && hi != 0xE0) continue;
        if (offset) *offset = i;
        return mpeg_header_parse_rate(p + i, n - i, h, bitrate);
    }
    return 0;
}
