// Seeks to every frame of MPEG-2 and MPEG-2.5 Layer III files, through the three seek paths a
// caller has: the in-memory player (mp3_seek_ms), the streamed player (mp3s_seek_ms, once every
// frame has been passed) and the core (mpeg_core_seek_ms). The files cover every rate of both
// (8 to 24 kHz), mono and joint stereo, 8 to 160 kbit/s and VBR, encoded by lame from dense
// music-like material made with sox at test time (once per build tree), so that the bit
// reservoir is in constant use.
// After each seek the next three buffers are the uninterrupted decode's from the frame sought
// (gapless off), byte for byte; past the data's end the players' buffers are silent. The seeks
// come in a shuffled order while the player keeps playing, so that many of them follow one that
// ran into the data's end. Built with sanitizers the matrix seeks to every ZIV_SEEK_STRIDE-th
// frame (7 by default; 1 in a plain build).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>

#include <unistd.h>

#include "mpeg_core.h"
#include "player_test_util.h"

namespace {

constexpr int32_t kBuffer = 16384;  // bytes asked of each buffer, as the demo plays
constexpr int32_t kBuffers = 3;     // buffers compared after every seek
constexpr int32_t kBlock = 16384;   // the streamed player's blocks: two hold a buffer's frames

struct MatrixFile {
    const char* name;
    const char* args;  // lame's, on the 48 kHz stereo material
};
void PrintTo(const MatrixFile& f, std::ostream* os) { *os << f.name; }

const MatrixFile kFiles[] = {
    {"m25_8_mono_8", "-m m -b 8 --resample 8"},
    {"m25_8_mono_32", "-m m -b 32 --resample 8"},
    {"m25_8_joint_8", "-m j -b 8 --resample 8"},
    {"m25_11_mono_64", "-m m -b 64 --resample 11.025"},
    {"m25_11_joint_32", "-m j -b 32 --resample 11.025"},
    {"m25_12_mono_64", "-m m -b 64 --resample 12"},
    {"m25_12_joint_vbr", "-m j -V 2 --resample 12"},
    {"m2_16_mono_160", "-m m -b 160 --resample 16"},
    {"m2_16_joint_vbr", "-m j -V 0 --resample 16"},
    {"m2_22_mono_64", "-m m -b 64 --resample 22.05"},
    {"m2_22_joint_160", "-m j -b 160 --resample 22.05"},
    {"m2_24_joint_8", "-m j -b 8 --resample 24"},
    {"m2_24_mono_vbr", "-m m -V 5 --resample 24"},
};

// Seek to every stride-th frame: 1 in a plain build; sanitizers make decoding some ten times
// slower, so their builds take a subset unless ZIV_SEEK_STRIDE says otherwise.
int32_t seek_stride() {
    if (const char* s = std::getenv("ZIV_SEEK_STRIDE")) return std::max(1, std::atoi(s));
#ifdef ZIV_SANITIZED
    return 7;
#else
    return 1;
#endif
}

// Files made once for every test process of a build: kept in the build tree under a name that
// hashes the recipe, written under a name of their own first and renamed, so that test
// processes run side by side never read a file half written. make(path) writes the file.
template <typename Make>
std::string made_once(const std::string& recipe, const char* ext, Make make) {
    static const std::string dir = std::string(ZIV_BINARY_DIR) + "/tests/player/seek_matrix/";
    char name[32];
    std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>()(recipe));
    const std::string path = dir + name + ext;
    if (ziv::file_exists(path)) return path;
    const std::string part = path + "." + std::to_string(getpid());
    if (ziv::run("mkdir -p '" + dir + "'") != 0 || !make(part) ||
        std::rename(part.c_str(), path.c_str()) != 0)
        return std::string();
    return path;
}

