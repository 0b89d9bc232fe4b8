// Tag recognition: the signature and header checks of ID3v2, APEv2, Lyrics3 and ID3v1, and the
// cut of the tags at the end of in-memory data.
#include "tags.h"

#include <cstring>

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Whether the n bytes at p agree with the first n bytes of sig (n may be shorter than sig).
bool prefix_of(const uint8_t* p, int32_t n, const char* sig, int32_t sig_len) {
    int32_t k = n < sig_len ? n : sig_len;
    return std::memcmp(p, sig, size_t(k)) == 0;
}

// An ID3v2 header ("ID3" or, read at a tag's end, "3DI"): version 2 to 4, a revision below
// 0xFF, and four size bytes with bit 7 clear. Returns the tag's bytes, header and footer
// included, or 0.
int64_t id3v2_size(const uint8_t* p) {
    if (p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
    int64_t size = int64_t(p[6]) << 21 | int64_t(p[7]) << 14 | int64_t(p[8]) << 7 | int64_t(p[9]);
    // Only version 4 has a footer.
    return size + 10 + ((p[3] == 4 && (p[5] & 0x10)) ? 10 : 0);
}

// An APEv2 header or footer of 32 bytes: "APETAGEX", version, size (items and footer), item
// count, flags (bit 31: the tag has a header; bit 30: it has no footer; bit 29: this is the
// header). Returns the bytes from this header or footer to the tag's end, or 0.
int64_t ape_from(const uint8_t* p) {
    const uint32_t version = le32(p + 8), size = le32(p + 12), flags = le32(p + 20);
    if (version != 1000 && version != 2000) return 0;
    if (size > 0x7FFFFFF0u) return 0;
    if (flags & (1u << 29)) return 32 + int64_t(size);  // the header: items and footer follow
    return 32;                                          // a footer: the tag ends with it
}

// Reads a run of decimal digits; -1 when any is not a digit.
int64_t digits(const uint8_t* p, int32_t n) {
    int64_t v = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// Lyrics3 tags are text up to "LYRICSEND" (v1) or "LYRICS200" (v2). The end is looked for in
// the bytes given; when it is not there the text is left to the frame search, which its bytes
// do not deceive.
int64_t lyrics3_size(const uint8_t* p, int32_t n) {
    for (int32_t i = 11; i + 9 <= n; ++i)
        if (p[i] == 'L' && (std::memcmp(p + i, "LYRICSEND", 9) == 0 ||
                            std::memcmp(p + i, "LYRICS200", 9) == 0))
            return i + 9;
    return 0;
}

}  // namespace

int64_t mpeg_tag_at(const uint8_t* p, int32_t n, int32_t boundary) {
    if (!p || n <= 0) return 0;
    switch (p[0]) {
    case 'I':
        if (!prefix_of(p, n, "ID3", 3)) return 0;
        return n < 10 ? MP3_TAG_UNSURE : id3v2_size(p);
    case 'A':
        if (!prefix_of(p, n, "APETAGEX", 8)) return 0;
        return n < 32 ? MP3_TAG_UNSURE : ape_from(p);
    case 'L':
        if (!prefix_of(p, n, "LYRICSBEGIN", 11)) return 0;
        return n < 11 ? MP3_TAG_UNSURE : lyrics3_size(p, n);
    case 'T':
        if (!boundary || !prefix_of(p, n, "TAG", 3)) return 0;
        return n < 3 ? MP3_TAG_UNSURE : 128;
    default:
        return 0;
    }
}

int32_t mpeg_trailing_tags(const uint8_t* data, int32_t n) {
    if (!data || n < 0) return 0;
    for (;;) {
        if (n >= 128 && std::memcmp(data + n - 128, "TAG", 3) == 0) {
            n -= 128;
            continue;
        }
        if (n >= 32 && std::memcmp(data + n - 32, "APETAGEX", 8) == 0) {
            const uint8_t* f = data + n - 32;
            const uint32_t size = le32(f + 12), flags = le32(f + 20);
            const int64_t whole = int64_t(size) + ((flags & (1u << 31)) ? 32 : 0);
            if (!(flags & (1u << 29)) && size >= 32 && whole <= n) {
                n -= int32_t(whole);
                continue;
            }
        }
        if (n >= 15 && std::memcmp(data + n - 9, "LYRICS200", 9) == 0) {
            const int64_t size = digits(data + n - 15, 6);
            if (size >= 11 && size + 15 <= n &&
                std::memcmp(data + n - 15 - size, "LYRICSBEGIN", 11) == 0) {
                n -= int32_t(size + 15);
                continue;
            }
        }
        if (n >= 20 && std::memcmp(data + n - 10, "3DI", 3) == 0) {
            const int64_t size = id3v2_size(data + n - 10);
            if (size > 20 && size <= n && std::memcmp(data + n - size, "ID3", 3) == 0) {
                n -= int32_t(size);
                continue;
            }
        }
        return n;
    }
}
