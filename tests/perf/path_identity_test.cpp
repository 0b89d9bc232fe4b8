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

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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

#if defined(__x86_64__)
// The wide paths run only where the processor has the instructions and the system saves their
// registers on a task switch (XCR0: XMM and YMM state for AVX2, with the opmask and ZMM state
// for AVX-512), as the processor and the system report them here, read straight (CPUID, XGETBV),
// not through the compiler's run-time checks the library calls.
TEST(PathSelection, SystemSavesTheWideRegisters) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    ASSERT_TRUE(__get_cpuid(1, &a, &b, &c, &d));
    const bool fma = c & (1u << 12), osxsave = c & (1u << 27), avx = c & (1u << 28);
    unsigned b7 = 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) b7 = b;
    uint64_t xcr0 = 0;
    if (osxsave) {
        unsigned lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        xcr0 = (uint64_t(hi) << 32) | lo;
    }
    const bool ymm_saved = (xcr0 & 0x6) == 0x6, zmm_saved = (xcr0 & 0xE6) == 0xE6;
    const bool avx2 = avx && fma && (b7 & (1u << 5)) && ymm_saved;
    const bool avx512 = avx2 && (b7 & (1u << 16)) && (b7 & (1u << 31)) && zmm_saved;
    std::printf("this system: XCR0 %#llx, AVX2 usable %d, AVX-512 usable %d\n",
                (unsigned long long)xcr0, int(avx2), int(avx512));
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX2) != nullptr, avx2);
    EXPECT_EQ(mpeg_kernels(MPEG_PATH_AVX512) != nullptr, avx512);
}
#endif

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
    std::string dir;
    const std::vector<std::string> made = ziv::made_inputs("path_corpus.txt", &dir);
    ASSERT_FALSE(made.empty());
    int files = 0;
    size_t bytes = 0;
    for (const std::string& name : made) {
        if (name.size() < 4 || name.compare(name.size() - 4, 3, ".mp") != 0) continue;
        bytes += expect_identical(name, ziv::read_file(dir + "/" + name), paths);
        ++files;
    }
    EXPECT_EQ(files, 10);
    report("encoded corpus x 27 configurations", files, bytes);
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
