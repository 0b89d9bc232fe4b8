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
    const char* make;  // the encoder of the list's file (core_inputs.txt), or null: a vector
    int rate;
};

void PrintTo(const File& f, std::ostream* os) { *os << f.name; }

// Layers I (a conformance stream), II and III; MPEG-1, MPEG-2 and MPEG-2.5; CBR and VBR.
const File kFiles[] = {
    {"l3_cbr", "lame -b 128", 44100},       {"l3_vbr", "lame -V 2", 44100},
    {"l3_mpeg2_mono", "lame -m m -b 64", 22050}, {"l3_mpeg25", "lame -b 32", 11025},
    {"l2_mpeg1", "twolame -b 192", 48000},  {"l2_mpeg2", "twolame -b 96", 24000},
    {"l1_vector", nullptr, 0},
};

// The file: a conformance stream, or four seconds of a sweep and a tone by the encoder of
// `make`, from the core's input list (tests/inputs/core_inputs.txt).
Bytes make(const File& f) {
    if (!f.make) return ziv::read_file(ziv::vector_path("l1-fl1.bit"));
    return ziv::listed_input("core_inputs.txt", std::string(f.name) + ".mp3");
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

// The uninterrupted decode from memory: its PCM, the bytes of one sample of every channel, how
// the reading ended, and what the core said of its position and length at the end.
struct Whole {
    Bytes pcm;
    size_t ss = 0;
    int32_t end = 0, ended = 0;
    int64_t tell = 0, length = 0;
};

Whole decode_whole(const Bytes& data, int32_t gapless) {
    Whole w;
    MpegCore* c = open(data, false, nullptr, gapless);
    MpegOutputFormat fmt;
    EXPECT_EQ(mpeg_core_get_format(c, &fmt), MP3_OK);
    w.ss = size_t(fmt.channels) * 2;
    w.pcm = take(c, SIZE_MAX / 2, &w.end);
    w.ended = mpeg_core_ended(c);
    w.tell = mpeg_core_tell(c);
    w.length = mpeg_core_length(c);
    mpeg_core_destroy(c);
    return w;
}

class CoreSeek : public ::testing::TestWithParam<File> {};

TEST_P(CoreSeek, EverySeekLandsOnTheSampleAskedFor) {
    const Bytes data = make(GetParam());
    ASSERT_GT(data.size(), 1000u);
    std::mt19937 rng(ziv::test_seed() + 31);
    for (int32_t gapless : {1, 0}) {
        // The uninterrupted decode, from memory.
        const Whole whole = decode_whole(data, gapless);
        const Bytes& ref = whole.pcm;
        const size_t ss = whole.ss;
        int32_t r = 0;
        EXPECT_EQ(whole.end, MP3_ENDED);
        const int64_t samples = int64_t(ref.size() / ss);
        EXPECT_EQ(whole.tell, samples);
        EXPECT_EQ(whole.length, samples);

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
            std::printf("[ figures  ] %-14s %s gapless %d: %d/40 seeks exact\n", GetParam().name,
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
    const Bytes data = make(GetParam());
    ASSERT_GT(data.size(), 1000u);
    Bytes ref[2];
    for (int32_t gapless : {0, 1}) {
        const Whole whole = decode_whole(data, gapless);
        ref[gapless] = whole.pcm;
        EXPECT_EQ(whole.ended, 1);
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

// Data shown to a core a block at a time, as a game that streams a file shows it: the window
// holds at most two blocks of `bs` bytes, each shown from a copy of its own (so that a read past
// it is caught under AddressSanitizer), and follows the offset the core names.
struct Shown {
    const Bytes* data;
    int32_t bs;
    int64_t base = 0;
    Bytes win;

    int32_t show(MpegCore* c) {
        const size_t n = std::min(win.size(), data->size() - size_t(base));
        win.assign(data->begin() + base, data->begin() + base + long(n));
        return mpeg_core_set_window(c, win.data(), int32_t(win.size()), base,
                                    size_t(base) + win.size() == data->size());
    }
    // After MP3_NEED_MORE or MP3_BETWEEN_FRAMES: on to the bytes the core needs.
    void advance(MpegCore* c) {
        const int64_t next = mpeg_core_next_offset(c), end = base + int64_t(win.size());
        if (next < base || next > end) {
            base = next;
            win.assign(size_t(bs), 0);
        } else if (next - base >= bs) {
            base += bs;
            win.assign(size_t(std::min<int64_t>(2 * bs, int64_t(data->size()) - base)), 0);
        } else if (int64_t(win.size()) < 2 * bs && size_t(end) < data->size()) {
            win.assign(win.size() + size_t(bs), 0);
        } else {
            mpeg_core_skip_byte(c);  // a full window that cannot tell
        }
        show(c);
    }
    // Reads up to n bytes of PCM, bringing blocks as the core asks.
    Bytes take(MpegCore* c, size_t n, int32_t* r) {
        Bytes out, buf(7001);
        *r = MP3_OK;
        for (int guard = 0; out.size() < n && guard < 1000000; ++guard) {
            int32_t k = 0;
            *r = mpeg_core_read(c, buf.data(), int32_t(std::min(n - out.size(), buf.size())), &k);
            out.insert(out.end(), buf.begin(), buf.begin() + k);
            if (*r == MP3_NEED_MORE || *r == MP3_BETWEEN_FRAMES)
                advance(c);
            else if (*r != MP3_OK)
                break;
        }
        return out;
    }
};

MpegCore* open_shown(Shown* s, int32_t gapless) {
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    mpeg_core_set_gapless(c, gapless);
    s->win.assign(size_t(s->bs), 0);
    for (int32_t r = s->show(c); r == MP3_NEED_MORE || r == MP3_BETWEEN_FRAMES;) {
        s->advance(c);
        r = mpeg_core_set_window(c, s->win.data(), int32_t(s->win.size()), s->base,
                                 size_t(s->base) + s->win.size() == s->data->size());
    }
    return c;
}

// Windows of 4 KiB blocks: the whole decode as from memory; a seek names the offset its bytes
// come from (the pre-roll's first frame, at or before the sought frame's), and lands exactly on
// the sample asked for once they are shown; a frame not passed yet cannot be sought.
TEST_P(CoreSeek, ShownWindowsSeekFromTheOffsetTheCoreNames) {
    const Bytes data = make(GetParam());
    ASSERT_GT(data.size(), 10000u);
    std::mt19937 rng(ziv::test_seed() + 47);
    for (int32_t gapless : {1, 0}) {
        SCOPED_TRACE(testing::Message() << "gapless " << gapless);
        const Whole whole = decode_whole(data, gapless);
        const Bytes& ref = whole.pcm;
        const size_t ss = whole.ss;
        int32_t r = 0;
        const int64_t samples = int64_t(ref.size() / ss);

        Shown s{&data, 4096, 0, {}};
        MpegCore* c = open_shown(&s, gapless);
        EXPECT_EQ(mpeg_core_seek(c, samples / 2), MP3_CANNOT_SEEK) << "not passed yet";
        EXPECT_EQ(mpeg_core_seek_offset(c, samples / 2), -1);
        const Bytes all = s.take(c, SIZE_MAX / 2, &r);
        EXPECT_EQ(r, MP3_ENDED);
        ASSERT_EQ(all.size(), ref.size());
        EXPECT_TRUE(all == ref) << "the decode of the windows is the decode from memory";
        EXPECT_EQ(mpeg_core_ended(c), 1);
        for (int i = 0; i < 12; ++i) {
            const int64_t at = int64_t(rng() % uint64_t(samples));
            SCOPED_TRACE(testing::Message() << "seek to " << at);
            const int64_t from = mpeg_core_seek_offset(c, at);
            const int64_t frame_at = mpeg_core_frame_offset(c, mpeg_core_frame_of(c, at));
            ASSERT_GE(from, 0);
            EXPECT_LE(from, frame_at) << "the pre-roll starts at or before the frame";
            ASSERT_EQ(mpeg_core_seek(c, at), at);
            EXPECT_EQ(mpeg_core_next_offset(c), from);
            EXPECT_EQ(mpeg_core_tell(c), at);
            const size_t n = std::min(ref.size() - size_t(at) * ss, size_t(30000));
            const Bytes got = s.take(c, n, &r);
            ASSERT_EQ(got.size(), n);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), ref.begin() + long(size_t(at) * ss)));
        }
        mpeg_core_destroy(c);
    }
}

// A loop over shown windows: its restart's offset is known as soon as the loop's start has
// passed, well before the seam, and the read that crosses the seam asks for the bytes from it.
TEST_P(CoreSeek, ShownWindowsNameALoopRestartAheadOfItsSeam) {
    const Bytes data = make(GetParam());
    Shown s{&data, 4096, 0, {}};
    MpegCore* c = open_shown(&s, 1);
    const int64_t length = mpeg_core_length(c);
    if (length < 0) {
        // Without a stated length there is no whole decode to loop in.
        EXPECT_EQ(mpeg_core_set_loop(c, 0, -1), MP3_BAD_LOOP);
        mpeg_core_destroy(c);
        return;
    }
    const int64_t start = length / 4, end = length / 2;
    ASSERT_EQ(mpeg_core_set_loop(c, start, end), MP3_OK);
    EXPECT_EQ(mpeg_core_seek_offset(c, start), -1) << "the start has not passed";
    MpegOutputFormat fmt;
    mpeg_core_get_format(c, &fmt);
    const size_t ss = size_t(fmt.channels) * 2;
    int32_t r = 0;
    const Bytes intro = s.take(c, size_t(start + (end - start) / 2) * ss, &r);
    const int64_t restart = mpeg_core_seek_offset(c, start);
    EXPECT_GE(restart, 0) << "known half a pass before the seam";
    // On to the seam: the read that crosses it names the restart's offset.
    Bytes buf(size_t(end - mpeg_core_tell(c)) * ss + 4096);
    int32_t k = 0, named = 0;
    for (int guard = 0; guard < 100000 && mpeg_core_tell(c) >= start + (end - start) / 2;
         ++guard) {
        r = mpeg_core_read(c, buf.data(), int32_t(buf.size()), &k);
        if (r != MP3_NEED_MORE && r != MP3_BETWEEN_FRAMES) break;
        if (mpeg_core_tell(c) == start) {
            named = 1;
            EXPECT_EQ(mpeg_core_next_offset(c), restart);
        }
        s.advance(c);
    }
    EXPECT_EQ(named, 1) << "the seam was crossed inside a read that asked for the restart";
    EXPECT_LT(mpeg_core_tell(c), end);
    mpeg_core_destroy(c);
}

// An ID3v2 tag of `n` bytes in all (its body zeros).
Bytes id3v2(int32_t n) {
    const int32_t body = n - 10;
    Bytes t = {'I', 'D', '3', 3, 0, 0, uint8_t(body >> 21 & 0x7F), uint8_t(body >> 14 & 0x7F),
               uint8_t(body >> 7 & 0x7F), uint8_t(body & 0x7F)};
    t.resize(size_t(n), 0);
    return t;
}

// Windows that end inside a tag answer MP3_BETWEEN_FRAMES, before the first frame and between
// frames alike, and the blocks of a long tag need not be held; a window that ends inside a frame
// answers MP3_NEED_MORE.
TEST(CoreShown, ATagRunningPastTheWindowIsToldFromAFrameCutShort) {
    const File& f = kFiles[0];
    const Bytes mp3 = make(f);
    ASSERT_GT(mp3.size(), 20000u);
    // Where the frames lie: from a core shown the whole data.
    MpegCore* probe = mpeg_core_create(0, 0, 24000);
    ASSERT_EQ(mpeg_core_set_window(probe, mp3.data(), int32_t(mp3.size()), 0, 1), MP3_OK);
    const int64_t f0 = mpeg_core_frame_offset(probe, 0), f8 = mpeg_core_frame_offset(probe, 8),
                  f9 = mpeg_core_frame_offset(probe, 9);
    mpeg_core_destroy(probe);
    ASSERT_GE(f0, 0);
    ASSERT_GT(f9, f8);

    // A 20000-byte tag before the frames, shown a block at a time, each block alone.
    Bytes lead = id3v2(20000);
    lead.insert(lead.end(), mp3.begin(), mp3.end());
    MpegCore* c = mpeg_core_create(0, 0, 24000);
    int32_t r = MP3_BETWEEN_FRAMES;
    int64_t at = 0;
    Bytes block;
    int tag_blocks = 0;
    while (r == MP3_BETWEEN_FRAMES && at < int64_t(lead.size())) {
        const int64_t to = std::min<int64_t>(at + 4096, int64_t(lead.size()));
        block.assign(lead.begin() + at, lead.begin() + to);
        r = mpeg_core_set_window(c, block.data(), int32_t(block.size()), at, 0);
        if (r == MP3_BETWEEN_FRAMES) ++tag_blocks;
        at = mpeg_core_next_offset(c);
    }
    EXPECT_EQ(tag_blocks, 4) << "the blocks that hold the tag only";
    // The block that holds the tag's end holds the first frame and the header that confirms it.
    EXPECT_EQ(r, MP3_OK);
    EXPECT_EQ(mpeg_core_next_offset(c), 20000 + f0);
    mpeg_core_destroy(c);

    // A 9000-byte tag between frames 8 and 9.
    Bytes mid(mp3.begin(), mp3.begin() + f9);
    const Bytes tag = id3v2(9000);
    mid.insert(mid.end(), tag.begin(), tag.end());
    mid.insert(mid.end(), mp3.begin() + f9, mp3.end());
    Bytes out(1 << 20);
    for (const int64_t end : {f8 + 10, f9 + 4000}) {
        SCOPED_TRACE(end);
        c = mpeg_core_create(0, 0, 24000);
        mpeg_core_set_gapless(c, 0);
        const Bytes win(mid.begin(), mid.begin() + end);
        ASSERT_EQ(mpeg_core_set_window(c, win.data(), int32_t(win.size()), 0, 0), MP3_OK);
        int32_t k = 0;
        r = mpeg_core_read(c, out.data(), int32_t(out.size()), &k);
        EXPECT_EQ(r, end < f9 ? MP3_NEED_MORE : MP3_BETWEEN_FRAMES);
        EXPECT_EQ(mpeg_core_frame(c), end < f9 ? 8 : 9) << "frames decoded";
        // The rest of the tag and the frames after it, shown from where the core stands.
        const int64_t next = mpeg_core_next_offset(c);
        const Bytes rest(mid.begin() + next, mid.end());
        ASSERT_EQ(mpeg_core_set_window(c, rest.data(), int32_t(rest.size()), next, 1), MP3_OK);
        r = mpeg_core_read(c, out.data(), int32_t(out.size()), &k);
        EXPECT_EQ(r, MP3_ENDED);
        EXPECT_GT(mpeg_core_frame(c), 20);
        mpeg_core_destroy(c);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, CoreSeek, ::testing::ValuesIn(kFiles),
                         [](const ::testing::TestParamInfo<File>& i) { return std::string(i.param.name); });

TEST(CoreReader, ReadOnceFedAndFailingSources) {
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
