// Layer I and II set-up and frame unpacking on frames written bit by bit here: allocation table
// choice, output formats, joint stereo, scalefactor selection, grouped and plain codes, CRC,
// padding, the decode limit, silent columns across frames, the forbidden Layer I allocation, and
// bounded reads of short or malformed frames. The sample rows are caught by a stand-in synthesis
// installed after set-up.
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decoder_internal.h"
#include "decoder_util.h"
#include "test_util.h"

namespace {

// The rows carry the opposite sign of the standard's requantised values: the synthesis window
// is stored negated and the scalefactors carry the sign back.
constexpr double kRowSign = -1.0;

double sf(int k) { return kRowSign * 65536.0 * std::pow(2.0, -k / 3.0); }

using ziv::BitWriter;

struct Hdr {
    int id = 1, layer = 2, protection = 1, bitrate = 10, freq = 1, pad = 0, mode = 0, ext = 0;
};

void put_header(BitWriter& w, const Hdr& h) {
    w.put(0xFFF, 12);
    w.put(uint32_t(h.id), 1);
    w.put(uint32_t(h.layer), 2);
    w.put(uint32_t(h.protection), 1);
    w.put(uint32_t(h.bitrate), 4);
    w.put(uint32_t(h.freq), 2);
    w.put(uint32_t(h.pad), 1);
    w.put(0, 1);
    w.put(uint32_t(h.mode), 2);
    w.put(uint32_t(h.ext), 2);
    w.put(0, 4);
    if (!h.protection) w.put(0xBEEF, 16);
}

MpegHeader parse(const std::vector<uint8_t>& f, int32_t* size) {
    MpegHeader h;
    *size = mpeg_header_parse(f.data(), int32_t(f.size()), &h);
    return h;
}

// Rows handed to the synthesis by the last decoded frame.
std::vector<float> g_rows;
void capture_synth(MpegDecoder*, const float* rows, uint8_t*, int32_t count) {
    g_rows.assign(rows, rows + 64 * (count > 0 ? count : 0));
}

using DecoderBox = ziv::TestDecoder;

struct SetupResult {
    int32_t ok;
    MpegOutputFormat f;
};

SetupResult setup_from(DecoderBox& d, const Hdr& hd, int32_t reduction = 0, int32_t convert = 0,
                 int32_t freq_limit = 24000) {
    BitWriter w;
    put_header(w, hd);
    std::vector<uint8_t> bytes = w.frame(4000);
    int32_t size = 0;
    MpegHeader h = parse(bytes, &size);
    SetupResult s{};
    s.ok = mpeg_decoder_setup(d.get(), &h, size, reduction, 0, convert, freq_limit);
    mpeg_decoder_get_format(d.get(), &s.f);
    return s;
}

// Decodes one frame from an exact-size heap copy of `frame` (first `avail` bytes) with the
// stand-in synthesis.
MpegInOut decode(DecoderBox& d, const std::vector<uint8_t>& frame, size_t avail = SIZE_MAX) {
    if (avail > frame.size()) avail = frame.size();
    std::vector<uint8_t> in(frame.begin(), frame.begin() + long(avail));
    std::vector<uint8_t> out(4608 * 2);
    d->synth = capture_synth;
    g_rows.clear();
    return mpeg_decode_frame(d.get(), in.data(), int32_t(in.size()), out.data());
}

float row_at(int row, int entry) { return g_rows[size_t(row) * 64 + size_t(entry)]; }

// Single-precision agreement with a value worked out in double.
void expect_close(float actual, double want) {
    EXPECT_NEAR(actual, want, 1e-6 * std::fabs(want) + 1e-4);
}

// MPEG-1 Layer II bitrates in kbit/s by index, and the allocation table the standard gives for
// a bitrate per channel (Annex B.2): 32 and 48 kbit/s the small tables (c at 44.1/48 kHz, d at
// 32 kHz), 56 to 80 table a, 96 and up table a at 48 kHz and b otherwise; free format as the top
// rates; per-channel rates outside the standard's list have no table.
constexpr int kL2Kbps[15] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
constexpr int kSubbandsByTable[4] = {27, 30, 8, 12};

int expected_table(int channels, int freq, int index) {
    if (index == 15) return -1;
    const int per_channel = kL2Kbps[index] / channels;
    if (index == 0 || per_channel >= 96) {
        if (per_channel > 192) return -1;
        return freq == 1 ? 0 : 1;
    }
    if (per_channel == 32 || per_channel == 48) return freq == 2 ? 3 : 2;
    if (per_channel == 56 || per_channel == 64 || per_channel == 80) return 0;
    return -1;
}

TEST(Layer12Setup, AllocationTableFollowsBitratePerChannel) {
    for (int mode = 0; mode < 4; ++mode) {
        const int channels = mode == 3 ? 1 : 2;
        for (int freq = 0; freq < 3; ++freq) {
            for (int index = 0; index < 16; ++index) {
                DecoderBox d;
                MpegHeader h{};
                h.sync = 1, h.id = 1, h.layer = 2, h.protection_bit = 1;
                h.bitrate_index = index, h.sampling_frequency = freq, h.mode = mode;
                // Free format has no size from the header; any size will do for set-up.
                const int32_t ok = mpeg_decoder_setup(d.get(), &h, 600, 0, 0, 0, 48000);
                const int want = expected_table(channels, freq, index);
                SCOPED_TRACE(testing::Message() << "mode " << mode << " freq " << freq
                                                << " index " << index);
                ASSERT_EQ(ok, want >= 0 ? 1 : 0);
                if (want < 0) continue;
                EXPECT_EQ(d->l12.entries, channels * kSubbandsByTable[want]);
                const int32_t* c = d->l12.group_counts;
                EXPECT_EQ(c[0] + c[1] + c[2] + c[3], d->l12.entries);
            }
        }
    }
}

TEST(Layer12Setup, LowerSamplingFrequenciesUseTheirOwnTable) {
    for (int freq = 0; freq < 3; ++freq) {
        for (int mode : {0, 3}) {
            DecoderBox d;
            Hdr hd;
            hd.id = 0, hd.freq = freq, hd.bitrate = 8, hd.mode = mode;
            SetupResult s = setup_from(d, hd);
            ASSERT_EQ(s.ok, 1);
            const int ch = mode == 3 ? 1 : 2;
            EXPECT_EQ(d->l12.entries, 30 * ch);
            EXPECT_EQ(d->l12.group_counts[0], 4 * ch);
            EXPECT_EQ(d->l12.group_counts[1], 0);
            EXPECT_EQ(d->l12.group_counts[2], 7 * ch);
            EXPECT_EQ(d->l12.group_counts[3], 19 * ch);
            const int rates[3] = {22050, 24000, 16000};
            EXPECT_EQ(s.f.sample_rate, rates[freq]);
        }
    }
}

TEST(Layer12Setup, RejectsWrongLayerAndReservedFrequency) {
    DecoderBox d;
    MpegHeader h{};
    h.sync = 1, h.id = 1, h.layer = 2, h.bitrate_index = 10, h.sampling_frequency = 3;
    const MpegSetup p = mpeg_setup_params(600, 0, 0, 24000);
    EXPECT_EQ(l2_setup(d.get(), &h, &p), 0);
    h.sampling_frequency = 1, h.layer = 1;
    EXPECT_EQ(l2_setup(d.get(), &h, &p), 0);
    EXPECT_EQ(l1_setup(d.get(), &h, &p), 0);
    h.layer = 0;
    EXPECT_EQ(mpeg_decoder_setup(d.get(), &h, 600, 0, 0, 0, 24000), 0);
}

TEST(Layer12Setup, OutputFormatsAndDecodeLimits) {
    struct Case {
        int layer, freq, bitrate, mode, reduction, convert;
        int channels, out_samples, bytes, rate, limit_entries;
    };
    const Case cases[] = {
        // Layer II, 48 kHz, 192 kbit/s stereo (table a, 27 subbands).
        {2, 1, 10, 0, 0, 0, 2, 2304, 4608, 48000, 2 * 27},
        {2, 1, 10, 0, 0, 9, 1, 1152, 1152, 48000, 2 * 27},
        {2, 1, 10, 0, 2, 9, 1, 288, 288, 12000, 2 * 8},
        {2, 1, 10, 0, 1, 3, 1, 576, 1152, 24000, 2 * 15},
        // Reduction and freq_limit out of range are clamped.
        {2, 1, 10, 0, 5, 0, 2, 576, 1152, 12000, 2 * 8},
        {2, 1, 10, 0, -1, 0, 2, 2304, 4608, 48000, 2 * 27},
        // 44.1 kHz, 256 kbit/s stereo (table b, 30): limit 35 capped to 32, then to 30.
        {2, 0, 12, 1, 0, 0, 2, 2304, 4608, 44100, 2 * 30},
        // Mono sources ignore the channel selection.
        {2, 0, 10, 3, 0, 1, 1, 1152, 2304, 44100, 30},
        {2, 0, 10, 3, 0, 3, 1, 1152, 2304, 44100, 30},
        // Layer I, 44.1 kHz stereo, 384 kbit/s: all 32 subbands, the top one included.
        {3, 0, 12, 0, 0, 0, 2, 768, 1536, 44100, 2 * 32},
        {3, 2, 1, 3, 1, 8, 1, 192, 192, 16000, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "layer " << c.layer << " mode " << c.mode << " red "
                                        << c.reduction << " convert " << c.convert);
        DecoderBox d;
        Hdr hd;
        hd.layer = c.layer, hd.freq = c.freq, hd.bitrate = c.bitrate, hd.mode = c.mode;
        SetupResult s = setup_from(d, hd, c.reduction, c.convert);
        ASSERT_EQ(s.ok, 1);
        EXPECT_EQ(s.f.channels, c.channels);
        EXPECT_EQ(s.f.out_samples, c.out_samples);
        EXPECT_EQ(d->out_bytes, c.bytes);
        EXPECT_EQ(s.f.sample_rate, c.rate);
        EXPECT_EQ(d->l12.decode_limit, c.limit_entries);
    }
    // freq_limit below 1000 Hz acts as 1000: one subband at 32 kHz (500 Hz wide), two entries.
    DecoderBox d;
    Hdr hd;
    hd.freq = 2, hd.bitrate = 10;
    ASSERT_EQ(setup_from(d, hd, 0, 0, 0).ok, 1);
    EXPECT_EQ(d->l12.decode_limit, 2 * 2);
}

// A joint-stereo Layer II frame (48 kHz, 192 kbit/s, table a, mode extension 0: subbands 0-3
// coded per channel, 4 on shared) with every scalefactor selection pattern, 3-level grouped codes,
// 15-level codes and a shared 7-level subband scaled separately per channel.
std::vector<uint8_t> joint_l2_frame(int protection, int* frame_size) {
    BitWriter w;
    Hdr hd;
    hd.mode = 1, hd.ext = 0, hd.protection = protection;
    put_header(w, hd);
    // Allocation: group 0 (sb 0-2, 4 bits, per channel), group 1 (sb 3 per channel, 4-10
    // shared, 4 bits), group 2 (sb 11-22, 3 bits), group 3 (sb 23-26, 2 bits).
    w.put(1, 4);  // sb0 L: class 1 (3 levels)
    w.put(3, 4);  // sb0 R: class 5 (15 levels)
    for (int i = 0; i < 4; ++i) w.put(0, 4);  // sb1, sb2
    w.put(0, 4), w.put(0, 4);                 // sb3
    w.put(3, 4);                              // sb4 shared: class 3 (7 levels)
    for (int sb = 5; sb <= 10; ++sb) w.put(0, 4);
    for (int sb = 11; sb <= 22; ++sb) w.put(0, 3);
    for (int sb = 23; sb <= 26; ++sb) w.put(0, 2);
    // Scalefactor selection: entries 0, 1, 8, 9.
    w.put(1, 2), w.put(3, 2), w.put(2, 2), w.put(0, 2);
    // Scalefactors.
    w.put(10, 6), w.put(20, 6);        // entry 0: parts 0,1 and 2
    w.put(5, 6), w.put(7, 6);          // entry 1: part 0 and parts 1,2
    w.put(12, 6);                      // entry 8: all parts
    w.put(3, 6), w.put(6, 6), w.put(9, 6);  // entry 9: one per part
    for (int G = 0; G < 12; ++G) {
        w.put(G % 2 ? 31 : 26, 5);          // entry 0
        w.put(7, 4), w.put(14, 4), w.put(0, 4);  // entry 1
        w.put(uint32_t(G % 7), 3), w.put(uint32_t((G + 3) % 7), 3), w.put(6, 3);  // pair 8/9
    }
    *frame_size = 576;
    return w.frame(576);
}

void expect_joint_l2_rows() {
    ASSERT_EQ(g_rows.size(), size_t(36 * 64));
    const int k0[3] = {10, 10, 20}, k1[3] = {5, 7, 7}, k9[3] = {3, 6, 9};
    for (int G = 0; G < 12; ++G) {
        const int p = G / 4;
        for (int j = 0; j < 3; ++j) {
            const int row = 3 * G + j;
            SCOPED_TRACE(testing::Message() << "row " << row);
            // 26 is +1 +1 +1; 31, which the standard never sends, is 0 0 -1.
            const int v0 = G % 2 ? (j == 2 ? -1 : 0) : 1;
            const int v1s[3] = {0, 7, -7};
            const int codes[3] = {G % 7, (G + 3) % 7, 6};
            const int v1 = v1s[j], v8 = codes[j] - 3;
            expect_close(row_at(row, 0), v0 * 2.0 / 3 * sf(k0[p]));
            expect_close(row_at(row, 1), v1 * 2.0 / 15 * sf(k1[p]));
            expect_close(row_at(row, 8), v8 * 2.0 / 7 * sf(12));
            expect_close(row_at(row, 9), v8 * 2.0 / 7 * sf(k9[p]));
            for (int e = 0; e < 64; ++e) {
                if (e != 0 && e != 1 && e != 8 && e != 9) {
                    ASSERT_EQ(row_at(row, e), 0.0f) << e;
                }
            }
        }
    }
}

TEST(Layer12Frame, JointStereoLayerIIUnpacksPerChannelScales) {
    DecoderBox d;
    Hdr hd;
    hd.mode = 1;
    ASSERT_EQ(setup_from(d, hd).ok, 1);
    int size = 0;
    std::vector<uint8_t> f = joint_l2_frame(1, &size);
    MpegInOut io = decode(d, f);
    EXPECT_EQ(io.in_bytes, 576);
    EXPECT_EQ(io.out_bytes, 4608);
    expect_joint_l2_rows();
}

TEST(Layer12Frame, CrcFrameDecodesAsWithout) {
    DecoderBox d;
    Hdr hd;
    hd.mode = 1, hd.protection = 0;
    ASSERT_EQ(setup_from(d, hd).ok, 1);
    int size = 0;
    std::vector<uint8_t> f = joint_l2_frame(0, &size);
    MpegInOut io = decode(d, f);
    EXPECT_EQ(io.in_bytes, 576);
    expect_joint_l2_rows();
}

TEST(Layer12Frame, PaddingAddsOneSlot) {
    for (int layer : {2, 3}) {
        DecoderBox d;
        Hdr hd;
        hd.layer = layer, hd.freq = 0, hd.bitrate = 12;
        SetupResult s = setup_from(d, hd);
        ASSERT_EQ(s.ok, 1);
        const int32_t fb = s.f.frame_bytes;
        EXPECT_EQ(fb, layer == 2 ? 835 : 416);
        for (int pad : {0, 1}) {
            BitWriter w;
            hd.pad = pad;
            put_header(w, hd);
            MpegInOut io = decode(d, w.frame(size_t(fb) + 4));
            EXPECT_EQ(io.in_bytes, fb + pad * (layer == 2 ? 1 : 4)) << "layer code " << layer;
        }
    }
}

// Set up at 44.1 kHz stereo 160 kbit/s (table a, 27 subbands); frames of 192 kbit/s bring
// their own size and table b (30 subbands); 32 kbit/s has no table in stereo.
TEST(Layer12Frame, FramesOfAnotherBitrateBringTheirOwnLayout) {
    DecoderBox d;
    Hdr hd;
    hd.freq = 0, hd.bitrate = 9;
    ASSERT_EQ(setup_from(d, hd).ok, 1);
    const int bitrates[4] = {10, 1, 9, 14};
    const int sizes[4] = {626, 0, 522, 1253};
    const int entries[4] = {60, 60, 54, 60};
    for (int k = 0; k < 4; ++k) {
        BitWriter w;
        hd.bitrate = bitrates[k];
        put_header(w, hd);
        if (k == 0) {
            // Subband 28, left, exists only in table b: 3 levels, every value +1.
            for (int sb = 0; sb < 29; ++sb)
                for (int ch = 0; ch < 2; ++ch) w.put(sb == 28 && ch == 0, sb < 11 ? 4 : sb < 23 ? 3 : 2);
            w.put(0, 2), w.put(0, 2);  // subband 29
            w.put(2, 2), w.put(0, 6);  // one scalefactor, index 0
            for (int G = 0; G < 12; ++G) w.put(26, 5);
        }
        EXPECT_EQ(decode(d, w.frame(1300)).in_bytes, sizes[k]) << "bitrate index " << bitrates[k];
        EXPECT_EQ(d->l12.entries, entries[k]) << "bitrate index " << bitrates[k];
        if (k == 0) expect_close(row_at(35, 56), 2.0 / 3 * sf(0));
        if (k == 2) {
            EXPECT_EQ(row_at(35, 56), 0.0f) << "a subband of the old table kept its samples";
        }
    }
    // A free-format stream keeps the size found at set-up whatever a frame's index says.
    MpegHeader h{};
    h.sync = 1, h.id = 1, h.layer = 2, h.protection_bit = 1, h.sampling_frequency = 0;
    ASSERT_EQ(mpeg_decoder_setup(d.get(), &h, 700, 0, 0, 0, 24000), 1);
    BitWriter w;
    hd.bitrate = 10;
    put_header(w, hd);
    EXPECT_EQ(decode(d, w.frame(1300)).in_bytes, 700);
}

// A column whose entry loses its allocation must read zero again, whether it held samples in the
// frame before or several frames before (the decoder clears a silent column only when it may
// hold something), and an entry allocated again gets its samples back. Joint stereo from
// subband 4: subband 5 is one joint pair, entries 10 (left, scalefactor 0) and 11 (right, 3).
TEST(Layer12Frame, SilentEntriesReadZeroAfterAllocatedFrames) {
    DecoderBox d;
    Hdr hd;
    hd.mode = 1, hd.ext = 0;
    ASSERT_EQ(setup_from(d, hd).ok, 1);
    auto frame = [&](bool allocated) {
        BitWriter w;
        put_header(w, hd);
        for (int sb = 0; sb < 27; ++sb) {
            const int width = sb < 11 ? 4 : sb < 23 ? 3 : 2;
            for (int ch = 0; ch < (sb < 4 ? 2 : 1); ++ch) w.put(sb == 5 && allocated, width);
        }
        if (allocated) {
            w.put(2, 2), w.put(2, 2);  // one scalefactor per channel
            w.put(0, 6), w.put(3, 6);
            for (int g = 0; g < 12; ++g) w.put(26, 5);  // 3 levels, every value +1
        }
        return w.frame(576);
    };
    const bool pattern[6] = {true, false, false, true, false, true};
    for (int k = 0; k < 6; ++k) {
        ASSERT_EQ(decode(d, frame(pattern[k])).in_bytes, 576);
        for (int r = 0; r < 36; ++r) {
            if (pattern[k]) {
                expect_close(row_at(r, 10), 2.0 / 3 * sf(0));
                expect_close(row_at(r, 11), 2.0 / 3 * sf(3));
            } else {
                ASSERT_EQ(row_at(r, 10), 0.0f) << "frame " << k << " row " << r;
                ASSERT_EQ(row_at(r, 11), 0.0f) << "frame " << k << " row " << r;
            }
        }
    }
}

TEST(Layer12Frame, WrongSyncIsRejectedWithoutOutput) {
    DecoderBox d;
    Hdr hd;
    ASSERT_EQ(setup_from(d, hd).ok, 1);
    BitWriter w;
    put_header(w, hd);
    std::vector<uint8_t> f = w.frame(576);
    f[1] &= 0xEF;  // the 11-bit sync of MPEG-2.5
    std::vector<uint8_t> out(4608, 0xA5);
    d->synth = capture_synth;
    g_rows.clear();
    MpegInOut io = mpeg_decode_frame(d.get(), f.data(), int32_t(f.size()), out.data());
    EXPECT_EQ(io.in_bytes, 0);
    EXPECT_EQ(io.out_bytes, 0);
    EXPECT_TRUE(g_rows.empty());
    for (uint8_t b : out) ASSERT_EQ(b, 0xA5);
}

// 44.1 kHz, 192 kbit/s stereo (table b, 30 subbands) at quarter rate: 8 subbands decoded, the
// samples of the other 22 passed over with one skip per granule, their allocation and
// scalefactors still read.
std::vector<uint8_t> upper_band_frame() {
    BitWriter w;
    Hdr hd;
    hd.freq = 0, hd.bitrate = 10;
    put_header(w, hd);
    const int widths[30] = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3,
                            3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2};
    for (int sb = 0; sb < 30; ++sb) {
        for (int ch = 0; ch < 2; ++ch) {
            uint32_t a = 0;
            if (sb == 0 && ch == 0) a = 15;  // class 17: 16-bit codes
            if (sb == 12) a = 7;             // class 17 in a 3-bit row
            if (sb == 25) a = 2;             // class 2: 5 levels, grouped 7-bit codes
            w.put(a, widths[sb]);
        }
    }
    w.put(2, 2);                          // sb0 L
    w.put(0, 2), w.put(1, 2);             // sb12 L, R
    w.put(3, 2), w.put(2, 2);             // sb25 L, R
    w.put(4, 6);                          // sb0 L
    w.put(1, 6), w.put(2, 6), w.put(3, 6);  // sb12 L
    w.put(4, 6), w.put(5, 6);               // sb12 R
    w.put(6, 6), w.put(7, 6);               // sb25 L
    w.put(8, 6);                            // sb25 R
    for (int G = 0; G < 12; ++G) {
        for (int j = 0; j < 3; ++j) w.put(uint32_t(1000 * G + 300 * j + 5), 16);  // sb0 L
        for (int ch = 0; ch < 2; ++ch)
            for (int j = 0; j < 3; ++j) w.put(0xFFFFu - uint32_t(G + j + ch), 16);  // sb12
        w.put(uint32_t(100 + G), 7), w.put(uint32_t(3 * G), 7);                      // sb25
    }
    return w.frame(626);
}

