// The core through its public calls (mpeg_core.h): data in memory and the same data fed in
// pieces of any size give mp3dec's bytes, gapless or not, whatever the size of the reads; the
// tags at the end cut from every source; the length and an exact seek; the length the first frame
// states; what follows the gapless run; and the results of misuse and of data without a frame.
#include <sched.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "bytes_reader.h"
#include "mpeg_core.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 10 s of two tones at 128 kbit/s with an ID3v2 tag in front and an ID3v1 block at the end:
// about 160 KB, more than the core holds back from the search while it is being fed.
const std::string& tagged_mp3() {
    static const std::string mp3 = [] {
        const std::string wav = ziv::tmp_path("api.wav"), out = ziv::tmp_path("api.mp3");
        EXPECT_EQ(ziv::run("sox -n -r 44100 -c 2 -b 16 '" + wav +
                           "' synth 10 sine 440 sine 1250 gain -6 && lame --quiet -b 128 --tt Title "
                           "--ta Artist --add-id3v2 '" + wav + "' '" + out + "'"),
                  0);
        return out;
    }();
    return mp3;
}

Bytes mp3dec(const std::string& mp3, const char* args) {
    const std::string out = ziv::tmp_path("api-mp3dec.pcm");
    EXPECT_EQ(ziv::run(ziv::mp3dec_path() + " " + args + " '" + mp3 + "' '" + out + "'"), 0);
    return ziv::read_file(out);
}

// Reads until the core stops; the stopping result in *r.
Bytes drain(MpegCore* c, int32_t room, int32_t* r) {
    Bytes all, out(size_t(room), 0);
    int32_t n = 0;
    do {
        *r = mpeg_core_read(c, out.data(), room, &n);
        all.insert(all.end(), out.begin(), out.begin() + n);
    } while (*r == MP3_OK);
    return all;
}

Bytes from_memory(const Bytes& data, int32_t gapless, int32_t room) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    EXPECT_EQ(mpeg_core_set_data(c, data.data(), int32_t(data.size())), MP3_OK);
    int32_t r = 0;
    Bytes pcm = drain(c, room, &r);
    EXPECT_EQ(r, MP3_ENDED);
    mpeg_core_destroy(c);
    return pcm;
}

Bytes fed(const Bytes& data, int32_t gapless, int32_t piece, int32_t room) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    Bytes pcm, more;
    int32_t r = MP3_NEED_MORE;
    for (size_t at = 0; at < data.size() && r == MP3_NEED_MORE; at += size_t(piece)) {
        const int32_t n = int32_t(std::min(data.size() - at, size_t(piece)));
        EXPECT_EQ(mpeg_core_feed(c, data.data() + at, n), n);
        more = drain(c, room, &r);
        pcm.insert(pcm.end(), more.begin(), more.end());
    }
    mpeg_core_feed_end(c);
    more = drain(c, room, &r);
    pcm.insert(pcm.end(), more.begin(), more.end());
    EXPECT_EQ(r, MP3_ENDED);
    mpeg_core_destroy(c);
    return pcm;
}

TEST(CoreApi, MemoryAndFedPiecesGiveMp3decsBytes) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const Bytes data = ziv::read_file(tagged_mp3());
    ASSERT_GT(data.size(), 150000u);
    const Bytes gapless = mp3dec(tagged_mp3(), ""), every = mp3dec(tagged_mp3(), "--no-gapless");
    ASSERT_EQ(gapless.size(), 441000u * 4u);  // the encoder's input, exactly
    EXPECT_TRUE(from_memory(data, 1, 4099) == gapless);
    EXPECT_TRUE(from_memory(data, 0, 1152 * 4) == every);
    // Pieces of one byte, of a frame's size or so, of a window's size, and the whole file.
    for (int32_t piece : {1, 417, 65536, int32_t(data.size())}) {
        EXPECT_TRUE(fed(data, 1, piece, 4099) == gapless) << "pieces of " << piece;
        EXPECT_TRUE(fed(data, 0, piece, 1152 * 4) == every) << "pieces of " << piece;
    }
}

void put_le32(Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back(uint8_t(v >> (8 * i)));
}

