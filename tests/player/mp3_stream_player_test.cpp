// Streamed player against the fake Allegro calls: files fed in blocks of many sizes decode to the
// same frames as the in-memory player, frames straddling blocks decode whole, the hand-over of
// blocks, underruns, the last block and its trailing tag, what a first block must hold, the
// stream controls, and random blocks of random data (run under AddressSanitizer to catch any read
// out of bounds). The first frame, the format, the frame count and the length are the core's
// and both players' (core_open_test, player_queries_test).
#include <random>

#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

using ptest::marks;

using StreamPlayer = ptest::FakeAllegro;

// Frames of 417 and 418 bytes (padding on every third frame).
std::vector<uint8_t> padded_stream(int n) { return ptest::synth_stream(n, nullptr, 417, true); }

struct FeedResult {
    std::vector<int> results;     // every non-zero poll result, then the last one
    std::vector<uint8_t> pcm;     // every buffer handed back, joined
    int blocks_given = 0;
};

// Feeds `file` in blocks of `block` bytes as soon as the player asks, polling by hand, until it
// stops. Bytes behind the valid count of the last block are filled with frames marked 999,
// which must never be decoded. `pattern`: use the pattern decoder instead of the real one.
FeedResult feed(const std::vector<uint8_t>& file, int32_t block, int32_t buffer_bytes, bool pattern) {
    FeedResult r;
    size_t at = std::min(size_t(block), file.size());
    bool last = at == file.size();
    std::vector<uint8_t> first(size_t(block), 0);
    std::memcpy(first.data(), file.data(), at);
    Mp3StreamPlayer* p = mp3s_create(first.data(), block, last);
    if (!p) {
        r.results.push_back(-100);
        return r;
    }
    if (pattern) mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
    mp3s_play(p, buffer_bytes, 255, 128);
    const uint8_t h[4] = {0xFF, 0xFB, 0x90, 0x64};
    std::vector<uint8_t> poison = ptest::synth_stream(1, h);
    poison[40] = 999 >> 8;
    poison[41] = 999 & 255;
    for (int i = 0; i < 100000; ++i) {
        uint8_t* nb = mp3s_next_block(p);
        if (nb && at < file.size()) {
            size_t n = std::min(size_t(block), file.size() - at);
            std::memcpy(nb, file.data() + at, n);
            for (size_t k = n; k < size_t(block); ++k) nb[k] = poison[(k - n) % poison.size()];
            at += n;
            mp3s_give_block(p, at == file.size() ? int32_t(n) : -1);
            ++r.blocks_given;
            // A first block too short to confirm its frame sets the decoder up only now.
            if (pattern) mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
        }
        int v = mp3s_poll(p);
        if (v != 0) {
            r.results.push_back(v);
            break;
        }
    }
    for (const auto& b : fake_al::st().handed) r.pcm.insert(r.pcm.end(), b.begin(), b.end());
    mp3s_destroy(p);
    return r;
}

// The frame marks of pattern-decoded PCM, one per frame (4608 bytes), trailing silence dropped.
std::vector<int> frame_marks(const std::vector<uint8_t>& pcm) {
    std::vector<int16_t> m = marks(pcm);
    std::vector<int> out;
    for (size_t f = 0; f + 2304 <= m.size(); f += 2304) {
        int v = m[f];
        for (size_t i = f; i < f + 2304; ++i)
            if (m[i] != v) return {-1}; // a frame torn apart
        out.push_back(v);
    }
    while (!out.empty() && out.back() == 0) out.pop_back();
    return out;
}

TEST_F(StreamPlayer, BlocksOfManySizesGiveEveryFrameOnceAndInOrder) {
    const int n = 40;
    std::vector<uint8_t> file = padded_stream(n);
    std::vector<int> want(n);
    for (int i = 0; i < n; ++i) want[size_t(i)] = i + 1;
    struct Case {
        int32_t block, buffer;
    } cases[] = {{417, 4608},  {418, 4608},  {500, 4608},     {1000, 4608}, {1999, 3 * 4608},
                 {4096, 3 * 4608}, {7001, 3 * 4608}, {int32_t(file.size()), 3 * 4608},
                 {int32_t(file.size()) + 300, 3 * 4608}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "block " << c.block << " buffer " << c.buffer);
        fake_al::reset();
        FeedResult r = feed(file, c.block, c.buffer, true);
        EXPECT_EQ(r.results, std::vector<int>{1});
        EXPECT_EQ(frame_marks(r.pcm), want);
        EXPECT_EQ(fake_al::st().gets, fake_al::st().frees);
        // Two silent buffers after the last one with data.
        size_t buf = size_t(c.buffer / 4608 * 4608);
        ASSERT_GE(r.pcm.size(), 2 * buf);
        for (size_t i = r.pcm.size() - 2 * buf; i < r.pcm.size(); i += 2)
            ASSERT_EQ(r.pcm[i] | r.pcm[i + 1] << 8, 0x8000) << "byte " << i;
    }
}

