// The frame synchronisation on its own: tag signatures and the cut of trailing tags, the
// confirmation that keeps false syncs out, another stream ending this one, the end of the data
// (a tag or a last frame cut short), resynchronisation after junk, and the same frames found
// whether the data comes whole or in windows of any size; then decoding through it over every
// cut and random damage (the inputs live in exactly-sized heap buffers, so the sanitizer build
// catches any read past a window).
#include <memory>
#include <random>
#include <vector>

#include "decoder_util.h"
#include "frame_sync.h"
#include "synth_stream.h"
#include "tags.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

void add(Bytes* v, const Bytes& w) { v->insert(v->end(), w.begin(), w.end()); }

// n frames of MPEG-1 Layer III, 128 kbit/s, 44.1 kHz (417 bytes, every third padded), or of
// the sampling frequency in b2 with its size. With `fill` 0 they are silent frames that decode
// (side information all zero).
Bytes frames(int n, uint8_t b2 = 0x90, size_t size = 417, uint8_t fill = 0x11) {
    Bytes v;
    for (int i = 0; i < n; ++i) {
        Bytes f(size + (i % 3 == 2), fill);
        f[0] = 0xFF, f[1] = 0xFB, f[2] = uint8_t(b2 | (i % 3 == 2 ? 2 : 0)), f[3] = 0x64;
        add(&v, f);
    }
    return v;
}

using ziv::id3v1;
using ziv::id3v2;

Bytes ape_footer(size_t items) {
    Bytes t(items, 0xFF);
    add(&t, {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0});
    const uint32_t size = uint32_t(items + 32);
    add(&t, {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), 0, 1, 0, 0, 0, 0, 0, 0, 0});
    t.resize(t.size() + 8, 0);
    return t;
}

// Frame offsets found in `data` fed in windows of `window` bytes (0: whole), and how it ended.
std::vector<int64_t> walk(const Bytes& data, size_t window, int32_t* end) {
    std::vector<int64_t> found;
    MpegSync s;
    mpeg_sync_init(&s);
    Bytes held;        // the bytes kept, from offset `base` of the data
    int64_t base = 0;
    size_t fed = 0;
    int32_t pos = 0;
    bool locked = false;
    for (;;) {
        const bool final = fed == data.size();
        std::unique_ptr<uint8_t[]> exact(new uint8_t[held.size() + 1]);
        std::copy(held.begin(), held.end(), exact.get());
        int32_t r, size = 0, fb = 0, br = 0;
        MpegHeader h;
        if (!locked) {
            r = mpeg_sync_lock(&s, exact.get(), int32_t(held.size()), final, &pos, &h, &fb, &br);
            // Locked on the first frame: the next call gives it, with its padded size.
            if (r == MPEG_SYNC_FRAME) {
                locked = true;
                continue;
            }
        } else {
            r = mpeg_sync_next(&s, exact.get(), int32_t(held.size()), final, &pos, &size);
        }
        if (r == MPEG_SYNC_FRAME) {
            found.push_back(base + pos);
            pos += size;
            mpeg_sync_taken(&s);
            continue;
        }
        if (r != MPEG_SYNC_MORE) {
            *end = r;
            return found;
        }
        // Keep the bytes from pos on and bring the next window.
        held.erase(held.begin(), held.begin() + pos);
        base += pos;
        pos = 0;
        const size_t n = window ? std::min(window, data.size() - fed) : data.size() - fed;
        held.insert(held.end(), data.begin() + long(fed), data.begin() + long(fed + n));
        fed += n;
    }
}

// Frames decoded from `data` by frame sync from its start, as mp3dec decodes, and how it ended.
int decode_all(const Bytes& data, int32_t* end) {
    std::unique_ptr<uint8_t[]> exact = ziv::exact_copy(data, data.size());
    const int32_t n = int32_t(data.size());
    MpegSync s;
    mpeg_sync_init(&s);
    MpegHeader h;
    int32_t pos = 0, fb = 0, br = 0;
    *end = mpeg_sync_lock(&s, exact.get(), n, 1, &pos, &h, &fb, &br);
    ziv::TestDecoder d;
    if (*end != MPEG_SYNC_FRAME || !d.setup(h, fb)) return 0;
    Bytes out(4608);
    MpegInOut io;
    int decoded = 0;
    while ((*end = mpeg_sync_decode(&s, d.get(), exact.get(), n, 1, &pos, out.data(), &io)) ==
           MPEG_SYNC_FRAME) {
        ++decoded;
        EXPECT_EQ(io.out_bytes, 4608);
        EXPECT_LE(pos, n);
    }
    return decoded;
}

