// The core counted in samples through its public calls: a seek to any sample lands on it exactly,
// from memory and through a seekable reader, with gapless on and off, in every layer and version;
// tell follows; the length is the uninterrupted decode's; a reader that cannot seek, fed data and
// a failing reader answer as the header says.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <string>

#include "bytes_reader.h"
#include "mpeg_core.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

using VecSource = ziv::BytesSource;
constexpr const MpegReader& kSeekable = ziv::kBytesReader;
constexpr const MpegReader& kOnce = ziv::kBytesOnce;

// Reads n bytes of PCM (fewer where the data ends), in reads of an odd size.
Bytes take(MpegCore* c, size_t n, int32_t* r) {
    Bytes out, buf(10007);
    *r = MP3_OK;
    while (out.size() < n && *r == MP3_OK) {
        int32_t k = 0;
        *r = mpeg_core_read(c, buf.data(), int32_t(std::min(n - out.size(), buf.size())), &k);
        out.insert(out.end(), buf.begin(), buf.begin() + k);
    }
    return out;
}

struct File {
    const char* name;
    const char* make;  // shell command; {IN} raw 16-bit stereo PCM at `rate`, {OUT} the file
    int rate;
};

void PrintTo(const File& f, std::ostream* os) { *os << f.name; }

// Layers I (a conformance stream), II and III; MPEG-1, MPEG-2 and MPEG-2.5; CBR and VBR.
const File kFiles[] = {
    {"l3_cbr", "lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -b 128 {IN} {OUT}", 44100},
    {"l3_vbr", "lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -V 2 {IN} {OUT}", 44100},
    {"l3_mpeg2_mono", "lame --quiet -r -s 22.05 --bitwidth 16 --signed --little-endian -m m -b 64 {IN} {OUT}", 22050},
    {"l3_mpeg25", "lame --quiet -r -s 11.025 --bitwidth 16 --signed --little-endian -b 32 {IN} {OUT}", 11025},
    {"l2_mpeg1", "twolame --quiet -r -s 48000 -N 2 -b 192 {IN} {OUT}", 48000},
    {"l2_mpeg2", "twolame --quiet -r -s 24000 -N 2 -b 96 {IN} {OUT}", 24000},
    {"l1_vector", nullptr, 0},
};

Bytes make(const File& f) {
    if (!f.make) return ziv::read_file(ziv::vector_path("l1-fl1.bit"));
    const std::string raw = ziv::tmp_path(std::string(f.name) + ".raw"),
                      out = ziv::tmp_path(std::string(f.name) + ".mp3");
    if (!ziv::file_exists(out)) {
        // Four seconds of a sweep and two tones: every frame differs from the one before.
        const size_t n = size_t(f.rate) * 4;
        std::vector<int16_t> pcm(n * 2);
        double ph = 0;
        for (size_t i = 0; i < n; ++i) {
            ph += 2 * M_PI * (150.0 + 3000.0 * double(i) / double(n)) / f.rate;
            pcm[2 * i] = int16_t(12000 * std::sin(ph));
            pcm[2 * i + 1] = int16_t(9000 * std::sin(2 * M_PI * 660.0 * double(i) / f.rate) +
                                     3000 * std::sin(ph * 3));
        }
        ziv::write_file(raw, pcm.data(), pcm.size() * 2);
        std::string cmd = f.make;
        for (auto [k, v] : {std::pair<std::string, std::string>{"{IN}", raw}, {"{OUT}", out}})
            cmd.replace(cmd.find(k), k.size(), "'" + v + "'");
        if (ziv::run(cmd + " >/dev/null 2>&1") != 0) return {};
    }
    return ziv::read_file(out);
}

// A core over the file from memory or through the seekable reader `src`.
MpegCore* open(const Bytes& data, bool reader, VecSource* src, int32_t gapless) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    const int32_t r = reader ? mpeg_core_set_reader(c, &kSeekable, src)
                             : mpeg_core_set_data(c, data.data(), data.size());
    EXPECT_EQ(r, MP3_OK);
    return c;
}

class CoreSeek : public ::testing::TestWithParam<File> {};

