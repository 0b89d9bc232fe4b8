// The music features of the public core: loops (points set or from the file's tags, with the
// position inside the loop at every read), fades (across loops, whatever the size of the reads),
// ReplayGain (as mp3dec applies it), the tags and the record of the stream's facts, from memory,
// through a reader and fed.
#include <algorithm>
#include <cstring>
#include <string>

#include "bytes_reader.h"
#include "mpeg_core.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

using Mem = ziv::BytesSource;
constexpr const MpegReader& kReader = ziv::kBytesReader;

// Three seconds of a sweep by lame with a title, an artist and loop tags (LOOPSTART 3000,
// LOOPLENGTH 20000), or a plain `args` file.
Bytes lame(const std::string& name, const std::string& args) {
    const std::string wav = ziv::tmp_path(name + ".wav"), mp3 = ziv::tmp_path(name + ".mp3");
    if (!ziv::file_exists(mp3) &&
        ziv::run("sox -n -r 44100 -c 2 -b 16 '" + wav + "' synth 3 sine 200-3000 sine 660 gain -3 && "
                 "lame --quiet " + args + " '" + wav + "' '" + mp3 + "'") != 0)
        return {};
    return ziv::read_file(mp3);
}

const char* kTagged = "-b 128 --tt Title --ta Artist --tv TXXX=LOOPSTART=3000 --tv TXXX=LOOPLENGTH=20000";

enum How { kMemory, kReaderSource, kFed };

struct Opened {
    MpegCore* c = nullptr;
    Mem mem;
};

void open(Opened* o, const Bytes& data, How how) {
    o->c = mpeg_core_create(0, 0, 24000);
    o->mem.data = &data;
    if (how == kMemory) {
        ASSERT_EQ(mpeg_core_set_data(o->c, data.data(), data.size()), MP3_OK);
    } else if (how == kReaderSource) {
        ASSERT_EQ(mpeg_core_set_reader(o->c, &kReader, &o->mem), MP3_OK);
    }
    if (how == kFed) {
        ASSERT_EQ(mpeg_core_feed(o->c, data.data(), int32_t(data.size())), int32_t(data.size()));
        mpeg_core_feed_end(o->c);  // the first frame is found as the bytes come
    }
}

// n bytes read in reads of `step` bytes; *tells the position after each read.
Bytes take(MpegCore* c, size_t n, int32_t step, std::vector<int64_t>* tells = nullptr) {
    Bytes out, buf(static_cast<size_t>(step));
    int32_t r = MP3_OK;
    while (out.size() < n && r == MP3_OK) {
        int32_t k = 0;
        r = mpeg_core_read(c, buf.data(), int32_t(std::min(n - out.size(), buf.size())), &k);
        out.insert(out.end(), buf.begin(), buf.begin() + k);
        if (tells) tells->push_back(mpeg_core_tell(c));
    }
    return out;
}

Bytes slice(const Bytes& pcm, int64_t from, int64_t to) {
    return Bytes(pcm.begin() + long(from * 4), pcm.begin() + long(to * 4));
}

