// Helpers of the player tests: synthetic MPEG audio streams, a "pattern" frame decoder that
// marks every output sample with the number of the frame it came from (so a test sees exactly
// which frames went into which buffer without depending on the real decoder's output), the
// handed-back PCM as signed samples, a streamed player fed block by block, and MP3 files made
// with lame at test time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_allegro.h"
#include "mp3_stream_player.h"
#include "decoder_state.h"
#include "test_util.h"

namespace ptest {

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

// The frame mark of every sample of a handed-back buffer (0 = silence).
inline std::vector<int16_t> marks(const std::vector<uint8_t>& buf) {
    return fake_al::signed_samples(buf);
}

// Unsigned 16-bit PCM, as the players hand it to the sound card, back to signed.
inline std::vector<uint8_t> to_signed(const uint8_t* p, size_t n) {
    std::vector<uint8_t> v(p, p + n);
    for (size_t i = 1; i < n; i += 2) v[i] ^= 0x80;
    return v;
}

// Every buffer handed back since the fake's last reset, joined, as signed 16-bit PCM.
inline std::vector<uint8_t> handed_signed() {
    std::vector<uint8_t> pcm;
    for (const auto& b : fake_al::st().handed) {
        std::vector<uint8_t> s = to_signed(b.data(), b.size());
        pcm.insert(pcm.end(), s.begin(), s.end());
    }
    return pcm;
}

struct Streamed {
    bool created = false;  // mp3s_create gave a player
    bool played = false;   // and mp3s_play accepted it
    int result = -100;     // the poll result it stopped with
    std::vector<uint8_t> pcm;  // every buffer handed back, as signed PCM
};

// Streams bytes [0, n) of `data` through a streamed player (fake reset first; gapless as asked),
// in blocks of `block` bytes given as soon as it asks, polling until it stops. The first block is
// read in place: exactly n bytes when it is the last one.
inline Streamed stream_in_blocks(const uint8_t* data, size_t n, int32_t block,
                                 int32_t buffer_bytes = 16384, int32_t gapless = 0) {
    Streamed r;
    fake_al::reset();
    size_t at = std::min(size_t(block), n);
    const bool last = at == n;
    Mp3StreamPlayer* p = mp3s_create(data, last ? int32_t(n) : block, last);
    if (!p) return r;
    r.created = true;
    r.played = mp3s_set_gapless(p, gapless) == 0 && mp3s_play(p, buffer_bytes, 255, 128) == 0;
    int v = 0;
    for (int i = 0; r.played && i < 1000000 && v == 0; ++i) {
        if (uint8_t* nb = mp3s_next_block(p); nb && at < n) {
            const size_t k = std::min(size_t(block), n - at);
            std::memcpy(nb, data + at, k);
            at += k;
            mp3s_give_block(p, at == n ? int32_t(k) : -1);
        }
        v = mp3s_poll(p);
    }
    r.result = v;
    r.pcm = handed_signed();
    mp3s_destroy(p);
    return r;
}

// `got` starts with exactly `want` and is silent after it.
inline ::testing::AssertionResult same_then_silent(const std::vector<uint8_t>& got,
                                                   const std::vector<uint8_t>& want) {
    if (got.size() < want.size())
        return ::testing::AssertionFailure() << "short: " << got.size() << " < " << want.size();
    auto d = std::mismatch(want.begin(), want.end(), got.begin());
    if (d.first != want.end())
        return ::testing::AssertionFailure() << "differs at byte " << (d.first - want.begin());
    if (std::any_of(got.begin() + long(want.size()), got.end(), [](uint8_t b) { return b != 0; }))
        return ::testing::AssertionFailure() << "sound after the end";
    return ::testing::AssertionSuccess();
}

// Raw signed 16-bit PCM: two tones and a slow sweep, so that frames differ from one another.
inline std::vector<int16_t> test_pcm(int rate, int channels, double secs) {
    size_t n = size_t(rate * secs);
    std::vector<int16_t> v(n * size_t(channels));
    double ph = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double t = double(i) / rate;
        ph += 2.0 * M_PI * (200.0 + 1800.0 * t / secs) / rate;
        for (int c = 0; c < channels; ++c) {
            double s = 0.35 * std::sin(ph + c) + 0.2 * std::sin(2.0 * M_PI * 440.0 * (c + 1) * t);
            v[i * size_t(channels) + size_t(c)] = int16_t(s * 32767.0);
        }
    }
    return v;
}

// Encodes test PCM with lame into tmp/<name>.mp3 and returns the file's bytes (empty on failure).
// khz is lame's -s argument ("44.1", "22.05", "8"); args are extra lame options.
inline std::vector<uint8_t> lame_file(const std::string& name, const std::string& khz, int rate,
                                      int channels, double secs, const std::string& args) {
    std::string raw = ziv::tmp_path(name + ".raw"), mp3 = ziv::tmp_path(name + ".mp3");
    if (!ziv::file_exists(mp3)) {
        std::vector<int16_t> pcm = test_pcm(rate, channels, secs);
        if (!ziv::write_file(raw, pcm.data(), pcm.size() * 2)) return {};
        std::string cmd = "lame --quiet -r -s " + khz + " --bitwidth 16 --signed --little-endian -m " +
                          (channels == 2 ? "j" : "m") + " " + args + " '" + raw + "' '" + mp3 + "'";
        if (ziv::run(cmd) != 0) return {};
    }
    return ziv::read_file(mp3);
}

// Encodes test PCM with twolame (Layer II) into tmp/<name>.mp2 and returns the file's bytes.
inline std::vector<uint8_t> twolame_file(const std::string& name, int rate, int channels,
                                         double secs, const std::string& args) {
    std::string raw = ziv::tmp_path(name + ".raw"), mp2 = ziv::tmp_path(name + ".mp2");
    if (!ziv::file_exists(mp2)) {
        std::vector<int16_t> pcm = test_pcm(rate, channels, secs);
        if (!ziv::write_file(raw, pcm.data(), pcm.size() * 2)) return {};
        std::string cmd = "twolame --quiet -r -s " + std::to_string(rate) + " -N " +
                          std::to_string(channels) + " " + args + " '" + raw + "' '" + mp2 + "'";
        if (ziv::run(cmd) != 0) return {};
    }
    return ziv::read_file(mp2);
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

}  // namespace ptest
