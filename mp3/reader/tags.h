// Tags that MP3 files carry around their audio: ID3v2 (versions 2.2 to 2.4, with or without
// footer), APEv2 (with header or footer only), Lyrics3 (v1 and v2) and the 128-byte ID3v1 block.
// Each is recognised by its own signature and header, so that its bytes are stepped over and
// never searched for frames. Every read stays inside the bytes given.
#pragma once

#include <cstdint>

// Result of mpeg_tag_at when the bytes given end before the tag's header could be read whole.
constexpr int64_t MP3_TAG_UNSURE = -1;

// Bytes of the tag that begins at p (n bytes readable there): its whole size, which may exceed
// n when the tag goes on past the bytes given; 0 when no tag begins there; MP3_TAG_UNSURE when
// the bytes match the start of a signature but end before the header does. An ID3v1 block
// ("TAG", a weak signature that audio data may hold by chance) is taken only with `boundary`
// set: at a place where a frame or another tag has just ended.
int64_t mpeg_tag_at(const uint8_t* p, int32_t n, int32_t boundary);

// Length of the data once the tags at its end are cut off: ID3v1, APEv2 (found by its footer),
// Lyrics3v2 and an ID3v2 tag with footer, in any order and number.
int32_t mpeg_trailing_tags(const uint8_t* data, int32_t n);