TEST_P(CoreSeek, EverySeekLandsOnTheSampleAskedFor) {
    const File& f = GetParam();
    if (f.make) ZIV_REQUIRE_TOOL(std::string(f.make).substr(0, std::string(f.make).find(' ')));
    const Bytes data = make(f);
    ASSERT_GT(data.size(), 1000u);
    std::mt19937 rng(ziv::test_seed() + 31);
    for (int32_t gapless : {1, 0}) {
        // The uninterrupted decode, from memory.
        MpegCore* whole = open(data, false, nullptr, gapless);
        MpegOutputFormat fmt;
        ASSERT_EQ(mpeg_core_get_format(whole, &fmt), MP3_OK);
        const size_t ss = size_t(fmt.channels) * 2;
        int32_t r = 0;
        const Bytes ref = take(whole, SIZE_MAX / 2, &r);
        EXPECT_EQ(r, MP3_ENDED);
        const int64_t samples = int64_t(ref.size() / ss);
        EXPECT_EQ(mpeg_core_tell(whole), samples);
        EXPECT_EQ(mpeg_core_length(whole), samples);
        mpeg_core_destroy(whole);

        for (bool reader : {false, true}) {
            SCOPED_TRACE(testing::Message() << (reader ? "reader" : "memory") << ", gapless "
                                            << gapless);
            VecSource src{&data};
            MpegCore* c = open(data, reader, &src, gapless);
            EXPECT_EQ(mpeg_core_length(c), samples);
            EXPECT_EQ(mpeg_core_tell(c), 0);
            int exact = 0;
            for (int i = 0; i < 40; ++i) {
                // The first and last samples, frame edges and random places.
                int64_t want = i == 0 ? 0 : i == 1 ? samples - 1 : int64_t(rng() % uint64_t(samples));
                if (i == 2) want = 1152;
                const int64_t got = mpeg_core_seek(c, want);
                ASSERT_EQ(got, want) << "seek " << i;
                EXPECT_EQ(mpeg_core_tell(c), want);
                const size_t n = std::min<size_t>(3000 * ss, ref.size() - size_t(want) * ss);
                const Bytes pcm = take(c, n, &r);
                const bool same = pcm.size() == n &&
                                  std::equal(pcm.begin(), pcm.end(), ref.begin() + long(size_t(want) * ss));
                EXPECT_TRUE(same) << "seek to " << want << " of " << samples;
                exact += same;
                EXPECT_EQ(mpeg_core_tell(c), want + int64_t(pcm.size() / ss));
            }
            std::printf("[ figures  ] %-14s %s gapless %d: %d/40 seeks exact\n", f.name,
                        reader ? "reader" : "memory", gapless, exact);
            // Past the end: the end, and nothing more to read.
            EXPECT_EQ(mpeg_core_seek(c, samples + 5000), samples);
            EXPECT_TRUE(take(c, 4096, &r).empty());
            EXPECT_EQ(r, MP3_ENDED);
            // Back to the start: the whole decode again.
            EXPECT_EQ(mpeg_core_seek(c, 0), 0);
            EXPECT_TRUE(take(c, ref.size() + 4096, &r) == ref);
            mpeg_core_destroy(c);
        }
    }
}