TEST(CoreMusic, LoopsRepeatExactlyAndTellStaysInside) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = lame("music_tagged", kTagged);
    ASSERT_FALSE(data.empty());
    Opened w;
    open(&w, data, kMemory);
    const Bytes ref = take(w.c, SIZE_MAX / 2, 8192);
    const int64_t length = int64_t(ref.size() / 4);
    mpeg_core_destroy(w.c);

    struct Loop {
        int64_t start, end;  // end -1: the end
        int32_t step;        // read size
    };
    for (How how : {kMemory, kReaderSource}) {
        for (const Loop& l : {Loop{3000, 40000, 16384}, Loop{0, -1, 10004}, Loop{100000, 100001, 4096},
                              Loop{length - 1152, -1, 4608}}) {
            SCOPED_TRACE(testing::Message() << (how == kMemory ? "memory" : "reader") << " ["
                                            << l.start << ", " << l.end << ")");
            Opened o;
            open(&o, data, how);
            ASSERT_EQ(mpeg_core_set_loop(o.c, l.start, l.end), MP3_OK);
            int64_t s = 0, e = 0;
            EXPECT_EQ(mpeg_core_get_loop(o.c, &s, &e), 1);
            EXPECT_EQ(s, l.start);
            const int64_t end = l.end < 0 ? length : l.end;
            // The intro and four passes, then a little more.
            const size_t n = size_t(end + 4 * (end - l.start) + 77) * 4;
            std::vector<int64_t> tells;
            const Bytes got = take(o.c, n, l.step, &tells);
            Bytes want = slice(ref, 0, end);
            while (want.size() < n) {
                const Bytes pass = slice(ref, l.start, end);
                want.insert(want.end(), pass.begin(), pass.end());
            }
            want.resize(n);
            EXPECT_TRUE(got == want) << "the PCM of the intro and the passes";
            // The position after every read: where the next sample stands, inside the loop
            // once the intro has passed.
            int64_t read = 0;
            for (size_t i = 0; i < tells.size(); ++i) {
                read = std::min<int64_t>(int64_t(n / 4), read + l.step / 4);
                const int64_t pos = read < end ? read : l.start + (read - end) % (end - l.start);
                EXPECT_EQ(tells[i], pos) << "read " << i;
            }
            mpeg_core_destroy(o.c);
        }
    }
}

TEST(CoreMusic, LoopPointsFromTheTagsAndTheirChecks) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = lame("music_tagged", kTagged);
    Opened o;
    open(&o, data, kReaderSource);
    int64_t s = 0, e = 0;
    ASSERT_EQ(mpeg_core_tag_loop(o.c, &s, &e), 1);
    EXPECT_EQ(s, 3000);
    EXPECT_EQ(e, 23000);
    EXPECT_EQ(mpeg_core_get_loop(o.c, nullptr, nullptr), 0);
    ASSERT_EQ(mpeg_core_set_looping(o.c, 1), MP3_OK);
    EXPECT_EQ(mpeg_core_get_loop(o.c, &s, &e), 1);
    EXPECT_EQ(s, 3000);
    EXPECT_EQ(e, 23000);
    const int64_t length = mpeg_core_length(o.c);
    EXPECT_EQ(mpeg_core_set_loop(o.c, -1, 100), MP3_BAD_LOOP);
    EXPECT_EQ(mpeg_core_set_loop(o.c, 100, 100), MP3_BAD_LOOP);
    EXPECT_EQ(mpeg_core_set_loop(o.c, 0, length + 1), MP3_BAD_LOOP);
    EXPECT_EQ(mpeg_core_set_loop(o.c, length, -1), MP3_BAD_LOOP);
    EXPECT_EQ(mpeg_core_set_looping(o.c, 0), MP3_OK);
    EXPECT_EQ(mpeg_core_get_loop(o.c, nullptr, nullptr), 0);
    mpeg_core_destroy(o.c);
    // Fed data cannot loop; gapless off, the tags' points (which count the encoder's input) are
    // not taken: the whole decode loops.
    open(&o, data, kFed);
    EXPECT_EQ(mpeg_core_set_looping(o.c, 1), MP3_CANNOT_SEEK);
    mpeg_core_destroy(o.c);
    o.c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(o.c, 0);
    ASSERT_EQ(mpeg_core_set_data(o.c, data.data(), data.size()), MP3_OK);
    ASSERT_EQ(mpeg_core_set_looping(o.c, 1), MP3_OK);
    EXPECT_EQ(mpeg_core_get_loop(o.c, &s, &e), 1);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(e, mpeg_core_length(o.c));
    mpeg_core_destroy(o.c);
}

