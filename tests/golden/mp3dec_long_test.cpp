// mp3dec on a file of more than 2^31 samples per channel (14 hours of 44.1 kHz mono, about 410 MB,
// made on disk at test time by repeating a short lame file's frames behind a patched Info frame,
// long_file.h; the short file comes from tests/inputs/long_inputs.txt): --info tells its length
// without decoding it, in a fraction of a decode's time, and says of it what it says of the
// 3-copy file; the one whole decode gives that many samples, its start and end equal to the
// 3-copy file's. Label `long`: run once, outside the sanitizer passes.
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "long_file.h"
#include "system.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// mp3dec --info's values, and the time it took.
std::map<std::string, std::string> info_values(const std::string& file, double* seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    std::map<std::string, std::string> v = ziv::mp3dec_info_values(file);
    if (seconds) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return v;
}

// Decodes `file` with mp3dec to standard output: the bytes counted, the first and last `keep`.
struct Decoded {
    int64_t bytes = 0;
    Bytes head, tail;
};

// The bytes as they come from mp3dec's standard output.
struct Kept {
    Decoded d;
    size_t keep;
    static void take(void* ctx, const uint8_t* p, size_t n) {
        Kept* k = static_cast<Kept*>(ctx);
        Decoded& d = k->d;
        if (d.head.size() < k->keep)
            d.head.insert(d.head.end(), p, p + std::min(n, k->keep - d.head.size()));
        d.tail.insert(d.tail.end(), p + (n > k->keep ? n - k->keep : 0), p + n);
        if (d.tail.size() > k->keep) d.tail.erase(d.tail.begin(), d.tail.end() - long(k->keep));
        d.bytes += int64_t(n);
    }
};

Decoded decode(const std::string& file, size_t keep) {
    Kept k{Decoded(), keep};
    ziv::Program p;
    p.args = {ziv::mp3dec_path(), file, "-"};
    p.pipe_out = true;
    p.take = Kept::take;
    p.take_ctx = &k;
    EXPECT_EQ(0, ziv::run_program(p)) << file;
    return k.d;
}

TEST(Mp3decLong, InfoAndTheOneWholeDecodePastTwoToThe31Samples) {
    // 3 s of 44.1 kHz mono at 64 kbit/s by lame.
    const Bytes src = ziv::listed_input("long_inputs.txt", "mono64.mp3");
    ASSERT_FALSE(src.empty());
    ziv::LongFile three, big;
    std::string why;
    ASSERT_TRUE(ziv::long_file_make(src, 3, &three, &why)) << why;
    const int64_t copy = three.frames * 1152;
    const int64_t copies = (int64_t(1) << 31) / copy + 2;
    ASSERT_TRUE(ziv::long_file_make(src, copies, &big, &why)) << why;
    const std::string f3 = ziv::tmp_path("three.mp3"), fbig = ziv::tmp_path("long.mp3");
    ASSERT_TRUE(three.write(f3));
    ASSERT_TRUE(big.write(fbig)) << "room for " << big.size() << " bytes in " << ziv::temp_dir();

    double secs = 0;
    auto small = info_values(f3, nullptr);
    auto large = info_values(fbig, &secs);
    std::printf("[ --info   ] %lld bytes, %lld samples: %.3f s\n", (long long)big.size(),
                std::stoll(large["samples"]), secs);
    const int64_t samples = std::stoll(large["samples"]);
    EXPECT_EQ(std::stoll(small["samples"]) + (copies - 3) * copy, samples);
    EXPECT_GT(samples, int64_t(1) << 31);
    EXPECT_NEAR(double(samples) / 44100, std::stod(large["duration"]), 1e-6);
    // A decode of this file takes some 13 s: --info walks over the headers alone.
    EXPECT_LT(secs, 5.0) << "--info took as long as a decode";
    for (const auto& [key, value] : small) {
        if (key != "samples" && key != "duration") {
            EXPECT_EQ(value, large[key]) << key;
        }
    }
    EXPECT_GE(small.size(), 9u) << "layer, version, rate, channels, mode, bitrate, samples, ...";
    EXPECT_EQ(small.size(), large.size());

    // The whole decode: as many samples as --info said; the start is the first copy's, the end
    // the last copy's, as the 3-copy file decodes them.
    const size_t keep = 44100 * 2;
    const Decoded ref = decode(f3, keep), got = decode(fbig, keep);
    EXPECT_EQ(samples * 2, got.bytes);
    EXPECT_TRUE(ref.head == got.head) << "the first second";
    EXPECT_TRUE(ref.tail == got.tail) << "the last second";
    std::remove(fbig.c_str());
}

}  // namespace
