// The Xing VBR header of an MP3 file's first frame: where it sits (after the header and the side
// information), its flag word, frame and byte counts, quality scale and the 100-entry table of
// contents, and the byte offset of a frame computed from that table. Every read is checked
// against the bytes the caller says are readable; a header that does not fit counts as absent.
#include "xing.h"

#include <cstdlib>
#include <cstring>

namespace {

int32_t read_be32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
                                uint32_t(p[3]));
}

}  // namespace

int32_t mpeg_info_position(const MpegHeader* h) {
    if (h->id == 1) return h->mode != 3 ? 36 : 21;
    return h->mode != 3 ? 21 : 13;
}

int32_t mpeg_info_fields_bytes(uint32_t flags) {
    return ((flags & 1) ? 4 : 0) + ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) +
           ((flags & 8) ? 4 : 0);
}

MpegXing* mpeg_xing_read(const uint8_t* frame, int32_t avail, const MpegHeader* h) {
    if (!frame || !h || avail <= 0) return nullptr;
    const int32_t at = mpeg_info_position(h);
    if (avail - at < 8 || std::memcmp(frame + at, "Xing", 4) != 0) return nullptr;
    const uint8_t* p = frame + at + 4;
    const uint8_t* end = frame + avail;
    int32_t flags = read_be32(p);
    p += 4;
    // The flagged fields must fit, checked before anything is read.
    if (end - p < mpeg_info_fields_bytes(uint32_t(flags))) return nullptr;
    MpegXing* x = static_cast<MpegXing*>(std::calloc(1, sizeof(MpegXing)));
    if (!x) return nullptr;
    x->flags = flags;
    if (flags & 1) { x->frames = read_be32(p); p += 4; }
    if (flags & 2) { x->bytes = read_be32(p); p += 4; }
    if (flags & 4) { std::memcpy(x->toc, p, 100); p += 100; }
    x->scale = -1;
    if (flags & 8) x->scale = read_be32(p);
    return x;
}

void mpeg_xing_free(MpegXing* x) { std::free(x); }

// Table entry i is taken as the frame reached at i % of the bytes; between two entries the
// offset is interpolated linearly. All arithmetic is integer, truncating toward zero, in 64 bits
// so that large frame counts and data lengths cannot overflow.
int32_t mpeg_xing_offset(const MpegXing* x, int32_t f, int32_t data_len) {
    if (!x || (x->flags & 5) != 5 || f < 0 || f >= x->frames) return -1;
    int64_t frames = x->frames;
    int64_t v[100];
    for (int i = 0; i < 100; ++i) v[i] = int64_t(x->toc[i]) * frames / 256;
    int i = 0;
    while (i < 100 && v[i] < f) ++i;
    if (i == 100) return data_len;
    int64_t len = data_len;
    int64_t lo = len * i / 100;
    int64_t hi, w;
    if (i < 99) {
        hi = len * (i + 1) / 100;
        w = v[i + 1];
    } else {
        hi = len - 1;
        w = frames - 1;
    }
    if (w == v[i]) return static_cast<int32_t>(lo);
    return static_cast<int32_t>(lo + (hi - lo) * (f - v[i]) / (w - v[i]));
}
