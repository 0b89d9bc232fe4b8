// Both players with the real decoder on lame files cut short or damaged, as a soundtrack copied
// in part or a damaged download would reach them. Every input lies in a buffer of exactly its
// own size, so that the sanitizer build catches any read past it. A cut is the end of the data:
// the frames wholly inside it play exactly as in mp3dec's decode of the whole file, then silence,
// and the player stops with result 1; damage leaves everything before it untouched.
#include "player_state.h"
#include "player_test_util.h"

#include <memory>
#include <random>

namespace {

using ptest::handed_signed;
using ziv::exact_copy;

// Where a and b first differ in [0, n), or n.
size_t first_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (i >= a.size() || i >= b.size() || a[i] != b[i]) return i;
    return n;
}

struct Source {
    const char* name;
    const char* tool;  // lame or twolame
    const char* args;
};

std::vector<uint8_t> encode(const Source& src) {
    std::string name = std::string("cut_") + src.name;
    if (std::string(src.tool) == "lame")
        return ptest::lame_file(name, "44.1", 44100, 2, 2.5, src.args);
    return ptest::twolame_file(name, 44100, 2, 2.5, src.args);
}

void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }

class CutData : public ptest::FakeAllegroTest<::testing::TestWithParam<Source>> {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        ZIV_REQUIRE_TOOL(GetParam().tool);
        data_ = encode(GetParam());
        ASSERT_FALSE(data_.empty()) << GetParam().tool << " failed";
        std::string in = ziv::tmp_path(std::string("cut_") + GetParam().name + ".mp3");
        std::string out = ziv::tmp_path(std::string("cut_") + GetParam().name + ".pcm");
        ASSERT_TRUE(ziv::write_file(in, data_.data(), data_.size()));
        ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' --no-gapless '" + in + "' '" + out + "'"),
                  0);
        ref_ = ziv::read_file(out);
        offsets_ = ptest::frame_offsets(data_);
        ASSERT_GT(offsets_.size(), 20u);
        ASSERT_EQ(ref_.size(), offsets_.size() * kFramePcm) << "mp3dec and the frame count differ";
    }

    // Frames wholly inside the first n bytes.
    size_t whole_frames(size_t n) const {
        size_t k = 0;
        while (k < offsets_.size()) {
            size_t end = k + 1 < offsets_.size() ? offsets_[k + 1] : data_.size();
            if (end > n) break;
            ++k;
        }
        return k;
    }

    static constexpr size_t kFramePcm = 1152 * 2 * 2;
    std::vector<uint8_t> data_, ref_;
    std::vector<size_t> offsets_;
};

TEST_P(CutData, InMemoryPlayerPlaysTheWholeFramesOfACutThenStops) {
    std::vector<size_t> cuts = {4, offsets_[1] - 1, offsets_[1], offsets_[1] + 1, offsets_[2] + 4};
    for (size_t n = offsets_[2] + 37; n < data_.size(); n += 613) cuts.push_back(n);
    for (size_t n : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        fake_al::reset();
        auto bytes = exact_copy(data_, n);
        Mp3Player* p = mp3_create(bytes.get(), int32_t(n));
        if (whole_frames(n) == 0) {
            EXPECT_EQ(p, nullptr) << "no whole frame: nothing to play";
            mp3_destroy(p);
            continue;
        }
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        int r = 0;
        for (int i = 0; i < 10000 && r == 0; ++i) r = mp3_poll(p);
        EXPECT_EQ(r, 1) << "a cut tail must end the data, not lose the stream";
        std::vector<uint8_t> pcm = handed_signed();
        size_t want = whole_frames(n) * kFramePcm;
        EXPECT_TRUE(ptest::same_then_silent(pcm, ref_, want)) << "the whole frames, then silence";
        mp3_destroy(p);
    }
}