TEST(CoreMusic, FadesRampAcrossLoopsWhateverTheReadSize) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = lame("music_tagged", kTagged);
    Opened w;
    open(&w, data, kMemory);
    const Bytes ref = take(w.c, SIZE_MAX / 2, 8192);
    mpeg_core_destroy(w.c);
    // A fade out over 30000 samples that starts 1000 samples in, with a loop [3000, 23000): the
    // ramp runs across the restart. Reads of whole samples and of odd sizes give the same bytes.
    Bytes first;
    for (int32_t step : {4096, 1001, 3}) {
        SCOPED_TRACE(step);
        Opened o;
        open(&o, data, kMemory);
        ASSERT_EQ(mpeg_core_set_looping(o.c, 1), MP3_OK);
        Bytes got = take(o.c, 1000 * 4, step);
        ASSERT_EQ(mpeg_core_fade(o.c, 0, 30000), MP3_OK);
        const Bytes rest = take(o.c, 40000 * 4, step);
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(mpeg_core_gain(o.c), 0);
        if (first.empty()) first = got;
        EXPECT_TRUE(got == first) << "the same bytes as whole-sample reads";
        mpeg_core_destroy(o.c);
    }
    ASSERT_EQ(first.size(), size_t(41000 * 4));
    // Before the fade the samples are as decoded; along the ramp no sample grows, and the gain
    // falls; after it, silence.
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + 4000, ref.begin()));
    auto at = [](const Bytes& b, size_t i) {
        int16_t v;
        std::memcpy(&v, b.data() + 2 * i, 2);
        return int32_t(v);
    };
    for (size_t k = 1000; k < 31000; k += 97) {
        const size_t src = k < 23000 ? k : 3000 + (k - 23000);
        const double g = 1.0 - double(k - 999) / 30000.0;
        for (size_t ch = 0; ch < 2; ++ch) {
            const int32_t v = at(first, 2 * k + ch), r = at(ref, 2 * src + ch);
            EXPECT_LE(std::abs(v - r * g), 1.01) << "sample " << k;
        }
    }
    for (size_t k = 31000; k < 41000; ++k) ASSERT_EQ(at(first, 2 * k) | at(first, 2 * k + 1), 0) << k;
    EXPECT_EQ(mpeg_core_fade(nullptr, 0, 0), MP3_BAD_BUFFER);
    Opened o;
    open(&o, data, kMemory);
    EXPECT_EQ(mpeg_core_fade(o.c, MPEG_CORE_UNITY + 1, 0), MP3_BAD_BUFFER);
    EXPECT_EQ(mpeg_core_fade(o.c, 0, -1), MP3_BAD_BUFFER);
    EXPECT_EQ(mpeg_core_gain(o.c), MPEG_CORE_UNITY);
    mpeg_core_destroy(o.c);
}

TEST(CoreMusic, ReplayGainAsMp3decAppliesIt) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes data = lame("music_tagged", kTagged);
    const std::string in = ziv::tmp_path("music_tagged.mp3"), out = ziv::tmp_path("music_rg.raw");
    for (const char* mode : {"track", "album"}) {
        ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' --replaygain " + mode +
                           " --preamp 3 '" + in + "' '" + out + "'"),
                  0);
        const Bytes want = ziv::read_file(out);
        for (How how : {kMemory, kReaderSource, kFed}) {
            Opened o;
            open(&o, data, how);
            const int32_t m = mode[0] == 't' ? MPEG_REPLAYGAIN_TRACK : MPEG_REPLAYGAIN_ALBUM;
            ASSERT_EQ(mpeg_core_set_replaygain(o.c, m, 30), MP3_OK);
            const Bytes got = take(o.c, SIZE_MAX / 2, 8192);
            EXPECT_TRUE(got == want) << mode << ", source " << how;
            EXPECT_EQ(mpeg_core_set_replaygain(o.c, 3, 0), MP3_BAD_BUFFER);
            mpeg_core_destroy(o.c);
        }
    }
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_set_replaygain(c, MPEG_REPLAYGAIN_TRACK, 0), MP3_NO_FRAME);
    mpeg_core_destroy(c);
}