// Through a reader (one that seeks and knows its size, or one read once), read in pieces of
// `most` bytes.
Bytes from_reader(const Bytes& data, const MpegReader& reader, int32_t gapless, size_t most) {
    ziv::BytesSource src{&data};
    src.most = most;
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    EXPECT_EQ(mpeg_core_set_reader(c, &reader, &src), MP3_OK);
    int32_t r = 0;
    Bytes pcm = drain(c, 4096, &r);
    EXPECT_EQ(r, MP3_ENDED);
    mpeg_core_destroy(c);
    return pcm;
}

// An APEv2 tag with a footer alone (it cannot be told from its front) whose one item holds the
// data's frames from `from` on, `bytes` of them (repeated), put between the audio and the ID3v1
// block.
Bytes with_ape_tag(const Bytes& plain, size_t from, size_t bytes) {
    Bytes ape, value;
    while (value.size() < bytes) {
        const size_t n = std::min(bytes - value.size(), size_t(4200));
        value.insert(value.end(), plain.begin() + long(from), plain.begin() + long(from + n));
    }
    put_le32(&ape, uint32_t(value.size()));
    put_le32(&ape, 0);
    for (char ch : std::string("Frames")) ape.push_back(uint8_t(ch));
    ape.push_back(0);
    ape.insert(ape.end(), value.begin(), value.end());
    const uint32_t items = uint32_t(ape.size());
    for (char ch : std::string("APETAGEX")) ape.push_back(uint8_t(ch));
    for (uint32_t v : {2000u, items + 32u, 1u, 0u, 0u, 0u}) put_le32(&ape, v);
    Bytes data(plain.begin(), plain.end() - 128);
    data.insert(data.end(), ape.begin(), ape.end());
    data.insert(data.end(), plain.end() - 128, plain.end());
    return data;
}

// Tags at the end holding frames are cut, not searched, so the frames in them are not decoded:
// from memory; from a reader that seeks (its tail read first, taken longer while the cut may go
// on further back: a tag of 600 KB); fed, and through a reader read once, where the core holds
// the last 128 KiB back until the data ends (a tag of 4 KB and one of 100 KB).
TEST(CoreApi, TagsAtTheEndAreCutNotDecoded) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const Bytes plain = ziv::read_file(tagged_mp3());
    ASSERT_GT(plain.size(), 80000u);
    const Bytes want = mp3dec(tagged_mp3(), "--no-gapless");
    for (size_t bytes : {size_t(4200), size_t(100000), size_t(600000)}) {
        SCOPED_TRACE("a tag of " + std::to_string(bytes) + " bytes");
        const Bytes data = with_ape_tag(plain, 60000, bytes);
        // mp3dec cuts the tags exactly, from a file and through a pipe.
        const std::string tagged = ziv::tmp_path("api-ape.mp3");
        ASSERT_TRUE(ziv::write_file(tagged, data.data(), data.size()));
        EXPECT_TRUE(mp3dec(tagged, "--no-gapless") == want);
        EXPECT_TRUE(from_memory(data, 0, 4096) == want);
        EXPECT_TRUE(from_reader(data, ziv::kBytesReader, 0, 5000) == want);
        if (bytes > 128 * 1024) continue;
        const std::string piped = ziv::tmp_path("api-ape-piped.pcm");
        EXPECT_EQ(ziv::run("cat '" + tagged + "' | " + ziv::mp3dec_path() + " --no-gapless - '" +
                           piped + "'"),
                  0);
        EXPECT_TRUE(ziv::read_file(piped) == want) << "through a pipe";
        EXPECT_TRUE(fed(data, 0, 4096, 4096) == want);
        EXPECT_TRUE(from_reader(data, ziv::kBytesOnce, 0, 5000) == want);
    }
}

