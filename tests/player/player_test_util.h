// Helpers of the player tests (the synthetic streams and the pattern decoder are in
// synth_stream.h): the fixture that checks the fake's bookkeeping, the handed-back PCM as signed
// samples, a streamed player fed block by block, and MP3 files made with lame at test time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_allegro.h"
#include "player_state.h"
#include "stream_state.h"
#include "decoder_state.h"
#include "held_core.h"
#include "synth_stream.h"
#include "test_util.h"

namespace ptest {

using ziv::frame_offsets;
using ziv::pattern_decode;
using ziv::synth_stream;

// A test against the fake Allegro calls: the fake reset before, and after it no buffer handed
// back twice, no call on a dead stream and no SAMPLE left alive. Base: the gtest fixture
// (parameterised or not).
template <typename Base = ::testing::Test>
class FakeAllegroTest : public Base {
protected:
    void SetUp() override { fake_al::reset(); }
    void TearDown() override {
        EXPECT_EQ(fake_al::st().errors, 0) << "a buffer handed back twice or a dead stream";
        EXPECT_EQ(fake_al::st().live_samples, 0);
        fake_al::reset();
    }
};
using FakeAllegro = FakeAllegroTest<>;

// Where the in-memory player's core reads: the first frame, the next byte to decode, and the
// bytes from the first frame on (the tags at the end cut off).
inline const uint8_t* data_start(const Mp3Player* p) { return held(p->core)->start; }
inline const uint8_t* read_pos(const Mp3Player* p) {
    return held(p->core)->start + held(p->core)->pos;
}
inline int32_t data_len(const Mp3Player* p) { return held(p->core)->data_len; }
// Where the streamed player's core reads next, from the start of the player's window.
inline int64_t stream_read_off(const Mp3StreamPlayer* p) {
    return mpeg_core_next_offset(p->core) - p->win.base;
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

// Every buffer handed back since the fake's last reset, joined, as the unsigned bytes given.
inline std::vector<uint8_t> handed_bytes() {
    std::vector<uint8_t> all;
    for (const auto& b : fake_al::st().handed) all.insert(all.end(), b.begin(), b.end());
    return all;
}

struct Streamed {
    bool created = false;  // mp3s_create gave a player
    bool played = false;   // and mp3s_play accepted it
    int result = -100;     // the poll result it stopped with
    std::vector<uint8_t> pcm;  // every buffer handed back, as signed PCM
    int32_t end_ms = 0;        // the position once it stopped
    int32_t length_ms = 0;     // the length, given the n bytes
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
    r.end_ms = mp3s_position_ms(p);
    r.length_ms = mp3s_length_ms(p, int32_t(n));
    mp3s_destroy(p);
    return r;
}

// Feeds a streamed player the block it asks for, read from `data` (n bytes) at the offset it
// names: the last block when it reaches the end. false when it asked for none.
inline bool feed_named(Mp3StreamPlayer* p, const uint8_t* data, size_t n, int32_t block) {
    uint8_t* nb = mp3s_next_block(p);
    const int64_t off = mp3s_next_block_offset(p);
    if (!nb || off < 0 || size_t(off) > n) return false;
    const size_t k = std::min(size_t(block), n - size_t(off));
    std::memcpy(nb, data + off, k);
    mp3s_give_block(p, size_t(off) + k == n ? int32_t(k) : -1);
    return true;
}

// `got` starts with exactly the first n bytes of `want` (all of it by default) and is silent
// after them.
inline ::testing::AssertionResult same_then_silent(const std::vector<uint8_t>& got,
                                                   const std::vector<uint8_t>& want,
                                                   size_t n = SIZE_MAX) {
    n = std::min(n, want.size());
    if (got.size() < n) return ::testing::AssertionFailure() << "short: " << got.size() << " < " << n;
    auto d = std::mismatch(want.begin(), want.begin() + long(n), got.begin());
    if (d.first != want.begin() + long(n))
        return ::testing::AssertionFailure() << "differs at byte " << (d.first - want.begin());
    if (std::any_of(got.begin() + long(n), got.end(), [](uint8_t b) { return b != 0; }))
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

// A file made at test time: `secs` of test PCM encoded by lame (khz is its -s argument) or by
// twolame with `args`, kept in tmp/<name>.mp3 or .mp2.
struct Encoded {
    const char* name;
    const char* tool;  // "lame" or "twolame"
    const char* khz;
    int rate;
    int channels;
    double secs;
    const char* args;
};

inline std::vector<uint8_t> encode(const Encoded& f) {
    if (std::string(f.tool) == "lame")
        return lame_file(f.name, f.khz, f.rate, f.channels, f.secs, f.args);
    return twolame_file(f.name, f.rate, f.channels, f.secs, f.args);
}

}  // namespace ptest