TEST(CoreMusic, TagsAndTheStreamsFacts) {
    for (const char* t : {"lame", "twolame"}) ZIV_REQUIRE_TOOL(t);
    const Bytes tagged = lame("music_tagged", kTagged), vbr = lame("music_vbr", "-V 2");
    for (How how : {kMemory, kReaderSource, kFed}) {
        SCOPED_TRACE(how);
        Opened o;
        open(&o, tagged, how);
        const MpegTags* tags = mpeg_core_tags(o.c);
        ASSERT_NE(tags, nullptr);
        EXPECT_STREQ(mpeg_tags_get(tags, MPEG_TAG_TITLE), "Title");
        EXPECT_STREQ(mpeg_tags_get(tags, MPEG_TAG_ARTIST), "Artist");
        MpegStreamInfo info;
        ASSERT_EQ(mpeg_core_get_info(o.c, &info), MP3_OK);
        EXPECT_EQ(info.layer, 3);
        EXPECT_EQ(info.version, 10);
        EXPECT_EQ(info.sample_rate, 44100);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.bitrate, 128000);
        EXPECT_EQ(info.bitrate_mode, MPEG_BITRATE_CBR);
        EXPECT_STREQ(info.encoder, "LAME3.100");
        EXPECT_EQ(info.delay, 576);
        EXPECT_GT(info.padding, 0);
        EXPECT_EQ(info.has_track_gain, 1);
        EXPECT_EQ(info.length, 132300);
        EXPECT_EQ(info.frames, (132300 + 576 + info.padding) / 1152);
        if (how != kFed) {
            EXPECT_NEAR(info.average_bitrate, 128000, 100);
        }
        mpeg_core_destroy(o.c);
    }
    Opened o;
    open(&o, vbr, kMemory);
    EXPECT_EQ(mpeg_core_tags(o.c), nullptr) << "no tags";
    MpegStreamInfo info;
    ASSERT_EQ(mpeg_core_get_info(o.c, &info), MP3_OK);
    EXPECT_EQ(info.bitrate_mode, MPEG_BITRATE_VBR);
    EXPECT_GT(info.average_bitrate, 32000);
    mpeg_core_destroy(o.c);
    // Without a LAME tag (twolame): constant from the frames, no encoder, no delay.
    const std::string wav = ziv::tmp_path("music_l2.wav"), mp2 = ziv::tmp_path("music_l2.mp2");
    ASSERT_EQ(ziv::run("sox -n -r 48000 -c 2 -b 16 '" + wav + "' synth 2 sine 440 && twolame --quiet -b 192 '" +
                       wav + "' '" + mp2 + "'"),
              0);
    const Bytes l2 = ziv::read_file(mp2);
    open(&o, l2, kReaderSource);
    ASSERT_EQ(mpeg_core_get_info(o.c, &info), MP3_OK);
    EXPECT_EQ(info.layer, 2);
    EXPECT_EQ(mpeg_core_length(o.c), int64_t(l2.size() / 576) * 1152);
    ASSERT_EQ(mpeg_core_get_info(o.c, &info), MP3_OK);
    EXPECT_EQ(info.frames, int64_t(l2.size() / 576));
    EXPECT_EQ(info.bitrate_mode, MPEG_BITRATE_CBR);
    EXPECT_EQ(info.average_bitrate, 192000);
    EXPECT_STREQ(info.encoder, "");
    EXPECT_EQ(info.delay, -1);
    mpeg_core_destroy(o.c);
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_get_info(c, &info), MP3_NEED_MORE);
    EXPECT_EQ(info.layer, 0);
    EXPECT_EQ(mpeg_core_tags(c), nullptr);
    mpeg_core_destroy(c);
}

}  // namespace