TEST(Tags, SignaturesAndTrailingTags) {
    EXPECT_EQ(mpeg_tag_at(id3v2(300, false).data(), 310, 0), 310);
    EXPECT_EQ(mpeg_tag_at(id3v2(300, true).data(), 50, 0), 320) << "size known from the header";
    EXPECT_EQ(mpeg_tag_at(id3v2(300, false).data(), 6, 0), MP3_TAG_UNSURE);
    Bytes bad = id3v2(300, false);
    bad[7] = 0x80;  // not syncsafe: no tag
    EXPECT_EQ(mpeg_tag_at(bad.data(), 310, 0), 0);
    Bytes ape = ape_footer(100);
    EXPECT_EQ(mpeg_tag_at(ape.data() + 100, 32, 0), 32);
    EXPECT_EQ(mpeg_tag_at(id3v1().data(), 128, 0), 0) << "ID3v1 only where something ended";
    EXPECT_EQ(mpeg_tag_at(id3v1().data(), 128, 1), 128);

    Bytes v = frames(3);
    const int32_t audio = int32_t(v.size());
    std::string lyr = "LYRICSBEGININD0000210000021LYRICS200";
    add(&v, id3v2(50, true));
    add(&v, Bytes(lyr.begin(), lyr.end()));
    add(&v, ape);
    add(&v, id3v1());
    EXPECT_EQ(mpeg_trailing_tags(v.data(), int32_t(v.size())), audio);

    // A footer exists in ID3v2.4 alone: in an older version the flag bit counts no footer, at the
    // start of a tag or at the end of the data.
    Bytes v23 = id3v2(300, true);
    v23[3] = 3, v23[313] = 3;
    EXPECT_EQ(mpeg_tag_at(v23.data(), int32_t(v23.size()), 0), 310);
    Bytes tail = frames(3);
    add(&tail, v23);
    EXPECT_EQ(mpeg_trailing_tags(tail.data(), int32_t(tail.size())), int32_t(tail.size()));
}

TEST(FrameSync, ConfirmationOtherStreamsAndEnds) {
    // A lone header in junk is not confirmed; the real stream behind it is.
    Bytes v = {0xFF, 0xFB, 0x90, 0x64};
    v.resize(1500, 0);
    add(&v, frames(3));
    int32_t end = 0;
    EXPECT_EQ(walk(v, 0, &end), (std::vector<int64_t>{1500, 1917, 2334}));
    EXPECT_EQ(end, MPEG_SYNC_END);
    // A single frame followed by the end of the data counts.
    EXPECT_EQ(walk(frames(1), 0, &end).size(), 1u);
    // 48 kHz frames after the 44.1 kHz ones: another stream, which ends this one.
    Bytes spliced = frames(4);
    add(&spliced, frames(3, 0x94, 384));
    EXPECT_EQ(walk(spliced, 0, &end).size(), 4u);
    EXPECT_EQ(end, MPEG_SYNC_OTHER);
    // Random data holds no stream.
    std::mt19937 rng(ziv::test_seed());
    Bytes noise(200000);
    for (auto& b : noise) b = uint8_t(rng());
    EXPECT_TRUE(walk(noise, 0, &end).empty());
}

