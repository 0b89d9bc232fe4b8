// Accuracy of the output forms on every conformance stream: rounded 16-bit against the 16-bit
// references and, for the streams that have one, rounded 16-bit, float and rounded 24-bit
// against the 24-bit reference (ISO/IEC 11172-4 full accuracy: RMS below 1/sqrt(12) LSB, no
// sample off by more than 2 LSB). The figures are printed, in 16-bit LSB, for every stream.
// The other forms are checked against the float output of the same decode: each is that float
// scaled, saturated and truncated or rounded, whatever the processor path.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decoder_util.h"
#include "test_util.h"

namespace {

struct Vector {
    const char* name;
    int skip_frames;  // leading frames the reference leaves out (their reservoir is missing)
    bool ref24;       // ref24/NAME.wav exists
};

const Vector kVectors[] = {
    {"l1-fl1", 0, true},       {"l1-fl2", 0, true},        {"l1-fl3", 0, true},
    {"l1-fl4", 0, true},       {"l2-fl10", 0, true},       {"l2-fl11", 0, true},
    {"l2-fl12", 0, true},      {"l2-fl13", 0, true},       {"l3-compl", 0, false},
    {"l3-he_32khz", 0, false}, {"l3-he_44khz", 0, false},  {"l3-he_48khz", 0, false},
    {"l3-hecommon", 0, false}, {"l3-si", 0, false},        {"l3-si_block", 0, false},
    {"l3-sin1k0db", 2, false}, {"M2L3_bitrate_22_all", 0, false}, {"M2L3_compl24", 0, false},
};

// Samples as doubles in 16-bit LSB.
using Samples = std::vector<double>;

Samples from_s16(const std::vector<uint8_t>& b) {
    Samples s(b.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) {
        int16_t v;
        std::memcpy(&v, &b[2 * i], 2);
        s[i] = v;
    }
    return s;
}
Samples from_f32(const std::vector<uint8_t>& b) {
    Samples s(b.size() / 4);
    for (size_t i = 0; i < s.size(); ++i) {
        float v;
        std::memcpy(&v, &b[4 * i], 4);
        s[i] = double(v) * 32768.0;
    }
    return s;
}
int32_t s24_at(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}
Samples from_s24(const std::vector<uint8_t>& b) {
    Samples s(b.size() / 3);
    for (size_t i = 0; i < s.size(); ++i) s[i] = s24_at(&b[3 * i]) / 256.0;
    return s;
}

// The samples of a 24-bit PCM WAV file (its data chunk), empty when it is not one.
Samples read_wav24(const std::string& path) {
    const std::vector<uint8_t> f = ziv::read_file(path);
    if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0) return {};
    size_t at = 12;
    int bits = 0;
    while (at + 8 <= f.size()) {
        const uint32_t n = uint32_t(f[at + 4]) | uint32_t(f[at + 5]) << 8 |
                           uint32_t(f[at + 6]) << 16 | uint32_t(f[at + 7]) << 24;
        const size_t body = at + 8;
        if (std::memcmp(&f[at], "fmt ", 4) == 0 && body + 16 <= f.size()) bits = f[body + 14];
        if (std::memcmp(&f[at], "data", 4) == 0 && bits == 24) {
            const size_t end = body + n < f.size() ? body + n : f.size();
            return from_s24(std::vector<uint8_t>(f.begin() + long(body), f.begin() + long(end)));
        }
        at = body + n + (n & 1);
    }
    return {};
}

struct Diff {
    double rms = 0.0, max = 0.0;
    size_t compared = 0;
};
Diff diff(const Samples& a, const Samples& ref) {
    Diff d;
    double sum = 0.0;
    d.compared = a.size() < ref.size() ? a.size() : ref.size();
    for (size_t i = 0; i < d.compared; ++i) {
        const double e = std::fabs(a[i] - ref[i]);
        sum += e * e;
        if (e > d.max) d.max = e;
    }
    d.rms = d.compared ? std::sqrt(sum / double(d.compared)) : 0.0;
    return d;
}

// The whole stream in output form `convert`, less the frames its reference leaves out.
std::vector<uint8_t> decode(const std::vector<uint8_t>& bits, int32_t convert, const Vector& v,
                            MpegOutputFormat* fmt) {
    ziv::Decoded d = ziv::decode_whole(bits, 0, convert);
    *fmt = d.fmt;
    const size_t skip = size_t(v.skip_frames) * size_t(d.fmt.out_samples) * size_t(d.fmt.bits / 8);
    if (!d.set_up || d.pcm.size() < skip) return {};
    d.pcm.erase(d.pcm.begin(), d.pcm.begin() + long(skip));
    return d.pcm;
}

