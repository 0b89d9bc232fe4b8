// ID3v2 tags, versions 2.2, 2.3 and 2.4: the header, the extended header (skipped), the
// unsynchronisation of the whole tag or of single frames (undone into a copy), the frame walk
// and the frames that carry fields, user text, pictures and RVA2 volume. In: the tag's bytes;
// out: a TagSource. Compressed and encrypted frames are skipped; frames cut off by the end of
// the bytes are dropped.
#include "tag_source.h"

#include <cmath>
#include <cstring>

namespace mpeg_tags_impl {

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t syncsafe32(const uint8_t* p) {
    return uint32_t(p[0] & 0x7F) << 21 | uint32_t(p[1] & 0x7F) << 14 | uint32_t(p[2] & 0x7F) << 7 |
           uint32_t(p[3] & 0x7F);
}

// The bytes with every 0xFF 0x00 turned back into 0xFF.
std::vector<uint8_t> resync(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(p[i]);
        if (p[i] == 0xFF && i + 1 < n && p[i + 1] == 0x00) ++i;
    }
    return out;
}

bool id_char(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

struct Frame {
    char id[5];
    const uint8_t* data;
    size_t size;
    uint8_t format;  // the second flag byte (2.3 and 2.4); 0 in 2.2
};

// Walks the frames in the n bytes at b. sizes_syncsafe picks the 2.4 size reading. Returns true
// when the walk ends cleanly: at the end of the bytes, or at padding, with every frame id valid
// and every frame inside the bytes.
bool walk_frames(const uint8_t* b, size_t n, int version, bool sizes_syncsafe,
                 std::vector<Frame>* frames) {
    const size_t id_len = version == 2 ? 3 : 4, head = version == 2 ? 6 : 10;
    size_t pos = 0;
    while (n - pos >= head) {
        const uint8_t* f = b + pos;
        if (f[0] == 0) return true;  // padding
        for (size_t i = 0; i < id_len; ++i)
            if (!id_char(f[i])) return false;
        size_t size;
        if (version == 2)
            size = size_t(f[3]) << 16 | size_t(f[4]) << 8 | f[5];
        else
            size = sizes_syncsafe ? syncsafe32(f + 4) : be32(f + 4);
        if (size > n - pos - head) return false;
        Frame fr;
        std::memcpy(fr.id, f, id_len);
        fr.id[id_len] = 0;
        fr.data = f + head;
        fr.size = size;
        fr.format = version == 2 ? 0 : f[9];
        frames->push_back(fr);
        pos += head + size;
    }
    // Fewer bytes than a frame header left: zeros are padding, anything else a broken chain.
    for (; pos < n; ++pos)
        if (b[pos]) return false;
    return true;
}

// Text of ID3v2 encoding `enc` (0 Latin-1, 1 UTF-16 with byte order mark, 2 UTF-16BE, 3 UTF-8).
// A UTF-16 run without a mark is taken as little-endian unless its first unit reads as a Latin
// character in big-endian order.
std::string decode(int enc, const uint8_t* p, size_t n) {
    switch (enc) {
    case 0:
        return latin1_to_utf8(p, n);
    case 1:
    case 2: {
        bool big = enc == 2;
        if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) { big = true; p += 2; n -= 2; }
        else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) { big = false; p += 2; n -= 2; }
        else if (enc == 1 && n >= 2 && p[0] == 0 && p[1] != 0) big = true;
        return utf16_to_utf8(p, n, big);
    }
    default:
        return utf8_clean(p, n);
    }
}

// Length of the string at p in encoding enc up to its terminator (one NUL, or two on a 2-byte
// boundary for UTF-16), and in *next the position after the terminator (n when there is none).
size_t terminated(int enc, const uint8_t* p, size_t n, size_t* next) {
    if (enc == 1 || enc == 2) {
        for (size_t i = 0; i + 1 < n; i += 2)
            if (p[i] == 0 && p[i + 1] == 0) {
                *next = i + 2;
                return i;
            }
    } else {
        const void* nul = std::memchr(p, 0, n);
        if (nul) {
            const size_t i = size_t(static_cast<const uint8_t*>(nul) - p);
            *next = i + 1;
            return i;
        }
    }
    *next = n;
    return n;
}

// All values of a text body (NUL-separated in 2.4), joined by "/"; empty values dropped.
std::string text_values(int enc, const uint8_t* p, size_t n) {
    std::string out;
    size_t pos = 0;
    while (pos < n) {
        size_t next;
        const size_t len = terminated(enc, p + pos, n - pos, &next);
        std::string v = decode(enc, p + pos, len);
        if (!v.empty()) {
            if (!out.empty()) out += '/';
            out += v;
        }
        pos += next;
    }
    return out;
}

