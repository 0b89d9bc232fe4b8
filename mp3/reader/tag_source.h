// What one kind of tag yields before the merge (TagSource), and the readers that fill it: one
// per tag format (id3v1.cpp, id3v2.cpp, ape.cpp) and the text conversions they share
// (tag_text.cpp). Internal to the library; the public record is in mpeg_tags.h. Readers take a
// pointer and a length and read nothing outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "mpeg_tags.h"

namespace mpeg_tags_impl {

struct TagPicture {
    std::string mime;
    int32_t type = 0;
    std::string description;
    const uint8_t* data = nullptr;  // into the caller's bytes, or null when `owned` holds them
    size_t size = 0;
    std::vector<uint8_t> owned;
    const uint8_t* bytes() const { return data ? data : owned.data(); }
};

// An RVA2 frame's master volume: gain in dB, peak linear (present when has_peak).
struct VolumeAdjust {
    bool present = false;
    double gain = 0.0;
    bool has_peak = false;
    double peak = 0.0;
};

struct TagSource {
    std::string field[MPEG_TAG_FIELD_COUNT];
    bool has[MPEG_TAG_FIELD_COUNT] = {};
    std::vector<std::pair<std::string, std::string>> user;
    std::vector<TagPicture> pictures;
    std::string described_comment;  // the first ID3v2 comment with a description
    VolumeAdjust rva2_track, rva2_album;

    // The first value given for a field stays (the first tag of a kind wins within the kind);
    // an empty value counts as none.
    void set(int32_t f, std::string v) {
        if (!has[f] && !v.empty()) {
            field[f] = std::move(v);
            has[f] = true;
        }
    }
};

// tag_text.cpp
std::string latin1_to_utf8(const uint8_t* p, size_t n);
// UTF-16 code units to UTF-8; big_endian picks the byte order. Unpaired surrogates become
// U+FFFD; a last odd byte is dropped.
std::string utf16_to_utf8(const uint8_t* p, size_t n, bool big_endian);
// UTF-8 with every invalid sequence replaced by U+FFFD and a leading byte order mark dropped.
std::string utf8_clean(const uint8_t* p, size_t n);
void trim_right(std::string& s);
bool equal_ascii_nocase(const char* a, const char* b);

// id3v1.cpp
// The name of ID3v1 genre number g, or null outside the list.
const char* id3v1_genre_name(int g);
// Reads the 128-byte block at p ("TAG" first) into src.
void id3v1_read(const uint8_t* p, TagSource* src);

// id3v2.cpp
// Reads the ID3v2 tag that begins at p (n bytes readable there, header included) into src.
// Returns false when the bytes do not hold an ID3v2 header.
bool id3v2_read(const uint8_t* p, size_t n, TagSource* src);
// The genre text of a TCON value: "(17)", "17" and "(17)Rock" name the number; "(RX)", "(CR)",
// "RX" and "CR" read Remix and Cover; other text stays as it is.
std::string id3v2_genre(const std::string& v);

// ape.cpp
// Reads `count` APE items in the n bytes at p (the tag between its header and its footer).
void ape_read_items(const uint8_t* p, size_t n, uint32_t count, TagSource* src);

}  // namespace mpeg_tags_impl
