// Layer I and II output against references: the conformance streams with their reference PCM,
// and Layer II files made here with twolame and ffmpeg's mp2 encoder, decoded by mpg123 run as a
// black box. Prints a table of the differences (RMS and largest, in 16-bit LSB).
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "decoder_util.h"
#include "decoder_state.h"
#include "test_util.h"

namespace {

struct Decoded {
    std::vector<int16_t> pcm;
    MpegOutputFormat format{};
    int frames = 0;
    bool ok = false;
};

// Decodes a whole file frame by frame, moving on one byte when the decoder rejects the bytes
// and stopping at a frame cut short by the end of the file.
Decoded decode_bytes(const std::vector<uint8_t>& data, int32_t reduction = 0, int32_t convert = 0) {
    Decoded r;
    const int32_t n = int32_t(data.size());
    MpegHeader h;
    int32_t rate = 0, off = 0;
    const int32_t fb = mpeg_header_find(data.data(), n, &h, &rate, &off);
    if (fb <= 0) return r;
    ziv::TestDecoder dec;
    MpegDecoder* d = dec.get();
    if (!dec.init_ok || !dec.setup(h, fb, reduction, convert)) return r;
    mpeg_decoder_get_format(d, &r.format);
    std::vector<uint8_t> buf(size_t(r.format.out_samples) * 2);
    for (int32_t pos = off; n - pos >= 4;) {
        MpegInOut io = mpeg_decode_frame(d, data.data() + pos, n - pos, buf.data());
        if (io.in_bytes <= 0) { ++pos; continue; }
        if (io.in_bytes > n - pos) break;  // the last frame is cut short
        const size_t old = r.pcm.size();
        r.pcm.resize(old + size_t(io.out_bytes) / 2);
        std::memcpy(r.pcm.data() + old, buf.data(), size_t(io.out_bytes / 2) * 2);
        pos += io.in_bytes;
        ++r.frames;
    }
    r.ok = true;
    return r;
}

Decoded decode_file(const std::string& path, int32_t reduction = 0, int32_t convert = 0) {
    return decode_bytes(ziv::read_file(path), reduction, convert);
}

void print_row(const std::string& name, const Decoded& dec, const ziv::PcmDiff& diff) {
    std::printf("[ figures  ] %-28s %5d Hz %d ch %4d frames  rms %.4f  max %d (at %zu of %zu)\n",
                name.c_str(), dec.format.sample_rate, dec.format.channels, dec.frames, diff.rms,
                diff.max, diff.max_at, diff.compared);
}

struct Vector {
    const char* name;
    int rate;
    int channels;
};

// The references are rounded from a high-precision decoder and zero-padded past the stream's
// end: compare over our decoded length; a truncating decoder sits near 0.6-0.7 LSB RMS.
TEST(Layer12Golden, ConformanceStreamsMatchTheirReferences) {
    const Vector vectors[] = {{"l1-fl1", 32000, 2}, {"l1-fl2", 44100, 2}, {"l1-fl3", 48000, 2},
                              {"l1-fl4", 32000, 1}, {"l2-fl10", 32000, 2}, {"l2-fl11", 44100, 2},
                              {"l2-fl12", 48000, 2}, {"l2-fl13", 32000, 1}};
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.name);
        const std::string base = ziv::vector_path(v.name);
        ASSERT_TRUE(ziv::file_exists(base + ".bit")) << base << ".bit missing";
        Decoded dec = decode_file(base + ".bit");
        ASSERT_TRUE(dec.ok) << v.name << ": set-up failed";
        EXPECT_EQ(dec.format.sample_rate, v.rate);
        EXPECT_EQ(dec.format.channels, v.channels);
        EXPECT_EQ(dec.frames, 49);
        const std::vector<int16_t> ref = ziv::read_s16(base + ".pcm");
        ASSERT_GE(ref.size(), dec.pcm.size()) << "reference shorter than our output";
        ziv::PcmDiff diff = ziv::pcm_diff(ref, dec.pcm);
        print_row(v.name, dec, diff);
        EXPECT_EQ(diff.compared, dec.pcm.size());
        EXPECT_LE(diff.rms, 0.75) << v.name;
        EXPECT_LE(diff.max, 1) << v.name << " sample " << diff.max_at;
    }
}

