// Reading of the LAME tag. The Info ("Info" for constant bitrate, "Xing" for variable) frame
// holds, after the side information, the tag word, a flag word and the flagged frame count,
// byte count, table of contents and quality; the LAME tag follows them: 36 bytes, of which the
// encoder delay and padding are two 12-bit fields at byte 21 and the last two bytes are a
// CRC-16 of every frame byte before them. A tag whose CRC fails counts only when the rest of it
// is sane (tag_is_sane). Every read is checked against the readable bytes.
#include "lame_tag.h"

#include <climits>
#include <cstring>

#include "xing.h"

namespace {

constexpr int32_t kTagBytes = 36;
constexpr int32_t kDelayAt = 21;
constexpr int32_t kMusicLengthAt = 28;
constexpr int32_t kCrcAt = 34;

uint32_t read_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// CRC-16 with the polynomial x^16 + x^15 + x^2 + 1, bits taken least significant first, start 0.
constexpr uint16_t crc_step(uint16_t crc) {
    return (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001u) : uint16_t(crc >> 1);
}

struct CrcTable {
    uint16_t v[256];
};

constexpr CrcTable make_crc_table() {
    CrcTable t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t c = uint16_t(i);
        for (int b = 0; b < 8; ++b) c = crc_step(c);
        t.v[i] = c;
    }
    return t;
}

constexpr CrcTable kCrc = make_crc_table();

uint16_t crc16(const uint8_t* p, int32_t n) {
    uint16_t crc = 0;
    for (int32_t i = 0; i < n; ++i) crc = uint16_t((crc >> 8) ^ kCrc.v[(crc ^ p[i]) & 0xFF]);
    return crc;
}

// Offset of the "Xing"/"Info" word of a Layer III frame that has one within avail bytes (its
// flag word included), else -1.
int32_t info_at(const uint8_t* frame, int32_t avail, const MpegHeader* h) {
    if (!frame || !h || avail <= 0 || h->layer != 1) return -1;
    const int32_t at = mpeg_info_position(h);
    if (avail - at < 8) return -1;
    if (std::memcmp(frame + at, "Xing", 4) != 0 && std::memcmp(frame + at, "Info", 4) != 0)
        return -1;
    return at;
}

// Whether a LAME tag whose CRC fails is still to be believed. Some encoders' front ends
// (ffmpeg's, on mono and on lower-sampling-frequency files) rewrite the Info frame after the
// tag was made and leave its CRC stale, while its fields hold. The tag counts only when all of
// it looks as an encoder writes it: a printable encoder string led by four letters or digits
// ("LAME", "Lavc", ...), delay and padding each within two frames of 1152 samples, a frame
// count whose frames hold more than delay and padding together, and, where the byte count is
// given, an average frame size between the smallest and the largest frame of this stream.
bool tag_is_sane(const uint8_t* frame, int32_t at, uint32_t flags, const uint8_t* t,
                 const MpegHeader* h, int32_t delay, int32_t padding) {
    for (int32_t i = 0; i < 9; ++i) {
        const uint8_t c = t[i];
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (i < 4 ? !alnum : !(c == 0 || (c >= 0x20 && c < 0x7F))) return false;
    }
    if (delay > 2 * 1152 || padding > 2 * 1152) return false;
    if (!(flags & 1)) return false;
    const uint32_t frames = read_be32(frame + at + 8);
    if (frames == 0 || frames > uint32_t(INT32_MAX)) return false;
    const int64_t samples = h->id == 1 ? 1152 : 576;
    if (int64_t(delay) + padding >= int64_t(frames) * samples) return false;
    if (flags & 2) {
        const uint32_t bytes = read_be32(frame + at + 12);
        MpegHeader lo = *h, hi = *h;
        lo.bitrate_index = 1;
        hi.bitrate_index = 14;
        MpegFrameInfo a, b;
        if (!mpeg_header_info(&lo, &a) || !mpeg_header_info(&hi, &b)) return false;
        const uint64_t avg = bytes / frames;
        if (avg < uint64_t(a.frame_bytes) || avg > uint64_t(b.frame_bytes) + 1) return false;
    }
    return true;
}

}  // namespace

int32_t mpeg_lame_info_frames(const uint8_t* frame, int32_t avail, const MpegHeader* h) {
    const int32_t at = info_at(frame, avail, h);
    if (at < 0 || !(read_be32(frame + at + 4) & 1) || avail - at < 12) return -1;
    const uint32_t n = read_be32(frame + at + 8);
    return n <= uint32_t(INT32_MAX) ? int32_t(n) : -1;
}

int32_t mpeg_lame_tag_offset(const uint8_t* frame, int32_t avail, const MpegHeader* h) {
    const int32_t at = info_at(frame, avail, h);
    if (at < 0) return -1;
    const uint32_t flags = read_be32(frame + at + 4);
    const int32_t lame = at + 8 + mpeg_info_fields_bytes(flags);
    if (avail - lame < kTagBytes) return -1;
    const uint8_t* t = frame + lame;
    const uint16_t stored = uint16_t(t[kCrcAt] << 8 | t[kCrcAt + 1]);
    if (crc16(frame, lame + kCrcAt) == stored) return lame;
    const uint8_t* d = t + kDelayAt;
    const int32_t delay = int32_t(d[0]) << 4 | d[1] >> 4;
    const int32_t padding = int32_t(d[1] & 0x0F) << 8 | d[2];
    return tag_is_sane(frame, at, flags, t, h, delay, padding) ? lame : -1;
}

int32_t mpeg_lame_tag_read(const uint8_t* frame, int32_t avail, const MpegHeader* h, MpegLameTag* tag) {
    const int32_t lame = tag ? mpeg_lame_tag_offset(frame, avail, h) : -1;
    if (lame < 0) return 0;
    const uint8_t* d = frame + lame + kDelayAt;
    tag->delay = int32_t(d[0]) << 4 | d[1] >> 4;
    tag->padding = int32_t(d[1] & 0x0F) << 8 | d[2];
    return 1;
}

int64_t mpeg_lame_music_length(const uint8_t* frame, int32_t avail, const MpegHeader* h) {
    const int32_t lame = mpeg_lame_tag_offset(frame, avail, h);
    return lame < 0 ? -1 : int64_t(read_be32(frame + lame + kMusicLengthAt));
}

void mpeg_lame_trim(const MpegLameTag* tag, int64_t decoded, int32_t reduction, int64_t* skip,
               int64_t* keep) {
    if (decoded < 0) decoded = 0;
    if (reduction < 0 || reduction > 2) reduction = 0;
    int64_t s = 0, k = decoded;
    if (tag) {
        // Both ends of the cut are placed at the full rate, where delay and padding are
        // counted, and then brought to the output rate.
        const int64_t first = int64_t(tag->delay) + kLameDecoderDelay;
        const int64_t end = first + (decoded << reduction) - tag->delay - tag->padding;
        s = first >> reduction;
        k = (end >> reduction) - s;
        if (s > decoded) s = decoded;
        if (k > decoded - s) k = decoded - s;
        if (k < 0) k = 0;
    }
    if (skip) *skip = s;
    if (keep) *keep = k;
}
