// The frame synchronisation on its own: tag signatures and the cut of trailing tags, the
// confirmation that keeps false syncs out, another stream ending this one, and the same frames
// found whether the data comes whole or in windows of any size (the inputs live in exactly-sized
// heap buffers, so the sanitizer build catches any read past a window).
#include <memory>
#include <random>
#include <vector>

#include "frame_sync.h"
#include "tags.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

void add(Bytes* v, const Bytes& w) { v->insert(v->end(), w.begin(), w.end()); }

// n frames of MPEG-1 Layer III, 128 kbit/s, 44.1 kHz (417 bytes, every third padded), or of
// the sampling frequency in b2 with its size.
Bytes frames(int n, uint8_t b2 = 0x90, size_t size = 417) {
    Bytes v;
    for (int i = 0; i < n; ++i) {
        Bytes f(size + (i % 3 == 2), 0x11);
        f[0] = 0xFF, f[1] = 0xFB, f[2] = uint8_t(b2 | (i % 3 == 2 ? 2 : 0)), f[3] = 0x64;
        add(&v, f);
    }
    return v;
}

Bytes id3v2(size_t body, bool footer) {
    Bytes t = {'I', 'D', '3', 4, 0, uint8_t(footer ? 0x10 : 0), uint8_t(body >> 21 & 127),
               uint8_t(body >> 14 & 127), uint8_t(body >> 7 & 127), uint8_t(body & 127)};
    for (size_t i = 0; i < body; ++i) t.push_back(i % 2 ? 0xFE : 0xFF);  // UTF-16 marks all over
    if (footer) add(&t, {'3', 'D', 'I', 4, 0, 0x10, t[6], t[7], t[8], t[9]});
    return t;
}

Bytes ape_footer(size_t items) {
    Bytes t(items, 0xFF);
    add(&t, {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0});
    const uint32_t size = uint32_t(items + 32);
    add(&t, {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), 0, 1, 0, 0, 0, 0, 0, 0, 0});
    t.resize(t.size() + 8, 0);
    return t;
}

Bytes id3v1() {
    Bytes t(128, 0xFF);
    t[0] = 'T', t[1] = 'A', t[2] = 'G';
    return t;
}

// Frame offsets found in `data` fed in windows of `window` bytes (0: whole), and how it ended.
std::vector<int64_t> walk(const Bytes& data, size_t window, int32_t* end) {
    std::vector<int64_t> found;
    Mp3Sync s;
    mp3_sync_init(&s);
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
            r = mp3_sync_lock(&s, exact.get(), int32_t(held.size()), final, &pos, &h, &fb, &br);
            // Locked on the first frame: the next call gives it, with its padded size.
            if (r == MP3_SYNC_FRAME) {
                locked = true;
                continue;
            }
        } else {
            r = mp3_sync_next(&s, exact.get(), int32_t(held.size()), final, &pos, &size);
        }
        if (r == MP3_SYNC_FRAME) {
            found.push_back(base + pos);
            pos += size;
            mp3_sync_taken(&s);
            continue;
        }
        if (r != MP3_SYNC_MORE) {
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

TEST(Tags, SignaturesAndTrailingTags) {
    EXPECT_EQ(mp3_tag_at(id3v2(300, false).data(), 310, 0), 310);
    EXPECT_EQ(mp3_tag_at(id3v2(300, true).data(), 50, 0), 320) << "size known from the header";
    EXPECT_EQ(mp3_tag_at(id3v2(300, false).data(), 6, 0), MP3_TAG_UNSURE);
    Bytes bad = id3v2(300, false);
    bad[7] = 0x80;  // not syncsafe: no tag
    EXPECT_EQ(mp3_tag_at(bad.data(), 310, 0), 0);
    Bytes ape = ape_footer(100);
    EXPECT_EQ(mp3_tag_at(ape.data() + 100, 32, 0), 32);
    EXPECT_EQ(mp3_tag_at(id3v1().data(), 128, 0), 0) << "ID3v1 only where something ended";
    EXPECT_EQ(mp3_tag_at(id3v1().data(), 128, 1), 128);

    Bytes v = frames(3);
    const int32_t audio = int32_t(v.size());
    std::string lyr = "LYRICSBEGININD0000210000021LYRICS200";
    add(&v, id3v2(50, true));
    add(&v, Bytes(lyr.begin(), lyr.end()));
    add(&v, ape);
    add(&v, id3v1());
    EXPECT_EQ(mp3_trailing_tags(v.data(), int32_t(v.size())), audio);
}

TEST(FrameSync, ConfirmationOtherStreamsAndEnds) {
    // A lone header in junk is not confirmed; the real stream behind it is.
    Bytes v = {0xFF, 0xFB, 0x90, 0x64};
    v.resize(1500, 0);
    add(&v, frames(3));
    int32_t end = 0;
    EXPECT_EQ(walk(v, 0, &end), (std::vector<int64_t>{1500, 1917, 2334}));
    EXPECT_EQ(end, MP3_SYNC_END);
    // A single frame followed by the end of the data counts.
    EXPECT_EQ(walk(frames(1), 0, &end).size(), 1u);
    // 48 kHz frames after the 44.1 kHz ones: another stream, which ends this one.
    Bytes spliced = frames(4);
    add(&spliced, frames(3, 0x94, 384));
    EXPECT_EQ(walk(spliced, 0, &end).size(), 4u);
    EXPECT_EQ(end, MP3_SYNC_OTHER);
    // Random data holds no stream.
    std::mt19937 rng(ziv::test_seed());
    Bytes noise(200000);
    for (auto& b : noise) b = uint8_t(rng());
    EXPECT_TRUE(walk(noise, 0, &end).empty());
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
    EXPECT_EQ(end, MP3_SYNC_END);
    for (size_t w : {1, 3, 417, 1000, 4096, 65536}) {
        SCOPED_TRACE(w);
        EXPECT_EQ(walk(v, w, &end), whole);
        EXPECT_EQ(end, MP3_SYNC_END);
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
        EXPECT_EQ(end, MP3_SYNC_END);
    }
}

}  // namespace
