// The core's length where the LAME tag and the frames disagree: the walk over the headers decides,
// from memory and through a seekable reader, and the length is what the decode hands back. The
// agreement itself: frame count and music length, the 32-bit fields compared modulo 2^32.
#include <string>

#include "long_file.h"
#include "mpeg_core.h"
#include "stream_walk.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes lame_file() {
    const std::string wav = ziv::tmp_path("len.wav"), mp3 = ziv::tmp_path("len.mp3");
    EXPECT_EQ(0, ziv::run("sox -n -r 44100 -c 2 '" + wav + "' synth 2 sine 440 sine 1250 vol 0.6 "
                          "2>/dev/null && lame --quiet -b 128 '" + wav + "' '" + mp3 + "'"));
    return ziv::read_file(mp3);
}

// A core on the bytes, in memory or through a seekable reader.
struct Opened {
    MpegCore* c = nullptr;
    ziv::LongFile file;  // the reader's bytes
    ziv::LongSource src{nullptr};
};

void open(Opened* o, const Bytes& data, bool reader) {
    o->c = mpeg_core_create(0, 0, 24000);
    if (!reader) {
        ASSERT_EQ(MP3_OK, mpeg_core_set_data(o->c, data.data(), data.size()));
        return;
    }
    // One "copy" of everything: the reader gives the bytes as they are.
    o->file.info.clear();
    o->file.audio = data;
    o->file.copies = 1;
    o->src = ziv::LongSource{&o->file};
    ASSERT_EQ(MP3_OK, mpeg_core_set_reader(o->c, &ziv::kLongReader, &o->src));
}

int64_t decoded_samples(const Bytes& data) {
    Opened o;
    open(&o, data, false);
    uint8_t buf[8192];
    int64_t n = 0;
    int32_t k = 0, r;
    while ((r = mpeg_core_read(o.c, buf, sizeof buf, &k)) == MP3_OK) n += k;
    n += k;
    EXPECT_EQ(MP3_ENDED, r);
    mpeg_core_destroy(o.c);
    return n / 4;
}

TEST(CoreLength, TheWalkDecidesWhereTheTagDisagrees) {
    for (const char* t : {"lame", "sox"}) ZIV_REQUIRE_TOOL(t);
    const Bytes mp3 = lame_file();
    std::string why;
    // Ten copies of the frames (more than the reader's first pieces hold), the tag counting them.
    ziv::LongFile ten;
    ASSERT_TRUE(ziv::long_file_make(mp3, 10, &ten, &why)) << why;
    const int64_t frames = ten.frames * 10;
    // Cut: the tag counts frames the data no longer holds.
    Bytes cut = ten.bytes();
    cut.resize(cut.size() - 20 * 418 - 100);
    // Grown: thirty copies behind the tag that counts ten.
    ziv::LongFile grown = ten;
    grown.copies = 30;
    struct Case {
        const char* name;
        Bytes data;
        int64_t frames;  // the frames the data holds
    };
    const Case cases[] = {{"whole", ten.bytes(), frames},
                          {"cut", cut, -1},
                          {"grown", grown.bytes(), 3 * frames}};
    for (const Case& k : cases) {
        const int64_t decoded = decoded_samples(k.data);
        for (bool reader : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + (reader ? " through a reader" : " in memory"));
            Opened o;
            open(&o, k.data, reader);
            EXPECT_EQ(decoded, mpeg_core_length(o.c));
            MpegStreamInfo info;
            ASSERT_EQ(MP3_OK, mpeg_core_get_info(o.c, &info));
            EXPECT_EQ(decoded, info.length);
            if (k.frames >= 0) EXPECT_EQ(k.frames, info.frames) << "the frames walked over";
            else EXPECT_LT(info.frames, frames);
            EXPECT_EQ(128000, info.average_bitrate);
            // Seeks and loops stay inside what the decode gives.
            EXPECT_EQ(decoded, mpeg_core_seek(o.c, decoded + 5000));
            EXPECT_EQ(MP3_BAD_LOOP, mpeg_core_set_loop(o.c, 0, decoded + 1));
            mpeg_core_destroy(o.c);
        }
    }
}

TEST(CoreLength, TheTagAgreesModuloTwoToThe32) {
    const int64_t big = (int64_t(1) << 32) + 5000;
    MpegWalk walk{};
    walk.frames = 4000000;
    walk.first = 300;  // behind tags
    walk.end = 300 + big;
    walk.walked = 1;
    struct Case {
        const char* name;
        MpegClaim claim;
        bool walked;
        int32_t agrees;
    };
    const Case cases[] = {
        {"the fields modulo 2^32", {4000000, 5000, 5000}, true, 1},
        {"no Info byte count", {4000000, -1, 5000}, true, 1},
        {"another frame count", {3999999, 5000, 5000}, true, 0},
        {"another music length", {4000000, 5000, 5001}, true, 0},
        {"another Info byte count", {4000000, 4999, 5000}, true, 0},
        {"no LAME tag", {4000000, 5000, -1}, true, 0},
        {"the walk not done", {4000000, 5000, 5000}, false, 0},
    };
    for (const Case& k : cases) {
        walk.walked = k.walked;
        EXPECT_EQ(k.agrees, mpeg_claim_agrees(&k.claim, &walk)) << k.name;
    }
}

}  // namespace
