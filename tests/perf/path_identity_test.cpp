// The optimised decoding paths against the plain one: every conformance stream and a corpus of
// lame and twolame files made here are decoded on each vector path this processor runs (SSE2,
// AVX2 and AVX-512 on x86-64, NEON on aarch64) at every reduction, channel form and sample width
// (and rounded 16-bit samples as coded), and the PCM must be byte-identical. The plain path is
// the reference; the others only reorder work across output samples, never the arithmetic of
// one sample.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "decoder_util.h"
#include "test_util.h"

namespace {

using ziv::Decoded;

Decoded decode(const std::vector<uint8_t>& file, int32_t reduction, int32_t convert, int32_t path) {
    return ziv::decode_whole(file, reduction, convert, path);
}

// Decodes `file` on the plain path and on each of `paths` for the 3 reductions x 4 channel
// choices x 2 widths; reports the first differing byte of each configuration. Returns the bytes
// compared per path.
size_t expect_identical(const std::string& name, const std::vector<uint8_t>& file,
                        const std::vector<int32_t>& paths) {
    EXPECT_FALSE(file.empty()) << name << ": empty or unreadable";
    size_t bytes = 0;
    for (int32_t reduction = 0; reduction <= 2; ++reduction) {
        for (int32_t convert : {0, 1, 2, 3, 8, 9, 10, 11, MPEG_CONVERT_ROUND}) {
            const Decoded plain = decode(file, reduction, convert, MPEG_PATH_PLAIN);
            EXPECT_TRUE(plain.set_up) << name << ": no set-up";
            EXPECT_EQ(plain.path, MPEG_PATH_PLAIN);
            EXPECT_GT(plain.frames, 0) << name << ": no frame decoded";
            bytes += plain.pcm.size();
            for (int32_t path : paths) {
                const Decoded fast = decode(file, reduction, convert, path);
                SCOPED_TRACE(::testing::Message() << name << " path " << ziv::path_name(path)
                                                  << " reduction " << reduction << " convert " << convert);
                EXPECT_EQ(fast.path, path);
                EXPECT_EQ(plain.frames, fast.frames);
                EXPECT_EQ(plain.pcm.size(), fast.pcm.size());
                size_t at = 0;
                while (at < plain.pcm.size() && at < fast.pcm.size() && plain.pcm[at] == fast.pcm[at]) ++at;
                EXPECT_EQ(at, plain.pcm.size())
                    << "first differing byte " << at << " (frame "
                    << (plain.frames ? at / (plain.pcm.size() / size_t(plain.frames)) : 0) << ")";
            }
        }
    }
    return bytes;
}

class PathIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        paths = ziv::vector_paths();
        if (paths.empty()) GTEST_SKIP() << "this build runs only the plain path on this processor";
    }
    void report(const char* what, int inputs, size_t bytes) const {
        for (int32_t p : paths)
            std::printf("%s: %d inputs, %zu PCM bytes compared, plain against %s\n", what,
                        inputs, bytes, ziv::path_name(p));
    }
    std::vector<int32_t> paths;
};

// Every x86-64 processor runs SSE2; AVX-512 (F and VL, with AVX2 and FMA) is the best where the
// processor has it, else AVX2 (with FMA), else SSE2. Every aarch64 processor runs NEON, the best
// there. Each processor lacks the other's paths, so a build for aarch64 that left NEON out fails
// here instead of skipping the comparisons below.
TEST(PathSelection, BestPathOfThisProcessor) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    ASSERT_NE(mpeg_kernels(MPEG_PATH_SSE2), nullptr) << "x86-64 without the SSE2 path";
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    const bool avx512 =
        avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX2) != nullptr, avx2);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX512) != nullptr, avx512);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_NEON), nullptr);
    EXPECT_EQ(mpeg_best_path(), avx512 ? MPEG_PATH_AVX512 : avx2 ? MPEG_PATH_AVX2 : MPEG_PATH_SSE2);
    std::printf("this processor: best path %s\n", ziv::path_name(mpeg_best_path()));
#elif defined(__aarch64__)
    ASSERT_NE(mpeg_kernels(MPEG_PATH_NEON), nullptr) << "aarch64 without the NEON path";
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_SSE2), nullptr);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX2), nullptr);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX512), nullptr);
    EXPECT_EQ(mpeg_best_path(), MPEG_PATH_NEON);
    std::printf("this processor (aarch64): best path %s\n", ziv::path_name(mpeg_best_path()));
#else
    // Elsewhere the vector paths are absent and the best path is one this build runs.
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_SSE2), nullptr);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX2), nullptr);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX512), nullptr);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_NEON), nullptr);
    EXPECT_NE(mpeg_kernels(mpeg_best_path()), nullptr);
    std::printf("no vector path: best path %s\n", ziv::path_name(mpeg_best_path()));
#endif
    EXPECT_NE(mpeg_kernels(MPEG_PATH_PLAIN), nullptr);
    EXPECT_EQ(mpeg_kernels(12345), nullptr);
}

