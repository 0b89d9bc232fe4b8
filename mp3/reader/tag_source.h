// What one kind of tag yields before the merge (TagSource), and the readers that fill it: one
// per tag format (id3v1.cpp, id3v2.cpp, ape.cpp) and the text building they share
// (tag_text.cpp). Internal to the library; the public record is in mpeg_tags.h. Readers take a
// pointer and a length and read nothing outside them.
//
// Plain records on malloc, like the rest of the library, so that it needs no C++ runtime. Strings
// are malloc'd and NUL-terminated; a function that hands one out returns NULL when memory ran
// out, and whatever takes it (TagSource::set, add_user) then marks the source as failed, so a
// reader never has to check an allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "mpeg_tags.h"

namespace mpeg_tags_impl {

// A growing string: UTF-8 text, or a tag's bytes with the unsynchronisation undone. An
// allocation that fails sets `oom` and turns every later append into nothing, so a run of
// appends is checked once, by take() or by the flag.
struct TextBuilder {
    char* s = nullptr;
    size_t len = 0, cap = 0;
    bool oom = false;

    TextBuilder() = default;
    TextBuilder(const TextBuilder&) = delete;  // the one owner of s
    void operator=(const TextBuilder&) = delete;
    ~TextBuilder() { std::free(s); }

    bool reserve(size_t extra);  // room for `extra` more bytes and a NUL
    void bytes(const void* p, size_t n);
    void byte(uint8_t c) { bytes(&c, 1); }
    void code_point(uint32_t c);
    // Puts a "/" at `mark` (where the latest value began) when both the text before it and the
    // value are non-empty: values are joined by "/", empty ones leave no trace.
    void separate(size_t mark);
    // The text as a malloc'd string (the builder starts over empty), or NULL after a failure.
    char* take();
};

// A growing array of plain records (trivially copyable: moved by realloc).
template <typename T>
struct List {
    T* items;
    size_t count, cap;

    bool push(const T& v) {
        if (count == cap) {
            const size_t n = cap ? cap * 2 : 4;
            void* q = n <= SIZE_MAX / sizeof(T) ? std::realloc(items, n * sizeof(T)) : nullptr;
            if (!q) return false;
            items = static_cast<T*>(q);
            cap = n;
        }
        items[count++] = v;
        return true;
    }
};

struct UserPair {
    char* key;
    char* value;
};

struct TagPicture {
    char* mime;
    int32_t type;
    char* description;
    const uint8_t* data;  // into the caller's bytes, or `owned` when they had to be copied
    size_t size;
    uint8_t* owned;
};

// An RVA2 frame's master volume: gain in dB, peak linear (present when has_peak).
struct VolumeAdjust {
    bool present;
    double gain;
    bool has_peak;
    double peak;
};

// All zero is empty. Owns every string, picture copy and array it points to.
struct TagSource {
    char* field[MPEG_TAG_FIELD_COUNT];  // NULL when no tag gave the field
    List<UserPair> user;
    List<TagPicture> pictures;
    char* described_comment;  // the first non-empty ID3v2 comment with a description
    VolumeAdjust rva2_track, rva2_album;
    bool oom;  // an allocation failed: the source is incomplete

    // The first non-empty value given for a field stays (the first tag of a kind wins within
    // the kind); a user pair needs a key. Each takes ownership of what it is given; NULL means
    // memory ran out.
    void set(int32_t f, char* v);
    void add_user(char* key, char* value);
    void add_picture(const TagPicture& p);
    // Moves everything of `o` in behind what is here (fields only fill gaps) and empties it.
    void absorb(TagSource* o);
    void release();  // frees everything; all zero again
};

// tag_text.cpp
// A malloc'd NUL-terminated copy of n bytes, or NULL.
char* copy_text(const void* p, size_t n);
void latin1_to_utf8(TextBuilder* out, const uint8_t* p, size_t n);
// UTF-16 code units to UTF-8; big_endian picks the byte order. Unpaired surrogates become
// U+FFFD; a last odd byte is dropped.
void utf16_to_utf8(TextBuilder* out, const uint8_t* p, size_t n, bool big_endian);
// UTF-8 with every invalid sequence replaced by U+FFFD and a leading byte order mark dropped.
void utf8_clean(TextBuilder* out, const uint8_t* p, size_t n);
// Whether the n bytes at a are the string b, ASCII case ignored.
bool same_key(const void* a, size_t n, const char* b);

// id3v1.cpp
// The name of ID3v1 genre number g, or null outside the list.
const char* id3v1_genre_name(int g);
// Reads the 128-byte block at p ("TAG" first) into src.
void id3v1_read(const uint8_t* p, TagSource* src);

// id3v2.cpp
// Reads the ID3v2 tag that begins at p (n bytes readable there, header included) into src.
// Returns false when the bytes do not hold an ID3v2 header.
bool id3v2_read(const uint8_t* p, size_t n, TagSource* src);
// Appends to `out` the genre text of one TCON value (n bytes at v): "(17)", "17" and "(17)Rock"
// name the number; "(RX)", "(CR)", "RX" and "CR" read Remix and Cover; other text stays as it is.
void id3v2_genre(TextBuilder* out, const char* v, size_t n);

// ape.cpp
// Reads `count` APE items in the n bytes at p (the tag between its header and its footer).
void ape_read_items(const uint8_t* p, size_t n, uint32_t count, TagSource* src);

}  // namespace mpeg_tags_impl