TEST(Layer12Frame, QuarterRateSkipsUpperSubbandsButKeepsTheBitPosition) {
    const std::vector<uint8_t> f = upper_band_frame();
    DecoderBox full, quarter;
    Hdr hd;
    hd.freq = 0, hd.bitrate = 10;
    ASSERT_EQ(setup_from(full, hd, 0).ok, 1);
    ASSERT_EQ(setup_from(quarter, hd, 2).ok, 1);
    ASSERT_EQ(quarter->l12.decode_limit, 16);

    ASSERT_EQ(decode(full, f).in_bytes, 626);
    const std::vector<float> full_rows = g_rows;
    ASSERT_EQ(decode(quarter, f).in_bytes, 626);
    // Per granule: sb12 two channels of 48 bits, sb25 two of 7.
    EXPECT_EQ(quarter->l12.skip_bits, 2 * 48 + 2 * 7);
    EXPECT_EQ(full->l12.skip_bits, 0);
    bool upper_heard = false;
    for (int row = 0; row < 36; ++row) {
        const int G = row / 3, j = row % 3;
        const double want = (1000 * G + 300 * j + 5 - 32767) * 2.0 / 65535 * sf(4);
        expect_close(row_at(row, 0), want);
        ASSERT_EQ(full_rows[size_t(row) * 64], row_at(row, 0)) << "row " << row;
        for (int e = 1; e < 64; ++e) ASSERT_EQ(row_at(row, e), 0.0f) << "row " << row << " " << e;
        EXPECT_NE(full_rows[size_t(row) * 64 + 24], 0.0f);
        EXPECT_NE(full_rows[size_t(row) * 64 + 25], 0.0f);
        upper_heard |= full_rows[size_t(row) * 64 + 50] != 0.0f;
    }
    EXPECT_TRUE(upper_heard);
}

