// Layer III accuracy: the conformance bitstreams against their reference PCM, files encoded at
// test time with lame across sampling frequencies, modes, bitrates, VBR, CRC and free format
// against mpg123 (black box), reduced rates and channel handling against the full-rate output,
// and invariance (feeding, copied decoders, two decoders in turn).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decoder_util.h"
#include "frame_sync.h"
#include "test_util.h"

namespace {

using ziv::Decoded;

// Decodes a whole file in memory as mp3dec does (tags, the first confirmed frame, frame sync).
Decoded decode(const std::vector<uint8_t>& file, int reduction = 0, int convert = 0) {
    return ziv::decode_whole(file, reduction, convert);
}

// ---------------------------------------------------------------------------------------------
// Conformance streams.

struct Vector {
    const char* name;
    int skip_frames;  // leading frames the reference omits (their reservoir is missing)
};

TEST(Layer3Conformance, EveryStreamWithinOneLsb) {
    const Vector vectors[] = {{"l3-compl", 0},    {"l3-he_32khz", 0}, {"l3-he_44khz", 0},
                              {"l3-he_48khz", 0}, {"l3-hecommon", 0}, {"l3-si", 0},
                              {"l3-si_block", 0}, {"l3-sin1k0db", 2}, {"M2L3_bitrate_22_all", 0},
                              {"M2L3_compl24", 0}};
    std::printf("%-22s %8s %9s %9s %7s %4s\n", "stream", "frames", "samples", "ref", "rms", "max");
    for (const Vector& v : vectors) {
        std::vector<uint8_t> bits = ziv::read_file(ziv::vector_path(std::string(v.name) + ".bit"));
        std::vector<int16_t> ref = ziv::read_s16(ziv::vector_path(std::string(v.name) + ".pcm"));
        ASSERT_FALSE(bits.empty()) << v.name << ": missing bitstream";
        ASSERT_FALSE(ref.empty()) << v.name << ": missing reference";
        Decoded d = decode(bits);
        ASSERT_TRUE(d.set_up) << v.name;
        std::vector<int16_t> pcm = ziv::to_s16(d.pcm);
        const size_t per_frame = size_t(d.fmt.out_samples);
        // Frames played as silence because their main data reaches before the stream: the
        // reference leaves them out.
        const size_t skip = size_t(v.skip_frames) * per_frame;
        ASSERT_GE(pcm.size(), skip);
        for (size_t i = 0; i < skip; ++i) ASSERT_EQ(0, pcm[i]) << v.name << " lead sample " << i;
        pcm.erase(pcm.begin(), pcm.begin() + long(skip));
        // The references omit the stream's last frame.
        EXPECT_GE(pcm.size(), ref.size()) << v.name;
        EXPECT_LE(pcm.size(), ref.size() + per_frame) << v.name;
        ziv::PcmDiff diff = ziv::pcm_diff(pcm, ref);
        std::printf("%-22s %8d %9zu %9zu %7.3f %4d\n", v.name, d.frames, pcm.size(), ref.size(),
                    diff.rms, diff.max);
        EXPECT_EQ(ref.size(), diff.compared) << v.name;
        EXPECT_LE(diff.rms, 0.75) << v.name;
        EXPECT_LE(diff.max, 1) << v.name << " at sample " << diff.max_at << " (frame "
                               << diff.max_at / per_frame << ")";
    }
}

// ---------------------------------------------------------------------------------------------
// Files made with lame, compared with mpg123.

// A test signal with tonal parts and decaying noise bursts (transients that make the encoder
// switch to short blocks). The channels are correlated so joint stereo has work to do. With a
// band limit the tones stay below it and the bursts are tone bursts rather than noise.
void write_test_wav(const std::string& path, int rate, int channels, double seconds,
                    uint32_t seed, double band_limit = 0.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    const int n = int(rate * seconds);
    std::vector<int16_t> s(size_t(n) * size_t(channels));
    const double pi = 4.0 * std::atan(1.0);
    const double cap = band_limit > 0.0 ? band_limit : rate / 2.0 * 0.8;
    double sweep_phase = 0.0;
    for (int i = 0; i < n; ++i) {
        double t = double(i) / rate;
        double burst_t = std::fmod(t, 0.37);
        double carrier = band_limit > 0.0 ? std::sin(2 * pi * 700.0 * t) : noise(rng);
        double burst = burst_t < 0.05 ? std::exp(-burst_t * 120.0) * carrier * 0.35 : 0.0;
        // A sweep from 100 Hz up three octaves per second, held at the cap.
        sweep_phase += 2 * pi * std::min(cap, 100.0 * std::pow(2.0, t * 3.0)) / rate;
        double tone = 0.25 * std::sin(2 * pi * 440.0 * t) + 0.12 * std::sin(sweep_phase) +
                      0.05 * std::sin(2 * pi * std::min(cap * 0.75, 3100.0) * t);
        double l = tone + burst;
        double r = 0.8 * tone - 0.1 * std::sin(2 * pi * 660.0 * t) + burst * 0.7;
        auto clip = [](double x) { return int16_t(std::lround(std::clamp(x, -1.0, 1.0) * 32000.0)); };
        if (channels == 1) {
            s[size_t(i)] = clip(l);
        } else {
            s[2 * size_t(i)] = clip(l);
            s[2 * size_t(i) + 1] = clip(r);
        }
    }
    std::vector<uint8_t> w;
    auto put = [&](uint32_t v, int bytes) {
        for (int b = 0; b < bytes; ++b) w.push_back(uint8_t(v >> (8 * b)));
    };
    const uint32_t data = uint32_t(s.size() * 2);
    w.insert(w.end(), {'R', 'I', 'F', 'F'});
    put(36 + data, 4);
    w.insert(w.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(1, 2);
    put(uint32_t(channels), 2);
    put(uint32_t(rate), 4);
    put(uint32_t(rate * channels * 2), 4);
    put(uint32_t(channels * 2), 2);
    put(16, 2);
    w.insert(w.end(), {'d', 'a', 't', 'a'});
    put(data, 4);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    w.insert(w.end(), p, p + data);
    ASSERT_TRUE(ziv::write_file(path, w.data(), w.size())) << path;
}

struct EncodeCase {
    const char* name;
    int rate;
    int channels;      // of the source signal
    const char* lame;  // encoder options
};

std::string kkhz(int rate) {
    char b[16];
    std::snprintf(b, sizeof b, "%g", rate / 1000.0);
    return b;
}

// Encodes the case's signal; returns the MP3 path ("" on failure, with a test failure).
std::string encode(const EncodeCase& c, double seconds = 2.0, double band_limit = 0.0) {
    const std::string wav = ziv::tmp_path(std::string(c.name) + ".wav");
    const std::string mp3 = ziv::tmp_path(std::string(c.name) + ".mp3");
    write_test_wav(wav, c.rate, c.channels, seconds, 1234u + uint32_t(c.rate), band_limit);
    std::string cmd = "lame --quiet --resample " + kkhz(c.rate) + " " + c.lame + " '" + wav +
                      "' '" + mp3 + "'";
    int st = ziv::run(cmd);
    EXPECT_EQ(0, st) << cmd;
    return st == 0 ? mp3 : std::string();
}

std::vector<int16_t> mpg123_decode(const std::string& mp3) {
    const std::string raw = mp3 + ".mpg123.raw";
    int st = ziv::run("mpg123 -q --no-gapless -s '" + mp3 + "' > '" + raw + "' 2>/dev/null");
    EXPECT_EQ(0, st) << "mpg123 on " << mp3;
    return ziv::read_s16(raw);
}

TEST(Layer3Lame, MatchesMpg123AcrossTheMatrix) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("mpg123");
    const EncodeCase cases[] = {
        {"m1_44_joint_128", 44100, 2, "-m j -b 128"},
        {"m1_44_stereo_320", 44100, 2, "-m s -b 320"},
        {"m1_44_mono_64", 44100, 1, "-m m -b 64"},
        {"m1_44_dual_192", 44100, 2, "-m d -b 192"},
        {"m1_44_ms_96", 44100, 2, "-m f -b 96"},
        {"m1_44_vbr2", 44100, 2, "-m j -V 2"},
        {"m1_44_free_400", 44100, 2, "-m j --freeformat -b 400"},
        {"m1_48_joint_32", 48000, 2, "-m j -b 32"},
        {"m1_48_stereo_256_crc", 48000, 2, "-m s -b 256 -p"},
        {"m1_32_joint_48", 32000, 2, "-m j -b 48"},
        {"m1_32_mono_vbr6", 32000, 1, "-m m -V 6"},
        {"m2_22_joint_64", 22050, 2, "-m j -b 64"},
        {"m2_24_stereo_160_crc", 24000, 2, "-m s -b 160 -p"},
        {"m2_16_mono_8", 16000, 1, "-m m -b 8"},
        {"m2_16_joint_vbr4", 16000, 2, "-m j -V 4"},
        {"m2_22_dual_96", 22050, 2, "-m d -b 96"},
        {"m25_11_joint_32", 11025, 2, "-m j -b 32"},
        {"m25_12_mono_64", 12000, 1, "-m m -b 64"},
        {"m25_8_stereo_16", 8000, 2, "-m s -b 16"},
        {"m25_8_mono_8_crc", 8000, 1, "-m m -b 8 -p"},
        {"m25_11_vbr0", 11025, 2, "-m j -V 0"},
    };
    std::printf("%-22s %6s %3s %7s %8s %7s %4s\n", "file", "rate", "ch", "frames", "offset",
                "rms", "max");
    for (const EncodeCase& c : cases) {
        std::string mp3 = encode(c);
        if (mp3.empty()) continue;
        Decoded d = decode(ziv::read_file(mp3));
        ASSERT_TRUE(d.set_up) << c.name;
        EXPECT_EQ(c.rate, d.fmt.sample_rate) << c.name;
        std::vector<int16_t> ours = ziv::to_s16(d.pcm);
        std::vector<int16_t> ref = mpg123_decode(mp3);
        ASSERT_GT(ref.size(), 1000u) << c.name;
        const int ch = d.fmt.channels;
        const long range = 2L * 1152 * ch;
        long off = ziv::best_offset(ours, ref, range, ch, std::min<size_t>(1 << 16, ref.size()));
        ziv::PcmDiff diff = ziv::pcm_diff(ours, ref, off);
        std::printf("%-22s %6d %3d %7d %8ld %7.3f %4d\n", c.name, d.fmt.sample_rate, ch, d.frames,
                    off, diff.rms, diff.max);
        EXPECT_GT(diff.compared, ref.size() * 9 / 10) << c.name;
        EXPECT_LE(diff.rms, 0.8) << c.name;
        EXPECT_LE(diff.max, 2) << c.name << " at sample " << diff.max_at << " (frame "
                               << diff.max_at / size_t(d.fmt.out_samples) << ")";
    }
}

// ---------------------------------------------------------------------------------------------
// Reduced rates and channel handling against the full-rate stereo decode.

double rms_of(const std::vector<int16_t>& v) {
    double s = 0;
    for (int16_t x : v) s += double(x) * x;
    return v.empty() ? 0.0 : std::sqrt(s / double(v.size()));
}

std::vector<int16_t> channel(const std::vector<int16_t>& st, int c) {
    std::vector<int16_t> r(st.size() / 2);
    for (size_t i = 0; i < r.size(); ++i) r[i] = st[2 * i + size_t(c)];
    return r;
}

TEST(Layer3Variants, ReducedRatesAndChannelHandling) {
    ZIV_REQUIRE_TOOL("lame");
    ZIV_REQUIRE_TOOL("sox");
    for (const EncodeCase& c : {EncodeCase{"var_m1", 44100, 2, "-m j -b 160"},
                                EncodeCase{"var_m2", 22050, 2, "-m j -b 80"}}) {
        // Content below the quarter-rate Nyquist frequency, so that the reduced rates can be
        // held against a resampling of the full-rate output.
        std::string mp3 = encode(c, 2.0, c.rate / 8.0 * 0.7);
        ASSERT_FALSE(mp3.empty());
        std::vector<uint8_t> file = ziv::read_file(mp3);
        Decoded full = decode(file);
        ASSERT_TRUE(full.set_up);
        const int spf = c.rate >= 32000 ? 1152 : 576;  // samples per channel per frame
        ASSERT_EQ(size_t(full.frames) * spf * 2 * 2, full.pcm.size()) << c.name;
        std::vector<int16_t> st = ziv::to_s16(full.pcm);
        std::vector<int16_t> left = channel(st, 0), right = channel(st, 1);

        // Left and right only: exactly the channels of the stereo decode.
        for (int sel : {2, 3}) {
            Decoded one = decode(file, 0, sel);
            ASSERT_EQ(1, one.fmt.channels);
            std::vector<int16_t> mono = ziv::to_s16(one.pcm);
            EXPECT_TRUE(mono == (sel == 2 ? left : right)) << c.name << " convert " << sel;
        }
        // Mix: the mean of left and right, within the rounding of the two paths.
        {
            Decoded mix = decode(file, 0, 1);
            std::vector<int16_t> m = ziv::to_s16(mix.pcm), mean(left.size());
            for (size_t i = 0; i < mean.size(); ++i) mean[i] = int16_t((left[i] + right[i]) / 2);
            ziv::PcmDiff dm = ziv::pcm_diff(m, mean);
            std::printf("%s mix vs mean(L,R): rms %.3f max %d\n", c.name, dm.rms, dm.max);
            EXPECT_EQ(mean.size(), m.size());
            EXPECT_LE(dm.rms, 1.0) << c.name;
            EXPECT_LE(dm.max, 2) << c.name;
        }
        // 8-bit: the 16-bit samples shifted down by 8 with the sign kept, biased by 128.
        {
            Decoded e = decode(file, 0, 8);
            ASSERT_EQ(8, e.fmt.bits);
            ASSERT_EQ(st.size(), e.pcm.size()) << c.name;
            for (size_t i = 0; i < st.size(); ++i)
                ASSERT_EQ(uint8_t((st[i] >> 8) ^ 0x80), e.pcm[i]) << c.name << " sample " << i;
        }
        // Half and quarter rate: the sample counts, and the full-rate output resampled by sox
        // agrees to within 0.5% of the signal's RMS (the decimated filter bank is not an ideal
        // low-pass, so this bounds the error rather than matching bits).
        const std::string full_raw = ziv::tmp_path(std::string(c.name) + "_full.raw");
        ASSERT_TRUE(ziv::write_file(full_raw, st.data(), st.size() * 2));
        for (int red : {1, 2}) {
            Decoded r = decode(file, red, 0);
            ASSERT_EQ(c.rate >> red, r.fmt.sample_rate);
            ASSERT_EQ(size_t(r.frames) * size_t(spf >> red) * 2 * 2, r.pcm.size()) << c.name;
            const std::string rs = full_raw + ".r" + std::to_string(red) + ".raw";
            // Resampled to the exact fraction of the rate (5512.5 Hz, not the 5512 reported).
            char target[32];
            std::snprintf(target, sizeof target, "%g", c.rate / double(1 << red));
            std::string cmd = "sox -t raw -r " + std::to_string(c.rate) +
                              " -e signed -b 16 -c 2 '" + full_raw + "' -t raw -r " + target +
                              " '" + rs + "' rate -v";
            ASSERT_EQ(0, ziv::run(cmd)) << cmd;
            std::vector<int16_t> want = ziv::read_s16(rs), got = ziv::to_s16(r.pcm);
            long off = ziv::best_offset(got, want, 64, 2, 1 << 14);
            ziv::PcmDiff dr = ziv::pcm_diff(got, want, off);
            double rel = dr.rms / rms_of(want);
            std::printf("%s reduction %d: offset %ld rms %.1f (%.2f%% of signal) max %d\n", c.name,
                        red, off, dr.rms, 100 * rel, dr.max);
            EXPECT_GT(dr.compared, want.size() * 9 / 10);
            EXPECT_LT(rel, 0.005) << c.name << " reduction " << red;
        }
    }
}

// Streams whose frames switch from two channels to one and back (stereo, mono, stereo; each
// part encoded on its own without the bit reservoir, so every frame decodes alone). Each
// channel keeps its own history: channel 0 runs through all three parts (the left-only decode
// of the spliced stream), and channel 1 returns from silence (its part decoded alone). Stereo
// output plays a single-channel frame on both sides; right-only output hears the one channel,
// from silence; the mix is the mean of the two channels decoded so. Every output instant is
// checked, those at and after each switch included, at MPEG-1 and at MPEG-2 rates.
// Frames [from, from + count) of a stream of whole frames (no tags), empty when it has fewer.
std::vector<uint8_t> frames_of(const std::vector<uint8_t>& file, int from, int count) {
    size_t at = 0, begin = 0;
    for (int n = 0; n < from + count; ++n) {
        if (n == from) begin = at;
        MpegHeader h{};
        const int32_t size = mpeg_header_parse(file.data() + at, int32_t(file.size() - at), &h);
        if (size <= 0) return {};
        at += size_t(mpeg_header_frame_bytes(&h, size));
        if (at > file.size()) return {};
    }
    return std::vector<uint8_t>(file.begin() + long(begin), file.begin() + long(at));
}

// Fills the stack below the caller with huge floats, so that a decode reading a stack cell it
// never wrote hears a full-scale click instead of whatever the last call left there.
__attribute__((noinline)) void poison_stack() {
    volatile float junk[32768];
    for (int i = 0; i < 32768; ++i) junk[i] = 3.0e38f;
    (void)junk[0];
}

TEST(Layer3Variants, ChannelSwitchesDecodeEachChannelOnItsOwn) {
    ZIV_REQUIRE_TOOL("lame");
    for (int rate : {44100, 22050}) {
        SCOPED_TRACE(rate);
        const std::string r = std::to_string(rate);
        const std::string kb = rate == 44100 ? " -b 128" : " -b 64";
        // Frames from the middle of each encoding, so that the switches meet full signal.
        std::vector<uint8_t> part[3] = {
            frames_of(ziv::read_file(encode(EncodeCase{("sw_a" + r).c_str(), rate, 2, ("-t --nores -m s" + kb).c_str()}, 1.0)), 10, 12),
            frames_of(ziv::read_file(encode(EncodeCase{("sw_b" + r).c_str(), rate, 1, ("-t --nores -m m" + kb).c_str()}, 1.0)), 12, 8),
            frames_of(ziv::read_file(encode(EncodeCase{("sw_c" + r).c_str(), rate, 2, ("-t --nores -m j" + kb).c_str()}, 1.0)), 14, 12),
        };
        std::vector<uint8_t> spliced;
        for (const auto& p : part) {
            ASSERT_FALSE(p.empty());
            spliced.insert(spliced.end(), p.begin(), p.end());
        }
        std::vector<int16_t> alone[3];
        size_t start[4] = {0, 0, 0, 0};  // the parts' first output instants
        for (int k = 0; k < 3; ++k) {
            Decoded d = decode(part[k]);
            ASSERT_TRUE(d.set_up);
            alone[k] = ziv::to_s16(d.pcm);
            start[k + 1] = start[k] + alone[k].size() / size_t(d.fmt.channels);
        }
        Decoded st = decode(spliced), left = decode(spliced, 0, 2), right = decode(spliced, 0, 3),
                mix = decode(spliced, 0, 1);
        ASSERT_EQ(2, st.fmt.channels);
        const std::vector<int16_t> S = ziv::to_s16(st.pcm), L = ziv::to_s16(left.pcm),
                                   R = ziv::to_s16(right.pcm), X = ziv::to_s16(mix.pcm);
        ASSERT_EQ(start[3], L.size());
        ASSERT_EQ(2 * L.size(), S.size());
        ASSERT_EQ(L.size(), R.size());
        ASSERT_EQ(L.size(), X.size());
        const size_t spf = rate == 44100 ? 1152 : 576;
        int worst[3] = {0, 0, 0};
        for (size_t i = 0; i < L.size(); ++i) {
            const int k = i < start[1] ? 0 : i < start[2] ? 1 : 2;
            const size_t j = i - start[k];
            // Channel 1 of the instant, decoded on its own; the single channel plays on both
            // sides.
            const int ch1 = k == 1 ? L[i] : alone[k][2 * j + 1];
            const int heard_right = k == 1 ? alone[1][j] : ch1;
            const int mean = k == 1 ? L[i] : (L[i] + ch1) / 2;
            const int e[3] = {std::max(std::abs(S[2 * i] - L[i]), std::abs(S[2 * i + 1] - ch1)),
                              std::abs(R[i] - heard_right), std::abs(X[i] - mean)};
            for (int v = 0; v < 2; ++v) worst[v] = std::max(worst[v], e[v]);
            ASSERT_LE(e[0], 1) << "stereo, part " << k << " frame " << j / spf;
            ASSERT_LE(e[1], 1) << "right only, part " << k << " frame " << j / spf;
            worst[2] = std::max(worst[2], e[2]);
            ASSERT_LE(e[2], 2) << "mix, part " << k << " frame " << j / spf;
        }
        std::printf("%d Hz: worst error stereo %d, right only %d, mix %d LSB\n", rate, worst[0],
                    worst[1], worst[2]);
        // Under a frequency limit the filter banks fill fewer subbands than the synthesis reads:
        // the mix must not depend on what the stack held before.
        for (int reduction = 0; reduction < 3; ++reduction) {
            const Decoded a = ziv::decode_whole(spliced, reduction, 1, MPEG_PATH_BEST, 3000);
            poison_stack();
            const Decoded b = ziv::decode_whole(spliced, reduction, 1, MPEG_PATH_BEST, 3000);
            EXPECT_TRUE(a.pcm == b.pcm) << "mix limited to 3 kHz, reduction " << reduction;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Invariance.

TEST(Layer3Invariance, FeedingCopiesAndTwoDecodersInTurn) {
    ZIV_REQUIRE_TOOL("lame");
    const EncodeCase a_case{"inv_a", 22050, 2, "-m j -b 64"};
    const EncodeCase b_case{"inv_b", 24000, 1, "-m m -V 5"};
    std::vector<uint8_t> a = ziv::read_file(encode(a_case, 1.5));
    std::vector<uint8_t> b = ziv::read_file(encode(b_case, 1.5));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    Decoded whole_a = decode(a), whole_b = decode(b);

    // Frame by frame from exactly-sized copies of each frame: the same PCM.
    struct Stream {
        std::unique_ptr<MpegDecoder> d{new MpegDecoder()};
        const std::vector<uint8_t>* file;
        int32_t pos = 0, fb = 0;
        std::vector<uint8_t> pcm;
        explicit Stream(const std::vector<uint8_t>* f) : file(f) {
            MpegHeader h;
            MpegSync sync;
            mpeg_sync_init(&sync);
            int32_t br;
            EXPECT_EQ(MPEG_SYNC_FRAME, mpeg_sync_lock(&sync, f->data(), int32_t(f->size()), 1, &pos,
                                                    &h, &fb, &br));
            mpeg_decoder_init(d.get(), 1);
            EXPECT_EQ(1, mpeg_decoder_setup(d.get(), &h, fb, 0, 0, 0, 24000));
        }
        ~Stream() { mpeg_decoder_free(d.get()); }
        // Decodes the next frame from its own heap copy; false at the end.
        bool step(MpegDecoder* dec) {
            MpegHeader h;
            int32_t left = int32_t(file->size()) - pos;
            int32_t size = left >= 4 ? mpeg_header_parse(file->data() + pos, left, &h) : 0;
            if (size <= 0) return false;
            size += h.padding_bit;
            if (size > left) return false;
            std::unique_ptr<uint8_t[]> frame(new uint8_t[size_t(size)]);
            std::memcpy(frame.get(), file->data() + pos, size_t(size));
            std::vector<uint8_t> out(4608);
            MpegInOut io = mpeg_decode_frame(dec, frame.get(), size, out.data());
            if (io.in_bytes <= 0) return false;
            pos += io.in_bytes;
            pcm.insert(pcm.end(), out.begin(), out.begin() + io.out_bytes);
            return true;
        }
    };
    {
        Stream s(&a);
        while (s.step(s.d.get())) {}
        EXPECT_TRUE(s.pcm == whole_a.pcm) << "frame-by-frame feeding differs from the whole decode";
    }
    // A decoder copied as a whole mid-stream carries on exactly as the original.
    {
        Stream s(&a);
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(s.step(s.d.get()));
        std::unique_ptr<MpegDecoder> copy(new MpegDecoder(*s.d));
        std::vector<uint8_t> before = s.pcm;
        int32_t pos = s.pos;
        while (s.step(s.d.get())) {}
        std::vector<uint8_t> original = s.pcm;
        s.pcm = before;
        s.pos = pos;
        while (s.step(copy.get())) {}
        EXPECT_TRUE(s.pcm == original) << "the copied decoder decodes differently";
        EXPECT_TRUE(original == whole_a.pcm);
    }
    // Two MPEG-2 decoders used in turn decode exactly as each alone.
    {
        Stream sa(&a), sb(&b);
        bool more_a = true, more_b = true;
        while (more_a || more_b) {
            if (more_a) more_a = sa.step(sa.d.get());
            if (more_b) more_b = sb.step(sb.d.get());
        }
        EXPECT_TRUE(sa.pcm == whole_a.pcm) << "stream a decoded in turn with b differs";
        EXPECT_TRUE(sb.pcm == whole_b.pcm) << "stream b decoded in turn with a differs";
    }
}

}  // namespace
