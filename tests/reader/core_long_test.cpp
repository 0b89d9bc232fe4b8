// The core on files past 32 bits, made at test time by repeating the frames of a short lame file
// (long_file.h; the short files from tests/inputs/long_inputs.txt): more than 2^31 samples per
// channel (14 hours of 44.1 kHz mono) in memory and through a reader, more than 4 GiB of data
// through a reader that makes its bytes as they are read, and a file of more than 4 GiB on disk
// read through the system's file calls (system.h), which mp3dec --info describes too. The
// length, seeks near the end (exact to the sample, against the last copy of the 3-copy file's
// decode), tell after them, and loops near the end. Label `long`: run once, outside the
// sanitizer passes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "long_file.h"
#include "mpeg_core.h"
#include "system.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kFrameSamples = 1152;

// A lame file of 3 s of long_inputs.txt: mono64.mp3 (44.1 kHz mono at 64 kbit/s) or
// stereo320.mp3.
Bytes lame_file(const std::string& name) { return ziv::listed_input("long_inputs.txt", name); }

// Everything a core gives, read to the end.
Bytes decode_all(const Bytes& mp3, bool gapless) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    Bytes out, buf(1 << 16);
    int32_t r = mpeg_core_set_data(c, mp3.data(), mp3.size());
    while (r == MP3_OK) {
        int32_t k = 0;
        r = mpeg_core_read(c, buf.data(), int32_t(buf.size()), &k);
        out.insert(out.end(), buf.begin(), buf.begin() + k);
    }
    EXPECT_EQ(MP3_ENDED, r);
    mpeg_core_destroy(c);
    return out;
}

// A long file and what its last copy decodes to: the 3-copy file's decode, `shift` samples
// before the long file's.
struct Long {
    std::string name;
    ziv::LongFile file;
    Bytes ref;
    int64_t shift = 0;
    int32_t sample_bytes = 0;
    int64_t ref_samples() const { return int64_t(ref.size()) / sample_bytes; }
};

// The long file of `copies` copies (a function of one copy's frames and bytes) of a lame file.
template <typename Copies>
Long make_long(const std::string& name, const std::string& file, int channels, bool gapless,
               Copies copies) {
    Long l;
    l.name = name;
    l.sample_bytes = 2 * channels;
    const Bytes mp3 = lame_file(file);
    std::string why;
    ziv::LongFile three;
    EXPECT_TRUE(ziv::long_file_make(mp3, 3, &three, &why)) << why;
    l.ref = decode_all(three.bytes(), gapless);
    EXPECT_TRUE(ziv::long_file_make(mp3, copies(three.frames, int64_t(three.audio.size())), &l.file, &why))
        << why;
    l.shift = (l.file.copies - 3) * l.file.frames * kFrameSamples;
    return l;
}

// Reads n samples (fewer at the end); *r the last result.
Bytes read_samples(MpegCore* c, int64_t n, int32_t ss, int32_t* r) {
    Bytes out(size_t(n * ss));
    size_t got = 0;
    *r = MP3_OK;
    while (got < out.size() && *r == MP3_OK) {
        int32_t k = 0;
        const int32_t room = int32_t(std::min<size_t>(out.size() - got, 40000));
        *r = mpeg_core_read(c, out.data() + got, room, &k);
        got += size_t(k);
    }
    out.resize(got);
    return out;
}