// Three seconds of test signal with the channels different, so channel mix-ups show.
std::string make_source(int rate, int channels) {
    const std::string path = ziv::tmp_path("src_" + std::to_string(rate) + "_" +
                                           std::to_string(channels) + ".wav");
    if (ziv::file_exists(path)) return path;
    // A sweep on the left, a steady tone on the right, pink noise on both; sox mixes down
    // itself for a mono file.
    const std::string cmd = "sox -R -n -r " + std::to_string(rate) + " -c " +
                            std::to_string(channels) + " -b 16 " + path +
                            " synth 3 sine 100-" + std::to_string(rate * 3 / 8) +
                            " sine 1330 synth 3 pinknoise mix gain -n -3 2>/dev/null";
    if (ziv::run(cmd) != 0) return "";
    return path;
}

struct Encoding {
    const char* name;
    const char* encoder;  // "twolame" or "ffmpeg"
    int rate;
    int channels;
    const char* mode;  // twolame -m value
    int kbps;
    bool crc;
    const char* extra;  // further twolame options
};

std::string encode(const Encoding& e) {
    const std::string src = make_source(e.rate, e.channels);
    if (src.empty()) return "";
    const std::string out = ziv::tmp_path(std::string(e.name) + ".mp2");
    std::string cmd;
    if (std::string(e.encoder) == "twolame") {
        cmd = std::string("twolame --quiet -m ") + e.mode + " -b " + std::to_string(e.kbps) +
              (e.crc ? " -p" : "") + e.extra + " " + src + " " + out + " >/dev/null 2>&1";
    } else {
        cmd = "ffmpeg -nostdin -loglevel error -y -i " + src + " -c:a mp2 -b:a " +
              std::to_string(e.kbps) + "k " + out;
    }
    return ziv::run(cmd) == 0 ? out : "";
}

std::vector<int16_t> mpg123_decode(const std::string& mp2) {
    const std::string raw = mp2 + ".mpg123.raw";
    if (ziv::run("mpg123 -q -s -e s16 --no-gapless " + mp2 + " > " + raw + " 2>/dev/null") != 0)
        return {};
    return ziv::read_s16(raw);
}

// Every allocation table (B.2a-d and the lower-sampling-frequency one), every channel mode, low
// and high bitrates and CRC frames, against mpg123 on 16-bit output.
TEST(Layer12Golden, EncodedLayerIIFilesMatchMpg123) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("twolame");
    ZIV_REQUIRE_TOOL("ffmpeg");
    ZIV_REQUIRE_TOOL("mpg123");
    const Encoding encodings[] = {
        {"tl_48k_stereo_192", "twolame", 48000, 2, "s", 192, false, ""},
        {"tl_48k_stereo_384_crc", "twolame", 48000, 2, "s", 384, true, ""},
        {"tl_48k_joint_112", "twolame", 48000, 2, "j", 112, false, ""},
        {"tl_44k_joint_128_crc_pad", "twolame", 44100, 2, "j", 128, true, " -d"},
        {"tl_44k_dual_256_pad", "twolame", 44100, 2, "d", 256, false, " -d"},
        {"tl_48k_joint_free_200", "twolame", 48000, 2, "j", 200, false, " --freeformat"},
        {"tl_44k_stereo_64", "twolame", 44100, 2, "s", 64, false, ""},
        {"tl_32k_stereo_96", "twolame", 32000, 2, "s", 96, false, ""},
        {"tl_32k_mono_32", "twolame", 32000, 1, "m", 32, false, ""},
        {"tl_44k_mono_160", "twolame", 44100, 1, "m", 160, true, ""},
        {"tl_24k_joint_96", "twolame", 24000, 2, "j", 96, false, ""},
        {"tl_22k_stereo_160_crc", "twolame", 22050, 2, "s", 160, true, ""},
        {"tl_16k_mono_8", "twolame", 16000, 1, "m", 8, false, ""},
        {"tl_16k_mono_64", "twolame", 16000, 1, "m", 64, false, ""},
        {"ff_44k_stereo_160", "ffmpeg", 44100, 2, "", 160, false, ""},
        {"ff_32k_mono_48", "ffmpeg", 32000, 1, "", 48, false, ""},
        {"ff_24k_stereo_64", "ffmpeg", 24000, 2, "", 64, false, ""},
    };
    for (const Encoding& e : encodings) {
        SCOPED_TRACE(e.name);
        const std::string mp2 = encode(e);
        ASSERT_FALSE(mp2.empty()) << e.name << ": encoding failed";
        const std::vector<int16_t> ref = mpg123_decode(mp2);
        ASSERT_FALSE(ref.empty()) << e.name << ": mpg123 gave no output";
        Decoded dec = decode_file(mp2);
        ASSERT_TRUE(dec.ok) << e.name << ": set-up failed";
        EXPECT_EQ(dec.format.channels, e.channels);
        EXPECT_EQ(dec.format.sample_rate, e.rate);
        EXPECT_EQ(dec.pcm.size(), ref.size()) << e.name << ": length differs from mpg123";
        ziv::PcmDiff diff = ziv::pcm_diff(ref, dec.pcm);
        print_row(e.name, dec, diff);
        EXPECT_GT(diff.compared, size_t(e.rate));
        EXPECT_LE(diff.rms, 0.8) << e.name;
        EXPECT_LE(diff.max, 2) << e.name << " sample " << diff.max_at;
    }
}

