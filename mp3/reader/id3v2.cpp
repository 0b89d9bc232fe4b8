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

// Appends the bytes with every 0xFF 0x00 turned back into 0xFF.
void resync(TextBuilder* out, const uint8_t* p, size_t n) {
    out->reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out->byte(p[i]);
        if (p[i] == 0xFF && i + 1 < n && p[i + 1] == 0x00) ++i;
    }
}

bool id_char(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// What the frames of one tag are read with.
struct TagContext {
    int version;
    uint8_t flags;  // the header's
    bool copied;    // the body lies in a temporary copy
    TagSource* src;
};

void read_frame_bytes(const TagContext& t, const char* id, const uint8_t* d, size_t n,
                      uint8_t format);

// Walks the frames in the n bytes at b, reading each into t->src when t is given.
// sizes_syncsafe picks the 2.4 size reading. Returns true when the walk ends cleanly: at the end
// of the bytes, or at padding, with every frame id valid and every frame inside the bytes.
bool walk_frames(const uint8_t* b, size_t n, int version, bool sizes_syncsafe,
                 const TagContext* t) {
    const size_t id_len = version == 2 ? 3 : 4, head = version == 2 ? 6 : 10;
    size_t pos = 0;
    while (n - pos >= head) {
        const uint8_t* f = b + pos;
        if (f[0] == 0) return true;  // padding
        char id[5] = {};
        for (size_t i = 0; i < id_len; ++i) {
            if (!id_char(f[i])) return false;
            id[i] = char(f[i]);
        }
        size_t size;
        if (version == 2)
            size = size_t(f[3]) << 16 | size_t(f[4]) << 8 | f[5];
        else
            size = sizes_syncsafe ? syncsafe32(f + 4) : be32(f + 4);
        if (size > n - pos - head) return false;
        // The second flag byte holds the frame's format (2.3 and 2.4).
        if (t) read_frame_bytes(*t, id, f + head, size, version == 2 ? 0 : f[9]);
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
void decode(TextBuilder* out, int enc, const uint8_t* p, size_t n) {
    switch (enc) {
    case 0:
        return latin1_to_utf8(out, p, n);
    case 1:
    case 2: {
        bool big = enc == 2;
        if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) { big = true; p += 2; n -= 2; }
        else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) { big = false; p += 2; n -= 2; }
        else if (enc == 1 && n >= 2 && p[0] == 0 && p[1] != 0) big = true;
        return utf16_to_utf8(out, p, n, big);
    }
    default:
        return utf8_clean(out, p, n);
    }
}

char* decoded(int enc, const uint8_t* p, size_t n) {
    TextBuilder b;
    decode(&b, enc, p, n);
    return b.take();
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
void text_values(TextBuilder* out, int enc, const uint8_t* p, size_t n) {
    size_t pos = 0;
    while (pos < n) {
        size_t next;
        const size_t len = terminated(enc, p + pos, n - pos, &next);
        const size_t mark = out->len;
        decode(out, enc, p + pos, len);
        out->separate(mark);
        pos += next;
    }
}

char* text_values(int enc, const uint8_t* p, size_t n) {
    TextBuilder b;
    text_values(&b, enc, p, n);
    return b.take();
}

// A decimal number of at most nine digits that makes up the whole of the n bytes at s; -1
// otherwise.
int small_number(const char* s, size_t n) {
    if (n == 0 || n > 9) return -1;
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// The name of one genre reference (n bytes at r): a number, RX or CR; "" when it names nothing.
const char* genre_ref(const char* r, size_t n) {
    if (n == 2 && std::memcmp(r, "RX", 2) == 0) return "Remix";
    if (n == 2 && std::memcmp(r, "CR", 2) == 0) return "Cover";
    const char* g = id3v1_genre_name(small_number(r, n));
    return g ? g : "";
}

// Appends the n bytes at p to out as a "/"-joined value.
void put_value(TextBuilder* out, const char* p, size_t n) {
    const size_t mark = out->len;
    out->bytes(p, n);
    out->separate(mark);
}

void read_picture(TagSource* src, bool v22, const uint8_t* p, size_t n, bool copied) {
    const int enc = p[0];
    if (enc > 3) return;
    size_t pos = 1;
    TextBuilder mime;
    if (v22) {  // 2.2 PIC: a three-letter image format
        if (n - pos < 4) return;
        const uint8_t* fmt = p + pos;
        const char* known = same_key(fmt, 3, "JPG")   ? "image/jpeg"
                            : same_key(fmt, 3, "PNG") ? "image/png"
                            : same_key(fmt, 3, "GIF") ? "image/gif"
                            : same_key(fmt, 3, "BMP") ? "image/bmp"
                                                      : nullptr;
        if (known) {
            mime.bytes(known, std::strlen(known));
        } else {
            mime.bytes("image/", 6);
            latin1_to_utf8(&mime, fmt, 3);
        }
        pos += 3;
    } else {
        size_t next;
        const size_t len = terminated(0, p + pos, n - pos, &next);
        // An image type without its "image/" prefix ("jpeg", "PNG") is common.
        if (len > 0 && !std::memchr(p + pos, '/', len)) mime.bytes("image/", 6);
        latin1_to_utf8(&mime, p + pos, len);
        pos += next;
    }
    if (n - pos < 1) return;
    TagPicture pic = {};
    pic.mime = mime.take();
    pic.type = p[pos++];
    size_t next;
    const size_t len = terminated(enc, p + pos, n - pos, &next);
    pic.description = decoded(enc, p + pos, len);
    pos += next;
    pic.size = n - pos;
    // A NULL copy (memory ran out) is add_picture's to record.
    if (copied) pic.owned = reinterpret_cast<uint8_t*>(copy_text(p + pos, pic.size));
    pic.data = copied ? pic.owned : p + pos;
    src->add_picture(pic);
}

// RVA2: an identification, then per channel its type, a 16-bit gain in 1/512 dB, the bit count
// of the peak and the peak. Only the master volume (type 1) is kept.
void read_rva2(const uint8_t* p, size_t n, TagSource* src) {
    size_t next;
    const size_t len = terminated(0, p, n, &next);
    // Latin-1 compares as ASCII: its other characters never equal an ASCII letter.
    VolumeAdjust* dst = same_key(p, len, "track")   ? &src->rva2_track
                        : same_key(p, len, "album") ? &src->rva2_album
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
void read_frame(TagSource* src, const char* id, const uint8_t* p, size_t n, bool copied) {
    if (n == 0) return;
    const bool v22 = id[3] == 0;
    auto is = [&](const char* id3, const char* id4) {
        return std::strcmp(id, v22 ? id3 : id4) == 0;
    };
    if (is("PIC", "APIC")) return read_picture(src, v22, p, n, copied);
    if (!v22 && std::strcmp(id, "RVA2") == 0) return read_rva2(p, n, src);
    const int enc = p[0];
    if (enc > 3) return;
    if (is("TXX", "TXXX")) {
        size_t next;
        const size_t len = terminated(enc, p + 1, n - 1, &next);
        char* key = decoded(enc, p + 1, len);
        return src->add_user(key, text_values(enc, p + 1 + next, n - 1 - next));
    }
    if (is("COM", "COMM")) {
        if (n < 4) return;
        size_t next;
        const size_t len = terminated(enc, p + 4, n - 4, &next);
        TextBuilder description;
        decode(&description, enc, p + 4, len);
        src->oom |= description.oom;
        char* text = text_values(enc, p + 4 + next, n - 4 - next);
        // The comment without a description is the comment; a described one (players' own
        // notes) stands in only when there is no other.
        if (description.len == 0)
            src->set(MPEG_TAG_COMMENT, text);
        else if (!text)
            src->oom = true;
        else if (!src->described_comment && *text)
            src->described_comment = text;
        else
            std::free(text);
        return;
    }
    if (id[0] != 'T') return;
    int field = -1;
    if (is("TT2", "TIT2")) field = MPEG_TAG_TITLE;
    else if (is("TP1", "TPE1")) field = MPEG_TAG_ARTIST;
    else if (is("TAL", "TALB")) field = MPEG_TAG_ALBUM;
    else if (is("TRK", "TRCK")) field = MPEG_TAG_TRACK;
    else if (is("TCO", "TCON")) field = MPEG_TAG_GENRE;
    else if (is("TYE", "TDRC")) field = MPEG_TAG_DATE;
    else if (!v22 && std::strcmp(id, "TYER") == 0) field = MPEG_TAG_DATE;
    else if (is("TSS", "TSSE")) field = MPEG_TAG_ENCODER;
    if (field < 0) return;
    TextBuilder text;
    text_values(&text, enc, p + 1, n - 1);
    if (field == MPEG_TAG_GENRE && text.len > 0 && !text.oom) {
        // Each "/"-joined value is read on its own.
        TextBuilder g;
        for (size_t start = 0; start <= text.len;) {
            const void* slash = std::memchr(text.s + start, '/', text.len - start);
            const size_t end = slash ? size_t(static_cast<const char*>(slash) - text.s) : text.len;
            id3v2_genre(&g, text.s + start, end - start);
            start = end + 1;
        }
        return src->set(field, g.take());
    }
    src->set(field, text.take());
}

// Reads one frame as the walk finds it: skips what cannot be read, strips the extra bytes its
// format flags announce and undoes its unsynchronisation.
void read_frame_bytes(const TagContext& t, const char* id, const uint8_t* d, size_t n,
                      uint8_t format) {
    bool frame_unsync = false;
    if (t.version == 3) {
        if (format & 0xC0) return;  // compressed or encrypted
        if (format & 0x20) {        // group byte
            if (n < 1) return;
            ++d;
            --n;
        }
    } else if (t.version == 4) {
        if (format & 0x0C) return;  // compressed or encrypted
        const size_t skip = ((format & 0x40) ? 1 : 0) + ((format & 0x01) ? 4 : 0);
        if (skip > n) return;
        d += skip;
        n -= skip;
        frame_unsync = (format & 0x02) || (t.flags & 0x80);
    }
    if (!frame_unsync) return read_frame(t.src, id, d, n, t.copied);
    TextBuilder plain;
    resync(&plain, d, n);
    if (plain.oom) t.src->oom = true;
    else read_frame(t.src, id, reinterpret_cast<const uint8_t*>(plain.s), plain.len, true);
}

}  // namespace

void id3v2_genre(TextBuilder* out, const char* v, size_t n) {
    const char* last = "";
    size_t last_len = 0, pos = 0;
    // Leading references in parentheses; "((" opens literal text.
    while (pos < n && v[pos] == '(' && !(pos + 1 < n && v[pos + 1] == '(')) {
        const void* close_at = std::memchr(v + pos, ')', n - pos);
        if (!close_at) break;
        const size_t close = size_t(static_cast<const char*>(close_at) - v);
        const char* name = genre_ref(v + pos + 1, close - pos - 1);
        if (!*name) break;
        put_value(out, last, last_len);
        last = name;
        last_len = std::strlen(name);
        pos = close + 1;
    }
    const char* rest = v + pos;
    size_t rest_len = n - pos;
    if (rest_len >= 2 && rest[0] == '(' && rest[1] == '(') ++rest, --rest_len;
    // Text after the references refines the last of them and replaces its name.
    if (rest_len > 0 && pos > 0) {
        last = rest;
        last_len = rest_len;
    } else if (pos == 0) {
        const char* name = genre_ref(rest, rest_len);
        last = *name ? name : rest;
        last_len = *name ? std::strlen(name) : rest_len;
    }
    put_value(out, last, last_len);
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

    TextBuilder whole;
    const bool copied = (flags & 0x80) && version < 4;
    if (copied) {
        resync(&whole, body, size);
        if (whole.oom) {
            src->oom = true;
            return true;
        }
        body = reinterpret_cast<const uint8_t*>(whole.s);
        size = whole.len;
    }
    if (version >= 3 && (flags & 0x40)) {
        // The extended header: its size excludes its own four bytes in 2.3 and includes them
        // in 2.4.
        const uint64_t ext =
            size < 4 ? UINT64_MAX : version == 3 ? uint64_t(be32(body)) + 4 : syncsafe32(body);
        if (ext > size) return true;
        body += size_t(ext);
        size -= size_t(ext);
    }
    // A common writer fault: 2.4 frame sizes written as plain integers. Taken when that reading
    // walks the tag cleanly and the syncsafe one does not.
    bool syncsafe = version == 4;
    if (syncsafe && !walk_frames(body, size, version, true, nullptr) &&
        walk_frames(body, size, version, false, nullptr))
        syncsafe = false;
    const TagContext t = {version, flags, copied, src};
    walk_frames(body, size, version, syncsafe, &t);
    return true;
}

}  // namespace mpeg_tags_impl