TEST_F(StreamPlayer, FirstBlockThatIsAlsoTheLast) {
    std::vector<uint8_t> file = padded_stream(5);
    Mp3StreamPlayer* p = mp3s_create(file.data(), int32_t(file.size()), 1);
    ASSERT_NE(p, nullptr);
    mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
    EXPECT_EQ(mp3s_next_block(p), nullptr);
    mp3s_play(p, 3 * 4608, 255, 128);
    std::vector<int> r;
    for (int i = 0; i < 10; ++i) {
        r.push_back(mp3s_poll(p));
        EXPECT_EQ(mp3s_next_block(p), nullptr);
        if (r.back() != 0) break;
    }
    EXPECT_EQ(r, (std::vector<int>{0, 0, 0, 1}));
    EXPECT_EQ(mp3s_current_frame(p), 5);
    EXPECT_EQ(mp3s_poll(p), -1);
    mp3s_destroy(p);
}

TEST_F(StreamPlayer, LeadingTagThenNoFrameInTheWholeDataGivesMinusTwo) {
    // An ID3v2 tag at the start of the first block says frames are to come; the blocks after it
    // hold none. Play waits for them; once the last block has come the poll reports -2.
    const int32_t block = 600;
    std::vector<uint8_t> first(size_t(block), 0);
    const uint8_t tag[10] = {'I', 'D', '3', 4, 0, 0, 0, 0, 1, 0}; // 128 bytes after the header
    std::memcpy(first.data(), tag, sizeof tag);
    Mp3StreamPlayer* p = mp3s_create(first.data(), block, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3s_play(p, 3 * 4608, 255, 128), 0);
    EXPECT_EQ(mp3s_is_playing(p), -1) << "waiting for the first frame";
    for (int32_t last : {-1, -1, 300}) {
        EXPECT_EQ(mp3s_poll(p), 0);
        uint8_t* nb = mp3s_next_block(p);
        ASSERT_NE(nb, nullptr);
        std::memset(nb, 0, size_t(block));
        mp3s_give_block(p, last);
    }
    EXPECT_EQ(mp3s_poll(p), -2);
    EXPECT_EQ(mp3s_is_playing(p), 0);
    EXPECT_EQ(mp3s_poll(p), -1);
    EXPECT_EQ(mp3s_play(p, 3 * 4608, 255, 128), -1) << "nothing to play";
    EXPECT_EQ(fake_al::st().plays, 0);
    mp3s_destroy(p);
}

TEST_F(StreamPlayer, UnderrunStopsWithMinusThreeAndResumesAfterTheNextBlock) {
    std::vector<uint8_t> file = padded_stream(20);
    Mp3StreamPlayer* p = mp3s_create(file.data(), 2000, 0);
    ASSERT_NE(p, nullptr);
    mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
    mp3s_play(p, 4608, 255, 128);
    // Four whole frames lie in the first 2000 bytes (1669 bytes); the fifth straddles its end.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(mp3s_poll(p), 0) << i;
    EXPECT_EQ(mp3s_poll(p), -3);
    EXPECT_EQ(mp3s_is_playing(p), 0);
    EXPECT_EQ(mp3s_current_frame(p), 4);
    EXPECT_EQ(ptest::stream_read_off(p), 1669) << "the cut frame waits at its first byte";
    // Feeding and playing again resume with the fifth frame, whole.
    uint8_t* nb = mp3s_next_block(p);
    ASSERT_NE(nb, nullptr);
    std::memcpy(nb, file.data() + 2000, 2000);
    mp3s_give_block(p, -1);
    ASSERT_EQ(mp3s_play(p, 4608, 255, 128), 0);
    EXPECT_EQ(mp3s_poll(p), 0);
    std::vector<int16_t> m = marks(fake_al::st().handed.back());
    EXPECT_EQ(m.front(), 5);
    EXPECT_EQ(m.back(), 5);
    mp3s_destroy(p);
}