// Layer I, 44.1 kHz, 384 kbit/s, joint stereo with mode extension 0 (subbands 0-3 per channel).
// The forbidden allocation 15, alone or shared, counts as no allocation: the walk goes on.
TEST(Layer12Frame, LayerIJointStereoAndForbiddenAllocation) {
    DecoderBox d;
    Hdr hd;
    hd.layer = 3, hd.freq = 0, hd.bitrate = 12, hd.mode = 1, hd.ext = 0;
    ASSERT_EQ(setup_from(d, hd).ok, 1);
    BitWriter w;
    put_header(w, hd);
    w.put(3, 4), w.put(15, 4);  // sb0: L 4-bit codes, R forbidden
    w.put(0, 4), w.put(14, 4);  // sb1: R 15-bit codes
    for (int i = 0; i < 4; ++i) w.put(0, 4);
    for (int sb = 4; sb < 32; ++sb) w.put(sb == 5 ? 2 : sb == 6 ? 15 : sb == 7 ? 1 : 0, 4);
    w.put(4, 6), w.put(30, 6);  // sb0 L, sb1 R
    w.put(8, 6), w.put(16, 6);  // sb5 L, R
    w.put(0, 6), w.put(1, 6);   // sb7 L, R
    for (int r = 0; r < 12; ++r) {
        w.put(uint32_t((r + 3) % 16), 4);
        w.put(uint32_t(1000 * r + 7), 15);
        w.put(uint32_t(r % 8), 3);
        w.put(uint32_t(r % 4), 2);
    }
    MpegInOut io = decode(d, w.frame(416));
    EXPECT_EQ(io.in_bytes, 416);
    EXPECT_EQ(io.out_bytes, 1536);
    ASSERT_EQ(g_rows.size(), size_t(12 * 64));
    for (int r = 0; r < 12; ++r) {
        SCOPED_TRACE(testing::Message() << "row " << r);
        expect_close(row_at(r, 0), ((r + 3) % 16 - 7) * 2.0 / 15 * sf(4));
        expect_close(row_at(r, 3), (1000 * r + 7 - 16383) * 2.0 / 32767 * sf(30));
        expect_close(row_at(r, 10), (r % 8 - 3) * 2.0 / 7 * sf(8));
        expect_close(row_at(r, 11), (r % 8 - 3) * 2.0 / 7 * sf(16));
        expect_close(row_at(r, 14), (r % 4 - 1) * 2.0 / 3 * sf(0));
        expect_close(row_at(r, 15), (r % 4 - 1) * 2.0 / 3 * sf(1));
        for (int e = 0; e < 64; ++e) {
            if (e != 0 && e != 3 && e != 10 && e != 11 && e != 14 && e != 15) {
                ASSERT_EQ(row_at(r, e), 0.0f) << e;
            }
        }
    }
}