// A short file of two tones by lame at `rate`, with its Info frame and LAME tag.
Bytes encode(const char* name, int32_t rate, int32_t kbps, double seconds) {
    const std::string wav = ziv::tmp_path(std::string(name) + ".wav"),
                      mp3 = ziv::tmp_path(std::string(name) + ".mp3");
    EXPECT_EQ(ziv::run("sox -n -r " + std::to_string(rate) + " -c 2 -b 16 '" + wav + "' synth " +
                       std::to_string(seconds) + " sine 440 sine 1250 gain -6 && lame --quiet "
                       "--resample " + std::to_string(rate / 1000.0) + " -b " + std::to_string(kbps) + " '" + wav +
                       "' '" + mp3 + "'"),
              0);
    return ziv::read_file(mp3);
}

// After the gapless run: a read answers MP3_ENDED, and mpeg_core_scan_rest steps over the frames
// after the run (the encoder's padding) to where a stream of another rate begins, naming its first
// byte, from memory, through either reader, and fed; where the same format goes on, or the data
// ends, it answers MP3_ENDED. Before the run has ended, and gapless off (where the read itself
// stops at the other stream), it steps over nothing.
TEST(CoreApi, ScanRestTellsWhetherAnotherStreamFollowsTheRun) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const Bytes a = encode("scan_a", 44100, 128, 1.5),
                other = encode("scan_22", 22050, 64, 1.0);
    Bytes spliced = a, joined = a;
    spliced.insert(spliced.end(), other.begin(), other.end());
    joined.insert(joined.end(), a.begin(), a.end());
    const Bytes alone = from_memory(a, 1, 4096);
    ASSERT_EQ(alone.size(), size_t(1.5 * 44100) * 4);
    for (int source = 0; source < 4; ++source) {
        SCOPED_TRACE("source " + std::to_string(source) + ": memory, reader, read once, fed");
        for (const Bytes* data : std::initializer_list<const Bytes*>{&a, &spliced, &joined}) {
            ziv::BytesSource src{data};
            src.most = 3000;
            MpegCore* c = mpeg_core_create(0, 0, 24000);
            int32_t opened = MP3_OK;
            if (source == 0) opened = mpeg_core_set_data(c, data->data(), data->size());
            if (source == 1) opened = mpeg_core_set_reader(c, &ziv::kBytesReader, &src);
            if (source == 2) opened = mpeg_core_set_reader(c, &ziv::kBytesOnce, &src);
            if (source == 3) {
                EXPECT_EQ(mpeg_core_feed(c, data->data(), int32_t(data->size())),
                          int32_t(data->size()));
                mpeg_core_feed_end(c);
            }
            ASSERT_EQ(opened, MP3_OK);
            const int64_t first = mpeg_core_next_offset(c);
            EXPECT_EQ(mpeg_core_scan_rest(c), MP3_OK) << "the run has not ended";
            EXPECT_EQ(mpeg_core_next_offset(c), first);
            int32_t r = 0;
            EXPECT_TRUE(drain(c, 4096, &r) == alone);
            EXPECT_EQ(r, MP3_ENDED);
            const int64_t at_end = mpeg_core_next_offset(c);
            EXPECT_LE(at_end, int64_t(a.size()));
            if (data == &spliced) {
                EXPECT_EQ(mpeg_core_scan_rest(c), MP3_OTHER_STREAM);
                EXPECT_EQ(mpeg_core_next_offset(c), int64_t(a.size()));
            } else {
                EXPECT_EQ(mpeg_core_scan_rest(c), MP3_ENDED);
                EXPECT_GE(mpeg_core_next_offset(c), at_end);
            }
            uint8_t pcm[64];
            int32_t n = -1;
            EXPECT_EQ(mpeg_core_read(c, pcm, sizeof pcm, &n), MP3_ENDED);
            EXPECT_EQ(n, 0);
            mpeg_core_destroy(c);
        }
    }
    // Gapless off: the read stops at the other stream's first byte, and nothing is left to step.
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, 0);
    ASSERT_EQ(mpeg_core_set_data(c, spliced.data(), spliced.size()), MP3_OK);
    int32_t r = 0;
    drain(c, 4096, &r);
    EXPECT_EQ(r, MP3_OTHER_STREAM);
    EXPECT_EQ(mpeg_core_next_offset(c), int64_t(a.size()));
    EXPECT_EQ(mpeg_core_scan_rest(c), MP3_OK);
    EXPECT_EQ(mpeg_core_next_offset(c), int64_t(a.size()));
    mpeg_core_destroy(c);
    EXPECT_EQ(mpeg_core_scan_rest(nullptr), MP3_BAD_BUFFER);
}