TEST(FrameSync, TagsCutFramesAndJunkAtTheEnds) {
    // An ID3v2 tag that claims more bytes than the data holds takes the rest of it, whole or in
    // windows: no frame is searched for inside it.
    Bytes big = id3v2(0, false);
    big[6] = big[7] = big[8] = big[9] = 0x7F;
    add(&big, frames(3));
    int32_t end = 0;
    for (size_t w : {0, 100}) {
        EXPECT_TRUE(walk(big, w, &end).empty());
        EXPECT_EQ(end, MPEG_SYNC_END);
    }
    // Size bytes with bit 7 set are no tag: its bytes are junk and the frames after it count.
    big[6] = 0xFF;
    EXPECT_EQ(walk(big, 0, &end), (std::vector<int64_t>{10, 427, 844}));

    // A last frame cut short is the end of the data.
    Bytes cut = frames(5);
    cut.resize(cut.size() - 200);
    EXPECT_EQ(walk(cut, 0, &end).size(), 4u);
    EXPECT_EQ(end, MPEG_SYNC_END);
    // A cut frame holding a false sync whose small frame (32 kbit/s mono, 104 bytes) fits in
    // what is left: the data ends at the cut frame instead of playing the false one.
    Bytes trap = frames(4);
    const size_t cut_at = trap.size() - 417;
    const Bytes false_frame = {0xFF, 0xFB, 0x10, 0xC4};
    std::copy(false_frame.begin(), false_frame.end(), trap.begin() + long(cut_at) + 100);
    trap.resize(cut_at + 300);
    for (size_t w : {0, 1, 417}) {
        EXPECT_EQ(walk(trap, w, &end).size(), 3u);
        EXPECT_EQ(end, MPEG_SYNC_END);
    }

    // Junk between frames is searched through, however long.
    Bytes junk = frames(2);
    junk.insert(junk.end(), 100, 0x00);
    add(&junk, frames(3));
    EXPECT_EQ(walk(junk, 0, &end), (std::vector<int64_t>{0, 417, 934, 1351, 1768}));
    Bytes long_junk = frames(2);
    long_junk.insert(long_junk.end(), 4 * 417 + 10, 0x00);
    add(&long_junk, frames(2));
    EXPECT_EQ(walk(long_junk, 0, &end), (std::vector<int64_t>{0, 417, 2512, 2929}));
    EXPECT_EQ(end, MPEG_SYNC_END);
}

TEST(FrameSync, WindowsOfAnySizeFindTheSameFrames) {
    Bytes v = id3v2(20000, false);
    add(&v, id3v2(3000, true));
    add(&v, Bytes(777, 0x5A));
    add(&v, frames(10));
    add(&v, id3v2(9000, false));
    add(&v, frames(10));
    add(&v, Bytes(2000, 0xFF));
    add(&v, frames(5));
    add(&v, id3v1());
    int32_t end = 0;
    const std::vector<int64_t> whole = walk(v, 0, &end);
    ASSERT_EQ(whole.size(), 25u);
    EXPECT_EQ(end, MPEG_SYNC_END);
    for (size_t w : {1, 3, 417, 1000, 4096, 65536}) {
        SCOPED_TRACE(w);
        EXPECT_EQ(walk(v, w, &end), whole);
        EXPECT_EQ(end, MPEG_SYNC_END);
    }
    // Junk holding the free-format header of another stream three times, 300 bytes apart, then
    // no more: over the whole data its chain breaks, so it is no stream, and no window that
    // ends before the break may take it for one that ends this stream.
    Bytes f = frames(4);
    for (int i = 0; i < 3; ++i) add(&f, {0xFF, 0xFD, 0x08, 0x00}), add(&f, Bytes(296, 0));
    add(&f, Bytes(1000, 0));
    add(&f, frames(3));
    ASSERT_EQ(walk(f, 0, &end).size(), 7u);
    for (size_t w : {1, 417, 1000, 4096}) {
        SCOPED_TRACE(w);
        EXPECT_EQ(walk(f, w, &end).size(), 7u);
        EXPECT_EQ(end, MPEG_SYNC_END);
    }
}