TEST_F(StreamPlayer, UnderrunInTheJoinReleasesTheOlderBlockAndResumes) {
    // Blocks of 600 bytes, buffers of three frames; frames end at 417, 834, 1252, 1669, 2086,
    // 2504. The first buffer runs out of the join of blocks 1 and 2 after two frames: before
    // any buffer has played nothing is late, so it waits for block 3 and is then handed back.
    std::vector<uint8_t> file = padded_stream(12);
    Mp3StreamPlayer* p = mp3s_create(file.data(), 600, 0);
    ASSERT_NE(p, nullptr);
    mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
    auto give = [&](size_t at) {
        uint8_t* nb = mp3s_next_block(p);
        ASSERT_NE(nb, nullptr) << at;
        std::memcpy(nb, file.data() + at, 600);
        mp3s_give_block(p, -1);
    };
    give(600);
    mp3s_play(p, 3 * 4608, 255, 128);
    EXPECT_EQ(mp3s_poll(p), 0);
    EXPECT_TRUE(fake_al::st().handed.empty());
    give(1200);
    EXPECT_EQ(mp3s_poll(p), 0);
    ASSERT_EQ(fake_al::st().handed.size(), 1u);
    EXPECT_EQ(marks(fake_al::st().handed[0])[2 * 2304], 3);
    // The join of blocks 3 and 4 holds frames 4 and 5; the sixth straddles its end. That poll
    // used block 3 up and asked for block 5 itself, so block 5 is not late: the buffer is kept.
    give(1800);
    EXPECT_EQ(mp3s_poll(p), 0);
    EXPECT_EQ(fake_al::st().handed.size(), 1u);
    EXPECT_EQ(mp3s_current_frame(p), 5);
    // A poll later it still has not come: late.
    EXPECT_EQ(mp3s_poll(p), -3);
    EXPECT_EQ(mp3s_current_frame(p), 5);
    std::vector<int16_t> m = marks(fake_al::st().handed.at(1));
    EXPECT_EQ(m[0], 4);
    EXPECT_EQ(m[2304], 5);
    EXPECT_EQ(m[2 * 2304], 0);
    // The older block is free again; with the next one given, the sixth frame decodes whole.
    give(2400);
    // Frames 6 and 7 lie in the join of blocks 4 and 5; the eighth waits for block 6, which
    // that poll asked for.
    ASSERT_EQ(mp3s_play(p, 3 * 4608, 255, 128), 0);
    EXPECT_EQ(mp3s_poll(p), 0);
    EXPECT_EQ(fake_al::st().handed.size(), 2u);
    give(3000);
    EXPECT_EQ(mp3s_poll(p), 0);
    ASSERT_EQ(fake_al::st().handed.size(), 3u);
    m = marks(fake_al::st().handed.back());
    EXPECT_EQ(m[0], 6);
    EXPECT_EQ(m[2304 - 1], 6);
    EXPECT_EQ(m[2304], 7);
    EXPECT_EQ(m[2 * 2304], 8);
    mp3s_destroy(p);
}

TEST_F(StreamPlayer, NextBlockIsOfferedOnlyWhenTheOlderBlockIsUsedUp) {
    std::vector<uint8_t> file = padded_stream(30);
    const int32_t bs = 1500;
    Mp3StreamPlayer* p = mp3s_create(file.data(), bs, 0);
    ASSERT_NE(p, nullptr);
    mpeg_core_decoder(p->core)->decode_frame = ptest::pattern_decode;
    uint8_t* nb = mp3s_next_block(p);
    EXPECT_EQ(nb, p->win.buf + bs) << "right after the first block";
    std::memcpy(nb, file.data() + bs, size_t(bs));
    mp3s_give_block(p, -1);
    EXPECT_EQ(mp3s_next_block(p), nullptr);
    mp3s_give_block(p, 7); // not asked for: nothing
    EXPECT_EQ(p->last_bytes, -1);
    mp3s_play(p, 4608, 255, 128);
    // Frames end at 417, 834, 1252, 1669: the fourth poll passes the first block's end.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(mp3s_poll(p), 0);
        EXPECT_EQ(mp3s_next_block(p), nullptr) << "poll " << i;
    }
    EXPECT_EQ(mp3s_poll(p), 0);
    EXPECT_EQ(ptest::stream_read_off(p), 1669 - bs);
    nb = mp3s_next_block(p);
    EXPECT_EQ(nb, p->win.buf + bs) << "the older block is free again";
    EXPECT_EQ(p->win.base, bs) << "the older block dropped";
    // A last block with a count larger than a block is clamped, and no block is wanted again.
    std::memcpy(nb, file.data() + 2 * bs, size_t(bs));
    mp3s_give_block(p, 5000);
    EXPECT_EQ(p->last_bytes, bs);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(mp3s_next_block(p), nullptr);
        if (mp3s_poll(p) != 0) break;
    }
    EXPECT_EQ(mp3s_is_playing(p), 0);
    EXPECT_EQ(mp3s_current_frame(p), 10) << "the frames wholly inside 4500 bytes";
    mp3s_destroy(p);
}

