// Text building for the tag readers: the growing string, and ISO-8859-1, UTF-16 (either byte
// order) and unchecked UTF-8 in, valid UTF-8 out; invalid input becomes U+FFFD rather than an
// error. Also the ASCII case-blind comparison of keys.
#include <cstring>

#include "tag_source.h"

namespace mpeg_tags_impl {

namespace {
constexpr uint32_t kReplacement = 0xFFFD;
}  // namespace

bool TextBuilder::reserve(size_t extra) {
    if (oom || extra > SIZE_MAX - 1 - len) {
        oom = true;
        return false;
    }
    const size_t need = len + extra + 1;
    if (need <= cap) return true;
    size_t n = cap > 8 ? cap : 8;
    while (n < need) n = n > SIZE_MAX / 2 ? need : n * 2;
    void* q = std::realloc(s, n);
    if (!q) {
        oom = true;
        return false;
    }
    s = static_cast<char*>(q);
    cap = n;
    return true;
}

void TextBuilder::bytes(const void* p, size_t n) {
    if (n == 0 || !reserve(n)) return;
    std::memcpy(s + len, p, n);
    len += n;
}

void TextBuilder::code_point(uint32_t c) {
    uint8_t b[4];
    size_t n;
    if (c < 0x80) {
        b[0] = uint8_t(c), n = 1;
    } else if (c < 0x800) {
        b[0] = uint8_t(0xC0 | c >> 6), b[1] = uint8_t(0x80 | (c & 0x3F)), n = 2;
    } else if (c < 0x10000) {
        b[0] = uint8_t(0xE0 | c >> 12), b[1] = uint8_t(0x80 | (c >> 6 & 0x3F));
        b[2] = uint8_t(0x80 | (c & 0x3F)), n = 3;
    } else {
        b[0] = uint8_t(0xF0 | c >> 18), b[1] = uint8_t(0x80 | (c >> 12 & 0x3F));
        b[2] = uint8_t(0x80 | (c >> 6 & 0x3F)), b[3] = uint8_t(0x80 | (c & 0x3F)), n = 4;
    }
    bytes(b, n);
}

void TextBuilder::separate(size_t mark) {
    if (mark == 0 || len <= mark || !reserve(1)) return;
    std::memmove(s + mark + 1, s + mark, len - mark);
    s[mark] = '/';
    ++len;
}

char* TextBuilder::take() {
    if (!reserve(0)) return nullptr;
    s[len] = 0;
    char* r = s;
    s = nullptr;
    len = cap = 0;
    return r;
}

char* copy_text(const void* p, size_t n) {
    TextBuilder b;
    b.bytes(p, n);
    return b.take();
}

void latin1_to_utf8(TextBuilder* out, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) out->code_point(p[i]);
}

void utf16_to_utf8(TextBuilder* out, const uint8_t* p, size_t n, bool big_endian) {
    auto unit = [&](size_t i) -> uint32_t {
        return big_endian ? uint32_t(p[i]) << 8 | p[i + 1] : uint32_t(p[i + 1]) << 8 | p[i];
    };
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00) {
            // A high surrogate counts only with a low one right after it.
            if (i + 3 < n) {
                const uint32_t lo = unit(i + 2);
                if (lo >= 0xDC00 && lo < 0xE000) {
                    out->code_point(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
                    i += 2;
                    continue;
                }
            }
            c = kReplacement;
        } else if (c >= 0xDC00 && c < 0xE000) {
            c = kReplacement;
        }
        out->code_point(c);
    }
}

void utf8_clean(TextBuilder* out, const uint8_t* p, size_t n) {
    size_t i = 0;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            out->byte(b);
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
            out->code_point(kReplacement);
            i += size_t(k);
            continue;
        }
        out->bytes(p + i, size_t(len));
        i += size_t(len);
    }
}

bool same_key(const void* a, size_t n, const char* b) {
    const uint8_t* x = static_cast<const uint8_t*>(a);
    for (size_t i = 0; i < n; ++i, ++b) {
        uint8_t c = x[i], d = uint8_t(*b);
        if (!d) return false;
        if (c >= 'A' && c <= 'Z') c = uint8_t(c - 'A' + 'a');
        if (d >= 'A' && d <= 'Z') d = uint8_t(d - 'A' + 'a');
        if (c != d) return false;
    }
    return *b == 0;
}

}  // namespace mpeg_tags_impl