TEST_P(CutData, DecodeAllOfACutMatchesItsPolls) {
    for (size_t n : {offsets_[1] + 1, offsets_[7] + 100, data_.size() / 2 + 3, data_.size() - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        fake_al::reset();
        auto bytes = exact_copy(data_, n);
        Mp3Player* p = mp3_create(bytes.get(), int32_t(n));
        ASSERT_NE(p, nullptr);
        SAMPLE* s = mp3_decode_all(p);
        ASSERT_NE(s, nullptr);
        size_t len = size_t(s->len) * 4;
        std::vector<uint8_t> pcm = ptest::to_signed(static_cast<const uint8_t*>(s->data), len);
        size_t want = whole_frames(n) * kFramePcm;
        EXPECT_TRUE(ptest::same_then_silent(pcm, ref_, want));
        destroy_sample(s);
        mp3_destroy(p);
    }
}

TEST_P(CutData, StreamedPlayerEndsAtACutInsideItsLastBlock) {
    for (size_t n : {offsets_[3] + 211, data_.size() / 2 + 1, data_.size() - 2}) {
        for (int32_t block : {4096, 10000}) {
            SCOPED_TRACE("cut at " + std::to_string(n) + ", blocks of " + std::to_string(block));
            auto bytes = exact_copy(data_, n);
            const ptest::Streamed s = ptest::stream_in_blocks(bytes.get(), n, block);
            ASSERT_TRUE(s.created);
            ASSERT_TRUE(s.played);
            EXPECT_EQ(s.result, 1);
            size_t want = whole_frames(n) * kFramePcm;
            EXPECT_TRUE(ptest::same_then_silent(s.pcm, ref_, want));
        }
    }
}

// Streaming the whole file: every block boundary cuts a frame for a moment, and that frame must
// wait for the next block rather than be passed over.
TEST_P(CutData, StreamedPlayerWaitsAtEveryBlockBoundary) {
    int bad = 0;
    for (int32_t block = 2048; block < 12000 && bad < 3; block += 331) {
        SCOPED_TRACE("blocks of " + std::to_string(block));
        const ptest::Streamed s = ptest::stream_in_blocks(data_.data(), data_.size(), block);
        ASSERT_TRUE(s.created);
        ASSERT_TRUE(s.played);
        EXPECT_EQ(s.result, 1);
        size_t d = first_difference(s.pcm, ref_, ref_.size());
        EXPECT_EQ(d, ref_.size()) << "first difference in frame " << d / kFramePcm;
        bad += d != ref_.size() || s.result != 1;
    }
}

TEST_P(CutData, DamageLeavesTheFramesBeforeItAlone) {
    std::mt19937 rng(ziv::test_seed());
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        fake_al::reset();
        std::vector<uint8_t> v = data_;
        // A burst of random bytes somewhere after the first three frames.
        size_t from = offsets_[3] + rng() % (v.size() - offsets_[3]);
        size_t len = 1 + rng() % 3000;
        for (size_t i = from; i < std::min(v.size(), from + len); ++i) v[i] = uint8_t(rng());
        size_t n = v.size() - (trial % 2 ? rng() % 700 : 0);
        auto bytes = exact_copy(v, n);
        Mp3Player* p = mp3_create(bytes.get(), int32_t(n));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(mp3_play(p, 16384, 255, 128), 0);
        int r = 0;
        for (int i = 0; i < 10000 && r == 0; ++i) r = mp3_poll(p);
        EXPECT_EQ(r, MP3_ENDED);
        // Frames that end before the damage decode as in the whole file.
        size_t intact = whole_frames(std::min(from, n)) * kFramePcm;
        EXPECT_EQ(first_difference(handed_signed(), ref_, intact), intact);
        mp3_destroy(p);
    }
}

const Source kSources[] = {
    {"cbr", "lame", "-b 128"},        // an Info frame first, as in the demo's soundtrack
    {"vbr", "lame", "-V 2"},          // a Xing header whose frame count overstates a cut file
    {"layer2", "twolame", "-b 192"},  // Layer II: no reservoir, every frame on its own
};

INSTANTIATE_TEST_SUITE_P(Encoded, CutData, ::testing::ValuesIn(kSources),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