// Free format: the frame size is searched for in the bytes after the first header, by one rule
// that reads a bounded stretch (up to the frame after next), so that every window finds the
// same frames as the whole data. Copies of the header's first bytes inside the frames make
// chains that hold for a while and then break at different depths.
TEST(FrameSync, FreeFormatSizesAreTheSameInEveryWindow) {
    // Free-format MPEG-1 Layer III frames at 44.1 kHz (bitrate index 0), 300 bytes, every third
    // one padded.
    auto free_frames = [](int n, const std::vector<size_t>& copies) {
        Bytes v;
        for (int i = 0; i < n; ++i) {
            Bytes f(300 + (i % 3 == 2), 0x11);
            f[0] = 0xFF, f[1] = 0xFB, f[2] = uint8_t(0x00 | (i % 3 == 2 ? 2 : 0)), f[3] = 0x64;
            for (size_t c : copies)
                if (c + 2 < f.size()) f[c] = 0xFF, f[c + 1] = 0xFB;
            add(&v, f);
        }
        return v;
    };
    int32_t end = 0;
    const Bytes clean = free_frames(12, {});
    const std::vector<int64_t> want = walk(clean, 0, &end);
    ASSERT_EQ(want.size(), 12u);
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(want[i], int64_t(300 * i + i / 3)) << i;
    std::mt19937 rng(ziv::test_seed() + 5);
    for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE(trial);
        std::vector<size_t> copies;
        const int k = int(rng() % 4);
        for (int c = 0; c < k; ++c) copies.push_back(24 + rng() % 270);
        Bytes v(rng() % 50, 0x00);
        add(&v, free_frames(8 + int(rng() % 6), copies));
        if (trial % 2) v.resize(v.size() - rng() % 200);  // a stream cut short
        const std::vector<int64_t> whole = walk(v, 0, &end);
        for (size_t w : {1, 2, 3, 7, 64, 299, 300, 301, 602, 1000, 4096}) {
            SCOPED_TRACE(w);
            EXPECT_EQ(walk(v, w, &end), whole);
        }
    }
}

// Free format runs up to 640 kbit/s: a frame of that size is found in every window, one a few
// bytes larger is no frame. The largest frames: MPEG-1 Layer III at 32 kHz, MPEG-2 Layer II at
// 16 kHz, MPEG-2.5 Layer III at 8 kHz.
TEST(FrameSync, FreeFormatFramesRunToTheirSizeAt640Kbits) {
    struct Big {
        uint8_t b1, b2;  // header bytes 1 and 2 (bitrate index 0)
        size_t most;     // the frame's size at 640 kbit/s
        size_t slot;     // the padding slot
    };
    for (const Big& b : {Big{0xFB, 0x08, 2880, 1}, Big{0xF5, 0x08, 5760, 1},
                         Big{0xE3, 0x08, 5760, 1}, Big{0xFF, 0x08, 960, 4}}) {
        for (size_t size : {b.most, b.most + 2 * b.slot}) {
            SCOPED_TRACE(testing::Message() << std::hex << int(b.b1) << std::dec << " size " << size);
            Bytes v;
            for (int i = 0; i < 6; ++i) {
                Bytes f(size, 0x11);
                f[0] = 0xFF, f[1] = b.b1, f[2] = b.b2, f[3] = 0x64;
                add(&v, f);
            }
            int32_t end = 0;
            const std::vector<int64_t> whole = walk(v, 0, &end);
            EXPECT_EQ(whole.size(), size == b.most ? 6u : 0u);
            for (size_t w : {1000, 4096, 8192})
                EXPECT_EQ(walk(v, w, &end), whole) << "window " << w;
        }
    }
}

TEST(FrameSync, DecodingEveryCutAndRandomDamageStaysInBounds) {
    const Bytes v = frames(4, 0x90, 417, 0);
    const size_t ends[4] = {417, 834, 1252, 1669};  // the third frame is padded
    int32_t end = 0;
    ASSERT_EQ(decode_all(v, &end), 4);
    for (size_t n = 0; n <= v.size(); n += 7) {
        int whole = 0;
        for (size_t e : ends) whole += e <= n;
        EXPECT_EQ(decode_all(Bytes(v.begin(), v.begin() + long(n)), &end), whole) << "cut at " << n;
        EXPECT_EQ(end, MPEG_SYNC_END) << "cut at " << n;
    }
    std::mt19937 rng(ziv::test_seed());
    for (int t = 0; t < 200; ++t) {
        Bytes dmg = v;
        for (int k = 0; k < 20; ++k) dmg[rng() % dmg.size()] = uint8_t(rng());
        dmg.resize(rng() % (dmg.size() + 1));
        // The check is the sanitizer's: no read outside the exactly-sized buffer.
        EXPECT_LE(decode_all(dmg, &end), 4) << "trial " << t;
    }
}

}  // namespace