// A decoder that asks for a path this build or processor does not run (NEON on x86-64, SSE2,
// AVX2 and AVX-512 on aarch64, an unknown code) decodes on the plain path, with the plain path's
// bytes; one that asks for the best runs the best.
TEST(PathSelection, AbsentPathFallsBackToPlain) {
    const std::vector<uint8_t> file = ziv::read_file(ziv::vector_path("l3-hecommon.bit"));
    const Decoded plain = decode(file, 0, 0, MPEG_PATH_PLAIN);
    ASSERT_GT(plain.frames, 0);
    EXPECT_EQ(decode(file, 0, 0, MPEG_PATH_BEST).path, mpeg_best_path());
    for (int32_t p : {int32_t(MPEG_PATH_SSE2), int32_t(MPEG_PATH_AVX2), int32_t(MPEG_PATH_AVX512),
                      int32_t(MPEG_PATH_NEON), 12345}) {
        const Decoded got = decode(file, 0, 0, p);
        EXPECT_EQ(got.path, mpeg_kernels(p) ? p : MPEG_PATH_PLAIN) << "request " << ziv::path_name(p);
        EXPECT_TRUE(got.pcm == plain.pcm) << "request " << ziv::path_name(p);
    }
}

TEST_F(PathIdentity, ConformanceStreams) {
    const char* names[] = {"l1-fl1", "l1-fl2", "l1-fl3", "l1-fl4", "l2-fl10", "l2-fl11",
                           "l2-fl12", "l2-fl13", "l3-compl", "l3-he_32khz", "l3-he_44khz",
                           "l3-he_48khz", "l3-hecommon", "l3-si", "l3-si_block", "l3-sin1k0db",
                           "M2L3_bitrate_22_all", "M2L3_compl24"};
    size_t bytes = 0;
    for (const char* name : names)
        bytes += expect_identical(name, ziv::read_file(ziv::vector_path(std::string(name) + ".bit")), paths);
    report("conformance streams x 27 configurations", int(std::size(names)), bytes);
}

// Encoder output covers what the conformance set lacks: stereo and joint stereo Layer III with
// short blocks from real encoders, MPEG-2 and 2.5 rates, loud clipped material (saturation) and
// stereo Layer II at reduced rates.
TEST_F(PathIdentity, EncodedCorpus) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("twolame");
    const std::string src = ziv::tmp_path("src.wav"), loud = ziv::tmp_path("loud.wav");
    const std::string src24 = ziv::tmp_path("src24.wav");
    ASSERT_EQ(ziv::run("sox -q -n -r 44100 -c 2 " + src +
                       " synth 3 pinknoise synth 3 sine mix 100-6000 synth 3 square amod 5 "
                       "tremolo 4 80 gain -n -3"),
              0);
    ASSERT_EQ(ziv::run("sox -q -n -r 44100 -c 2 " + loud +
                       " synth 2 square 440 synth 2 sawtooth amod 61 gain 6"),
              0);
    ASSERT_EQ(ziv::run("sox -q " + src + " -r 24000 " + src24), 0);
    struct Enc {
        const char* name;
        std::string cmd;
    };
    const std::vector<Enc> corpus = {
        {"lame_joint_128.mp3", "lame --quiet -b 128 -m j " + src},
        {"lame_stereo_320.mp3", "lame --quiet -b 320 -m s " + src},
        {"lame_vbr_mono.mp3", "lame --quiet -V 2 -m m " + src},
        {"lame_loud.mp3", "lame --quiet -b 192 " + loud},
        {"lame_22k.mp3", "lame --quiet --resample 22.05 -b 64 " + src},
        {"lame_8k.mp3", "lame --quiet --resample 8 -b 16 " + src},
        {"twolame_joint_192.mp2", "twolame --quiet -b 192 -m j " + src},
        {"twolame_mono_96.mp2", "twolame --quiet -b 96 -m m " + src},
        {"twolame_loud.mp2", "twolame --quiet -b 256 " + loud},
        {"twolame_24k.mp2", "twolame --quiet -b 80 " + src24},
    };
    size_t bytes = 0;
    for (const Enc& e : corpus) {
        const std::string out = ziv::tmp_path(e.name);
        ASSERT_EQ(ziv::run(e.cmd + " " + out), 0) << e.cmd;
        bytes += expect_identical(e.name, ziv::read_file(out), paths);
    }
    report("encoded corpus x 27 configurations", int(corpus.size()), bytes);
}

// The path is a property of each decoder: a plain decoder and one per vector path run side by
// side on their own threads, each reports its own path and each writes what it writes alone.
TEST_F(PathIdentity, DecodersOnThreadsKeepTheirOwnPaths) {
    const std::vector<uint8_t> file = ziv::read_file(ziv::vector_path("l3-sin1k0db.bit"));
    const Decoded alone = decode(file, 0, 0, MPEG_PATH_PLAIN);
    ASSERT_GT(alone.frames, 0);
    std::vector<int32_t> run = {MPEG_PATH_PLAIN};
    run.insert(run.end(), paths.begin(), paths.end());
    std::vector<Decoded> got(run.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < run.size(); ++i)
        threads.emplace_back([&, i] { got[i] = decode(file, 0, 0, run[i]); });
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < run.size(); ++i) {
        EXPECT_EQ(got[i].path, run[i]) << "decoder " << i;
        EXPECT_TRUE(got[i].pcm == alone.pcm) << "decoder " << i << " on path " << ziv::path_name(run[i]);
    }
    // A path this build cannot run falls back to plain, for that decoder only.
    EXPECT_EQ(decode(file, 0, 0, 12345).path, MPEG_PATH_PLAIN);
}

}  // namespace