// A decimal number of at most nine digits that makes up the whole of s; -1 otherwise.
int small_number(const std::string& s) {
    if (s.empty() || s.size() > 9) return -1;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// The name of one genre reference: a number, RX or CR; empty when it names nothing.
std::string genre_ref(const std::string& r) {
    if (r == "RX") return "Remix";
    if (r == "CR") return "Cover";
    const char* g = id3v1_genre_name(small_number(r));
    return g ? g : "";
}

void read_picture(const Frame& f, const uint8_t* p, size_t n, bool copied, TagSource* src) {
    const int enc = p[0];
    if (enc > 3) return;
    size_t pos = 1;
    TagPicture pic;
    if (f.id[3] == 0) {  // 2.2 PIC: a three-letter image format
        if (n - pos < 4) return;
        const std::string fmt(reinterpret_cast<const char*>(p + pos), 3);
        pic.mime = equal_ascii_nocase(fmt.c_str(), "JPG")   ? "image/jpeg"
                   : equal_ascii_nocase(fmt.c_str(), "PNG") ? "image/png"
                   : equal_ascii_nocase(fmt.c_str(), "GIF") ? "image/gif"
                   : equal_ascii_nocase(fmt.c_str(), "BMP") ? "image/bmp"
                                                             : "image/" + latin1_to_utf8(p + pos, 3);
        pos += 3;
    } else {
        size_t next;
        const size_t len = terminated(0, p + pos, n - pos, &next);
        pic.mime = latin1_to_utf8(p + pos, len);
        pos += next;
        // An image type without its "image/" prefix ("jpeg", "PNG") is common.
        if (!pic.mime.empty() && pic.mime.find('/') == std::string::npos)
            pic.mime = "image/" + pic.mime;
    }
    if (n - pos < 1) return;
    pic.type = p[pos++];
    size_t next;
    const size_t len = terminated(enc, p + pos, n - pos, &next);
    pic.description = decode(enc, p + pos, len);
    pos += next;
    pic.size = n - pos;
    if (copied)
        pic.owned.assign(p + pos, p + n);
    else
        pic.data = p + pos;
    src->pictures.push_back(std::move(pic));
}

// RVA2: an identification, then per channel its type, a 16-bit gain in 1/512 dB, the bit count
// of the peak and the peak. Only the master volume (type 1) is kept.
void read_rva2(const uint8_t* p, size_t n, TagSource* src) {
    size_t next;
    const size_t len = terminated(0, p, n, &next);
    const std::string ident = latin1_to_utf8(p, len);
    VolumeAdjust* dst = equal_ascii_nocase(ident.c_str(), "track")   ? &src->rva2_track
                        : equal_ascii_nocase(ident.c_str(), "album") ? &src->rva2_album
                                                                     : nullptr;
    if (!dst || dst->present) return;
    size_t pos = next;
    while (n - pos >= 4) {
        const int type = p[pos];
        const int16_t gain = int16_t(uint16_t(p[pos + 1] << 8 | p[pos + 2]));
        const int bits = p[pos + 3];
        const size_t peak_bytes = (size_t(bits) + 7) / 8;
        pos += 4;
        if (peak_bytes > n - pos) return;
        if (type == 1) {
            dst->present = true;
            dst->gain = gain / 512.0;
            if (bits > 0) {
                double v = 0;
                for (size_t i = 0; i < peak_bytes; ++i) v = v * 256.0 + p[pos + i];
                // The peak is a fraction of full scale held in `bits` bits, stored from the most
                // significant byte: the unused low bits of the last byte are not part of it.
                v = std::ldexp(v, -int(peak_bytes * 8 - size_t(bits)));
                dst->has_peak = true;
                dst->peak = std::ldexp(v, -(bits - 1));
            }
            return;
        }
        pos += peak_bytes;
    }
}

// Reads one frame's data (n bytes at p, unsynchronisation undone). `copied`: p lies in a
// temporary copy, so picture bytes must be copied too.
void read_frame(const Frame& f, const uint8_t* p, size_t n, bool copied, TagSource* src) {
    if (n == 0) return;
    const bool v22 = f.id[3] == 0;
    auto is = [&](const char* id3, const char* id4) {
        return std::strcmp(f.id, v22 ? id3 : id4) == 0;
    };
    if (is("PIC", "APIC")) return read_picture(f, p, n, copied, src);
    if (!v22 && std::strcmp(f.id, "RVA2") == 0) return read_rva2(p, n, src);
    const int enc = p[0];
    if (enc > 3) return;
    if (is("TXX", "TXXX")) {
        size_t next;
        const size_t len = terminated(enc, p + 1, n - 1, &next);
        std::string key = decode(enc, p + 1, len);
        std::string value = text_values(enc, p + 1 + next, n - 1 - next);
        if (!key.empty()) src->user.emplace_back(std::move(key), std::move(value));
        return;
    }
    if (is("COM", "COMM")) {
        if (n < 4) return;
        size_t next;
        const size_t len = terminated(enc, p + 4, n - 4, &next);
        const bool described = len > 0 && !decode(enc, p + 4, len).empty();
        std::string text = text_values(enc, p + 4 + next, n - 4 - next);
        // The comment without a description is the comment; a described one (players' own
        // notes) stands in only when there is no other.
        if (!described)
            src->set(MPEG_TAG_COMMENT, std::move(text));
        else if (src->described_comment.empty())
            src->described_comment = std::move(text);
        return;
    }
    if (f.id[0] != 'T') return;
    int field = -1;
    if (is("TT2", "TIT2")) field = MPEG_TAG_TITLE;
    else if (is("TP1", "TPE1")) field = MPEG_TAG_ARTIST;
    else if (is("TAL", "TALB")) field = MPEG_TAG_ALBUM;
    else if (is("TRK", "TRCK")) field = MPEG_TAG_TRACK;
    else if (is("TCO", "TCON")) field = MPEG_TAG_GENRE;
    else if (is("TYE", "TDRC")) field = MPEG_TAG_DATE;
    else if (!v22 && std::strcmp(f.id, "TYER") == 0) field = MPEG_TAG_DATE;
    if (field < 0) return;
    std::string text = text_values(enc, p + 1, n - 1);
    if (field == MPEG_TAG_GENRE) {
        // Each "/"-joined value is read on its own.
        std::string g, part;
        size_t start = 0;
        while (start <= text.size()) {
            size_t slash = text.find('/', start);
            if (slash == std::string::npos) slash = text.size();
            part = id3v2_genre(text.substr(start, slash - start));
            if (!part.empty()) g += (g.empty() ? "" : "/") + part;
            start = slash + 1;
        }
        text = g;
    }
    src->set(field, std::move(text));
}

}  // namespace