TEST_F(StreamPlayer, TrailingTagIsSteppedOver) {
    std::vector<uint8_t> file = padded_stream(12);
    std::vector<uint8_t> tag(128, 'x');
    std::memcpy(tag.data(), "TAG", 3);
    file.insert(file.end(), tag.begin(), tag.end());
    for (int32_t block : {1000, int32_t(file.size())}) {
        fake_al::reset();
        FeedResult r = feed(file, block, 4608, true);
        EXPECT_EQ(r.results, std::vector<int>{1}) << block;
        EXPECT_EQ(frame_marks(r.pcm).size(), 12u) << block;
    }
}

// A first block that is not the last one must hold a sync and a whole frame; the controls of a
// stream once it has its first frame.
TEST_F(StreamPlayer, FirstBlockRulesAndStreamControls) {
    std::vector<uint8_t> file = padded_stream(10);
    std::vector<uint8_t> junk(1000, 0x11);
    EXPECT_EQ(mp3s_create(junk.data(), 1000, 0), nullptr) << "no sync";
    EXPECT_EQ(mp3s_create(file.data(), 400, 0), nullptr) << "smaller than one frame";
    Mp3StreamPlayer* p = mp3s_create(file.data(), 2000, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(mp3s_play(p, 4607, 255, 128), -1);
    EXPECT_EQ(mp3s_output_buffer(p, nullptr), nullptr);
    EXPECT_EQ(mp3s_play_ex(p, 3 * 4608, 255, 128, 1200), 0);
    EXPECT_EQ(fake_al::st().adj_freq, 1200);
    int32_t size = 0;
    EXPECT_EQ(mp3s_output_buffer(p, &size), fake_al::st().stream->samp->data);
    EXPECT_EQ(size, 3 * 4608);
    mp3s_adjust(p, 7, 8, 900);
    EXPECT_EQ(fake_al::st().adj_vol, 7);
    EXPECT_EQ(fake_al::st().adj_freq, 900);
    // Autopoll follows the stream as in the in-memory player.
    mp3s_start_autopoll(p, 25);
    EXPECT_EQ(fake_al::st().timers.size(), 1u);
    mp3s_stop(p);
    EXPECT_TRUE(fake_al::st().timers.empty());
    mp3s_play(p, 3 * 4608, 255, 128);
    EXPECT_EQ(fake_al::st().timers.size(), 1u);
    mp3s_stop_autopoll(p);
    EXPECT_TRUE(fake_al::st().timers.empty());
    mp3s_destroy(p);
    mp3s_destroy(nullptr);
}

TEST_F(StreamPlayer, RandomBlocksOfRandomDataStayInBounds) {
    uint32_t seed = ziv::test_seed();
    std::mt19937 rng(seed);
    std::vector<uint8_t> good = padded_stream(30);
    for (int round = 0; round < 150; ++round) {
        // Valid frames damaged at random, or random bytes with a header in front.
        std::vector<uint8_t> v = good;
        if (round % 2) {
            for (auto& b : v) b = uint8_t(rng() % 4 ? rng() : 0xFF);
            std::memcpy(v.data(), good.data(), 4);
        } else {
            for (int k = 0; k < 40; ++k) v[rng() % v.size()] = uint8_t(rng());
        }
        v.resize(418 + rng() % (v.size() - 418));
        int32_t block = int32_t(417 + rng() % 5000);
        fake_al::reset();
        FeedResult r = feed(v, block, int32_t(4608 * (1 + rng() % 4)), round % 3 == 0);
        ASSERT_FALSE(r.results.empty()) << "round " << round << ": never stopped";
    }
}

}  // namespace