// Streams whose bitrate changes from frame to frame: a twolame VBR file, and CBR files of 160
// and 192 kbit/s spliced together (at 44.1 kHz stereo they use allocation tables a and b), so
// frame sizes and the allocation table change under way.
TEST(Layer12Golden, BitrateChangesAreFollowed) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("twolame");
    ZIV_REQUIRE_TOOL("mpg123");
    const Encoding vbr = {"tl_44k_vbr", "twolame", 44100, 2, "s", 192, false, " -V 5"};
    const Encoding lo = {"tl_44k_cbr_160", "twolame", 44100, 2, "s", 160, false, ""};
    const Encoding hi = {"tl_44k_cbr_192", "twolame", 44100, 2, "s", 192, false, ""};
    const std::string vbr_file = encode(vbr), lo_file = encode(lo), hi_file = encode(hi);
    ASSERT_FALSE(vbr_file.empty() || lo_file.empty() || hi_file.empty()) << "encoding failed";
    const std::string spliced = ziv::tmp_path("tl_44k_spliced.mp2");
    ASSERT_EQ(ziv::run("cat " + lo_file + " " + hi_file + " " + lo_file + " > " + spliced), 0);
    for (const std::string& file : {vbr_file, spliced}) {
        SCOPED_TRACE(file);
        const std::vector<int16_t> ref = mpg123_decode(file);
        ASSERT_FALSE(ref.empty()) << "mpg123 gave no output";
        Decoded dec = decode_file(file);
        ASSERT_TRUE(dec.ok);
        EXPECT_EQ(dec.pcm.size(), ref.size()) << "frames lost or gained";
        ziv::PcmDiff diff = ziv::pcm_diff(ref, dec.pcm);
        print_row(file.substr(file.rfind('/') + 1), dec, diff);
        EXPECT_LE(diff.rms, 0.8);
        EXPECT_LE(diff.max, 2) << "sample " << diff.max_at;
    }
}

// Half and quarter rate against mpg123's -2 and -4 on content below 8 kHz. At half rate mpg123
// also synthesises the top subband (10.3-11 kHz at 44.1 kHz), which this decoder leaves out, so
// what the encoder leaves there makes a few samples differ by more than at full rate.
TEST(Layer12Golden, ReducedRatesMatchMpg123) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("twolame");
    ZIV_REQUIRE_TOOL("mpg123");
    const std::string wav = ziv::tmp_path("lowpass.wav"), mp2 = ziv::tmp_path("lowpass.mp2");
    ASSERT_EQ(ziv::run("sox -R -n -r 44100 -c 2 -b 16 " + wav +
                       " synth 3 sine 100-7000 sine 1330 synth 3 pinknoise mix gain -n -3"
                       " sinc -8000 2>/dev/null && twolame --quiet -m j -b 192 " + wav + " " + mp2),
              0);
    const std::vector<uint8_t> data = ziv::read_file(mp2);
    for (int reduction : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "reduction " << reduction);
        const std::string raw = mp2 + ".r" + std::to_string(reduction) + ".raw";
        ASSERT_EQ(ziv::run("mpg123 -q -s -e s16 --no-gapless -" + std::to_string(2 * reduction) +
                           " " + mp2 + " > " + raw + " 2>/dev/null"),
                  0);
        const std::vector<int16_t> ref = ziv::read_s16(raw);
        Decoded dec = decode_bytes(data, reduction, 0);
        ASSERT_TRUE(dec.ok);
        EXPECT_EQ(dec.format.sample_rate, 44100 >> reduction);
        ASSERT_EQ(dec.pcm.size(), ref.size());
        ziv::PcmDiff diff = ziv::pcm_diff(ref, dec.pcm);
        print_row("lowpass_r" + std::to_string(reduction), dec, diff);
        EXPECT_LE(diff.rms, 0.8);
        EXPECT_LE(diff.max, reduction == 1 ? 32 : 2) << "sample " << diff.max_at;
    }
}

