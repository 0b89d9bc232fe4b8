// APEv2 and APEv1 items: each is a value size, flags, a NUL-terminated ASCII key and the value.
// Text items (UTF-8, several values separated by NUL) whose key names a field fill it; other
// text items become user pairs; binary "Cover Art (...)" items (file name, NUL, image) become
// pictures pointing into the bytes given. Anything that does not fit ends the walk.
#include "tag_source.h"

#include <cstring>

namespace mpeg_tags_impl {

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

const struct {
    const char* key;
    int32_t field;
} kFieldKeys[] = {{"Title", MPEG_TAG_TITLE},   {"Artist", MPEG_TAG_ARTIST},
                  {"Album", MPEG_TAG_ALBUM},   {"Year", MPEG_TAG_DATE},
                  {"Track", MPEG_TAG_TRACK},   {"Genre", MPEG_TAG_GENRE},
                  {"Comment", MPEG_TAG_COMMENT}};

// The values of a text item, NUL-separated, joined by "/" (empty values dropped).
char* ape_text(const uint8_t* p, size_t n) {
    TextBuilder out;
    size_t i = 0;
    while (i < n) {
        const void* nul = std::memchr(p + i, 0, n - i);
        const size_t e = nul ? size_t(static_cast<const uint8_t*>(nul) - p) : n;
        const size_t mark = out.len;
        utf8_clean(&out, p + i, e - i);
        out.separate(mark);
        i = e + 1;
    }
    return out.take();
}

// The image type by its first bytes, where it is one of the common ones.
const char* sniff_mime(const uint8_t* p, size_t n) {
    if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return "image/jpeg";
    if (n >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0) return "image/png";
    if (n >= 6 && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0))
        return "image/gif";
    return "";
}

void cover_art(const uint8_t* key, size_t key_len, const uint8_t* v, size_t n, TagSource* src) {
    const void* nul = std::memchr(v, 0, n);
    if (!nul) return;
    const size_t name = size_t(static_cast<const uint8_t*>(nul) - v);
    TextBuilder description;
    utf8_clean(&description, v, name);
    TagPicture pic = {};
    pic.description = description.take();
    pic.data = v + name + 1;
    pic.size = n - name - 1;
    const char* mime = sniff_mime(pic.data, pic.size);
    pic.mime = copy_text(mime, std::strlen(mime));
    // The item names the picture types of ID3v2: front and back cover, else "other".
    pic.type = same_key(key, key_len, "Cover Art (Front)")  ? 3
               : same_key(key, key_len, "Cover Art (Back)") ? 4
                                                            : 0;
    src->add_picture(pic);
}

}  // namespace

void ape_read_items(const uint8_t* p, size_t n, uint32_t count, TagSource* src) {
    size_t pos = 0;
    for (uint32_t item = 0; item < count && n - pos >= 8; ++item) {
        const uint32_t size = le32(p + pos), flags = le32(p + pos + 4);
        pos += 8;
        const void* nul = std::memchr(p + pos, 0, n - pos);
        if (!nul) return;
        const size_t key_end = size_t(static_cast<const uint8_t*>(nul) - p);
        const uint8_t* key = p + pos;
        const size_t key_len = key_end - pos;
        pos = key_end + 1;
        if (size > n - pos) return;
        const uint8_t* v = p + pos;
        pos += size;
        bool printable = key_len > 0;
        for (size_t i = 0; i < key_len; ++i)
            printable = printable && key[i] >= 0x20 && key[i] <= 0x7E;
        if (!printable) continue;
        switch ((flags >> 1) & 3) {
        case 0: {  // UTF-8 text
            char* text = ape_text(v, size);
            bool is_field = false;
            for (const auto& k : kFieldKeys)
                if (same_key(key, key_len, k.key)) {
                    src->set(k.field, text);
                    is_field = true;
                    break;
                }
            if (!is_field) src->add_user(copy_text(key, key_len), text);
            break;
        }
        case 1:  // binary
            if (key_len > 10 && same_key(key, 10, "Cover Art "))
                cover_art(key, key_len, v, size, src);
            break;
        default:  // external links and the reserved kind: nothing to read
            break;
        }
    }
}

}  // namespace mpeg_tags_impl