// Whether `got` equals the reference's samples from `from` on (in the 3-copy decode), naming
// the first sample that differs.
::testing::AssertionResult same_as_ref(const Long& l, const Bytes& got, int64_t from) {
    const size_t at = size_t(from * l.sample_bytes);
    if (from < 0 || at + got.size() > l.ref.size())
        return ::testing::AssertionFailure() << "outside the reference: sample " << from;
    const auto d = std::mismatch(got.begin(), got.end(), l.ref.begin() + long(at));
    if (d.first == got.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << l.name << ": sample " << (d.first - got.begin()) / l.sample_bytes
           << " after reference sample " << from << " differs";
}

// The checks on a core set up on the long file: the length, seeks near the end with tell, the
// end itself, and loops near the end.
void check_long(MpegCore* c, const Long& l) {
    const int32_t ss = l.sample_bytes;
    const int64_t len = mpeg_core_length(c);
    ASSERT_EQ(l.ref_samples() + l.shift, len) << l.name;
    const int64_t copy = l.file.frames * kFrameSamples;

    // Seeks: the last sample, a frame's edges, the end, and samples drawn from the last half copy.
    std::mt19937 rng(ziv::test_seed());
    std::vector<int64_t> targets = {len - 1, len - 1152 * 3, len - 1152 * 3 - 1, len - copy / 2, len};
    for (int i = 0; i < 8; ++i)
        targets.push_back(len - 1 - int64_t(rng() % uint32_t(copy / 2)));
    for (int64_t t : targets) {
        SCOPED_TRACE("seek to " + std::to_string(t) + " of " + std::to_string(len));
        ASSERT_EQ(t, mpeg_core_seek(c, t));
        EXPECT_EQ(t, mpeg_core_tell(c));
        const int64_t n = std::min<int64_t>(5000, len - t);
        int32_t r;
        const Bytes got = read_samples(c, n, ss, &r);
        ASSERT_EQ(size_t(n * ss), got.size());
        EXPECT_TRUE(same_as_ref(l, got, t - l.shift));
        EXPECT_EQ(t + n, mpeg_core_tell(c));
        if (t + n == len) {
            uint8_t b[64];
            int32_t k = -1;
            EXPECT_EQ(MP3_ENDED, mpeg_core_read(c, b, sizeof b, &k)) << "past the end";
            EXPECT_EQ(0, k);
        }
    }

    // A loop inside the last copy: the restart comes at its end, tell reads its start, and each
    // pass is the reference's.
    const int64_t a = len - 40000 - 123, b = len - 9000 - 45;
    ASSERT_EQ(MP3_OK, mpeg_core_set_loop(c, a, b));
    ASSERT_EQ(b - 2000, mpeg_core_seek(c, b - 2000));
    int32_t r;
    Bytes got = read_samples(c, 2000, ss, &r);
    EXPECT_TRUE(same_as_ref(l, got, b - 2000 - l.shift));
    EXPECT_EQ(a, mpeg_core_tell(c)) << "right at the loop's end the position is its start";
    for (int pass = 0; pass < 2; ++pass) {
        got = read_samples(c, b - a, ss, &r);
        ASSERT_EQ(size_t((b - a) * ss), got.size());
        EXPECT_TRUE(same_as_ref(l, got, a - l.shift)) << "pass " << pass;
        EXPECT_EQ(a, mpeg_core_tell(c));
    }
    // A loop to the end of the decode.
    ASSERT_EQ(MP3_OK, mpeg_core_set_loop(c, len - 5000, -1));
    int64_t start = 0, end = 0;
    ASSERT_EQ(1, mpeg_core_get_loop(c, &start, &end));
    EXPECT_EQ(len, end);
    ASSERT_EQ(len - 100, mpeg_core_seek(c, len - 100));
    got = read_samples(c, 5100, ss, &r);
    ASSERT_EQ(size_t(5100 * ss), got.size());
    EXPECT_TRUE(same_as_ref(l, Bytes(got.begin(), got.begin() + 100 * ss), len - 100 - l.shift));
    EXPECT_TRUE(same_as_ref(l, Bytes(got.begin() + 100 * ss, got.end()), len - 5000 - l.shift));
    EXPECT_EQ(len - 5000, mpeg_core_tell(c));
    EXPECT_EQ(MP3_BAD_LOOP, mpeg_core_set_loop(c, len - 10, len + 1)) << "a loop past the end";
    mpeg_core_set_looping(c, 0);
}

// 14 hours and more of 44.1 kHz mono at 64 kbit/s (about 410 MB): more than 2^31 samples.
Long mono_long(bool gapless) {
    return make_long(gapless ? "mono64" : "mono64_plain", "mono64.mp3", 1, gapless,
                     [](int64_t frames, int64_t) {
                         return (int64_t(1) << 31) / (frames * kFrameSamples) + 2;
                     });
}

TEST(CoreLong, PastTwoToThe31SamplesInMemory) {
    for (bool gapless : {true, false}) {
        SCOPED_TRACE(gapless ? "gapless" : "every frame");
        const Long l = mono_long(gapless);
        const Bytes data = l.file.bytes();
        MpegCore* c = mpeg_core_create(0, 0, 24000);
        mpeg_core_set_gapless(c, gapless);
        ASSERT_EQ(MP3_OK, mpeg_core_set_data(c, data.data(), data.size()));
        EXPECT_GT(mpeg_core_length(c), int64_t(1) << 31);
        MpegStreamInfo info;
        ASSERT_EQ(MP3_OK, mpeg_core_get_info(c, &info));
        EXPECT_EQ(l.file.frames * l.file.copies, info.frames);
        EXPECT_EQ(mpeg_core_length(c), info.length);
        check_long(c, l);
        mpeg_core_destroy(c);
    }
}

TEST(CoreLong, PastTwoToThe31SamplesThroughAReader) {
    const Long l = mono_long(true);
    ziv::LongSource src{&l.file};
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(MP3_OK, mpeg_core_set_reader(c, &ziv::kLongReader, &src));
    EXPECT_GT(mpeg_core_length(c), int64_t(1) << 31);
    check_long(c, l);
    mpeg_core_destroy(c);
}

// 320 kbit/s stereo past 4 GiB: the Info frame's byte count and the LAME tag's music length,
// 32-bit fields, hold the size modulo 2^32.
Long stereo_past_4gib() {
    return make_long("stereo320", "stereo320.mp3", 2, true, [](int64_t, int64_t bytes) {
        return (int64_t(1) << 32) / bytes + 2;
    });
}

TEST(CoreLong, PastFourGiBThroughAReader) {
    const Long l = stereo_past_4gib();
    ASSERT_GT(l.file.size(), int64_t(1) << 32);
    ziv::LongSource src{&l.file};
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(MP3_OK, mpeg_core_set_reader(c, &ziv::kLongReader, &src));
    const int64_t len = mpeg_core_length(c);
    EXPECT_GT(len, int64_t(1) << 32) << "samples per channel past 2^32 as well";
    MpegStreamInfo info;
    ASSERT_EQ(MP3_OK, mpeg_core_get_info(c, &info));
    EXPECT_EQ(l.file.frames * l.file.copies, info.frames);
    EXPECT_EQ(320000, info.average_bitrate);
    EXPECT_EQ(len, info.length);
    check_long(c, l);
    mpeg_core_destroy(c);
}

// A file removed when the test ends, whatever ends it.
struct Removed {
    std::string path;
    ~Removed() { std::remove(path.c_str()); }
};

// The same file past 4 GiB written out (the room it needs is checked first) and read through the
// system's own file calls, 64-bit offsets: the core's length and its seeks to the last frames as
// through the reader of memory; and mp3dec --info on it says what it says of the 3-copy file, but
// for the length (the frame count past 2^16 copies, the samples past 2^32).
TEST(CoreLong, PastFourGiBInAFile) {
    const Long l = stereo_past_4gib();
    const std::string three = ziv::tmp_path("stereo320_3.mp3");
    Removed big{ziv::tmp_path("stereo320_long.mp3")};
    ziv::LongFile three_file;
    std::string why;
    ASSERT_TRUE(ziv::long_file_make(lame_file("stereo320.mp3"), 3, &three_file, &why)) << why;
    ASSERT_TRUE(three_file.write(three));
    std::error_code ec;
    const auto room = std::filesystem::space(ziv::temp_dir(), ec);
    ASSERT_FALSE(ec) << ziv::temp_dir();
    ASSERT_GT(int64_t(room.available), l.file.size() + (int64_t(1) << 30))
        << "room for " << l.file.size() << " bytes and 1 GiB to spare in " << ziv::temp_dir();
    ASSERT_TRUE(l.file.write(big.path)) << big.path;
    ASSERT_EQ(l.file.size(), int64_t(std::filesystem::file_size(big.path, ec)));

    ziv::SystemFile* f = ziv::system_file_open(big.path);
    ASSERT_TRUE(f) << big.path;
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(MP3_OK, mpeg_core_set_reader(c, &ziv::kSystemFileReader, f));
    EXPECT_GT(mpeg_core_length(c), int64_t(1) << 32);
    check_long(c, l);
    mpeg_core_destroy(c);
    ziv::system_file_close(f);

    auto small = ziv::mp3dec_info_values(three);
    auto large = ziv::mp3dec_info_values(big.path);
    const int64_t samples = std::stoll(large["samples"]);
    EXPECT_EQ(std::stoll(small["samples"]) + l.shift, samples);
    EXPECT_NEAR(double(samples) / 44100, std::stod(large["duration"]), 1e-6);
    for (const auto& [key, value] : small) {
        if (key != "samples" && key != "duration") {
            EXPECT_EQ(value, large[key]) << key;
        }
    }
    EXPECT_GE(small.size(), 9u) << "layer, version, rate, channels, mode, bitrate, samples, ...";
    EXPECT_EQ(small.size(), large.size());
}

}  // namespace