TEST(OutputAccuracy, EveryConformanceStreamMeetsItsTargets) {
    std::printf("%-20s %8s | %-13s %-13s | %-13s %-13s %-13s\n", "stream", "samples",
                "s16r vs ref16", "f32 vs ref16", "s16r vs ref24", "f32 vs ref24", "s24r vs ref24");
    std::printf("%-20s %8s | %6s %6s %6s %6s | %6s %6s %6s %6s %6s %6s\n", "", "", "rms", "max",
                "rms", "max", "rms", "max", "rms", "max", "rms", "max");
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        const std::string base = ziv::vector_path(v.name);
        const std::vector<uint8_t> bits = ziv::read_file(base + ".bit");
        const Samples ref16 = from_s16(ziv::read_file(base + ".pcm"));
        ASSERT_FALSE(bits.empty());
        ASSERT_FALSE(ref16.empty());
        MpegOutputFormat f16{}, ff{}, f24{};
        const Samples r16 = from_s16(decode(bits, MPEG_CONVERT_ROUND, v, &f16));
        const Samples fl = from_f32(decode(bits, MPEG_CONVERT_F32, v, &ff));
        const Samples r24 = from_s24(decode(bits, MPEG_CONVERT_S24 | MPEG_CONVERT_ROUND, v, &f24));
        ASSERT_EQ(16, f16.bits);
        ASSERT_EQ(32, ff.bits);
        ASSERT_EQ(MPEG_FORMAT_FLOAT, ff.reserved);
        ASSERT_EQ(24, f24.bits);
        ASSERT_EQ(0, f24.reserved);
        ASSERT_FALSE(r16.empty());
        ASSERT_EQ(r16.size(), fl.size());
        ASSERT_EQ(r16.size(), r24.size());
        // Layer I and II references run past the stream (zero padding); Layer III ones leave
        // out the last frame: the shorter length is compared, and it covers all but that frame.
        const Diff d16 = diff(r16, ref16);
        EXPECT_GE(d16.compared + size_t(f16.out_samples), r16.size());
        EXPECT_LE(d16.rms, 0.2);
        EXPECT_LE(d16.max, 1.0);
        const Diff df = diff(fl, ref16);
        std::printf("%-20s %8zu | %6.3f %6.0f %6.3f %6.3f |", v.name, d16.compared, d16.rms,
                    d16.max, df.rms, df.max);
        if (v.ref24) {
            const Samples ref24 = read_wav24(ziv::vector_path(std::string("ref24/") + v.name + ".wav"));
            ASSERT_EQ(ref16.size(), ref24.size());
            const Diff a = diff(r16, ref24), b = diff(fl, ref24), c = diff(r24, ref24);
            EXPECT_EQ(r16.size(), a.compared);
            EXPECT_LT(a.rms, 1.0 / std::sqrt(12.0));
            EXPECT_LE(a.max, 2.0);
            EXPECT_LE(b.rms, 0.02);
            EXPECT_LE(c.rms, 0.02);
            std::printf(" %6.4f %6.3f %6.4f %6.3f %6.4f %6.3f\n", a.rms, a.max, b.rms, b.max, c.rms,
                        c.max);
        } else {
            std::printf(" (no 24-bit reference)\n");
        }
    }
}

// Every integer form is the float sample scaled, saturated, then truncated toward zero or
// rounded to nearest: checked on a stream at 0 dBFS (saturation) and one with stereo, on the
// processor path the decoder picks. The float keeps 24 bits of mantissa, so the comparison
// allows its rounding.
TEST(OutputAccuracy, IntegerFormsFollowTheFloatSample) {
    for (const char* name : {"l3-sin1k0db", "l2-fl10"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bits = ziv::read_file(ziv::vector_path(std::string(name) + ".bit"));
        ASSERT_FALSE(bits.empty());
        const std::vector<uint8_t> fb = ziv::decode_whole(bits, 0, MPEG_CONVERT_F32).pcm;
        const Samples fl = from_f32(fb);
        struct Form {
            int32_t convert;
            int bytes;
            double scale, lo, hi;
        };
        const Form forms[] = {
            {0, 2, 1.0, -32768.0, 32767.0},
            {MPEG_CONVERT_ROUND, 2, 1.0, -32768.0, 32767.0},
            {MPEG_CONVERT_S24, 3, 256.0, -8388608.0, 8388607.0},
            {MPEG_CONVERT_S24 | MPEG_CONVERT_ROUND, 3, 256.0, -8388608.0, 8388607.0},
            {MPEG_CONVERT_S32, 4, 65536.0, -2147483648.0, 2147483647.0},
            {MPEG_CONVERT_S32 | MPEG_CONVERT_ROUND, 4, 65536.0, -2147483648.0, 2147483647.0},
        };
        size_t clipped = 0;
        for (const Form& f : forms) {
            SCOPED_TRACE(f.convert);
            const std::vector<uint8_t> b = ziv::decode_whole(bits, 0, f.convert).pcm;
            ASSERT_EQ(fl.size() * size_t(f.bytes), b.size());
            const bool round = (f.convert & MPEG_CONVERT_ROUND) != 0;
            // The float's own rounding, in units of the form: half an ulp at 2^15 full scale.
            const double tol = 32768.0 * std::ldexp(1.0, -24) * f.scale;
            for (size_t i = 0; i < fl.size(); ++i) {
                int64_t got;
                if (f.bytes == 2) {
                    int16_t v;
                    std::memcpy(&v, &b[2 * i], 2);
                    got = v;
                } else if (f.bytes == 3) {
                    got = s24_at(&b[3 * i]);
                } else {
                    int32_t v;
                    std::memcpy(&v, &b[4 * i], 4);
                    got = v;
                }
                const double y = fl[i] * f.scale;
                if (y >= f.hi || y <= f.lo) ++clipped;
                // The conversion is monotonic: the exact sum lies within the float's rounding
                // of y, so the sample lies between the conversions of y - tol and y + tol.
                auto convert = [&](double x) {
                    x = x > f.hi ? f.hi : x < f.lo ? f.lo : x;
                    return round ? std::nearbyint(x) : std::trunc(x);
                };
                ASSERT_GE(double(got), convert(y - tol)) << "sample " << i << " float " << fl[i];
                ASSERT_LE(double(got), convert(y + tol)) << "sample " << i << " float " << fl[i];
            }
        }
        if (std::string(name) == "l3-sin1k0db") {
            EXPECT_GT(clipped, 0u) << "no saturation met";
        }
    }
}

}  // namespace
