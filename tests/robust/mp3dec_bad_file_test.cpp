// mp3dec, run as a user would, on files that are not what they claim: missing, empty, random,
// all zeros, a tag that claims more bytes than the file has, a lame file cut at many points or
// with a hole punched in it, and an output it cannot write. Each gets its documented exit status
// (0 decoded, 2 nothing to decode or cannot write, 3 decoded up to a stretch with no frame) and
// never a crash; what it does decode is exactly the start of the whole file's decode.
#include "player_test_util.h"

#include <random>

namespace {

std::string q(const std::string& s) { return "'" + s + "'"; }

// Runs mp3dec on `bytes`, every frame decoded (--no-gapless: the Info frame too, nothing cut);
// returns its exit status and leaves its output in *pcm.
int decode(const std::string& name, const std::vector<uint8_t>& bytes, std::vector<uint8_t>* pcm) {
    std::string in = ziv::tmp_path(name + ".in"), out = ziv::tmp_path(name + ".out");
    static const uint8_t none = 0;  // an empty vector's data() may be null
    ziv::write_file(in, bytes.empty() ? &none : bytes.data(), bytes.size());
    std::remove(out.c_str());
    int st = ziv::run(q(ziv::mp3dec_path()) + " --no-gapless " + q(in) + " " + q(out) +
                      " 2>/dev/null");
    if (pcm) *pcm = ziv::read_file(out);
    return st;
}

TEST(Mp3decBadFiles, NothingToDecodeIsStatusTwo) {
    std::string missing = ziv::tmp_path("no-such-file.mp3");
    EXPECT_EQ(ziv::run(q(ziv::mp3dec_path()) + " " + q(missing) + " " +
                       q(ziv::tmp_path("x.pcm")) + " 2>/dev/null"),
              2);
    EXPECT_EQ(decode("empty", {}, nullptr), 2);
    EXPECT_EQ(decode("zeros", std::vector<uint8_t>(100000, 0), nullptr), 2);
    EXPECT_EQ(decode("ones", std::vector<uint8_t>(100000, 0xFF), nullptr), 2);
    // An ID3v2 tag of 0x7F7F7F7F bytes in a file of 2 KB, with a frame after its header.
    std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    std::vector<uint8_t> frames = ptest::synth_stream(4);
    tag.insert(tag.end(), frames.begin(), frames.end());
    EXPECT_EQ(decode("bigtag", tag, nullptr), 2);
    // A header alone: no whole frame, so nothing decoded (whether that counts as no MPEG audio
    // or as an empty decode).
    std::vector<uint8_t> pcm;
    int st = decode("header", {0xFF, 0xFB, 0x90, 0x64}, &pcm);
    EXPECT_TRUE(st == 0 || st == 2) << st;
    EXPECT_TRUE(pcm.empty());
}

TEST(Mp3decBadFiles, RandomBytesNeverCrashIt) {
    std::mt19937 rng(ziv::test_seed());
    for (int t = 0; t < 12; ++t) {
        std::vector<uint8_t> v(size_t(1000 + rng() % 60000));
        for (uint8_t& b : v) b = uint8_t(rng());
        // Every third file gets sync-rich noise: false headers everywhere.
        if (t % 3 == 0)
            for (size_t i = 0; i + 1 < v.size(); i += 1 + rng() % 200) {
                v[i] = 0xFF;
                v[i + 1] |= 0xE0;
            }
        int st = decode("random" + std::to_string(t), v, nullptr);
        EXPECT_TRUE(st == 0 || st == 2 || st == 3) << "file " << t << ": status " << st;
    }
}

TEST(Mp3decBadFiles, ACutFileDecodesItsWholeFramesAndAHoleIsSteppedOver) {
    ZIV_REQUIRE_TOOL("lame");
    std::vector<uint8_t> mp3 = ptest::lame_file("mp3dec_cut", "44.1", 44100, 2, 2.0, "-b 160");
    ASSERT_FALSE(mp3.empty());
    std::vector<uint8_t> ref;
    ASSERT_EQ(decode("whole", mp3, &ref), 0);
    std::vector<size_t> offs = ptest::frame_offsets(mp3);
    const size_t frame_pcm = 4608;
    ASSERT_EQ(ref.size(), offs.size() * frame_pcm);
    auto whole_frames = [&](size_t n) {
        size_t k = 0;
        while (k < offs.size() && (k + 1 < offs.size() ? offs[k + 1] : mp3.size()) <= n) ++k;
        return k;
    };
    for (size_t n = offs[1] - 2; n < mp3.size(); n += 1409) {
        SCOPED_TRACE("cut at " + std::to_string(n));
        std::vector<uint8_t> cut(mp3.begin(), mp3.begin() + long(n)), pcm;
        EXPECT_EQ(decode("cut", cut, &pcm), whole_frames(n) ? 0 : 2) << "no whole frame: no audio";
        // The frame the cut runs through is the end: nothing of it, nor of a false sync found
        // among its bytes, is decoded.
        EXPECT_EQ(pcm.size(), whole_frames(n) * frame_pcm);
        ASSERT_LE(pcm.size(), ref.size());
        EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), ref.begin()));
    }
    // A hole of zeros longer than four frames in the middle: what came before, then the frames
    // after the hole, the decoder's state settled again well before the end.
    std::vector<uint8_t> holed = mp3, pcm;
    size_t at = offs[offs.size() / 2] + 100;
    std::fill(holed.begin() + long(at), holed.begin() + long(at + 3000), uint8_t(0));
    EXPECT_EQ(decode("holed", holed, &pcm), 0);
    size_t intact = whole_frames(at) * frame_pcm;
    ASSERT_GE(pcm.size(), intact + 10 * frame_pcm);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + long(intact), ref.begin()));
    EXPECT_TRUE(std::equal(pcm.end() - long(10 * frame_pcm), pcm.end(), ref.end() - long(10 * frame_pcm)));
    EXPECT_LE(pcm.size(), ref.size());
}

TEST(Mp3decBadFiles, AnOutputItCannotWriteIsStatusTwo) {
    std::vector<uint8_t> frames = ptest::synth_stream(4);
    std::string in = ziv::tmp_path("unwritable.mp3");
    ziv::write_file(in, frames.data(), frames.size());
    std::string dir = ziv::tmp_path("out-is-a-dir");
    ASSERT_EQ(ziv::run("mkdir -p " + q(dir)), 0);
    EXPECT_EQ(ziv::run(q(ziv::mp3dec_path()) + " " + q(in) + " " + q(dir) + " 2>/dev/null"), 2);
}

}  // namespace
