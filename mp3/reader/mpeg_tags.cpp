// The tag record of mpeg_tags.h: finds the tags of a whole file (ID3v2 at the start, the tags
// at the end in any order: ID3v1, APEv2/APEv1 by its footer, Lyrics3 v1 and v2 stepped over,
// ID3v2 with a footer or appended without one), has each read by its reader, merges them
// field by field (ID3v2, then APE, then ID3v1) and answers the accessors. The record owns
// every string and copied picture; when an allocation fails anywhere, the read frees all it
// took and gives no record.
#include "mpeg_tags.h"

#include <cstring>

#include "tag_source.h"

using namespace mpeg_tags_impl;

struct MpegTags {
    int32_t sources;
    TagSource tags;  // the merged one
};

namespace mpeg_tags_impl {

void TagSource::set(int32_t f, char* v) {
    if (!v) oom = true;
    else if (!field[f] && *v) field[f] = v;
    else std::free(v);
}

namespace {
void free_user(const UserPair& u) { std::free(u.key), std::free(u.value); }
void free_picture(const TagPicture& p) {
    std::free(p.mime), std::free(p.description), std::free(p.owned);
}
}  // namespace

void TagSource::add_user(char* key, char* value) {
    const bool keyless = key && value && !*key;  // a pair without a key is none
    if (!keyless && key && value && user.push(UserPair{key, value})) return;
    oom |= !keyless;
    free_user(UserPair{key, value});
}

void TagSource::add_picture(const TagPicture& p) {
    if (p.mime && p.description && p.data && pictures.push(p)) return;
    oom = true;
    free_picture(p);
}

void TagSource::absorb(TagSource* o) {
    for (int i = 0; i < MPEG_TAG_FIELD_COUNT; ++i) {
        if (o->field[i]) set(i, o->field[i]);
        o->field[i] = nullptr;
    }
    for (size_t i = 0; i < o->user.count; ++i)
        add_user(o->user.items[i].key, o->user.items[i].value);
    for (size_t i = 0; i < o->pictures.count; ++i) add_picture(o->pictures.items[i]);
    o->user.count = o->pictures.count = 0;
    if (!described_comment) {
        described_comment = o->described_comment;
        o->described_comment = nullptr;
    }
    if (!rva2_track.present) rva2_track = o->rva2_track;
    if (!rva2_album.present) rva2_album = o->rva2_album;
    oom |= o->oom;
    o->release();
}

void TagSource::release() {
    for (char* f : field) std::free(f);
    for (size_t i = 0; i < user.count; ++i) free_user(user.items[i]);
    for (size_t i = 0; i < pictures.count; ++i) free_picture(pictures.items[i]);
    std::free(user.items);
    std::free(pictures.items);
    std::free(described_comment);
    *this = TagSource();
}

}  // namespace mpeg_tags_impl