// The length the first frame states is the LAME tag's run (gapless) or the Info frame's count
// (gapless off), whatever the frames walked over say: the same for the whole file and for its
// first half (whose walked length is shorter), from memory and through a reader before and after
// its walk; -1 for a file without an Info frame and before the first frame.
TEST(CoreApi, StatedLengthIsTheFirstFramesWhateverTheWalk) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const Bytes whole = ziv::read_file(tagged_mp3());
    const Bytes half(whole.begin(), whole.begin() + long(whole.size() / 2));
    for (int32_t gapless : {1, 0}) {
        SCOPED_TRACE(gapless ? "gapless" : "gapless off");
        MpegCore* c = mpeg_core_create(0, 0, 24000);
        EXPECT_EQ(mpeg_core_stated_length(c), -1);
        mpeg_core_set_gapless(c, gapless);
        ASSERT_EQ(mpeg_core_set_data(c, whole.data(), whole.size()), MP3_OK);
        const int64_t stated = mpeg_core_stated_length(c);
        EXPECT_EQ(stated, mpeg_core_length(c)) << "the tag agrees with the whole file";
        EXPECT_TRUE(!gapless || stated == 441000) << stated << ": the encoder's 10 s";
        mpeg_core_destroy(c);
        for (const MpegReader* reader : {static_cast<const MpegReader*>(nullptr), &ziv::kBytesReader}) {
            ziv::BytesSource src{&half};
            c = mpeg_core_create(0, 0, 24000);
            mpeg_core_set_gapless(c, gapless);
            ASSERT_EQ(reader ? mpeg_core_set_reader(c, reader, &src)
                             : mpeg_core_set_data(c, half.data(), half.size()),
                      MP3_OK);
            EXPECT_EQ(mpeg_core_stated_length(c), stated);
            const int64_t walked = mpeg_core_length(c);
            EXPECT_GT(walked, 0);
            EXPECT_LT(walked, stated * 6 / 10) << "half the frames";
            EXPECT_EQ(mpeg_core_stated_length(c), stated) << "after the walk";
            mpeg_core_destroy(c);
        }
    }
    // lame -t writes no Info frame: nothing is stated.
    const std::string wav = ziv::tmp_path("stated.wav"), bare = ziv::tmp_path("stated.mp3");
    ASSERT_EQ(ziv::run("sox -n -r 44100 -c 1 -b 16 '" + wav + "' synth 1 sine 440 && lame "
                       "--quiet -t '" + wav + "' '" + bare + "'"),
              0);
    const Bytes b = ziv::read_file(bare);
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_set_data(c, b.data(), b.size()), MP3_OK);
    EXPECT_EQ(mpeg_core_stated_length(c), -1);
    EXPECT_GT(mpeg_core_length(c), 44100);
    mpeg_core_destroy(c);
}

