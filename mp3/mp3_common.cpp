// Shared player pieces: unsigned conversion, layer number, the Allegro
// timer hooks behind automatic polling and the gapless run.
#include "mp3_common.h"

#include <cstring>

#include <allegro.h>

#include "lame_tag.h"

void mp3_to_unsigned(void* buf, int32_t bytes) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    int32_t words = bytes / 4;
    for (int32_t i = 0; i < words; ++i, p += 4) {
        uint32_t w;
        std::memcpy(&w, p, 4);
        w ^= 0x80008000u;
        std::memcpy(p, &w, 4);
    }
    // A buffer of an odd number of 16-bit samples keeps its last one signed otherwise.
    if (bytes & 2) {
        uint16_t s;
        std::memcpy(&s, p, 2);
        s ^= 0x8000u;
        std::memcpy(p, &s, 2);
    }
}

void mp3_hand_back(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits) {
    if (bits == 16) mp3_to_unsigned(buf, bytes);
    free_audio_stream_buffer(stream);
}

void mp3_timer_install(Mp3TimerProc proc, void* param, int32_t ms) {
    install_param_int(proc, param, ms);
}

void mp3_timer_remove(Mp3TimerProc proc, void* param) { remove_param_int(proc, param); }

void mp3_gap_bounds(Mp3Gapless* g, const uint8_t* frame, int32_t avail, const MpegHeader* h,
                    int64_t frames, int64_t frame_samples) {
    g->carry_len = 0;
    g->start = 0;
    g->length = frames >= 0 ? frames * frame_samples : -1;
    LameTag tag{};
    if (!lame_tag_read(frame, avail, h, &tag)) return;
    // The Info frame counts the audio frames after it.
    const int64_t audio = frames >= 0 ? frames - 1 : lame_info_frames(frame, avail, h);
    int64_t skip = 0, keep = 0;
    lame_trim(&tag, audio >= 0 ? audio * frame_samples : INT32_MAX, 0, &skip, &keep);
    g->start = frame_samples + skip;
    g->length = audio >= 0 ? keep : -1;
}

int64_t mp3_gap_end(const Mp3Gapless* g) {
    return g->length >= 0 ? g->start + g->length : INT64_MAX;
}

int32_t mp3_gap_take(Mp3Gapless* g, uint8_t* out, int32_t room) {
    const int32_t n = g->carry_len < room ? g->carry_len : room;
    if (n <= 0) return 0;
    std::memcpy(out, g->carry + g->carry_off, size_t(n));
    g->carry_off += n;
    g->carry_len -= n;
    return n;
}

void mp3_gap_keep(Mp3Gapless* g, int64_t at, int32_t bytes, int32_t sample_bytes) {
    const int64_t end = mp3_gap_end(g);
    const int64_t got = bytes / sample_bytes;
    const int64_t lo = (g->start > at ? g->start : at) - at;
    const int64_t hi = (end < at + got ? end : at + got) - at;
    g->carry_off = static_cast<int32_t>(lo * sample_bytes);
    g->carry_len = hi > lo ? static_cast<int32_t>((hi - lo) * sample_bytes) : 0;
}

int32_t mp3_gap_position_ms(const Mp3Gapless* g, int64_t decoded, int32_t sample_bytes,
                            int32_t frequency) {
    if (frequency <= 0) return 0;
    const int64_t end = mp3_gap_end(g);
    int64_t n = (decoded < end ? decoded : end) - g->start - g->carry_len / sample_bytes;
    if (n < 0) n = 0;
    return static_cast<int32_t>(n * 1000 / frequency);
}

int32_t mp3_gap_length_ms(const Mp3Gapless* g, int32_t frequency) {
    if (frequency <= 0 || g->length < 0) return 0;
    const int64_t ms = g->length * 1000 / frequency;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ms);
}
