// Files as people have them. Each case is built at test time: lame, ffmpeg and twolame audio,
// with tags made here (large pictures, UTF-16 text, tags repeated and mid-stream, APEv2, ID3v2.4
// footers, Lyrics3, ID3v1) and junk in front. mp3dec must match mpg123 (run as a black box)
// within RMS 0.8 and 2 LSB: gapless, sample-exact in length, as both decode by default, and
// with every frame (--no-gapless); the in-memory player's whole-file decode and the streamed
// player at several block sizes must hand back exactly mp3dec's PCM of every frame.
#include <algorithm>
#include <functional>
#include <random>

#include "player_state.h"
#include "player_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes v;
    for (const Bytes& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

Bytes noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    // Plenty of sync-like pairs, as compressed pictures have.
    for (auto& b : v) b = rng() % 5 ? uint8_t(rng()) : 0xFF;
    return v;
}

void put_be32(Bytes* v, uint32_t x, bool syncsafe) {
    for (int i = 3; i >= 0; --i) v->push_back(uint8_t(syncsafe ? (x >> (7 * i)) & 127 : x >> (8 * i)));
}

// An ID3v2 frame (v2.3: plain 32-bit size; v2.4: syncsafe).
Bytes id3_frame(const char* id, const Bytes& body, int version) {
    Bytes f(id, id + 4);
    put_be32(&f, uint32_t(body.size()), version == 4);
    f.push_back(0);
    f.push_back(0);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// A UTF-16 text frame: encoding 1, byte order mark FF FE, little-endian text.
Bytes utf16_text(const char* id, const std::string& text, int version) {
    Bytes b = {1, 0xFF, 0xFE};
    for (char c : text) {
        b.push_back(uint8_t(c));
        b.push_back(0);
    }
    return id3_frame(id, b, version);
}

Bytes picture(size_t n, uint32_t seed, int version) {
    Bytes b = {0};
    const char* mime = "image/jpeg";
    b.insert(b.end(), mime, mime + 11);
    b.push_back(3);  // front cover
    b.push_back(0);  // empty description
    Bytes img = noise(n, seed);
    img[0] = 0xFF, img[1] = 0xD8;
    b.insert(b.end(), img.begin(), img.end());
    return id3_frame("APIC", b, version);
}

Bytes id3v2(int version, const Bytes& frames, bool footer = false, size_t padding = 0) {
    Bytes t = {'I', 'D', '3', uint8_t(version), 0, uint8_t(footer ? 0x10 : 0)};
    put_be32(&t, uint32_t(frames.size() + padding), true);
    t.insert(t.end(), frames.begin(), frames.end());
    t.insert(t.end(), padding, 0);
    if (footer) {
        Bytes f = {'3', 'D', 'I', uint8_t(version), 0, 0x10};
        put_be32(&f, uint32_t(frames.size() + padding), true);
        t.insert(t.end(), f.begin(), f.end());
    }
    return t;
}

Bytes id3v1() {
    Bytes t(128, 0);
    std::memcpy(t.data(), "TAGZivivev", 10);
    return t;
}

void put_le32(Bytes* v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v->push_back(uint8_t(x >> (8 * i)));
}

// APEv2 with one binary item (sync-like bytes), with or without its header.
Bytes ape(bool header) {
    Bytes items;
    Bytes value = noise(3000, 11);
    put_le32(&items, uint32_t(value.size()));
    put_le32(&items, 2u << 1);  // binary item
    const char* key = "Cover Art (Front)";
    items.insert(items.end(), key, key + std::strlen(key) + 1);
    items.insert(items.end(), value.begin(), value.end());
    auto block = [&](bool is_header) {
        Bytes b = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'};
        put_le32(&b, 2000);
        put_le32(&b, uint32_t(items.size() + 32));
        put_le32(&b, 1);
        put_le32(&b, (header ? 1u << 31 : 0) | (is_header ? 1u << 29 : 0));
        b.insert(b.end(), 8, 0);
        return b;
    };
    return header ? cat({block(true), items, block(false)}) : cat({items, block(false)});
}

Bytes lyrics3() {
    std::string body = "LYRICSBEGININD00002" "10" "LYR00020[00:01]Zivivev la la";
    char size[7];
    std::snprintf(size, sizeof size, "%06zu", body.size());
    std::string all = body + size + "LYRICS200";
    return Bytes(all.begin(), all.end());
}

// The frames of a lame file without its leading Info/Xing frame, from frame `from`.
Bytes frames_from(const Bytes& file, size_t from, size_t count = SIZE_MAX) {
    std::vector<size_t> offs = ptest::frame_offsets(file);
    if (from >= offs.size()) return {};
    size_t end = count < offs.size() - from ? offs[from + count] : file.size();
    return Bytes(file.begin() + long(offs[from]), file.begin() + long(end));
}

Bytes stereo() { return ptest::lame_file("rw_stereo", "44.1", 44100, 2, 3.0, "-b 128"); }
Bytes vbr() { return ptest::lame_file("rw_vbr", "44.1", 44100, 2, 3.0, "-V 2"); }

// A file made by a tool from the test PCM: {IN} and {OUT} in `cmd` become the raw input and
// output paths.
Bytes tool_file(const std::string& name, int rate, int channels, const std::string& cmd) {
    std::string raw = ziv::tmp_path(name + ".raw"), out = ziv::tmp_path(name + ".mp3");
    if (!ziv::file_exists(out)) {
        std::vector<int16_t> pcm = ptest::test_pcm(rate, channels, 3.0);
        ziv::write_file(raw, pcm.data(), pcm.size() * 2);
        std::string c = cmd;
        for (auto [k, v] : {std::pair<std::string, std::string>{"{IN}", raw}, {"{OUT}", out}})
            c.replace(c.find(k), k.size(), "'" + v + "'");
        if (ziv::run(c + " >/dev/null 2>&1") != 0) return {};
    }
    return ziv::read_file(out);
}

const char* kFfmpegIn = "ffmpeg -nostdin -y -f s16le -ar 44100 -ac 2 -i {IN} ";

struct Case {
    const char* name;
    std::function<Bytes()> build;
    // The audio alone, for cases built here: mpg123's decode of it is the reference, since
    // mpg123 itself may play a tag's bytes or lose a frame's reservoir at a tag. Null: the
    // file as it is.
    std::function<Bytes()> clean;
};

const Case kCases[] = {
    {"big_picture", [] { return cat({id3v2(3, cat({utf16_text("TIT2", "Song", 3), picture(300000, 1, 3)})), stereo(), id3v1()}); }, stereo},
    {"two_tags_utf16", [] { return cat({id3v2(3, picture(5000, 2, 3)), id3v2(4, utf16_text("TIT2", "Prepended", 4), false, 64), vbr()}); }, vbr},
    {"tag_mid_stream", [] {
         Bytes s = stereo();
         return cat({frames_from(s, 0, 60), id3v2(3, picture(20000, 3, 3)), frames_from(s, 60)});
     }, stereo},
    {"small_tag_mid_stream", [] {
         Bytes s = vbr();
         return cat({frames_from(s, 0, 30), id3v2(4, utf16_text("TIT2", "x", 4)), frames_from(s, 30)});
     }, vbr},
    {"ape_and_id3v1", [] { return cat({stereo(), ape(true), id3v1()}); }, stereo},
    {"ape_footer_only", [] { return cat({vbr(), ape(false)}); }, vbr},
    {"id3v24_footer", [] { return cat({id3v2(4, cat({utf16_text("TPE1", "Band", 4), picture(40000, 4, 4)}), true), stereo()}); }, stereo},
    {"lyrics3", [] { return cat({stereo(), lyrics3(), id3v1()}); }, stereo},
    {"junk_prefix", [] { return cat({noise(5000, 5), vbr()}); }, vbr},
    {"lame_picture_tag", [] {
         Bytes img = cat({{0xFF, 0xD8}, noise(60000, 6)});
         ziv::write_file(ziv::tmp_path("cover.jpg"), img.data(), img.size());
         return tool_file("rw_lame_ti", 22050, 1,
                          "lame --quiet -r -s 22.05 --bitwidth 16 --signed --little-endian -m m -b 48 "
                          "--add-id3v2 --ti '" + ziv::tmp_path("cover.jpg") + "' --tt Title {IN} {OUT}");
     }, nullptr},
    {"ffmpeg_lame_id3v24", [] {
         return tool_file("rw_ffmpeg_lame", 44100, 2, std::string(kFfmpegIn) +
                          "-c:a libmp3lame -b:a 192k -metadata title=Zivivev -metadata artist=Demo "
                          "-id3v2_version 4 -write_id3v1 1 {OUT}");
     }, nullptr},
    {"ffmpeg_shine", [] {
         return tool_file("rw_ffmpeg_shine", 44100, 2, std::string(kFfmpegIn) +
                          "-c:a libshine -b:a 128k -metadata title=Shine {OUT}");
     }, nullptr},
    {"ffmpeg_mp2", [] {
         return tool_file("rw_ffmpeg_mp2", 44100, 2, std::string(kFfmpegIn) +
                          "-c:a mp2 -b:a 224k -f mp2 {OUT}");
     }, nullptr},
    {"twolame_tagged", [] {
         Bytes s = tool_file("rw_twolame", 44100, 2, "twolame --quiet -r -s 44100 -N 2 -b 192 {IN} {OUT}");
         return cat({id3v2(3, utf16_text("TIT2", "Layer II", 3)), s, ape(true), id3v1()});
     }, nullptr},
};

std::string write_case(const std::string& name, const Bytes& data) {
    std::string path = ziv::tmp_path("case_" + name + ".mp3");
    ziv::write_file(path, data.data(), data.size());
    return path;
}

using ptest::to_signed;

// PCM handed back by the streamed player fed in blocks of `block` bytes as soon as it asks.
Bytes stream_pcm(const Bytes& file, int32_t block, int* result) {
    ptest::Streamed s = ptest::stream_in_blocks(file.data(), file.size(), block);
    *result = s.result;
    return std::move(s.pcm);
}

using ptest::same_then_silent;

class RealWorld : public ::testing::TestWithParam<Case> {};

TEST_P(RealWorld, Mp3decMatchesMpg123AndThePlayersMatchMp3dec) {
    for (const char* tool : {"lame", "mpg123", "ffmpeg", "twolame"}) ZIV_REQUIRE_TOOL(tool);
    const std::string name = GetParam().name;
    const Bytes data = GetParam().build();
    ASSERT_GT(data.size(), 10000u) << "building " << name << " failed";
    const std::string in = write_case(name, data), ours = ziv::tmp_path(name + ".ours.raw"),
                      ref = ziv::tmp_path(name + ".mpg123.raw");
    const std::string ref_in = GetParam().clean ? write_case(name + "_clean", GetParam().clean()) : in;
    ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' --no-gapless '" + in + "' '" + ours + "'"),
              0);
    ASSERT_EQ(ziv::run("mpg123 -q --no-gapless -s '" + ref_in + "' > '" + ref + "' 2>/dev/null"), 0);
    const Bytes pcm = ziv::read_file(ours);
    const std::vector<int16_t> a = ziv::to_s16(pcm), b = ziv::read_s16(ref);
    ASSERT_FALSE(b.empty());

    // mpg123 leaves out an Info/Xing frame, which mp3dec plays as one frame of silence.
    Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
    ASSERT_NE(p, nullptr);
    const int ch = mp3_is_stereo(p) ? 2 : 1;
    const long frame = long(p->format.frame_pcm_bytes / 2);
    const long offset = p->core->xing || std::memcmp(ptest::data_start(p) + 36, "Info", 4) == 0 ||
                                std::memcmp(ptest::data_start(p) + 21, "Info", 4) == 0
                            ? frame
                            : 0;
    ziv::PcmDiff d = ziv::pcm_diff(a, b, offset);
    EXPECT_TRUE(std::all_of(a.begin(), a.begin() + std::min(offset, long(a.size())),
                            [](int16_t v) { return v == 0; }))
        << "the Info frame is a frame of silence";
    std::printf("[ figures  ] %-20s %8zu bytes  %6zu samples  RMS %.3f  max %d\n", name.c_str(),
                data.size(), b.size() / size_t(ch), d.rms, d.max);
    EXPECT_EQ(long(a.size()) - offset, long(b.size())) << "same length";
    EXPECT_EQ(d.compared, b.size());
    EXPECT_LE(d.rms, 0.8);
    EXPECT_LE(d.max, 2);

    // Gapless, as both decode by default: the encoder's input, sample for sample in length.
    const std::string gl = ziv::tmp_path(name + ".gapless.raw"),
                      gref = ziv::tmp_path(name + ".mpg123g.raw");
    ASSERT_EQ(ziv::run("'" + ziv::mp3dec_path() + "' '" + in + "' '" + gl + "'"), 0);
    ASSERT_EQ(ziv::run("mpg123 -q -s '" + ref_in + "' > '" + gref + "' 2>/dev/null"), 0);
    const std::vector<int16_t> ga = ziv::read_s16(gl), gb = ziv::read_s16(gref);
    ziv::PcmDiff g = ziv::pcm_diff(ga, gb, 0);
    std::printf("[ figures  ] %-20s gapless %6zu samples (every frame: %zu)  RMS %.3f  max %d\n",
                name.c_str(), gb.size() / size_t(ch), a.size() / size_t(ch), g.rms, g.max);
    EXPECT_EQ(ga.size(), gb.size()) << "gapless length";
    EXPECT_EQ(g.compared, gb.size());
    EXPECT_LE(g.rms, 0.8);
    EXPECT_LE(g.max, 2);

    // The in-memory player's whole-file decode: mp3dec's PCM (a frame count from bytes may ask
    // for room beyond the frames, left silent).
    SAMPLE* s = mp3_decode_all(p);
    ASSERT_NE(s, nullptr);
    Bytes all = to_signed(static_cast<uint8_t*>(s->data), size_t(s->len) * 2 * size_t(ch));
    destroy_sample(s);
    mp3_destroy(p);
    Bytes want = pcm;
    if (all.size() < want.size()) {
        EXPECT_GE(all.size() + size_t(frame) * 2, want.size()) << "at most a frame short";
        want.resize(all.size());
    }
    EXPECT_TRUE(same_then_silent(all, want)) << "mp3_decode_all";

    for (int32_t block : {4096, 32768, int32_t(data.size()) + 1000}) {
        int r = 0;
        Bytes got = stream_pcm(data, block, &r);
        EXPECT_EQ(r, 1) << "block " << block;
        EXPECT_TRUE(same_then_silent(got, pcm)) << "streamed in blocks of " << block;
    }
    fake_al::reset();
}

