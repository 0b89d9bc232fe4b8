// Text conversions of the tag readers: ISO-8859-1, UTF-16 (either byte order) and unchecked
// UTF-8 in, valid UTF-8 out; invalid input becomes U+FFFD rather than an error. Also the
// trimming and the ASCII case-blind comparison of keys.
#include "tag_source.h"

namespace mpeg_tags_impl {

namespace {

void put_utf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

constexpr uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string latin1_to_utf8(const uint8_t* p, size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) put_utf8(out, p[i]);
    return out;
}

std::string utf16_to_utf8(const uint8_t* p, size_t n, bool big_endian) {
    std::string out;
    out.reserve(n);
    auto unit = [&](size_t i) -> uint32_t {
        return big_endian ? uint32_t(p[i]) << 8 | p[i + 1] : uint32_t(p[i + 1]) << 8 | p[i];
    };
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00) {
            // A high surrogate counts only with a low one right after it.
            if (i + 3 < n) {
                uint32_t lo = unit(i + 2);
                if (lo >= 0xDC00 && lo < 0xE000) {
                    put_utf8(out, 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
                    i += 2;
                    continue;
                }
            }
            c = kReplacement;
        } else if (c >= 0xDC00 && c < 0xE000) {
            c = kReplacement;
        }
        put_utf8(out, c);
    }
    return out;
}

std::string utf8_clean(const uint8_t* p, size_t n) {
    std::string out;
    out.reserve(n);
    size_t i = 0;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            out += char(b);
            ++i;
            continue;
        }
        // Length and smallest code point of the sequence the lead byte opens.
        int len = 0;
        uint32_t c = 0, min = 0;
        if (b >= 0xC2 && b <= 0xDF) { len = 2; c = b & 0x1F; min = 0x80; }
        else if (b >= 0xE0 && b <= 0xEF) { len = 3; c = b & 0x0F; min = 0x800; }
        else if (b >= 0xF0 && b <= 0xF4) { len = 4; c = b & 0x07; min = 0x10000; }
        int k = 1;
        if (len) {
            for (; k < len && i + size_t(k) < n && (p[i + size_t(k)] & 0xC0) == 0x80; ++k)
                c = c << 6 | (p[i + size_t(k)] & 0x3F);
        }
        if (!len || k < len || c < min || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            // One replacement for the lead byte and the continuation bytes taken with it.
            put_utf8(out, kReplacement);
            i += size_t(k);
            continue;
        }
        out.append(reinterpret_cast<const char*>(p + i), size_t(len));
        i += size_t(len);
    }
    return out;
}

void trim_right(std::string& s) {
    size_t e = s.size();
    while (e > 0 && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
    s.resize(e);
}

bool equal_ascii_nocase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
        if (!x) return true;
    }
}

}  // namespace mpeg_tags_impl
