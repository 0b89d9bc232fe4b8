// MPEG_PATH in the environment: it names the path that MPEG_PATH_BEST takes, read once, by the
// first decoder set up, so each case runs in a process of its own (CTest runs every case alone).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "decoder_util.h"
#include "kernels.h"
#include "test_util.h"

namespace {

// A path this processor runs other than its best, where it has one.
int32_t other_path() {
#if defined(__x86_64__)
    return mpeg_kernels(MPEG_PATH_AVX2) ? MPEG_PATH_SSE2 : MPEG_PATH_PLAIN;
#else
    return MPEG_PATH_PLAIN;
#endif
}

const char* name_of(int32_t path) { return path == MPEG_PATH_SSE2 ? "sse2" : "plain"; }

TEST(PathFromEnvironment, NamesThePathOfEveryDecoder) {
    const int32_t want = other_path();
    static char entry[32];
    std::snprintf(entry, sizeof entry, "MPEG_PATH=%s", name_of(want));
    ASSERT_EQ(putenv(entry), 0);
    EXPECT_EQ(mpeg_best_path(), want);
    const std::vector<uint8_t> file = ziv::read_file(ziv::vector_path("l3-hecommon.bit"));
    const ziv::Decoded got = ziv::decode_whole(file, 0, 0, MPEG_PATH_BEST);
    EXPECT_GT(got.frames, 0);
    EXPECT_EQ(got.path, want);
    // Read once: a later change is not seen.
    static char later[] = "MPEG_PATH=avx512";
    ASSERT_EQ(putenv(later), 0);
    EXPECT_EQ(mpeg_best_path(), want);
}

// A name that is no path, or a path the processor lacks, leaves the choice to the processor.
TEST(PathFromEnvironment, UnknownNameLeavesTheBest) {
    static char entry[] = "MPEG_PATH=fastest";
    ASSERT_EQ(putenv(entry), 0);
    int32_t best = MPEG_PATH_PLAIN;
    for (int32_t p : {int32_t(MPEG_PATH_SSE2), int32_t(MPEG_PATH_AVX2), int32_t(MPEG_PATH_AVX512),
                      int32_t(MPEG_PATH_NEON)})  // from the slowest to the fastest
        if (mpeg_kernels(p)) best = p;
    EXPECT_EQ(mpeg_best_path(), best);
}

}  // namespace