namespace {

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Whole size (header, body, footer) of the ID3v2 tag whose header is at p (10 bytes), or 0.
size_t id3v2_size(const uint8_t* p, const char* sig) {
    if (std::memcmp(p, sig, 3) != 0 || p[3] < 2 || p[3] > 4 || p[4] == 0xFF) return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
    const size_t body = size_t(p[6]) << 21 | size_t(p[7]) << 14 | size_t(p[8]) << 7 | p[9];
    return 10 + body + ((p[3] == 4 && (p[5] & 0x10)) ? 10 : 0);
}

constexpr uint32_t kApeHasHeader = 1u << 31, kApeIsHeader = 1u << 29;
// Upper bound of tags stepped over at either end, against crafted endless chains.
constexpr int kMaxTags = 64;

struct Found {
    TagSource id3v2, ape, id3v1;
    bool has_v2, has_ape, has_v1;
};

// Lyrics3 v1 ends with "LYRICSEND" and begins with "LYRICSBEGIN" at most 5100 bytes before.
size_t lyrics3v1_start(const uint8_t* data, size_t end) {
    const size_t lowest = end > 5100 + 20 ? end - 5100 - 20 : 0;
    for (size_t q = end - 9; q-- > lowest;)
        if (end - q >= 11 + 9 && std::memcmp(data + q, "LYRICSBEGIN", 11) == 0) return q;
    return SIZE_MAX;
}

// Walks the tags at the end of the data from the outside in; returns where they begin.
size_t read_tail(const uint8_t* data, size_t end, Found* f) {
    for (int step = 0; step < kMaxTags; ++step) {
        if (end >= 128 && std::memcmp(data + end - 128, "TAG", 3) == 0) {
            if (!f->has_v1) id3v1_read(data + end - 128, &f->id3v1);
            f->has_v1 = true;
            end -= 128;
            continue;
        }
        if (end >= 32 && std::memcmp(data + end - 32, "APETAGEX", 8) == 0) {
            const uint8_t* foot = data + end - 32;
            const uint32_t version = le32(foot + 8), size = le32(foot + 12),
                           count = le32(foot + 16), flags = le32(foot + 20);
            const uint64_t whole = uint64_t(size) + ((flags & kApeHasHeader) ? 32 : 0);
            if ((version == 1000 || version == 2000) && !(flags & kApeIsHeader) && size >= 32 &&
                whole <= end) {
                ape_read_items(data + end - size, size - 32, count, &f->ape);
                f->has_ape = true;
                end -= size_t(whole);
                continue;
            }
        }
        if (end >= 15 && std::memcmp(data + end - 9, "LYRICS200", 9) == 0) {
            size_t size = 0;
            bool digits = true;
            for (size_t i = end - 15; i < end - 9; ++i) {
                digits = digits && data[i] >= '0' && data[i] <= '9';
                size = size * 10 + size_t(data[i] - '0');
            }
            if (digits && size >= 11 && size + 15 <= end &&
                std::memcmp(data + end - 15 - size, "LYRICSBEGIN", 11) == 0) {
                end -= size + 15;
                continue;
            }
        }
        if (end >= 20 && std::memcmp(data + end - 9, "LYRICSEND", 9) == 0) {
            const size_t start = lyrics3v1_start(data, end);
            if (start != SIZE_MAX) {
                end = start;
                continue;
            }
        }
        if (end >= 20) {
            const size_t size = id3v2_size(data + end - 10, "3DI");
            if (size > 20 && size <= end && std::memcmp(data + end - size, "ID3", 3) == 0) {
                f->has_v2 |= id3v2_read(data + end - size, size, &f->id3v2);
                end -= size;
                continue;
            }
        }
        break;
    }
    return end;
}

// An ID3v2 tag without footer appended after the audio ends exactly where the tags at the end
// begin: the candidate headers are checked against that.
void read_appended_id3v2(const uint8_t* data, size_t from, size_t end, Found* f) {
    constexpr size_t kLongest = 10 + (size_t(1) << 28);
    if (end < from + 10) return;
    size_t q = end - from > kLongest ? end - kLongest : from;
    for (; q + 10 <= end; ++q) {
        const void* hit = std::memchr(data + q, 'I', end - 10 + 1 - q);
        if (!hit) return;
        q = size_t(static_cast<const uint8_t*>(hit) - data);
        if (id3v2_size(data + q, "ID3") == end - q) {
            f->has_v2 |= id3v2_read(data + q, end - q, &f->id3v2);
            return;
        }
    }
}

void read_all(const uint8_t* data, size_t len, Found* f) {
    // The tail first, so that a tag at the start is bounded by where the tail tags begin.
    const size_t tail = read_tail(data, len, f);
    TagSource at_start = {};  // the start's ID3v2 outranks one found at the end
    bool start_v2 = false;
    size_t pos = 0;
    for (int step = 0; step < kMaxTags && pos < tail && tail - pos >= 10; ++step) {
        const uint8_t* p = data + pos;
        if (std::memcmp(p, "ID3", 3) == 0) {
            const size_t size = id3v2_size(p, "ID3");
            if (!size) break;
            start_v2 |= id3v2_read(p, len - pos, &at_start);
            if (size >= len - pos) {
                pos = len;
                break;
            }
            pos += size;
        } else if (tail - pos >= 32 && std::memcmp(p, "APETAGEX", 8) == 0) {
            // An APE tag with header at the start.
            const uint32_t size = le32(p + 12), count = le32(p + 16), flags = le32(p + 20);
            if (!(flags & kApeIsHeader) || size < 32 || size > tail - pos - 32) break;
            ape_read_items(p + 32, size - 32, count, &f->ape);
            f->has_ape = true;
            pos += 32 + size_t(size);
        } else {
            break;
        }
    }
    if (pos < tail) read_appended_id3v2(data, pos, tail, f);
    // Fields of the start's tag first; the end's fill the gaps. User pairs and pictures in file
    // order.
    at_start.absorb(&f->id3v2);
    f->id3v2 = at_start;
    f->has_v2 |= start_v2;
}

// The merged record of the tags, or NULL when memory ran out (nothing then stays allocated).
MpegTags* build(const uint8_t* data, size_t len) {
    Found f = {};
    if (data && len) read_all(data, len, &f);
    MpegTags* t = static_cast<MpegTags*>(std::calloc(1, sizeof(MpegTags)));
    if (!t) f.id3v2.oom = true;
    TagSource merged = {};
    if (f.id3v2.described_comment) f.id3v2.set(MPEG_TAG_COMMENT, f.id3v2.described_comment);
    f.id3v2.described_comment = nullptr;
    merged.absorb(&f.id3v2);
    merged.absorb(&f.ape);
    merged.absorb(&f.id3v1);
    if (merged.oom || !t) {
        merged.release();
        std::free(t);
        return nullptr;
    }
    t->sources = (f.has_v1 ? MPEG_TAGS_ID3V1 : 0) | (f.has_v2 ? MPEG_TAGS_ID3V2 : 0) |
                 (f.has_ape ? MPEG_TAGS_APE : 0);
    t->tags = merged;
    return t;
}

// A decimal number with optional sign, fraction and trailing text (" dB"); false when there
// are no digits. Read by hand: the C library's reading follows the locale's decimal point.
bool parse_decimal(const char* s, double* out) {
    while (*s == ' ' || *s == '\t') ++s;
    double sign = 1.0;
    if (*s == '+' || *s == '-') sign = *s++ == '-' ? -1.0 : 1.0;
    double v = 0.0, scale = 1.0;
    bool any = false;
    for (; *s >= '0' && *s <= '9'; ++s, any = true) v = v * 10.0 + (*s - '0');
    if (*s == '.' || *s == ',') {
        for (++s; *s >= '0' && *s <= '9'; ++s, any = true) v += (*s - '0') * (scale /= 10.0);
    }
    if (!any) return false;
    *out = sign * v;
    return true;
}

// A whole number of samples, digits only around optional spaces; -1 otherwise.
int64_t parse_samples(const char* s) {
    if (!s) return -1;
    while (*s == ' ') ++s;
    int64_t v = 0;
    bool any = false;
    for (; *s >= '0' && *s <= '9'; ++s, any = true) {
        if (v > (INT64_MAX - 9) / 10) return -1;
        v = v * 10 + (*s - '0');
    }
    while (*s == ' ') ++s;
    return any && !*s ? v : -1;
}

}  // namespace