// 10 s of dense music-like sound at 48 kHz, stereo: detuned sawtooth chords, an overdriven sine
// bass, 5 ms pink-noise clicks 8 times a second, high-passed white-noise bursts and a square-wave
// arpeggio panned hard left (sox's noise seeded the same every time).
std::string material() {
    // The parts, made in the folder given, then mixed into the file given.
    auto commands = [](const std::string& d, const std::string& w) {
        const std::string r = "sox -R -q -n -r 48000 ";
        return std::vector<std::string>{
            r + "-c 2 " + d + "chords.wav synth 10 sawtooth 220 sawtooth 221.3 sawtooth 277.2 "
                "sawtooth 329.6 sawtooth 331 remix 1,3,4 2,4,5 overdrive 5 vol 0.25",
            r + "-c 2 " + d + "bass.wav synth 10 sine 55 overdrive 40 vol 0.35 remix 1 1",
            r + "-c 2 " + d + "clicks.wav synth 0.005 pinknoise pad 0 0.12 repeat 79 remix 1 1",
            r + "-c 2 " + d + "bursts.wav synth 0.08 whitenoise highpass 4000 vol 0.4 "
                "pad 0.2 0.22 repeat 19",
            r + "-c 1 " + d + "a1.wav synth 0.0625 square 880",
            r + "-c 1 " + d + "a2.wav synth 0.0625 square 1108.7",
            r + "-c 1 " + d + "a3.wav synth 0.0625 square 1318.5",
            r + "-c 1 " + d + "a4.wav synth 0.0625 square 1760",
            "sox -R -q " + d + "a1.wav " + d + "a2.wav " + d + "a3.wav " + d + "a4.wav " + d +
                "arp.wav repeat 39 vol 0.2 remix 1 0",
            "sox -R -q -m " + d + "chords.wav " + d + "bass.wav " + d + "clicks.wav " + d +
                "bursts.wav " + d + "arp.wav -t wav -b 16 '" + w + "' trim 0 10 gain -n -1",
        };
    };
    std::string recipe;
    for (const std::string& c : commands("", "")) recipe += c + "\n";
    return made_once(recipe, ".wav", [&](const std::string& out) {
        for (const std::string& c : commands(ziv::temp_dir() + "/", out))
            if (ziv::run(c + " 2>/dev/null") != 0) return false;
        return true;
    });
}

// A file of the matrix and its uninterrupted decode (gapless off, signed 16-bit, from the
// core read once from the start).
struct Decoded {
    std::vector<uint8_t> data;
    std::vector<uint8_t> ref;
    int32_t rate = 0, channels = 0, spf = 0, frames = 0;
    size_t fpcm = 0;  // PCM bytes of a frame
};

const Decoded& matrix_file(const MatrixFile& f) {
    static std::map<std::string, Decoded> cache;
    auto it = cache.find(f.name);
    if (it != cache.end()) return it->second;
    Decoded& e = cache[f.name];
    const std::string wav = material();
    if (wav.empty()) return e;
    const std::string mp3 = made_once(wav + " " + f.args, ".mp3", [&](const std::string& out) {
        return ziv::run(std::string("lame --quiet ") + f.args + " '" + wav + "' '" + out + "'") ==
               0;
    });
    if (mp3.empty()) return e;
    e.data = ziv::read_file(mp3);
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, 0);
    if (mpeg_core_set_data(c, e.data.data(), int32_t(e.data.size())) == MP3_OK) {
        MpegOutputFormat fmt;
        mpeg_core_get_format(c, &fmt);
        e.rate = fmt.sample_rate;
        e.channels = fmt.channels;
        e.spf = fmt.out_samples / fmt.channels;
        e.fpcm = size_t(fmt.out_samples) * 2;
        std::vector<uint8_t> buf(1 << 16);
        int32_t r = MP3_OK, n = 0;
        while (r == MP3_OK) {
            r = mpeg_core_read(c, buf.data(), int32_t(buf.size()), &n);
            e.ref.insert(e.ref.end(), buf.begin(), buf.begin() + n);
        }
        if (r != MP3_ENDED || e.ref.size() % e.fpcm != 0) e.ref.clear();
        e.frames = int32_t(e.ref.size() / std::max<size_t>(e.fpcm, 1));
    }
    mpeg_core_destroy(c);
    return e;
}

// The uninterrupted decode from frame f on, `bytes` of it: silence past the data's end.
std::vector<uint8_t> expected(const Decoded& e, int32_t f, size_t bytes) {
    std::vector<uint8_t> v(bytes, 0);
    const size_t from = size_t(f) * e.fpcm;
    if (from < e.ref.size())
        std::copy_n(e.ref.begin() + long(from), std::min(bytes, e.ref.size() - from), v.begin());
    return v;
}

// The first millisecond that lies in frame f: a seek by time to it lands on f.
int32_t ms_of_frame(const Decoded& e, int32_t f) {
    return int32_t((int64_t(f) * e.spf * 1000 + e.rate - 1) / e.rate);
}

// The tally of one path over one file: seeks made, buffers compared, and the first few that
// differed (the file, the frame sought, the buffer after it, the first sample that differs and
// the largest difference).
struct Tally {
    explicit Tally(const char* p) : path(p) {}
    const char* path;
    int32_t seeks = 0, buffers = 0, wrong = 0;
    std::string first;

