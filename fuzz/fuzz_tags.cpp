// Fuzz target: the tag reader over arbitrary bytes taken as a whole file. Every string, user
// pair and picture byte it hands back is read (so that a pointer outside the input or the
// record shows), the text must be valid UTF-8, and the record is freed. The same bytes are read
// as a first frame's LAME tag, and the ReplayGain factor of every mode must stay in 0..64.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lame_info.h"
#include "mpeg_tags.h"
#include "replaygain.h"

namespace {

volatile uint32_t g_sink;

// Valid UTF-8 with no NUL before its end; aborts otherwise.
void touch_text(const char* s) {
    if (!s) std::abort();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    uint32_t sum = 0;
    while (*p) {
        int len = *p < 0x80 ? 1 : *p >= 0xF0 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC2 ? 2 : 0;
        if (!len) std::abort();
        for (int k = 1; k < len; ++k)
            if ((p[k] & 0xC0) != 0x80) std::abort();
        for (int k = 0; k < len; ++k) sum += p[k];
        p += len;
    }
    g_sink = g_sink + sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that any read past the end is caught.
    std::vector<uint8_t> buf(data, data + size);
    MpegTags* t = mpeg_tags_read(buf.empty() ? nullptr : buf.data(), buf.size());
    if (!t) std::abort();  // inputs are small: running out of memory is a fault here
    for (int32_t f = 0; f < MPEG_TAG_FIELD_COUNT; ++f)
        if (const char* s = mpeg_tags_get(t, f)) touch_text(s);
    if (mpeg_tags_get(t, MPEG_TAG_FIELD_COUNT) || mpeg_tags_get(t, -1)) std::abort();
    const int32_t users = mpeg_tags_user_count(t);
    for (int32_t i = 0; i < users; ++i) {
        const char *k = nullptr, *v = nullptr;
        if (!mpeg_tags_user(t, i, &k, &v)) std::abort();
        touch_text(k);
        touch_text(v);
        if (mpeg_tags_user_find(t, k) == nullptr) std::abort();
    }
    if (mpeg_tags_user(t, users, nullptr, nullptr)) std::abort();
    const int32_t pictures = mpeg_tags_picture_count(t);
    for (int32_t i = 0; i < pictures; ++i) {
        MpegTagPicture pic;
        if (!mpeg_tags_picture(t, i, &pic)) std::abort();
        touch_text(pic.mime);
        touch_text(pic.description);
        if (pic.size > size) std::abort();
        uint32_t sum = 0;
        for (size_t b = 0; b < pic.size; ++b) sum += pic.data[b];
        g_sink = g_sink + sum;
    }
    MpegReplayGain rg;
    mpeg_tags_replaygain(t, &rg);
    MpegHeader h;
    MpegLameInfo lame;
    const int32_t avail = buf.size() > 0x7FFFFFFF ? 0x7FFFFFFF : int32_t(buf.size());
    if (avail >= 4 && mpeg_header_decode(buf.data(), 4, &h) &&
        mpeg_lame_info_read(buf.data(), avail, &h, &lame)) {
        touch_text(lame.encoder);
        mpeg_replaygain_merge(&rg, &lame);
    }
    for (int32_t mode = 0; mode <= 3; ++mode) {
        const float f = mpeg_replaygain_factor(&rg, mode, mode * 100 - 150);
        if (!(f >= 0.0f && f <= 64.0f)) std::abort();
    }
    int64_t start = -1, end = -1;
    if (mpeg_tags_loop(t, &start, &end) && (start < 0 || (end != 0 && end <= start))) std::abort();
    mpeg_tags_free(t);
    return 0;
}
