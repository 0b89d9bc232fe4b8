// Synthetic MPEG audio for the tests of the core, the frame synchronisation and the players:
// numbered Layer III frames, a "pattern" frame decoder that marks every output sample with the
// number of the frame it came from (so a test sees exactly which frames went where without
// depending on the real decoder's output), first frames carrying a Xing header, ID3 tags, random
// bytes, and an independent walk of the frame headers.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "decoder_state.h"

namespace ziv {

// n frames of an MPEG-1 Layer III stream (FF FB 90 64: 128 kbit/s, 44.1 kHz, joint stereo, 417
// bytes); frame i carries i in bytes 40-41, after the header and side information. With
// `pad_third` every third frame (i % 3 == 2) has its padding bit set and one byte more, so that
// block boundaries fall at varying places within frames.
inline std::vector<uint8_t> synth_stream(int n, const uint8_t hdr[4] = nullptr, int frame = 417,
                                         bool pad_third = false) {
    static const uint8_t kDefault[4] = {0xFF, 0xFB, 0x90, 0x64};
    if (!hdr) hdr = kDefault;
    std::vector<uint8_t> v;
    for (int i = 0; i < n; ++i) {
        const bool pad = pad_third && i % 3 == 2;
        const size_t at = v.size();
        v.resize(at + size_t(frame) + (pad ? 1 : 0), 0);
        uint8_t* f = &v[at];
        std::memcpy(f, hdr, 4);
        if (pad) f[2] |= 0x02;
        f[40] = uint8_t(i >> 8);
        f[41] = uint8_t(i);
    }
    return v;
}

// The pattern decoder: accepts a frame whose header parses and which lies wholly inside the
// bytes available, writes out_bytes of samples all equal to (frame number + 1).
inline MpegInOut pattern_decode(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    MpegHeader h;
    if (avail < 42) return {0, 0};
    int32_t size = mpeg_header_parse(in, avail, &h);
    if (size <= 0) return {0, 0};
    size += h.padding_bit * (h.layer == 3 ? 4 : 1);
    if (size > avail) return {0, 0};
    int16_t mark = int16_t(((in[40] << 8) | in[41]) + 1);
    for (int32_t i = 0; i < d->out_bytes / 2; ++i) std::memcpy(out + 2 * i, &mark, 2);
    return {size, d->out_bytes};
}

// A first frame with a Xing header (its frame count 1000, bytes 99, a linear table of contents
// toc[i] = i * 256 / 100, quality 57, as `flags` asks), then `frames_after` plain frames.
inline std::vector<uint8_t> xing_stream(int32_t flags, int frames_after) {
    std::vector<uint8_t> v = synth_stream(1 + frames_after);
    uint8_t* x = &v[36];
    std::memcpy(x, "Xing", 4);
    x[7] = uint8_t(flags);
    uint8_t* q = x + 8;
    if (flags & 1) { q[2] = 1000 >> 8; q[3] = 1000 & 255; q += 4; }
    if (flags & 2) { q[3] = 99; q += 4; }
    if (flags & 4) { for (int i = 0; i < 100; ++i) q[i] = uint8_t(i * 256 / 100); q += 100; }
    if (flags & 8) q[3] = 57;
    return v;
}

// One MPEG-2 Layer III frame of 8 kbit/s at 22.05 kHz mono, 26 bytes: "Xing" at 13 fits in
// it, the header's fields after it do not.
inline std::vector<uint8_t> tiny_xing_frame() {
    std::vector<uint8_t> v = {0xFF, 0xF3, 0x10, 0xC0};
    v.resize(26, 0);
    std::memcpy(&v[13], "Xing", 4);
    v[20] = 0x0F;
    return v;
}

// n random bytes.
inline std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t(rng());
    return v;
}

inline void append(std::vector<uint8_t>* v, const std::vector<uint8_t>& w) {
    v->insert(v->end(), w.begin(), w.end());
}

inline std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    append(&a, b);
    return a;
}

// An ID3v2.4 tag of `body` bytes after its header (and a footer), the body full of 0xFF 0xFE
// pairs that look like frame syncs to a search.
inline std::vector<uint8_t> id3v2(size_t body, bool footer) {
    std::vector<uint8_t> t = {'I', 'D', '3', 4, 0, uint8_t(footer ? 0x10 : 0),
                              uint8_t(body >> 21 & 127), uint8_t(body >> 14 & 127),
                              uint8_t(body >> 7 & 127), uint8_t(body & 127)};
    for (size_t i = 0; i < body; ++i) t.push_back(i % 2 ? 0xFE : 0xFF);
    if (footer) append(&t, {'3', 'D', 'I', 4, 0, 0x10, t[6], t[7], t[8], t[9]});
    return t;
}

// An ID3v1 tag, its fields 0xFF.
inline std::vector<uint8_t> id3v1() {
    std::vector<uint8_t> t(128, 0xFF);
    t[0] = 'T', t[1] = 'A', t[2] = 'G';
    return t;
}

// Offsets of the frames of a plain stream (no tags), walked by header sizes.
inline std::vector<size_t> frame_offsets(const std::vector<uint8_t>& v) {
    std::vector<size_t> offs;
    size_t at = 0;
    while (at + 4 <= v.size()) {
        MpegHeader h;
        int32_t size = mpeg_header_parse(&v[at], int32_t(v.size() - at), &h);
        if (size <= 0) break;
        size += h.padding_bit * (h.layer == 3 ? 4 : 1);
        if (at + size_t(size) > v.size()) break;
        offs.push_back(at);
        at += size_t(size);
    }
    return offs;
}

}  // namespace ziv