// mp3dec's signed PCM of every frame of a file, its exit status and what it said on stderr.
Bytes mp3dec(const std::string& name, const Bytes& data, int* status, std::string* err) {
    const std::string in = write_case(name, data), out = ziv::tmp_path(name + ".raw"),
                      log = ziv::tmp_path(name + ".log");
    *status = ziv::run("'" + ziv::mp3dec_path() + "' --no-gapless '" + in + "' '" + out + "' 2>'" +
                       log + "'");
    Bytes e = ziv::read_file(log);
    err->assign(e.begin(), e.end());
    return ziv::read_file(out);
}

// Both players hand back exactly `want` for `data`: the whole-file decode and the streamed
// player at 4 KB and 32 KB blocks.
void players_give(const Bytes& data, const Bytes& want) {
    Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
    ASSERT_NE(p, nullptr);
    SAMPLE* s = mp3_decode_all(p);
    ASSERT_NE(s, nullptr);
    Bytes all = to_signed(static_cast<uint8_t*>(s->data), size_t(s->len) * 2 * (s->stereo ? 2 : 1));
    destroy_sample(s);
    mp3_destroy(p);
    EXPECT_TRUE(same_then_silent(all, want)) << "mp3_decode_all";
    for (int32_t block : {4096, 32768}) {
        int r = 0;
        EXPECT_TRUE(same_then_silent(stream_pcm(data, block, &r), want)) << "block " << block;
        EXPECT_EQ(r, 1);
    }
    fake_al::reset();
}

