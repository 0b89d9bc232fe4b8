// Reads an X window dump (the output of `xwd -root`) into 8-bit RGB. Handles the TrueColor
// layouts an X server hands out (16, 24 or 32 bits per pixel, either byte order); every read is
// checked against the dump's size, so a truncated or odd dump gives an error, never a bad read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct XwdImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3

    const uint8_t* at(int x, int y) const { return &rgb[(size_t(y) * width + x) * 3]; }
};

namespace xwd_detail {

inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Scales a masked channel to 8 bits by its top bits (a 5-bit 6 becomes 6 << 3).
inline uint8_t channel(uint32_t pixel, uint32_t mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!(mask >> shift & 1)) ++shift;
    int bits = 0;
    while (shift + bits < 32 && (mask >> (shift + bits) & 1)) ++bits;
    uint32_t v = (pixel & mask) >> shift;
    return bits >= 8 ? uint8_t(v >> (bits - 8)) : uint8_t(v << (8 - bits));
}

}  // namespace xwd_detail

// Returns an empty string on success, else what is wrong with the dump.
inline std::string xwd_parse(const std::vector<uint8_t>& f, XwdImage& out) {
    using namespace xwd_detail;
    if (f.size() < 100) return "dump shorter than an XWD header";
    uint32_t h[25];
    for (int i = 0; i < 25; ++i) h[i] = be32(&f[size_t(i) * 4]);
    const uint32_t header_size = h[0], version = h[1], format = h[2], width = h[4], height = h[5];
    const uint32_t byte_order = h[7], bpp = h[11], bpl = h[12], visual = h[13];
    const uint32_t rmask = h[14], gmask = h[15], bmask = h[16], ncolors = h[19];
    if (version != 7) return "XWD version " + std::to_string(version) + ", expected 7";
    if (format != 2) return "not a ZPixmap dump";
    if (visual != 4 && visual != 5) return "not a TrueColor/DirectColor visual";
    if (bpp != 16 && bpp != 24 && bpp != 32)
        return "unsupported bits per pixel " + std::to_string(bpp);
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return "bad image size";
    if (uint64_t(bpl) < uint64_t(width) * (bpp / 8)) return "line shorter than the image";
    uint64_t data = uint64_t(header_size) + uint64_t(ncolors) * 12;
    if (data + uint64_t(bpl) * height > f.size()) return "dump truncated";
    out.width = int(width);
    out.height = int(height);
    out.rgb.assign(size_t(width) * height * 3, 0);
    const int bytes = int(bpp / 8);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* line = &f[size_t(data + uint64_t(bpl) * y)];
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = line + size_t(x) * bytes;
            uint32_t v = 0;
            for (int b = 0; b < bytes; ++b) {
                int s = byte_order == 0 ? b : bytes - 1 - b;  // 0 = least significant byte first
                v |= uint32_t(p[b]) << (8 * s);
            }
            uint8_t* o = &out.rgb[(size_t(y) * width + x) * 3];
            o[0] = channel(v, rmask);
            o[1] = channel(v, gmask);
            o[2] = channel(v, bmask);
        }
    }
    return "";
}