extern "C" {

MpegTags* mpeg_tags_read(const uint8_t* data, size_t len) { return build(data, len); }

void mpeg_tags_free(MpegTags* t) {
    if (!t) return;
    t->tags.release();
    std::free(t);
}

int32_t mpeg_tags_sources(const MpegTags* t) { return t ? t->sources : 0; }

const char* mpeg_tags_get(const MpegTags* t, int32_t field) {
    if (!t || field < 0 || field >= MPEG_TAG_FIELD_COUNT) return nullptr;
    return t->tags.field[field];
}

int32_t mpeg_tags_user_count(const MpegTags* t) { return t ? int32_t(t->tags.user.count) : 0; }

int32_t mpeg_tags_user(const MpegTags* t, int32_t i, const char** key, const char** value) {
    if (!t || i < 0 || size_t(i) >= t->tags.user.count) return 0;
    if (key) *key = t->tags.user.items[i].key;
    if (value) *value = t->tags.user.items[i].value;
    return 1;
}

const char* mpeg_tags_user_find(const MpegTags* t, const char* key) {
    if (!t || !key) return nullptr;
    for (size_t i = 0; i < t->tags.user.count; ++i) {
        const UserPair& u = t->tags.user.items[i];
        if (same_key(u.key, std::strlen(u.key), key)) return u.value;
    }
    return nullptr;
}

int32_t mpeg_tags_picture_count(const MpegTags* t) {
    return t ? int32_t(t->tags.pictures.count) : 0;
}

int32_t mpeg_tags_picture(const MpegTags* t, int32_t i, MpegTagPicture* out) {
    if (!t || !out || i < 0 || size_t(i) >= t->tags.pictures.count) return 0;
    const TagPicture& p = t->tags.pictures.items[i];
    out->mime = p.mime;
    out->type = p.type;
    out->description = p.description;
    out->data = p.data;
    out->size = p.size;
    return 1;
}

int32_t mpeg_tags_replaygain(const MpegTags* t, MpegReplayGain* out) {
    if (!out) return 0;
    std::memset(out, 0, sizeof *out);
    if (!t) return 0;
    struct {
        const char* key;
        int32_t* has;
        double* value;
    } const items[] = {{"REPLAYGAIN_TRACK_GAIN", &out->has_track_gain, &out->track_gain},
                       {"REPLAYGAIN_TRACK_PEAK", &out->has_track_peak, &out->track_peak},
                       {"REPLAYGAIN_ALBUM_GAIN", &out->has_album_gain, &out->album_gain},
                       {"REPLAYGAIN_ALBUM_PEAK", &out->has_album_peak, &out->album_peak}};
    // Text values first (ID3v2 TXXX before APE items, the order of the user pairs).
    for (const auto& it : items) {
        const char* v = mpeg_tags_user_find(t, it.key);
        if (v && parse_decimal(v, it.value)) *it.has = 1;
    }
    // Then RVA2 for what is still missing. (The LAME tag's gain fields, once read, come last.)
    const VolumeAdjust* rva[2] = {&t->tags.rva2_track, &t->tags.rva2_album};
    for (int k = 0; k < 2; ++k) {
        if (!rva[k]->present) continue;
        int32_t* has_gain = k ? &out->has_album_gain : &out->has_track_gain;
        int32_t* has_peak = k ? &out->has_album_peak : &out->has_track_peak;
        if (!*has_gain) {
            *has_gain = 1;
            *(k ? &out->album_gain : &out->track_gain) = rva[k]->gain;
        }
        if (!*has_peak && rva[k]->has_peak) {
            *has_peak = 1;
            *(k ? &out->album_peak : &out->track_peak) = rva[k]->peak;
        }
    }
    return out->has_track_gain | out->has_track_peak | out->has_album_gain | out->has_album_peak;
}

int32_t mpeg_tags_loop(const MpegTags* t, int64_t* start, int64_t* end) {
    int64_t s = -1, e = 0;
    if (t) s = parse_samples(mpeg_tags_user_find(t, "LOOPSTART"));
    if (s >= 0) {
        const int64_t length = parse_samples(mpeg_tags_user_find(t, "LOOPLENGTH"));
        const int64_t stop = parse_samples(mpeg_tags_user_find(t, "LOOPEND"));
        if (length > 0 && length <= INT64_MAX - s) e = s + length;
        else if (stop > s) e = stop;
    }
    if (start) *start = s >= 0 ? s : 0;
    if (end) *end = s >= 0 ? e : 0;
    return s >= 0 ? 1 : 0;
}

}  // extern "C"
