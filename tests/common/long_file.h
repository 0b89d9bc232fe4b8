// Long MP3 files made at test time from a short one that lame wrote: its Info frame, patched to
// count N copies (the frame count, the byte count, the LAME tag's music length and the tag's CRC),
// then its audio frames N times over. The copies decode alike once the bit reservoir has been
// refilled, so the end of the N-copy decode equals the last copy of the 3-copy decode, shifted by
// N - 3 copies. The file is served from memory through a reader (never written out, any size), or
// written to disk, or made whole in memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mpeg_core.h"
#include "system.h"
#include "test_util.h"

namespace ziv {

struct LongFile {
    std::vector<uint8_t> info;   // the Info frame, patched
    std::vector<uint8_t> audio;  // one copy of the audio frames
    int64_t frames = 0;          // audio frames in one copy
    int64_t copies = 0;

    int64_t size() const { return int64_t(info.size()) + copies * int64_t(audio.size()); }

    // Bytes [at, at + n) of the file, n clipped at its end; returns the bytes given.
    size_t read_at(int64_t at, uint8_t* buf, size_t n) const {
        const int64_t end = std::min<int64_t>(size(), at + int64_t(n));
        size_t got = 0;
        while (at < end) {
            const uint8_t* src;
            int64_t avail;
            if (at < int64_t(info.size())) {
                src = info.data() + at;
                avail = int64_t(info.size()) - at;
            } else {
                const int64_t in = (at - int64_t(info.size())) % int64_t(audio.size());
                src = audio.data() + in;
                avail = int64_t(audio.size()) - in;
            }
            const size_t k = size_t(std::min(avail, end - at));
            std::memcpy(buf + got, src, k);
            got += k;
            at += int64_t(k);
        }
        return got;
    }

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b(static_cast<size_t>(size()));
        read_at(0, b.data(), b.size());
        return b;
    }

    bool write(const std::string& path) const {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return false;
        bool ok = std::fwrite(info.data(), 1, info.size(), f) == info.size();
        std::vector<uint8_t> run;  // copies a megabyte or so at a time
        const int64_t per = std::max<int64_t>(1, (1 << 20) / int64_t(audio.size()));
        for (int64_t i = 0; i < per; ++i) run.insert(run.end(), audio.begin(), audio.end());
        for (int64_t left = copies; ok && left > 0; left -= per) {
            const size_t n = size_t(std::min(left, per)) * audio.size();
            ok = std::fwrite(run.data(), 1, n, f) == n;
        }
        return std::fclose(f) == 0 && ok;
    }
};

namespace long_detail {

inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be32(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
// The LAME tag's CRC-16: polynomial 0x8005 taken bit-reversed (0xA001), from 0.
inline uint16_t crc16(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

}  // namespace long_detail

// Makes the N-copy file of `mp3` (a lame file with an Info frame and a LAME tag: its own tags in
// front and behind are left out). false with *why set when the file is not such a file.
inline bool long_file_make(const std::vector<uint8_t>& mp3, int64_t copies, LongFile* out,
                           std::string* why) {
    using namespace long_detail;
    size_t at = 0, end = mp3.size();
    if (end >= 10 && std::memcmp(mp3.data(), "ID3", 3) == 0)
        at = 10 + (size_t(mp3[6]) << 21 | size_t(mp3[7]) << 14 | size_t(mp3[8]) << 7 | mp3[9]);
    if (end >= 128 && std::memcmp(mp3.data() + end - 128, "TAG", 3) == 0) end -= 128;
    MpegHeader h;
    const int32_t bare = at + 4 <= end ? mpeg_header_parse(mp3.data() + at, 4, &h) : 0;
    if (bare <= 0) return *why = "no frame header at the start", false;
    const size_t first = size_t(mpeg_header_frame_bytes(&h, bare));
    if (at + first >= end) return *why = "a single frame", false;
    out->info.assign(mp3.begin() + long(at), mp3.begin() + long(at + first));
    out->audio.assign(mp3.begin() + long(at + first), mp3.begin() + long(end));
    out->copies = copies;
    uint8_t* f = out->info.data();
    // The Info header follows the side information: 32 or 17 bytes (MPEG-1 stereo or mono), 17
    // or 9 (MPEG-2 and 2.5).
    const bool mono = (f[3] >> 6) == 3, mpeg1 = ((f[1] >> 3) & 3) == 3;
    const size_t x = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17));
    if (first < x + 8 + 36 || (std::memcmp(f + x, "Info", 4) != 0 && std::memcmp(f + x, "Xing", 4) != 0))
        return *why = "no Info frame", false;
    const uint32_t flags = be32(f + x + 4);
    if ((flags & 3) != 3) return *why = "the Info frame gives no frame or byte count", false;
    out->frames = be32(f + x + 8);
    const size_t lame = x + 8 + 8 + ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
    if (lame + 36 > first || std::memcmp(f + lame, "LAME", 4) != 0) return *why = "no LAME tag", false;
    if (long_detail::crc16(f, lame + 34) != (f[lame + 34] << 8 | f[lame + 35]))
        return *why = "the LAME tag's CRC is wrong to begin with", false;
    const uint64_t span = uint64_t(out->size());
    put_be32(f + x + 8, uint64_t(out->frames * copies));
    put_be32(f + x + 12, span);     // the 32-bit fields hold the span modulo 2^32
    put_be32(f + lame + 28, span);
    const uint16_t crc = crc16(f, lame + 34);
    f[lame + 34] = uint8_t(crc >> 8);
    f[lame + 35] = uint8_t(crc);
    return true;
}

// A reader over a long file (mpeg_core_set_reader), its bytes made as they are read.
struct LongSource {
    const LongFile* file;
    int64_t at = 0;
};

inline int64_t long_read(void* ctx, void* buf, size_t n) {
    LongSource* s = static_cast<LongSource*>(ctx);
    const size_t k = s->file->read_at(s->at, static_cast<uint8_t*>(buf), n);
    s->at += int64_t(k);
    return int64_t(k);
}
inline int32_t long_seek(void* ctx, int64_t off) {
    LongSource* s = static_cast<LongSource*>(ctx);
    if (off < 0 || off > s->file->size()) return -1;
    s->at = off;
    return 0;
}
inline int64_t long_size(void* ctx) { return static_cast<LongSource*>(ctx)->file->size(); }

constexpr MpegReader kLongReader = {long_read, long_seek, long_size};

// The members of `mp3dec --info --json`'s object at the top level that hold plain values, as
// written.
inline std::map<std::string, std::string> mp3dec_info_values(const std::string& file) {
    Program p;
    p.args = {mp3dec_path(), "--info", "--json", file};
    p.out = file + ".json";
    EXPECT_EQ(0, run_program(p)) << file;
    const std::vector<uint8_t> b = read_file(p.out);
    std::remove(p.out.c_str());
    const std::string text(b.begin(), b.end());
    std::map<std::string, std::string> v;
    size_t at = 0;
    // Lines `  "key": value,` at an indent of two.
    while ((at = text.find("\n  \"", at)) != std::string::npos) {
        const size_t k = at + 4, q = text.find('"', k), e = text.find_first_of(",\n", q);
        if (q == std::string::npos || e == std::string::npos) break;
        v[text.substr(k, q - k)] = text.substr(q + 3, e - q - 3);
        at = q;
    }
    return v;
}

}  // namespace ziv
