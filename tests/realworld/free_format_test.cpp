// Free-format Layer III as lame writes it (--freeformat), up to 640 kbit/s, where a frame runs
// to 2,880 bytes at 32 kHz: mp3dec against mpg123 run as a black box, then the core (from memory
// and fed in uneven pieces) and both players (label player) against mp3dec.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <cstdio>
#include <string>
#include <vector>

#include "mpeg_core.h"
#include "player_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FreeCase {
    const char* name;
    const char* khz;
    int rate;
    int kbps;
    double secs;
};

void PrintTo(const FreeCase& c, std::ostream* os) { *os << c.name; }

const FreeCase kFree[] = {
    {"ff_32k_640", "32", 32000, 640, 3.0},   // 2,880-byte frames
    {"ff_44k_640", "44.1", 44100, 640, 3.0}, // 2,089 and 2,090
    {"ff_48k_640", "48", 48000, 640, 6.0},   // 1,920
    {"ff_24k_200", "24", 24000, 200, 11.0},  // 600
};

Bytes make(const FreeCase& c) {
    return ptest::lame_file(c.name, c.khz, c.rate, 2, c.secs,
                            "--freeformat -b " + std::to_string(c.kbps));
}

// mp3dec's signed PCM of the file (every frame, or gapless).
Bytes mp3dec(const std::string& in, const std::string& out, bool gapless) {
    const std::string opt = gapless ? "" : "--no-gapless ";
    if (ziv::run("'" + ziv::mp3dec_path() + "' " + opt + "'" + in + "' '" + out + "'") != 0)
        return {};
    return ziv::read_file(out);
}

// The core's PCM, from memory (piece 0) or fed in pieces that grow and shrink around `piece`.
Bytes core_pcm(const Bytes& data, int32_t gapless, int32_t piece) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    Bytes pcm, out(5000);
    int32_t r = MP3_NEED_MORE, n = 0;
    auto drain = [&] {
        do {
            r = mpeg_core_read(c, out.data(), int32_t(out.size()), &n);
            pcm.insert(pcm.end(), out.begin(), out.begin() + n);
        } while (r == MP3_OK);
    };
    if (piece == 0) {
        EXPECT_EQ(mpeg_core_set_data(c, data.data(), int32_t(data.size())), MP3_OK);
        drain();
    } else {
        size_t at = 0;
        for (int i = 0; at < data.size() && r == MP3_NEED_MORE; ++i) {
            const size_t k = std::min(data.size() - at, size_t(piece / 2 + (i * 7919) % piece));
            EXPECT_EQ(mpeg_core_feed(c, data.data() + at, int32_t(k)), int32_t(k));
            at += k;
            drain();
        }
        mpeg_core_feed_end(c);
        drain();
    }
    EXPECT_EQ(r, MP3_ENDED);
    mpeg_core_destroy(c);
    return pcm;
}

class FreeFormatFile : public ::testing::TestWithParam<FreeCase> {};

TEST_P(FreeFormatFile, EveryPathDecodesItAsMpg123Does) {
    for (const char* tool : {"lame", "mpg123"}) ZIV_REQUIRE_TOOL(tool);
    const FreeCase& fc = GetParam();
    const Bytes data = make(fc);
    ASSERT_GT(data.size(), 10000u) << "lame made no file";
    const std::string in = ziv::tmp_path(std::string(fc.name) + ".mp3");

    // Gapless, as both decode by default: mpg123's length and samples within the usual bounds.
    const Bytes gapless = mp3dec(in, ziv::tmp_path(std::string(fc.name) + ".g.raw"), true);
    const std::string ref = ziv::tmp_path(std::string(fc.name) + ".mpg123.raw");
    ASSERT_EQ(ziv::run("mpg123 -q -s '" + in + "' > '" + ref + "' 2>/dev/null"), 0);
    const std::vector<int16_t> a = ziv::to_s16(gapless), b = ziv::read_s16(ref);
    ASSERT_FALSE(b.empty());
    const ziv::PcmDiff d = ziv::pcm_diff(a, b, 0);
    std::printf("[ figures  ] %-11s %7zu bytes  %7zu samples  RMS %.3f  max %d\n", fc.name,
                data.size(), b.size() / 2, d.rms, d.max);
    EXPECT_EQ(a.size(), b.size()) << "gapless length";
    EXPECT_EQ(d.compared, b.size());
    EXPECT_LE(d.rms, 0.8);
    EXPECT_LE(d.max, 2);

    // The core gives mp3dec's bytes from memory and fed, gapless and every frame.
    const Bytes every = mp3dec(in, ziv::tmp_path(std::string(fc.name) + ".e.raw"), false);
    ASSERT_GT(every.size(), gapless.size());
    EXPECT_TRUE(core_pcm(data, 1, 0) == gapless) << "core from memory";
    EXPECT_TRUE(core_pcm(data, 0, 0) == every) << "core from memory, every frame";
    for (int32_t piece : {1000, 4096, 65536}) {
        EXPECT_TRUE(core_pcm(data, 1, piece) == gapless) << "core fed pieces near " << piece;
        EXPECT_TRUE(core_pcm(data, 0, piece) == every) << "core fed pieces near " << piece;
    }

    // The in-memory player's whole-file decode.
    Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
    ASSERT_NE(p, nullptr);
    SAMPLE* s = mp3_decode_all(p);
    ASSERT_NE(s, nullptr);
    const Bytes all = ptest::to_signed(static_cast<uint8_t*>(s->data), size_t(s->len) * 4);
    destroy_sample(s);
    mp3_destroy(p);
    EXPECT_TRUE(ptest::same_then_silent(all, every)) << "mp3_decode_all";

    // The streamed player at 4 KB, 16 KB and 1 MB blocks: each poll takes more MP3 bytes than a
    // 4 KB block holds (three 1,920-byte frames at 48 kHz), and at 32 and 44.1 kHz two frames
    // no longer fit in one block; the blocks come one per poll, as soon as it asks.
    for (int32_t block : {4096, 16384, 1 << 20}) {
        const ptest::Streamed st = ptest::stream_in_blocks(data.data(), data.size(), block);
        EXPECT_EQ(st.result, 1) << "block " << block;
        EXPECT_TRUE(ptest::same_then_silent(st.pcm, every)) << "streamed in blocks of " << block;
        const ptest::Streamed sg = ptest::stream_in_blocks(data.data(), data.size(), block,
                                                           16384, 1);
        EXPECT_EQ(sg.result, 1) << "gapless, block " << block;
        EXPECT_TRUE(ptest::same_then_silent(sg.pcm, gapless)) << "gapless, blocks of " << block;
    }
    fake_al::reset();
}

INSTANTIATE_TEST_SUITE_P(Lame, FreeFormatFile, ::testing::ValuesIn(kFree),
                         [](const ::testing::TestParamInfo<FreeCase>& i) {
                             return std::string(i.param.name);
                         });

}  // namespace
