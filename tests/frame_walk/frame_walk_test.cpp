// The shared frame walk: ID3 tags, the first frame (with and without a search), decoding frame
// by frame with resynchronisation, the end of the data and bounded reads (run under ASan: the
// inputs live in exactly-sized heap buffers).
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decoder_util.h"
#include "frame_walk.h"
#include "test_util.h"

namespace {

// A silent MPEG-1 Layer III frame: 128 kbit/s, 44.1 kHz, joint stereo, 417 bytes (418 padded),
// all side information zero (main_data_begin 0, empty granules).
std::vector<uint8_t> silent_frame(bool padded = false) {
    std::vector<uint8_t> f(padded ? 418 : 417, 0);
    f[0] = 0xFF;
    f[1] = 0xFB;
    f[2] = padded ? 0x92 : 0x90;
    f[3] = 0x64;
    return f;
}

void append(std::vector<uint8_t>* v, const std::vector<uint8_t>& w) { v->insert(v->end(), w.begin(), w.end()); }

std::vector<uint8_t> frames(int n) {
    std::vector<uint8_t> v;
    for (int i = 0; i < n; ++i) append(&v, silent_frame(i % 3 == 1));
    return v;
}

struct Walker : ziv::TestDecoder {
    std::vector<uint8_t> out = std::vector<uint8_t>(4608);
    int32_t frame_bytes = 0;
    bool setup(const uint8_t* p, int32_t n) {
        MpegHeader h;
        int32_t br = 0, off = 0;
        frame_bytes = mp3_first_frame(p, n, 0, &h, &br, &off);
        return frame_bytes > 0 && TestDecoder::setup(h, frame_bytes);
    }
    // Walks the whole buffer (held in an exactly-sized heap copy); returns the frame count and
    // the final result.
    int walk(const std::vector<uint8_t>& data, int32_t* last) {
        std::unique_ptr<uint8_t[]> exact = ziv::exact_copy(data, data.size());
        int32_t pos = 0, n = 0, r;
        InOut io;
        while ((r = mp3_walk_frame(d.get(), exact.get(), int32_t(data.size()), &pos, frame_bytes,
                                   out.data(), &io)) == MP3_WALK_FRAME) {
            ++n;
            EXPECT_EQ(2304 * 2, io.out_bytes);
            EXPECT_LE(pos, int32_t(data.size()));
        }
        *last = r;
        return n;
    }
};

TEST(FrameWalkTags, Id3v2AndTrailingTag) {
    std::vector<uint8_t> audio = frames(2);
    const uint8_t* start = nullptr;
    int32_t len = 0;

    std::vector<uint8_t> v = {'I', 'D', '3', 4, 0, 0x00, 0, 0, 1, 5};  // size 133, no footer
    v.resize(10 + 133, 0);
    append(&v, audio);
    ASSERT_EQ(1, mp3_strip_tags(v.data(), int32_t(v.size()), &start, &len));
    EXPECT_EQ(v.data() + 143, start);
    EXPECT_EQ(int32_t(audio.size()), len);

    v[5] = 0x10;  // footer present: 10 more bytes belong to the tag
    v.insert(v.begin() + 143, 10, 0);
    std::vector<uint8_t> tag(128, 0);
    std::memcpy(tag.data(), "TAG", 3);
    append(&v, tag);
    ASSERT_EQ(1, mp3_strip_tags(v.data(), int32_t(v.size()), &start, &len));
    EXPECT_EQ(v.data() + 153, start);
    EXPECT_EQ(int32_t(audio.size()), len) << "trailing TAG block excluded";

    // A tag claiming more bytes than there are is a failure, not a start past the end.
    std::vector<uint8_t> big = {'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    big.resize(300, 0);
    EXPECT_EQ(0, mp3_strip_tags(big.data(), int32_t(big.size()), &start, &len));
    // Size bytes with bit 7 set are taken whole (and here exceed the data).
    big[6] = 0xFF;
    EXPECT_EQ(0, mp3_strip_tags(big.data(), int32_t(big.size()), &start, &len));

    // Too short to hold the tags looked at: nothing is stripped.
    const uint8_t tiny[5] = {'I', 'D', '3', 0, 0};
    ASSERT_EQ(1, mp3_strip_tags(tiny, 5, &start, &len));
    EXPECT_EQ(tiny, start);
    EXPECT_EQ(5, len);
}

TEST(FrameWalkFirstFrame, SearchPassesJunkAndFalseSyncs) {
    std::vector<uint8_t> v = {0x00, 0xFF, 0xF0, 0x00, 0x00, 0x12, 0xFF, 0xFF, 0x00};  // unusable syncs
    const size_t junk = v.size();
    append(&v, frames(3));
    MpegHeader h;
    int32_t br = 0, off = -1;
    EXPECT_EQ(0, mp3_first_frame(v.data(), int32_t(v.size()), 0, &h, &br, &off))
        << "without a search the frame must begin at the first byte";
    EXPECT_EQ(417, mp3_first_frame(v.data(), int32_t(v.size()), 1, &h, &br, &off));
    EXPECT_EQ(int32_t(junk), off);
    EXPECT_EQ(128000, br);
    std::vector<uint8_t> none(2000, 0x00);
    EXPECT_EQ(0, mp3_first_frame(none.data(), int32_t(none.size()), 1, &h, &br, &off));
}

TEST(FrameWalk, FramesResyncAndEnd) {
    Walker w;
    std::vector<uint8_t> v = frames(5);
    ASSERT_TRUE(w.setup(v.data(), int32_t(v.size())));
    int32_t last;
    EXPECT_EQ(5, w.walk(v, &last));
    EXPECT_EQ(MP3_WALK_END, last);

    // Junk between frames is stepped over byte by byte.
    std::vector<uint8_t> j = frames(2);
    j.insert(j.end(), 100, 0x00);
    append(&j, frames(3));
    EXPECT_EQ(5, w.walk(j, &last));
    EXPECT_EQ(MP3_WALK_END, last);

    // A last frame cut short is the end of the data.
    std::vector<uint8_t> cut = frames(5);
    cut.resize(cut.size() - 200);
    EXPECT_EQ(4, w.walk(cut, &last));
    EXPECT_EQ(MP3_WALK_END, last);

    // A cut frame holding a false sync whose small "frame" fits in what is left: the walk ends
    // at the cut frame instead of playing the false one.
    std::vector<uint8_t> trap = frames(4);
    const size_t cut_at = trap.size() - 417;
    const uint8_t false_frame[4] = {0xFF, 0xFB, 0x10, 0xC4};  // 32 kbit/s mono, 104 bytes
    std::memcpy(trap.data() + cut_at + 100, false_frame, 4);
    trap.resize(cut_at + 300);
    EXPECT_EQ(3, w.walk(trap, &last));
    EXPECT_EQ(MP3_WALK_END, last);
    {
        int32_t pos = int32_t(cut_at);
        InOut io;
        EXPECT_EQ(MP3_WALK_END, mp3_walk_frame(w.d.get(), trap.data(), int32_t(trap.size()), &pos,
                                               417, w.out.data(), &io));
        EXPECT_EQ(int32_t(cut_at), pos) << "the walk stops at the cut frame";
    }

    // More junk than 4 frame sizes: the walk is lost.
    std::vector<uint8_t> lost = frames(1);
    lost.insert(lost.end(), 4 * 417 + 10, 0x00);
    append(&lost, frames(2));
    EXPECT_EQ(1, w.walk(lost, &last));
    EXPECT_EQ(MP3_WALK_LOST, last);

    // Just under the limit still finds the next frame.
    std::vector<uint8_t> near = frames(1);
    near.insert(near.end(), 4 * 417 - 1, 0x00);
    append(&near, frames(2));
    EXPECT_EQ(3, w.walk(near, &last));
}

TEST(FrameWalk, EveryCutAndRandomDamageStaysInBounds) {
    Walker w;
    std::vector<uint8_t> v = frames(4);
    ASSERT_TRUE(w.setup(v.data(), int32_t(v.size())));
    int32_t last;
    const size_t ends[4] = {417, 835, 1252, 1669};  // the second frame is padded
    for (size_t n = 0; n <= v.size(); n += 7) {
        std::vector<uint8_t> cut(v.begin(), v.begin() + long(n));
        int whole = 0;
        for (size_t e : ends) whole += e <= n;
        EXPECT_EQ(whole, w.walk(cut, &last)) << "cut at " << n;
        EXPECT_EQ(MP3_WALK_END, last) << "cut at " << n;
    }
    std::mt19937 rng(ziv::test_seed());
    for (int t = 0; t < 200; ++t) {
        std::vector<uint8_t> dmg = v;
        for (int k = 0; k < 20; ++k) dmg[rng() % dmg.size()] = uint8_t(rng());
        dmg.resize(rng() % (dmg.size() + 1));
        // The check is the sanitizer's: no read outside the exactly-sized buffer.
        EXPECT_LE(w.walk(dmg, &last), 4) << "trial " << t;
    }
}

}  // namespace