TEST(CoreApi, LengthAndExactSeekInMemory) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const Bytes data = ziv::read_file(tagged_mp3()), want = mp3dec(tagged_mp3(), "");
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    MpegOutputFormat f;
    EXPECT_EQ(mpeg_core_get_format(c, &f), MP3_NEED_MORE);
    ASSERT_EQ(mpeg_core_set_data(c, data.data(), int32_t(data.size())), MP3_OK);
    ASSERT_EQ(mpeg_core_get_format(c, &f), MP3_OK);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.sample_rate, 44100);
    EXPECT_EQ(mpeg_core_length_ms(c), 10000);
    // The frame that holds 6.5 s: what follows is the end of an uninterrupted decode, from that
    // frame's start (within one frame, 26 ms, before the time asked for).
    const int32_t at = mpeg_core_seek_ms(c, 6500);
    EXPECT_GT(at, 6500 - 27);
    EXPECT_LE(at, 6500);
    EXPECT_EQ(mpeg_core_position_ms(c), at);
    int32_t r = 0;
    const Bytes rest = drain(c, 8192, &r);
    EXPECT_EQ(r, MP3_ENDED);
    ASSERT_GT(rest.size(), 3400u * 44100u * 4u / 1000u);
    ASSERT_LT(rest.size(), 3527u * 44100u * 4u / 1000u);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), want.end() - std::ptrdiff_t(rest.size())));
    EXPECT_EQ(mpeg_core_position_ms(c), 10000);
    // Back to the start, past the end.
    EXPECT_EQ(mpeg_core_seek_ms(c, 0), 0);
    EXPECT_TRUE(drain(c, 8192, &r) == want);
    EXPECT_GT(mpeg_core_seek_ms(c, 60000), 10000 - 27);
    mpeg_core_destroy(c);

    // Fed: the length from the LAME tag once the first frame is in; no seek.
    c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_length_ms(c), -1);
    ASSERT_EQ(mpeg_core_feed(c, data.data(), int32_t(data.size())), int32_t(data.size()));
    uint8_t pcm[4608];
    int32_t n = 0;
    EXPECT_EQ(mpeg_core_read(c, pcm, sizeof pcm, &n), MP3_OK);
    EXPECT_EQ(mpeg_core_length_ms(c), 10000);
    EXPECT_EQ(mpeg_core_seek_ms(c, 1000), -1);
    mpeg_core_destroy(c);
}

TEST(CoreApi, DataWithoutFramesAndMisuse) {
    Bytes junk(20000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 7 + 3);
    uint8_t out[4096];
    int32_t n = -1;
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(mpeg_core_read(c, out, sizeof out, &n), MP3_NEED_MORE);  // nothing yet
    EXPECT_EQ(n, 0);
    EXPECT_EQ(mpeg_core_read(c, nullptr, 10, &n), MP3_BAD_BUFFER);
    EXPECT_EQ(mpeg_core_read(c, out, 0, &n), MP3_BAD_BUFFER);
    EXPECT_EQ(mpeg_core_set_data(c, junk.data(), int32_t(junk.size())), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_read(c, out, sizeof out, &n), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_feed(c, junk.data(), 10), 0);  // a core over data in memory
    EXPECT_EQ(mpeg_core_length_ms(c), -1);
    EXPECT_EQ(mpeg_core_seek_ms(c, 0), -1);
    mpeg_core_destroy(c);

    c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_feed(c, junk.data(), int32_t(junk.size())), int32_t(junk.size()));
    EXPECT_EQ(mpeg_core_read(c, out, sizeof out, &n), MP3_NEED_MORE);
    mpeg_core_feed_end(c);
    EXPECT_EQ(mpeg_core_read(c, out, sizeof out, &n), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_read(c, out, sizeof out, &n), MP3_NO_FRAME);
    EXPECT_EQ(mpeg_core_feed(c, junk.data(), 10), 0);  // after the end
    EXPECT_EQ(mpeg_core_set_data(c, junk.data(), 10), MP3_NO_FRAME);  // a fed core
    mpeg_core_destroy(c);

    // An empty feed ended at once.
    c = mpeg_core_create(0, 0, 24000);
    mpeg_core_feed_end(c);
    EXPECT_EQ(mpeg_core_read(c, out, sizeof out, &n), MP3_NO_FRAME);
    mpeg_core_destroy(c);
    mpeg_core_destroy(nullptr);
}