TEST(RealWorldStreams, StereoFramesOfAMonoFirstStreamAreMixed) {
    for (const char* tool : {"lame", "mpg123"}) ZIV_REQUIRE_TOOL(tool);
    // Without the bit reservoir every frame stands alone, so the frames of two files join.
    const Bytes mono = ptest::lame_file("rw_mono_nores", "44.1", 44100, 1, 2.0, "-b 64 --nores");
    const Bytes two = ptest::lame_file("rw_stereo_nores", "44.1", 44100, 2, 2.0, "-b 160 --nores");
    const size_t lead = 30;
    const Bytes joined = cat({frames_from(mono, 1, lead), frames_from(two, 1)});
    int st = 0;
    std::string err;
    const Bytes pcm = mp3dec("mono_first", joined, &st, &err);
    ASSERT_EQ(st, 0) << err;
    const std::string ref = ziv::tmp_path("rw_stereo_nores.mpg123.raw");
    ASSERT_EQ(ziv::run("mpg123 -q --no-gapless -s '" + ziv::tmp_path("rw_stereo_nores.mp3") +
                       "' > '" + ref + "' 2>/dev/null"), 0);
    const std::vector<int16_t> b = ziv::read_s16(ref), a = ziv::to_s16(pcm);
    std::vector<int16_t> mean(b.size() / 2);
    for (size_t i = 0; i < mean.size(); ++i) mean[i] = int16_t((b[2 * i] + b[2 * i + 1]) / 2);
    // One output channel throughout; from the second stereo frame on (the first still overlaps
    // the mono frames) the mean of the stereo decode.
    ASSERT_EQ(a.size(), lead * 1152 + mean.size());
    const long skip = 1152;
    std::vector<int16_t> tail(mean.begin() + skip, mean.end());
    ziv::PcmDiff d = ziv::pcm_diff(a, tail, long(lead * 1152) + skip);
    std::printf("[ figures  ] mono_first %zu mixed samples: RMS %.3f  max %d\n", d.compared, d.rms, d.max);
    EXPECT_EQ(d.compared, tail.size());
    EXPECT_LE(d.rms, 0.8);
    EXPECT_LE(d.max, 2);
    players_give(joined, pcm);
}

TEST(RealWorldStreams, ASplicedStreamOfAnotherRateEndsTheData) {
    ZIV_REQUIRE_TOOL("lame");
    const Bytes first = stereo();
    const Bytes other = ptest::lame_file("rw_mpeg2", "22.05", 22050, 1, 2.0, "-b 32");
    int st = 0, st_first = 0;
    std::string err, err_first;
    const Bytes alone = mp3dec("splice_first", first, &st_first, &err_first);
    const Bytes pcm = mp3dec("spliced", cat({first, other}), &st, &err);
    EXPECT_EQ(st, 0);
    EXPECT_NE(err.find("another MPEG audio stream"), std::string::npos) << err;
    EXPECT_TRUE(err_first.empty()) << err_first;
    EXPECT_EQ(pcm, alone) << "the first stream, and nothing of the second";
    players_give(cat({first, other}), alone);
}

INSTANTIATE_TEST_SUITE_P(Files, RealWorld, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