// The frame calls: a seek to a frame lands on its first sample handed back, a skip moves on from
// the frame now, frame_of names the frame a sample lies in, and ended says when the reads are
// done; from memory and through a seekable reader alike. A gapless switch mid-stream goes on from
// the frame that holds the position, counted as the new mode counts it.
TEST_P(CoreSeek, FramesAreSoughtAndCounted) {
    const File& f = GetParam();
    if (f.make) ZIV_REQUIRE_TOOL(std::string(f.make).substr(0, std::string(f.make).find(' ')));
    const Bytes data = make(f);
    ASSERT_GT(data.size(), 1000u);
    Bytes ref[2];
    for (int32_t gapless : {0, 1}) {
        MpegCore* whole = open(data, false, nullptr, gapless);
        int32_t r = 0;
        ref[gapless] = take(whole, SIZE_MAX / 2, &r);
        EXPECT_EQ(mpeg_core_ended(whole), 1);
        mpeg_core_destroy(whole);
    }
    for (int32_t gapless : {0, 1}) {
        for (bool reader : {false, true}) {
            SCOPED_TRACE(testing::Message() << (reader ? "reader" : "memory") << ", gapless "
                                            << gapless);
            VecSource src{&data};
            MpegCore* c = open(data, reader, &src, gapless);
            MpegOutputFormat fmt;
            ASSERT_EQ(mpeg_core_get_format(c, &fmt), MP3_OK);
            const size_t ss = size_t(fmt.channels) * 2;
            const Bytes& want = ref[gapless];
            const int64_t samples = int64_t(want.size() / ss), spf = fmt.out_samples / fmt.channels;
            // A reader's frames are counted by the walk that its length makes.
            EXPECT_EQ(mpeg_core_length(c), samples);
            MpegStreamInfo info;
            ASSERT_EQ(mpeg_core_get_info(c, &info), MP3_OK);
            const int64_t frames = info.frames + info.info_frame;
            EXPECT_EQ(mpeg_core_frame(c), 0);
            EXPECT_EQ(mpeg_core_ended(c), 0);
            int32_t r = 0;
            for (int64_t fr : {frames / 2, int64_t(3), frames - 2, int64_t(1)}) {
                const int64_t at = mpeg_core_seek_frame(c, fr);
                ASSERT_GE(at, 0) << "frame " << fr;
                if (!gapless) {
                    EXPECT_EQ(at, fr * spf);
                }
                EXPECT_EQ(mpeg_core_tell(c), at);
                // (A reader lands on the frame's first sample handed back: gapless, the frames
                // before the run's first sample all land on sample 0.)
                if (!reader || at > 0) {
                    EXPECT_EQ(mpeg_core_frame(c), fr);
                }
                if (at > 0) {
                    EXPECT_EQ(mpeg_core_frame_of(c, at), fr) << "the frame's first sample";
                }
                const size_t n = std::min<size_t>(2000 * ss, want.size() - size_t(at) * ss);
                const Bytes pcm = take(c, n, &r);
                EXPECT_TRUE(pcm.size() == n &&
                            std::equal(pcm.begin(), pcm.end(), want.begin() + long(size_t(at) * ss)))
                    << "frame " << fr << " from sample " << at;
            }
            // Skips count from the frame now.
            ASSERT_GE(mpeg_core_seek_frame(c, 10), 0);
            const int64_t on = mpeg_core_skip_frames(c, 5);
            EXPECT_EQ(on, mpeg_core_seek_frame(c, 15));
            EXPECT_EQ(mpeg_core_skip_frames(c, -20), MP3_BAD_BUFFER) << "before the first frame";
            // Read to the end: ended only then.
            take(c, want.size(), &r);
            EXPECT_EQ(mpeg_core_ended(c), 0 + (r == MP3_ENDED));
            take(c, want.size(), &r);
            EXPECT_EQ(r, MP3_ENDED);
            EXPECT_EQ(mpeg_core_ended(c), 1);
            EXPECT_EQ(mpeg_core_tell(c), samples);
            // A gapless switch mid-stream: on from the frame that holds the position.
            ASSERT_GE(mpeg_core_seek(c, samples / 2 + 7), 0);
            const int64_t fr = mpeg_core_frame_of(c, samples / 2 + 7);
            mpeg_core_set_gapless(c, !gapless);
            const Bytes& other = ref[!gapless];
            const int64_t at = mpeg_core_tell(c);
            EXPECT_EQ(mpeg_core_frame_of(c, at), fr);
            const Bytes pcm = take(c, 3000 * ss, &r);
            EXPECT_TRUE(pcm.size() == 3000 * ss &&
                        std::equal(pcm.begin(), pcm.end(), other.begin() + long(size_t(at) * ss)))
                << "after the switch, from sample " << at;
            mpeg_core_destroy(c);
        }
    }
}

// A faded read that ends inside a sample keeps the sample's rest for the next read; a seek drops
// it, so that the next sample read is the one sought.
TEST(CoreFade, ASeekDropsTheRestOfASampleCutByARead) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = make(kFiles[0]);
    ASSERT_GT(data.size(), 1000u);
    Bytes got[2];
    for (int cut : {0, 1}) {
        MpegCore* c = open(data, false, nullptr, 1);
        ASSERT_EQ(mpeg_core_fade(c, MPEG_CORE_UNITY / 2, 0), MP3_OK);
        uint8_t three[3];
        int32_t n = 0, r = 0;
        if (cut) {
            ASSERT_EQ(mpeg_core_read(c, three, 3, &n), MP3_OK);
        }
        ASSERT_EQ(mpeg_core_seek(c, 44100), 44100);
        got[cut] = take(c, 40000, &r);
        mpeg_core_destroy(c);
    }
    EXPECT_TRUE(got[0] == got[1]) << "the samples after the seek start with the one sought";
}