// The whole-data decode through the public calls: with the tagged file in memory, on one thread,
// several, or the default, into memory or to a place callback, the PCM given and then the rest
// read as usual are mp3dec's bytes, and the position after the decode is where the reads go on.
// It does nothing on fed data or once reads have begun (the reads then go on as before), and
// misuse is refused.
TEST(CoreApi, DecodeAllThenReadGivesMp3decsBytes) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    const Bytes data = ziv::read_file(tagged_mp3());
    const Bytes gapless = mp3dec(tagged_mp3(), "-j 1");
    ASSERT_EQ(gapless.size(), 441000u * 4u);
    struct Place {
        Bytes pcm;
        std::mutex lock;
        static int32_t put(void* ctx, uint8_t* p, int64_t at, int32_t n) {
            Place* s = static_cast<Place*>(ctx);
            const std::lock_guard<std::mutex> hold(s->lock);
            if (s->pcm.size() < size_t(at + n)) s->pcm.resize(size_t(at + n));
            std::copy(p, p + n, s->pcm.begin() + at);
            return 1;
        }
    };
    for (int32_t threads : {0, 1, 2, 3}) {
        for (bool to_memory : {true, false}) {
            SCOPED_TRACE(std::to_string(threads) + (to_memory ? " threads, memory" : " threads, placed"));
            MpegCore* c = mpeg_core_create(0, 0, 24000);
            ASSERT_EQ(mpeg_core_set_data(c, data.data(), int32_t(data.size())), MP3_OK);
            Bytes out(gapless.size() + 5000, 0x55);
            Place place;
            const int64_t got = to_memory
                                    ? mpeg_core_decode_all(c, threads, out.data(),
                                                           int64_t(out.size()), nullptr, nullptr)
                                    : mpeg_core_decode_all(c, threads, nullptr, 0, Place::put,
                                                           &place);
            ASSERT_GT(got, int64_t(gapless.size()) - 20 * 4608) << "all but the last frames";
            ASSERT_LT(got, int64_t(gapless.size()));
            if (!to_memory) {
                EXPECT_EQ(int64_t(place.pcm.size()), got);
                std::copy(place.pcm.begin(), place.pcm.end(), out.begin());
            }
            EXPECT_EQ(mpeg_core_position_ms(c), int32_t(got / 4 * 1000 / 44100));
            int32_t r = 0;
            const Bytes rest = drain(c, 4099, &r);
            EXPECT_EQ(r, MP3_ENDED);
            out.resize(size_t(got));
            out.insert(out.end(), rest.begin(), rest.end());
            EXPECT_TRUE(out == gapless);
            mpeg_core_destroy(c);
        }
    }
    // After a read, and on fed data: nothing; the reads go on as before.
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_set_data(c, data.data(), int32_t(data.size())), MP3_OK);
    Bytes out(gapless.size());
    int32_t n = 0;
    ASSERT_EQ(mpeg_core_read(c, out.data(), 1000, &n), MP3_OK);
    EXPECT_EQ(mpeg_core_decode_all(c, 2, out.data() + 1000, int64_t(out.size()) - 1000, nullptr,
                                   nullptr),
              0);
    int32_t r = 0;
    Bytes rest = drain(c, 4099, &r);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), gapless.begin() + 1000));
    EXPECT_EQ(rest.size(), gapless.size() - 1000);
    EXPECT_EQ(mpeg_core_decode_all(c, 2, out.data(), 10, Place::put, nullptr), MP3_BAD_BUFFER);
    EXPECT_EQ(mpeg_core_decode_all(c, 2, nullptr, 0, nullptr, nullptr), MP3_BAD_BUFFER);
    mpeg_core_destroy(c);
    c = mpeg_core_create(0, 0, 24000);
    EXPECT_EQ(mpeg_core_feed(c, data.data(), int32_t(data.size())), int32_t(data.size()));
    EXPECT_EQ(mpeg_core_decode_all(c, 2, out.data(), int64_t(out.size()), nullptr, nullptr), 0);
    mpeg_core_destroy(c);
}

// The processors counted are those the process may run on (its affinity), not those online: a
// thread bound to one processor, then to two where the machine has them, counts those.
TEST(CoreApi, ProcessorsAreTheAffinitys) {
    cpu_set_t was;
    ASSERT_EQ(sched_getaffinity(0, sizeof was, &was), 0);
    const int allowed = CPU_COUNT(&was);
    EXPECT_EQ(mpeg_core_processors(), allowed);
    std::vector<int> cpus;
    for (int k = 0; k < CPU_SETSIZE && int(cpus.size()) < 2; ++k)
        if (CPU_ISSET(k, &was)) cpus.push_back(k);
    for (size_t n = 1; n <= cpus.size(); ++n) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (size_t k = 0; k < n; ++k) CPU_SET(cpus[k], &set);
        ASSERT_EQ(sched_setaffinity(0, sizeof set, &set), 0);
        EXPECT_EQ(mpeg_core_processors(), int32_t(n));
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof was, &was), 0);
}

}  // namespace
