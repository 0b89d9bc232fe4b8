// The LAME tag's descriptive fields (the delay and padding are lame_tag.cpp's). Offsets within
// the 36-byte tag: the encoder string at 0 (9 bytes), the revision and method byte at 9, the peak
// at 11 (32 bits, big-endian, full scale at 2^23), the track and album gain words at 15 and 17.
// A gain word is 16 bits: a 3-bit name (1 track, 2 album, 0 not set), a 3-bit originator, a
// sign bit and the size in tenths of a dB.
#include "lame_info.h"

#include <cstring>

#include "lame_tag.h"

namespace {

void read_gain(const uint8_t* p, MpegLameInfo* info) {
    const uint32_t w = uint32_t(p[0]) << 8 | p[1];
    const uint32_t name = w >> 13, origin = (w >> 10) & 7, size = w & 0x1FF;
    if (origin == 0 && size == 0) return;  // no measurement
    const double db = ((w & 0x200) ? -1.0 : 1.0) * double(size) / 10.0;
    if (name == 1) {
        info->has_track_gain = 1;
        info->track_gain = db;
    } else if (name == 2) {
        info->has_album_gain = 1;
        info->album_gain = db;
    }
}

}  // namespace

int32_t mpeg_lame_info_read(const uint8_t* frame, int32_t avail, const MpegHeader* h,
                            MpegLameInfo* info) {
    if (!info) return 0;
    std::memset(info, 0, sizeof *info);
    const int32_t at = mpeg_lame_tag_offset(frame, avail, h);
    if (at < 0) return 0;
    const uint8_t* t = frame + at;
    bool printable = true;
    int32_t n = 9;
    while (n > 0 && (t[n - 1] == 0 || t[n - 1] == ' ')) --n;
    for (int32_t i = 0; i < n; ++i) printable = printable && t[i] >= 0x20 && t[i] < 0x7F;
    if (printable) std::memcpy(info->encoder, t, size_t(n));
    info->method = t[9] & 0x0F;
    const uint32_t peak = uint32_t(t[11]) << 24 | uint32_t(t[12]) << 16 | uint32_t(t[13]) << 8 | t[14];
    if (peak != 0) {
        info->has_peak = 1;
        info->peak = double(peak) / double(1 << 23);
    }
    read_gain(t + 15, info);
    read_gain(t + 17, info);
    return 1;
}

int32_t mpeg_lame_bitrate_mode(const MpegLameInfo* info) {
    if (!info) return MPEG_BITRATE_UNKNOWN;
    switch (info->method) {
    case 1:
    case 8:
        return MPEG_BITRATE_CBR;
    case 2:
    case 9:
        return MPEG_BITRATE_ABR;
    case 3:
    case 4:
    case 5:
    case 6:
        return MPEG_BITRATE_VBR;
    default:
        return MPEG_BITRATE_UNKNOWN;
    }
}