    void compare(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want, int32_t f,
                 int32_t k) {
        ++buffers;
        if (got == want) return;
        if (++wrong > 4) return;
        const std::vector<int16_t> a = ziv::to_s16(got), b = ziv::to_s16(want);
        size_t at = 0;
        int most = 0;
        for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            const int d = std::abs(int(a[i]) - int(b[i]));
            if (d && !most) at = i;
            most = std::max(most, d);
        }
        first += "\n  frame " + std::to_string(f) + ", buffer " + std::to_string(k) + ": " +
                 std::to_string(got.size()) + " bytes for " + std::to_string(want.size()) +
                 ", first differing sample " + std::to_string(at) + ", up to " +
                 std::to_string(most) + " LSB";
    }
    ::testing::AssertionResult exact(const char* name) const {
        std::printf("[ matrix   ] %s, %s: %d seeks, %d buffers compared, %d differ\n", name, path,
                    seeks, buffers, wrong);
        if (wrong == 0 && seeks > 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << name << ", " << path << ": " << wrong << " of "
                                             << buffers << " buffers differ after " << seeks
                                             << " seeks" << first;
    }
};

class SeekMatrix : public ptest::FakeAllegroTest<::testing::TestWithParam<MatrixFile>> {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        ZIV_REQUIRE_TOOL("sox");
        ZIV_REQUIRE_TOOL("lame");
        e_ = &matrix_file(GetParam());
        ASSERT_FALSE(e_->data.empty()) << "making " << GetParam().name << " failed";
        ASSERT_FALSE(e_->ref.empty()) << GetParam().name << " did not decode whole";
        ASSERT_GT(e_->frames, 100);
        ASSERT_LT(e_->rate, 32000) << "MPEG-2 or 2.5";
        ASSERT_EQ(e_->spf, 576);
        // Every frame (or every stride-th), in a shuffled order.
        const int32_t stride = seek_stride();
        for (int32_t f = 0; f < e_->frames; f += stride) order_.push_back(f);
        std::mt19937 rng(ziv::test_seed());
        std::shuffle(order_.begin(), order_.end(), rng);
    }
    // The handed-back buffers since the last call, as signed PCM; the fake's record emptied.
    static std::vector<std::vector<uint8_t>> take_handed() {
        std::vector<std::vector<uint8_t>> v;
        for (const auto& b : fake_al::st().handed)
            v.push_back(ptest::to_signed(b.data(), b.size()));
        fake_al::st().handed.clear();
        return v;
    }
    const Decoded* e_ = nullptr;
    std::vector<int32_t> order_;
};

// The in-memory player keeps playing between seeks (played again only once the silent tail after
// the data's end has stopped it); each seek lands on the frame that holds the time, and every
// poll hands back one buffer.
TEST_P(SeekMatrix, InMemoryPlayer) {
    const Decoded& e = *e_;
    Mp3Player* p = mp3_create(e.data.data(), int32_t(e.data.size()));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(mp3_set_gapless(p, 0), 0);
    Tally t("in-memory player");
    for (const int32_t f : order_) {
        // A Xing frame count leaves the Info frame out, and seeks stay below the count.
        if (f >= mp3_total_frames(p)) continue;
        mp3_seek_ms(p, ms_of_frame(e, f));
        ASSERT_EQ(mp3_current_frame(p), f) << "seek to " << ms_of_frame(e, f) << " ms";
        if (!mp3_is_playing(p)) {
            ASSERT_EQ(mp3_play(p, kBuffer, 255, 128), 0);
        }
        int32_t bytes = 0;
        mp3_output_buffer(p, &bytes);
        take_handed();
        for (int32_t k = 0; k < kBuffers && mp3_is_playing(p); ++k) {
            const int32_t r = mp3_poll(p);
            ASSERT_TRUE(r == 0 || r == 1) << "poll " << r << " after frame " << f;
            const auto got = take_handed();
            ASSERT_EQ(got.size(), 1u);
            t.compare(got[0], expected(e, f + k * bytes / int32_t(e.fpcm), size_t(bytes)), f, k);
        }
        ++t.seeks;
    }
    EXPECT_TRUE(t.exact(GetParam().name));
    mp3_destroy(p);
}