// The Info frame and what its header states, in the stream's facts.
TEST(CoreInfo, TheInfoFrameAndItsStatedFrames) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = make(kFiles[1]);
    ASSERT_GT(data.size(), 1000u);
    MpegCore* c = open(data, false, nullptr, 1);
    MpegStreamInfo info;
    ASSERT_EQ(mpeg_core_get_info(c, &info), MP3_OK);
    EXPECT_EQ(info.info_frame, 1);
    EXPECT_EQ(info.stated_frames, info.frames) << "lame's Info frame counts the audio frames";
    mpeg_core_destroy(c);
    const Bytes l1 = make(kFiles[6]);
    c = open(l1, false, nullptr, 1);
    ASSERT_EQ(mpeg_core_get_info(c, &info), MP3_OK);
    EXPECT_EQ(info.info_frame, 0);
    EXPECT_EQ(info.stated_frames, -1);
    mpeg_core_destroy(c);
}

INSTANTIATE_TEST_SUITE_P(Files, CoreSeek, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<File>& i) { return std::string(i.param.name); });

TEST(CoreReader, ReadOnceFedAndFailingSources) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = make(kFiles[0]);
    ASSERT_GT(data.size(), 1000u);
    MpegCore* m = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_set_data(m, data.data(), data.size()), MP3_OK);
    int32_t r = 0;
    const Bytes ref = take(m, SIZE_MAX / 2, &r);
    mpeg_core_destroy(m);

    // A reader that cannot seek reads the whole decode in pieces; seeks are refused, and the
    // length is the LAME tag's.
    VecSource once{&data};
    once.most = 3000;  // short reads
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_set_reader(c, &kOnce, &once), MP3_OK);
    EXPECT_EQ(mpeg_core_seek(c, 100), MP3_CANNOT_SEEK);
    EXPECT_EQ(mpeg_core_length(c), int64_t(ref.size() / 4));
    EXPECT_TRUE(take(c, ref.size() + 4096, &r) == ref);
    EXPECT_EQ(r, MP3_ENDED);
    EXPECT_GT(once.reads, int(data.size() / 65536)) << "read a piece at a time";
    // A reader is taken only by a core with no data yet; data in memory only by one without a
    // reader.
    EXPECT_EQ(mpeg_core_set_reader(c, &kOnce, &once), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_set_data(c, data.data(), data.size()), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_feed(c, data.data(), 100), 0);
    mpeg_core_destroy(c);

    // Fed data cannot seek.
    c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_feed(c, data.data(), int32_t(data.size())), int32_t(data.size()));
    mpeg_core_feed_end(c);
    take(c, 4096, &r);
    EXPECT_EQ(mpeg_core_seek(c, 0), MP3_CANNOT_SEEK);
    EXPECT_EQ(mpeg_core_tell(c), 1024);
    mpeg_core_destroy(c);

    // A reader that fails halfway through ten copies of the file (every frame decoded): the
    // audio before the failure, then the failure.
    Bytes ten;
    for (int i = 0; i < 10; ++i) ten.insert(ten.end(), data.begin(), data.end());
    m = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(m, 0);
    ASSERT_EQ(mpeg_core_set_data(m, ten.data(), ten.size()), MP3_OK);
    const Bytes all = take(m, SIZE_MAX / 2, &r);
    mpeg_core_destroy(m);
    VecSource failing{&ten};
    failing.fail_at = ten.size() / 2;
    c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, 0);
    ASSERT_EQ(mpeg_core_set_reader(c, &kSeekable, &failing), MP3_OK);
    const Bytes part = take(c, all.size(), &r);
    EXPECT_EQ(r, MP3_READ_FAILED);
    EXPECT_GT(part.size(), all.size() / 4);
    EXPECT_LT(part.size(), all.size() * 3 / 4);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin()));
    mpeg_core_destroy(c);

    // No frame at all through a reader; a reader without a read call.
    const Bytes junk(100000, 0x42);
    VecSource j{&junk};
    c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_set_reader(c, &kSeekable, &j), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_read(c, nullptr, 0, nullptr), MP3_BAD_BUFFER);
    mpeg_core_destroy(c);
    const MpegReader none = {nullptr, nullptr, nullptr};
    c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_set_reader(c, &none, &j), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_seek(nullptr, 0), MP3_BAD_BUFFER);
    EXPECT_EQ(mpeg_core_tell(nullptr), 0);
    EXPECT_EQ(mpeg_core_length(nullptr), -1);
    mpeg_core_destroy(c);
}

}  // namespace