// Frames whose allocation claims every bit it can (all ones) and random frames, given with too
// few bytes or exactly their own: every read stays inside the bytes given (exact-size heap
// copies, checked by the sanitizer build) and the rows stay finite.
TEST(Layer12Frame, MalformedAndTruncatedFramesStayInBounds) {
    std::mt19937 rng(ziv::test_seed());
    const Hdr shapes[] = {
        {1, 2, 1, 10, 1, 0, 0, 0}, {1, 2, 0, 14, 0, 1, 1, 0}, {1, 2, 1, 1, 2, 0, 3, 0},
        {0, 2, 1, 8, 1, 0, 1, 2},  {1, 3, 1, 12, 0, 1, 1, 0}, {1, 3, 0, 1, 2, 0, 3, 0},
        {0, 3, 1, 5, 0, 0, 2, 0},
    };
    for (const Hdr& hd : shapes) {
        for (int reduction = 0; reduction < 3; ++reduction) {
            DecoderBox d;
            SetupResult s = setup_from(d, hd, reduction);
            ASSERT_EQ(s.ok, 1) << "layer code " << hd.layer << " bitrate " << hd.bitrate;
            const size_t fb = size_t(s.f.frame_bytes) + size_t(hd.pad) * (hd.layer == 3 ? 4 : 1);
            for (int trial = 0; trial < 60; ++trial) {
                BitWriter w;
                Hdr h = hd;
                h.mode = trial % 7 == 6 ? int(rng() % 4) : hd.mode;  // stray mode changes too
                h.ext = int(rng() % 4);
                put_header(w, h);
                std::vector<uint8_t> f = w.frame(fb);
                const size_t head = h.protection ? 4 : 6;
                for (size_t i = head; i < f.size(); ++i) f[i] = trial < 10 ? 0xFF : uint8_t(rng());
                const size_t avail = trial % 3 == 0 ? fb : rng() % (fb + 1);
                MpegInOut io = decode(d, f, avail);
                if (avail < fb) {
                    // A frame cut short is rejected whole: nothing consumed, nothing written.
                    ASSERT_EQ(io.in_bytes, 0) << "avail " << avail << " of " << fb;
                    ASSERT_EQ(io.out_bytes, 0);
                    continue;
                }
                ASSERT_EQ(io.in_bytes, int32_t(fb));
                for (float v : g_rows) ASSERT_TRUE(std::isfinite(v));
                // The bytes after the frame are not its own: the decode stays the same whatever
                // they hold.
                const std::vector<float> alone = g_rows;
                std::vector<uint8_t> longer(f);
                for (int i = 0; i < 64; ++i) longer.push_back(uint8_t(rng() | 1));
                ASSERT_EQ(decode(d, longer).in_bytes, int32_t(fb));
                ASSERT_TRUE(g_rows == alone) << "trial " << trial << " read past its frame";
            }
        }
    }
}

}  // namespace