// The streamed player, fed the blocks it names, first plays the whole file through (a seek
// reaches only frames passed), then seeks to every frame while it plays.
TEST_P(SeekMatrix, StreamedPlayer) {
    const Decoded& e = *e_;
    const uint8_t* data = e.data.data();
    const size_t n = e.data.size();
    // Every block it asks for is given before each poll: a buffer may take more than a block.
    auto feed = [&](Mp3StreamPlayer* sp) {
        for (int i = 0; i < 4 && ptest::feed_named(sp, data, n, kBlock); ++i) {
        }
    };
    const bool last = n <= size_t(kBlock);
    Mp3StreamPlayer* s = mp3s_create(data, last ? int32_t(n) : kBlock, last);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(mp3s_set_gapless(s, 0), 0);
    ASSERT_EQ(mp3s_play(s, kBuffer, 255, 128), 0);
    int32_t r = 0;
    for (int i = 0; i < 100000 && r == 0; ++i) {
        feed(s);
        r = mp3s_poll(s);
    }
    ASSERT_EQ(r, MP3_ENDED) << "played through";
    const std::vector<std::vector<uint8_t>> through = take_handed();
    std::vector<uint8_t> all;
    for (const auto& b : through) all.insert(all.end(), b.begin(), b.end());
    ASSERT_GE(all.size(), e.ref.size());
    ASSERT_TRUE(std::equal(e.ref.begin(), e.ref.end(), all.begin())) << "the straight play";

    Tally t("streamed player");
    for (const int32_t f : order_) {
        ASSERT_EQ(mp3s_seek_ms(s, ms_of_frame(e, f)), 0) << "frame " << f;
        if (!mp3s_is_playing(s)) {
            ASSERT_EQ(mp3s_play(s, kBuffer, 255, 128), 0);
        }
        int32_t bytes = 0;
        mp3s_output_buffer(s, &bytes);
        take_handed();
        for (int32_t k = 0; k < kBuffers && mp3s_is_playing(s); ++k) {
            // Polled, fed as it asks, until it hands a buffer back.
            std::vector<std::vector<uint8_t>> got;
            for (int i = 0; i < 1000 && got.empty() && mp3s_is_playing(s); ++i) {
                feed(s);
                r = mp3s_poll(s);
                ASSERT_TRUE(r == 0 || r == MP3_ENDED) << "poll " << r << " after frame " << f;
                got = take_handed();
            }
            ASSERT_EQ(got.size(), 1u) << "after frame " << f;
            t.compare(got[0], expected(e, f + k * bytes / int32_t(e.fpcm), size_t(bytes)), f, k);
        }
        ++t.seeks;
    }
    EXPECT_TRUE(t.exact(GetParam().name));
    mp3s_destroy(s);
}

// The core, data in memory: each seek reports the time of the frame sought; reads of a buffer's
// bytes then give the uninterrupted decode, up to the data's end.
TEST_P(SeekMatrix, Core) {
    const Decoded& e = *e_;
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_NE(c, nullptr);
    mpeg_core_set_gapless(c, 0);
    ASSERT_EQ(mpeg_core_set_data(c, e.data.data(), int32_t(e.data.size())), MP3_OK);
    Tally t("core");
    std::vector<uint8_t> buf(kBuffer);
    for (const int32_t f : order_) {
        // The frame's start, in whole milliseconds (within one of the exact quotient).
        const int32_t at = int32_t(int64_t(f) * e.spf * 1000 / e.rate);
        ASSERT_NEAR(mpeg_core_seek_ms(c, ms_of_frame(e, f)), at, 1) << "frame " << f;
        for (int32_t k = 0; k < kBuffers; ++k) {
            int32_t got = 0;
            const int32_t r = mpeg_core_read(c, buf.data(), kBuffer, &got);
            ASSERT_TRUE(r == MP3_OK || r == MP3_ENDED) << "read " << r << " after frame " << f;
            const size_t from = size_t(f) * e.fpcm + size_t(k) * kBuffer;
            const size_t want = from < e.ref.size() ? std::min<size_t>(kBuffer, e.ref.size() - from)
                                                    : 0;
            std::vector<uint8_t> w(want);
            if (want) std::copy_n(e.ref.begin() + long(from), want, w.begin());
            t.compare(std::vector<uint8_t>(buf.begin(), buf.begin() + got), w, f, k);
        }
        ++t.seeks;
    }
    EXPECT_TRUE(t.exact(GetParam().name));
    mpeg_core_destroy(c);
}

INSTANTIATE_TEST_SUITE_P(Files, SeekMatrix, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<MatrixFile>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