std::string id3v2_genre(const std::string& v) {
    std::string names, last;
    size_t pos = 0;
    // Leading references in parentheses; "((" opens literal text.
    while (pos < v.size() && v[pos] == '(' && !(pos + 1 < v.size() && v[pos + 1] == '(')) {
        const size_t close = v.find(')', pos);
        if (close == std::string::npos) break;
        const std::string name = genre_ref(v.substr(pos + 1, close - pos - 1));
        if (name.empty()) break;
        if (!last.empty()) names += (names.empty() ? "" : "/") + last;
        last = name;
        pos = close + 1;
    }
    std::string rest = v.substr(pos);
    if (rest.size() >= 2 && rest[0] == '(' && rest[1] == '(') rest.erase(0, 1);
    // Text after the references refines the last of them and replaces its name.
    if (!rest.empty() && pos > 0) last = rest;
    else if (pos == 0) {
        const std::string name = genre_ref(rest);
        last = name.empty() ? rest : name;
    }
    if (!last.empty()) names += (names.empty() ? "" : "/") + last;
    return names;
}

bool id3v2_read(const uint8_t* p, size_t n, TagSource* src) {
    if (n < 10 || std::memcmp(p, "ID3", 3) != 0 || p[3] < 2 || p[3] > 4 || p[4] == 0xFF ||
        ((p[6] | p[7] | p[8] | p[9]) & 0x80))
        return false;
    const int version = p[3];
    const uint8_t flags = p[5];
    size_t size = syncsafe32(p + 6);
    if (size > n - 10) size = n - 10;  // a tag cut off: read what is there
    const uint8_t* body = p + 10;
    // 2.2 with its compression bit set has no defined compression: nothing to read.
    if (version == 2 && (flags & 0x40)) return true;

    std::vector<uint8_t> whole;
    bool copied = false;
    if ((flags & 0x80) && version < 4) {
        whole = resync(body, size);
        body = whole.data();
        size = whole.size();
        copied = true;
    }
    if (version >= 3 && (flags & 0x40)) {
        // The extended header: its size excludes its own four bytes in 2.3 and includes them
        // in 2.4.
        if (size < 4) return true;
        const uint64_t ext = version == 3 ? uint64_t(be32(body)) + 4 : syncsafe32(body);
        if (ext > size) return true;
        body += size_t(ext);
        size -= size_t(ext);
    }

    std::vector<Frame> frames;
    bool clean = walk_frames(body, size, version, version == 4, &frames);
    if (version == 4 && !clean) {
        // A common writer fault: 2.4 frame sizes written as plain integers. Taken when that
        // reading walks the tag cleanly and the syncsafe one does not.
        std::vector<Frame> plain;
        if (walk_frames(body, size, version, false, &plain)) frames.swap(plain);
    }

    for (const Frame& f : frames) {
        const uint8_t* d = f.data;
        size_t dn = f.size;
        bool frame_unsync = false;
        if (version == 3) {
            if (f.format & 0xC0) continue;  // compressed or encrypted
            if (f.format & 0x20) {          // group byte
                if (dn < 1) continue;
                ++d;
                --dn;
            }
        } else if (version == 4) {
            if (f.format & 0x0C) continue;  // compressed or encrypted
            size_t skip = ((f.format & 0x40) ? 1 : 0) + ((f.format & 0x01) ? 4 : 0);
            if (skip > dn) continue;
            d += skip;
            dn -= skip;
            frame_unsync = (f.format & 0x02) || (flags & 0x80);
        }
        if (frame_unsync) {
            std::vector<uint8_t> plain = resync(d, dn);
            read_frame(f, plain.data(), plain.size(), true, src);
        } else {
            read_frame(f, d, dn, copied, src);
        }
    }
    return true;
}

}  // namespace mpeg_tags_impl