// Layer I frames written bit by bit: the top subband (31) and subband 2 carry random codes in
// every channel, the rest is silent. `id` 1 with frequency index 0 is 44.1 kHz, `id` 0 with
// index 2 is 16 kHz; `mode` 3 is one channel, 0 stereo.
std::vector<uint8_t> layer1_top_subband_stream(int id, int freq, int bitrate, int mode,
                                               int frame_bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    const int channels = mode == 3 ? 1 : 2;
    std::vector<uint8_t> out;
    for (int f = 0; f < 24; ++f) {
        ziv::BitWriter w;
        w.put(0xFFF, 12), w.put(uint32_t(id), 1), w.put(3, 2), w.put(1, 1);
        w.put(uint32_t(bitrate), 4), w.put(uint32_t(freq), 2), w.put(0, 2);
        w.put(uint32_t(mode), 2), w.put(0, 2), w.put(0, 4);
        int alloc[32][2] = {};
        for (int c = 0; c < channels; ++c) alloc[2][c] = 4, alloc[31][c] = 7 + int(rng() % 3);
        for (int sb = 0; sb < 32; ++sb)
            for (int c = 0; c < channels; ++c) w.put(uint32_t(alloc[sb][c]), 4);
        for (int sb = 0; sb < 32; ++sb)
            for (int c = 0; c < channels; ++c)
                if (alloc[sb][c]) w.put(8 + rng() % 8, 6);
        for (int row = 0; row < 12; ++row)
            for (int sb = 0; sb < 32; ++sb)
                for (int c = 0; c < channels; ++c)
                    if (alloc[sb][c]) w.put(rng() % ((1u << (alloc[sb][c] + 1)) - 1), alloc[sb][c] + 1);
        const std::vector<uint8_t> frame = w.frame(size_t(frame_bytes));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

// Streams with energy in the highest subband their layer carries against mpg123: Layer I's
// subband 31 at 44.1 kHz stereo and 16 kHz mono, and Layer II's subband 29, the top of the
// 30-subband tables (44.1 kHz at 128 kbit/s per channel, and the lower-frequency table at
// 16 kHz), from a tone twolame codes there. The reference must be loud, so the content is there.
TEST(Layer12Golden, TopSubbandsMatchMpg123) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("twolame");
    ZIV_REQUIRE_TOOL("mpg123");
    struct Stream {
        std::string name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Stream> streams = {
        {"l1_44k_stereo_sb31.mp1", layer1_top_subband_stream(1, 0, 14, 0, 484, 1)},
        {"l1_16k_mono_sb31.mp1", layer1_top_subband_stream(0, 2, 1, 3, 96, 2)},
    };
    const struct {
        const char* name;
        int rate, channels, kbps, tone;
    } tones[] = {{"l2_44k_stereo_sb29.mp2", 44100, 2, 256, 20300},
                 {"l2_16k_mono_sb29.mp2", 16000, 1, 64, 7400}};
    for (const auto& t : tones) {
        const std::string wav = ziv::tmp_path(std::string(t.name) + ".wav");
        const std::string mp2 = ziv::tmp_path(t.name);
        ASSERT_EQ(ziv::run("sox -R -n -r " + std::to_string(t.rate) + " -c " +
                           std::to_string(t.channels) + " -b 16 " + wav + " synth 1 sine " +
                           std::to_string(t.tone) + " gain -n -6 2>/dev/null && twolame --quiet -m " +
                           (t.channels == 2 ? "s" : "m") + " -b " + std::to_string(t.kbps) + " " +
                           wav + " " + mp2),
                  0);
        streams.push_back({t.name, ziv::read_file(mp2)});
    }
    for (const Stream& s : streams) {
        SCOPED_TRACE(s.name);
        const std::string path = ziv::tmp_path(s.name);
        ASSERT_TRUE(ziv::write_file(path, s.bytes.data(), s.bytes.size()));
        const std::vector<int16_t> ref = mpg123_decode(path);
        ASSERT_FALSE(ref.empty()) << "mpg123 gave no output";
        double power = 0.0;
        for (int16_t v : ref) power += double(v) * v;
        EXPECT_GT(std::sqrt(power / double(ref.size())), 1000.0) << "no content to compare";
        Decoded dec = decode_bytes(s.bytes);
        ASSERT_TRUE(dec.ok);
        EXPECT_EQ(dec.pcm.size(), ref.size());
        ziv::PcmDiff diff = ziv::pcm_diff(ref, dec.pcm);
        print_row(s.name, dec, diff);
        EXPECT_LE(diff.rms, 0.8);
        EXPECT_LE(diff.max, 2) << "sample " << diff.max_at;
    }
}

// The channel forms of one stereo stream agree with its stereo decode: left and right only are
// the stereo output's channels exactly, the mix lies within 1 LSB of their mean, and 8-bit output
// is the 16-bit output's top byte with the sign flipped.
TEST(Layer12Golden, ChannelFormsAgreeWithStereoDecode) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("twolame");
    const Encoding e = {"forms_44k_joint_192", "twolame", 44100, 2, "j", 192, false, ""};
    const std::string mp2 = encode(e);
    ASSERT_FALSE(mp2.empty());
    const std::vector<uint8_t> data = ziv::read_file(mp2);
    Decoded st = decode_bytes(data, 0, 0);
    Decoded left = decode_bytes(data, 0, 2);
    Decoded right = decode_bytes(data, 0, 3);
    Decoded mix = decode_bytes(data, 0, 1);
    Decoded st8 = decode_bytes(data, 0, 8);
    ASSERT_TRUE(st.ok && left.ok && right.ok && mix.ok && st8.ok);
    const size_t frames = st.pcm.size() / 2;
    ASSERT_EQ(left.pcm.size(), frames);
    ASSERT_EQ(right.pcm.size(), frames);
    ASSERT_EQ(mix.pcm.size(), frames);
    // 8-bit samples were gathered two per int16 by decode_bytes; look at them as bytes.
    const uint8_t* u8 = reinterpret_cast<const uint8_t*>(st8.pcm.data());
    ASSERT_EQ(st8.format.out_samples, 2304);
    int worst_mix = 0;
    for (size_t i = 0; i < frames; ++i) {
        const int l = st.pcm[2 * i], r = st.pcm[2 * i + 1];
        ASSERT_EQ(left.pcm[i], l) << "left-only sample " << i;
        ASSERT_EQ(right.pcm[i], r) << "right-only sample " << i;
        worst_mix = std::max(worst_mix, std::abs(mix.pcm[i] - (l + r) / 2));
        ASSERT_EQ(u8[2 * i], uint8_t(((l >> 8) ^ 0x80) & 0xFF)) << "8-bit sample " << 2 * i;
        ASSERT_EQ(u8[2 * i + 1], uint8_t(((r >> 8) ^ 0x80) & 0xFF)) << "8-bit sample " << 2 * i + 1;
    }
    EXPECT_LE(worst_mix, 1);
}

// mp3dec, the command-line decoder, goes through the same set-up and frame decode.
TEST(Layer12Golden, Mp3decDecodesLayerIIAsTheLibraryDoes) {
#ifndef ZIV_MP3DEC
    GTEST_SKIP() << "mp3dec is not part of this build";
#else
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("twolame");
    const Encoding e = {"mp3dec_48k_stereo_192", "twolame", 48000, 2, "s", 192, false, ""};
    const std::string mp2 = encode(e);
    ASSERT_FALSE(mp2.empty());
    const std::string raw = mp2 + ".mp3dec.raw";
    ASSERT_EQ(ziv::run(ziv::mp3dec_path() + " " + mp2 + " " + raw), 0);
    const std::vector<int16_t> tool = ziv::read_s16(raw);
    Decoded dec = decode_file(mp2);
    ASSERT_TRUE(dec.ok);
    ASSERT_EQ(tool.size(), dec.pcm.size());
    EXPECT_TRUE(tool == dec.pcm);
#endif
}

}  // namespace
