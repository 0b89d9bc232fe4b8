// The frame walk shared by mp3dec and the players: ID3v1/ID3v2 tags, the first frame, and
// frame-by-frame decoding with one-byte resynchronisation. The decoder gets the number of bytes
// left at every call, so a frame cut short by the end of the data is rejected, never read past.
#include "frame_walk.h"

#include <cstring>

int32_t mp3_strip_tags(const uint8_t* data, int32_t n, const uint8_t** start, int32_t* len) {
    if (!data || n < 0) return 0;
    if (n >= 128 && std::memcmp(data + n - 128, "TAG", 3) == 0) n -= 128;
    if (n >= 10 && std::memcmp(data, "ID3", 3) == 0) {
        // The size bytes are taken whole, as a valid tag stores them with bit 7 clear.
        int64_t size = int64_t(data[6]) << 21 | int64_t(data[7]) << 14 | int64_t(data[8]) << 7 |
                       int64_t(data[9]);
        size += (data[5] & 0x10) ? 20 : 10;
        if (size > n) return 0;
        data += size;
        n -= int32_t(size);
    }
    *start = data;
    *len = n;
    return 1;
}

int32_t mp3_first_frame(const uint8_t* start, int32_t len, int32_t search, MpegHeader* h,
                        int32_t* bitrate, int32_t* offset) {
    if (!start || len < 4) return 0;
    if (!search) {
        int32_t fb = mpeg_header_parse_rate(start, len, h, bitrate);
        if (fb > 0) *offset = 0;
        return fb;
    }
    // mpeg_header_find tries only the first sync pattern; after a failure the search resumes
    // one byte past that pattern, so junk holding a false sync does not hide a later frame.
    int32_t from = 0;
    while (from <= len - 4) {
        int32_t off = 0;
        int32_t fb = mpeg_header_find(start + from, len - from, h, bitrate, &off);
        if (fb > 0) {
            *offset = from + off;
            return fb;
        }
        int32_t i = from;
        while (i < len - 1 && !(start[i] == 0xFF && (start[i + 1] & 0xE0) == 0xE0)) ++i;
        from = i + 1;
    }
    return 0;
}

namespace {

// True when a frame header at p states a size (with its padding) that runs past the end of the
// data: the data ends inside that frame. Free-format headers state no size and are left to the
// resynchronisation.
bool cut_frame_at(const uint8_t* p, int32_t left) {
    if (left < 4 || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0 || (p[2] >> 4) == 0) return false;
    MpegHeader h;
    int32_t size = mpeg_header_parse(p, left, &h);
    if (size <= 0) return false;
    size += h.padding_bit * (h.layer == 3 ? 4 : 1);
    return size > left;
}

}  // namespace

int32_t mp3_walk_frame(MpegDecoder* d, const uint8_t* start, int32_t len, int32_t* pos,
                       int32_t frame_bytes, uint8_t* out, InOut* io) {
    const int32_t tries = frame_bytes > 0 ? 4 * frame_bytes : 1;
    int32_t p = *pos;
    for (int32_t i = 0; i < tries; ++i, ++p) {
        if (p >= len || p < 0) {
            *pos = len;
            *io = InOut{0, 0};
            return MP3_WALK_END;
        }
        // A frame cut short by the end of the data ends the walk here, before it is decoded (a
        // decoder may fill the missing bytes with zeros and play the rest) and before a
        // resynchronisation into its bytes could take a false sync inside it for a frame.
        if (cut_frame_at(start + p, len - p)) {
            *pos = p;
            *io = InOut{0, 0};
            return MP3_WALK_END;
        }
        InOut r = mpeg_decode_frame(d, start + p, len - p, out);
        if (r.in_bytes > 0) {
            *pos = r.in_bytes <= len - p ? p + r.in_bytes : len;
            *io = r;
            return MP3_WALK_FRAME;
        }
    }
    *pos = p;
    *io = InOut{0, 0};
    return MP3_WALK_LOST;
}
