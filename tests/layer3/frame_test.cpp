// Layer III frame decoding: side information of hand-built frames (MPEG-1, MPEG-2, CRC, region
// counts, rejections), scalefactor layouts and copies, the bit reservoir (silence before its
// data, compaction, oversized free-format frames), truncated input, the per-decoder granule
// toggle, and random frames that must never read or write outside their buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "l3a_test_support.h"
#include "layer3_frame.h"
#include "test_util.h"

using namespace l3a;

namespace {

struct SideGranule {
    int part2_3_length = 0, big_values = 0, global_gain = 150, scalefac_compress = 0;
    int window_switching_flag = 0, block_type = 0, mixed_block_flag = 0;
    int table_select[3] = {0, 0, 0}, subblock_gain[3] = {0, 0, 0};
    int region0_count = 0, region1_count = 0, preflag = 0, scalefac_scale = 0, c1 = 0;
};

struct FrameSpec {
    int version = 1; // 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5
    bool crc = false;
    int bitrate_index = 9, sampling = 0, padding = 0, mode = 0, mode_extension = 0;
    int main_data_begin = 0;
    int scfsi[2] = {0, 0};
    SideGranule gr[2][2];
    std::vector<uint8_t> main_data; // placed after the side information, rest zero
    int size = 0;                   // whole frame; 0 = from the bitrate
};

int frame_size(const FrameSpec& f) {
    static const int br[2][16] = {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
                                  {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}};
    static const int hz[3][3] = {{22050, 24000, 16000}, {44100, 48000, 32000}, {11025, 12000, 8000}};
    if (f.size) return f.size;
    const int id = f.version == 1;
    const int k = f.version == 1 ? 144000 : 72000;
    return k * br[id][f.bitrate_index] / hz[f.version][f.sampling] + f.padding;
}

std::vector<uint8_t> build_frame(const FrameSpec& f) {
    BitWriter w;
    const bool lsf = f.version != 1;
    w.put(f.version == 2 ? 0xFFE : 0xFFF, 12);
    w.put(f.version == 1, 1);
    w.put(1, 2); // Layer III
    w.put(f.crc ? 0 : 1, 1);
    w.put(uint32_t(f.bitrate_index), 4);
    w.put(uint32_t(f.sampling), 2);
    w.put(uint32_t(f.padding), 1);
    w.put(0, 1);
    w.put(uint32_t(f.mode), 2);
    w.put(uint32_t(f.mode_extension), 2);
    w.put(0, 4);
    if (f.crc) w.put(0xBEEF, 16);
    const int nch = f.mode == 3 ? 1 : 2;
    w.put(uint32_t(f.main_data_begin), lsf ? 8 : 9);
    w.put(0, lsf ? (nch == 1 ? 1 : 2) : (nch == 1 ? 5 : 3));
    if (!lsf)
        for (int ch = 0; ch < nch; ++ch) w.put(uint32_t(f.scfsi[ch]), 4);
    for (int g = 0; g < (lsf ? 1 : 2); ++g)
        for (int ch = 0; ch < nch; ++ch) {
            const SideGranule& s = f.gr[g][ch];
            w.put(uint32_t(s.part2_3_length), 12);
            w.put(uint32_t(s.big_values), 9);
            w.put(uint32_t(s.global_gain), 8);
            w.put(uint32_t(s.scalefac_compress), lsf ? 9 : 4);
            w.put(uint32_t(s.window_switching_flag), 1);
            if (s.window_switching_flag) {
                w.put(uint32_t(s.block_type), 2);
                w.put(uint32_t(s.mixed_block_flag), 1);
                for (int r = 0; r < 2; ++r) w.put(uint32_t(s.table_select[r]), 5);
                for (int r = 0; r < 3; ++r) w.put(uint32_t(s.subblock_gain[r]), 3);
            } else {
                for (int r = 0; r < 3; ++r) w.put(uint32_t(s.table_select[r]), 5);
                w.put(uint32_t(s.region0_count), 4);
                w.put(uint32_t(s.region1_count), 3);
            }
            if (!lsf) w.put(uint32_t(s.preflag), 1);
            w.put(uint32_t(s.scalefac_scale), 1);
            w.put(uint32_t(s.c1), 1);
        }
    EXPECT_EQ(w.nbits % 8, 0u);
    std::vector<uint8_t> out = w.bytes;
    out.insert(out.end(), f.main_data.begin(), f.main_data.end());
    out.resize(size_t(frame_size(f)), 0);
    return out;
}

// Parses the frame's header and sets a decoder up for its stream.
DecoderPtr setup_for(const std::vector<uint8_t>& frame, int convert = 0, int size = 0,
                     int reduction = 0) {
    auto d = make_decoder();
    MpegHeader h;
    int32_t fb = mpeg_header_parse(frame.data(), int32_t(frame.size()), &h);
    if (size) fb = size;
    EXPECT_GT(fb, 0);
    EXPECT_EQ(mpeg_decoder_setup(d.get(), &h, fb, reduction, 0, convert, 24000), 1);
    return d;
}

// Decodes from a heap copy of exactly `avail` bytes, so that any read past them is caught by
// the address sanitizer.
MpegInOut decode_exact(MpegDecoder* d, const std::vector<uint8_t>& frame, size_t avail,
                   std::vector<uint8_t>* out) {
    std::unique_ptr<uint8_t[]> copy = ziv::exact_copy(frame, avail);
    return mpeg_decode_frame(d, copy.get(), int32_t(avail), out->data());
}

int32_t read_side(MpegDecoder* d, const std::vector<uint8_t>& frame, int slot = -1) {
    MpegHeader h;
    EXPECT_EQ(mpeg_header_decode(frame.data(), int32_t(frame.size()), &h), 1);
    const size_t after = h.protection_bit ? 4 : 6;
    l3_bits_begin(&d->l3.br, frame.data() + after, frame.data() + frame.size());
    d->l3.is_mpeg25 = h.sync == 2;
    return slot < 0 ? l3_read_side_info(d, &h) : l3_read_side_info_lsf(d, &h, slot);
}

TEST(SideInfo, Mpeg1MonoFields) {
    FrameSpec f;
    f.mode = 3;
    f.main_data_begin = 300;
    f.scfsi[0] = 0xA;
    SideGranule& g = f.gr[1][0];
    g.part2_3_length = 4000;
    g.big_values = 288;
    g.global_gain = 201;
    g.scalefac_compress = 13;
    g.table_select[0] = 31;
    g.table_select[2] = 17;
    g.region0_count = 15;
    g.region1_count = 7;
    g.preflag = g.scalefac_scale = g.c1 = 1;
    auto d = make_decoder();
    auto frame = build_frame(f);
    ASSERT_EQ(read_side(d.get(), frame), 21);
    const L3State& s = d->l3;
    EXPECT_EQ(s.nch, 1);
    EXPECT_EQ(s.main_data_begin, 300);
    EXPECT_EQ(s.scfsi[0], 0xA);
    EXPECT_EQ(s.frame_bytes, 417); // 128 kbit/s at 44.1 kHz
    EXPECT_EQ(s.crc_bytes, 0);
    const GranuleInfo& gi = s.gr[1][0];
    EXPECT_EQ(gi.part2_3_length, 4000);
    EXPECT_EQ(gi.big_values, 288);
    EXPECT_EQ(gi.global_gain, 201);
    EXPECT_EQ(gi.scalefac_compress, 13);
    EXPECT_EQ(gi.table_select[0], 31);
    EXPECT_EQ(gi.table_select[2], 17);
    EXPECT_EQ(gi.region0_count, 15);
    EXPECT_EQ(gi.region1_count, 7);
    EXPECT_EQ(gi.preflag + gi.scalefac_scale + gi.count1table_select, 3);
    EXPECT_EQ(l3_bits_used(&d->l3.br), 8 * (21 - 4));  // the side information after the header
}

TEST(SideInfo, Mpeg1StereoCrcWindowSwitchingAndMs) {
    FrameSpec f;
    f.crc = true;
    f.mode = 1;
    f.mode_extension = 2; // MS
    f.padding = 1;
    f.main_data_begin = 511;
    SideGranule& g = f.gr[0][1];
    g.window_switching_flag = 1;
    g.block_type = 2;
    g.mixed_block_flag = 1;
    g.table_select[0] = 5;
    g.table_select[1] = 9;
    g.subblock_gain[0] = 7;
    g.subblock_gain[2] = 3;
    g.global_gain = 100;
    auto d = make_decoder();
    auto frame = build_frame(f);
    ASSERT_EQ(read_side(d.get(), frame), 36);
    const L3State& s = d->l3;
    EXPECT_EQ(s.crc_bytes, 2);
    EXPECT_EQ(s.main_data_begin, 511) << "read after the CRC";
    EXPECT_EQ(s.padding_bit, 1);
    EXPECT_EQ(s.ms_stereo, 1);
    EXPECT_EQ(s.i_stereo, 0);
    const GranuleInfo& gi = s.gr[0][1];
    EXPECT_EQ(gi.global_gain, 98) << "MS stereo lowers every gain by 2";
    EXPECT_EQ(gi.block_type, 2);
    EXPECT_EQ(gi.mixed_block_flag, 1);
    EXPECT_EQ(gi.table_select[1], 9);
    EXPECT_EQ(gi.subblock_gain[0], 7);
    EXPECT_EQ(gi.subblock_gain[2], 3);
    EXPECT_EQ(gi.region0_count, 7);
    EXPECT_EQ(gi.region1_count, 13);
    EXPECT_EQ(l3_bits_used(&d->l3.br), 8 * (36 - 4));  // after the header and the CRC

    // Outside joint stereo the mode extension means nothing.
    f.mode = 0;
    f.mode_extension = 3;
    auto plain = build_frame(f);
    ASSERT_EQ(read_side(d.get(), plain), 36);
    EXPECT_EQ(d->l3.mode_extension, 0);
    EXPECT_EQ(d->l3.gr[0][1].global_gain, 100);
}

TEST(SideInfo, LsfSlotsRegionCountsAndSizes) {
    FrameSpec f;
    f.version = 0;
    f.bitrate_index = 8; // 64 kbit/s at 22.05 kHz: 208 bytes
    f.mode = 0;
    f.main_data_begin = 255;
    f.gr[0][0].scalefac_compress = 511;
    f.gr[0][0].window_switching_flag = 1;
    f.gr[0][0].block_type = 2;
    f.gr[0][1].window_switching_flag = 1;
    f.gr[0][1].block_type = 3;
    auto d = make_decoder();
    d->l3.gr[1][0].preflag = 1;
    ASSERT_EQ(read_side(d.get(), build_frame(f), 1), 21);
    const L3State& s = d->l3;
    EXPECT_EQ(s.frame_bytes, 208);
    EXPECT_EQ(s.main_data_begin, 255);
    EXPECT_EQ(s.gr[1][0].scalefac_compress, 511);
    EXPECT_EQ(s.gr[1][0].preflag, 0);
    EXPECT_EQ(s.gr[1][0].region0_count, 5);
    EXPECT_EQ(s.gr[1][0].region1_count, 15);
    EXPECT_EQ(s.gr[1][1].region0_count, 7);
    EXPECT_EQ(s.gr[1][1].region1_count, 13);
    EXPECT_EQ(s.scfsi[0] + s.scfsi[1], 0);

    f.mode = 3;
    f.version = 2; // MPEG-2.5, 8 kbit/s... index 8 = 64 kbit/s at 11.025 kHz: 417 bytes
    ASSERT_EQ(read_side(d.get(), build_frame(f), 0), 13);
    EXPECT_EQ(d->l3.frame_bytes, 417);
}

TEST(FrameDecode, RejectsBadSyncBigValuesAndBadFields) {
    FrameSpec f;
    auto good = build_frame(f);
    auto d = setup_for(good);
    std::vector<uint8_t> out(8192, 0x11);
    EXPECT_GT(decode_exact(d.get(), good, good.size(), &out).in_bytes, 0);

    FrameSpec big = f;
    big.gr[1][1].big_values = 289;
    auto reject = build_frame(big);
    const int32_t fill = d->l3.reservoir_fill;
    std::fill(out.begin(), out.end(), 0x11);
    MpegInOut r = decode_exact(d.get(), reject, reject.size(), &out);
    EXPECT_EQ(r.in_bytes, 0);
    EXPECT_EQ(r.out_bytes, 0);
    EXPECT_EQ(out[0], 0x11) << "nothing written";
    EXPECT_EQ(d->l3.reservoir_fill, fill);

    auto bad_rate = good;
    bad_rate[2] = uint8_t(bad_rate[2] | 0xF0); // bitrate index 15
    EXPECT_EQ(decode_exact(d.get(), bad_rate, bad_rate.size(), &out).in_bytes, 0);
    auto bad_fs = good;
    bad_fs[2] = uint8_t(bad_fs[2] | 0x0C); // sampling index 3
    EXPECT_EQ(decode_exact(d.get(), bad_fs, bad_fs.size(), &out).in_bytes, 0);
    auto lsf_sync = good;
    lsf_sync[1] = 0xE3; // 0xFFE is not an MPEG-1 frame
    EXPECT_EQ(decode_exact(d.get(), lsf_sync, lsf_sync.size(), &out).in_bytes, 0);
}

TEST(FrameDecode, TruncatedFramesAreRejectedWithoutReadingPastTheInput) {
    FrameSpec f;
    f.gr[0][0].part2_3_length = 4095;
    f.gr[0][0].big_values = 200;
    f.gr[0][0].table_select[0] = 24;
    f.main_data.assign(300, 0xA7);
    auto frame = build_frame(f);
    auto d = setup_for(frame);
    std::vector<uint8_t> out(8192);
    for (size_t avail = 0; avail < frame.size(); ++avail) {
        MpegInOut r = decode_exact(d.get(), frame, avail, &out);
        ASSERT_EQ(r.in_bytes, 0) << "avail " << avail;
        ASSERT_EQ(d->l3.reservoir_fill, 0) << "avail " << avail;
    }
    EXPECT_EQ(decode_exact(d.get(), frame, frame.size(), &out).in_bytes, int32_t(frame.size()));
}

// The output of frames whose main data lies before the stream start is silence, exactly one
// frame of it; the main data is kept, and decoding resumes once main_data_begin is covered.
TEST(Reservoir, SilenceUntilMainDataBeginIsCovered) {
    for (int convert : {0, 8}) {
        FrameSpec f;
        f.main_data_begin = 400; // more than one frame's main data (381 bytes)
        auto first = build_frame(f);
        auto d = setup_for(first, convert);
        const int32_t out_bytes = convert ? 2304 : 4608;
        const uint8_t silence = convert ? 0x80 : 0x00;
        std::vector<uint8_t> out(8192, 0x5C);
        MpegInOut r = decode_exact(d.get(), first, first.size(), &out);
        EXPECT_EQ(r.in_bytes, 417);
        EXPECT_EQ(r.out_bytes, out_bytes);
        for (int32_t i = 0; i < out_bytes; ++i) ASSERT_EQ(out[size_t(i)], silence) << i;
        EXPECT_EQ(out[size_t(out_bytes)], 0x5C) << "nothing past out_bytes";
        EXPECT_EQ(d->l3.reservoir_fill, 417 - 36);
        EXPECT_LT(d->l3.main_start, 0);

        r = decode_exact(d.get(), first, first.size(), &out);
        EXPECT_EQ(d->l3.main_start, 381 - 400) << "still not covered";
        r = decode_exact(d.get(), first, first.size(), &out);
        EXPECT_EQ(d->l3.main_start, 762 - 400) << "covered: decoded";
        EXPECT_EQ(r.out_bytes, out_bytes);
    }
}

TEST(Reservoir, CompactionKeepsOnlyTheLastMainDataBeginBytes) {
    FrameSpec f;
    f.main_data_begin = 300;
    f.main_data.assign(381, 0);
    for (size_t i = 0; i < f.main_data.size(); ++i) f.main_data[i] = uint8_t(i * 7 + 1);
    auto frame = build_frame(f);
    auto d = setup_for(frame);
    L3State& s = d->l3;
    for (int i = 0; i < 7000; ++i) s.reservoir[i] = uint8_t(i % 251);
    s.reservoir_fill = 7000;
    std::vector<uint8_t> out(8192);
    ASSERT_EQ(decode_exact(d.get(), frame, frame.size(), &out).in_bytes, 417);
    EXPECT_EQ(s.main_start, 0);
    EXPECT_EQ(s.reservoir_fill, 300 + 381);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(s.reservoir[i], uint8_t((6700 + i) % 251)) << i;
    EXPECT_EQ(0, std::memcmp(s.reservoir + 300, f.main_data.data(), 381));

    // At 6692 bytes or below nothing moves.
    s.reservoir_fill = 6000;
    ASSERT_EQ(decode_exact(d.get(), frame, frame.size(), &out).in_bytes, 417);
    EXPECT_EQ(s.main_start, 6000 - 300);
    EXPECT_EQ(s.reservoir_fill, 6381);
}

// Free-format frames may carry more main data than is left behind the reservoir's contents;
// the reservoir then keeps what main_data_begin needs, or starts over, and never overflows.
TEST(Reservoir, OversizedFreeFormatFramesStayInsideTheReservoir) {
    FrameSpec f;
    f.bitrate_index = 0;
    f.size = 8000;
    f.main_data_begin = 200;
    auto frame = build_frame(f);
    auto d = setup_for(frame, 0, 8000);
    L3State& s = d->l3;
    std::vector<uint8_t> out(8192);
    s.reservoir_fill = 6000;
    ASSERT_EQ(decode_exact(d.get(), frame, frame.size(), &out).in_bytes, 8000);
    EXPECT_EQ(s.main_start, 0);
    EXPECT_EQ(s.reservoir_fill, 200 + 8000 - 36);

    // Too big to follow even main_data_begin bytes: start over, this frame gives silence.
    FrameSpec g = f;
    g.size = 8200;
    g.main_data_begin = 100;
    auto huge = build_frame(g);
    auto e = setup_for(huge, 0, 8200);
    e->l3.reservoir_fill = 500;
    std::fill(out.begin(), out.end(), 0x33);
    ASSERT_EQ(decode_exact(e.get(), huge, huge.size(), &out).in_bytes, 8200);
    EXPECT_EQ(e->l3.reservoir_fill, 8200 - 36);
    EXPECT_EQ(out[0], 0);

    // More than the reservoir holds: rejected.
    g.size = 8300;
    auto over = build_frame(g);
    auto o = setup_for(over, 0, 8300);
    EXPECT_EQ(decode_exact(o.get(), over, over.size(), &out).in_bytes, 0);
    EXPECT_EQ(o->l3.reservoir_fill, 0);
}

// The compiled band table against the standard's figures in ../shared/tables (regenerate with
// tools/huffgen when they change); 11.025 and 12 kHz reuse the 16 kHz row.
TEST(BandTable, MatchesTheSharedFigures) {
    std::ifstream f(ziv::shared_dir() + "/tables/scalefactor_bands.txt");
    ASSERT_TRUE(f.good());
    const int rows_by_rate[6][2] = {{22050, 0}, {24000, 1}, {16000, 2}, {44100, 3}, {48000, 4}, {32000, 5}};
    std::string line;
    int checked = 0;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        int rate;
        std::string kind;
        ls >> rate >> kind;
        std::vector<int32_t> v;
        int32_t x;
        while (ls >> x) v.push_back(x);
        ASSERT_EQ(v.size(), kind == "long" ? 23u : 14u) << line;
        for (const auto& rr : rows_by_rate) {
            if (rr[0] != rate) continue;
            std::vector<int> rows = {rr[1]};
            if (rate == 16000) rows = {2, 6, 7};
            for (int row : rows)
                for (size_t i = 0; i < v.size(); ++i)
                    EXPECT_EQ(sfb_table[row][(kind == "long" ? 0 : 23) + i], v[i]) << rate << " " << kind << " " << i;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 12);
    const int32_t eight_k[37] = {0,  12, 24, 36, 48, 60, 72, 88, 108, 132, 160, 192, 232, 280, 336, 400,
                                 476, 566, 568, 570, 572, 574, 576, 0, 8, 16, 24, 36, 52, 72, 96, 124,
                                 160, 162, 164, 166, 192};
    for (int i = 0; i < 37; ++i) EXPECT_EQ(sfb_table[8][i], eight_k[i]) << i;
}

TEST(Scalefactors, Mpeg1ScfsiCopiesGroupsFromGranuleZero) {
    auto d = make_decoder();
    GranuleInfo gi{};
    gi.scalefac_compress = 15; // slen 4, 3
    int32_t g0[62], g1[62] = {};
    for (int i = 0; i < 62; ++i) g0[i] = 100 + i;
    std::vector<uint8_t> ones(16, 0xFF);
    read_from(d.get(), ones);
    l3_read_scalefactors(d.get(), g1, &gi, 15, g0);
    EXPECT_EQ(l3_bits_used(&d->l3.br), 0);
    for (int i = 0; i < 21; ++i) EXPECT_EQ(g1[i], 100 + i);
    EXPECT_EQ(g1[21], 0);

    // scfsi 0101: groups 0-5 and 11-15 read, 6-10 and 16-20 copied.
    BitWriter w;
    for (int i = 0; i < 6; ++i) w.put(uint32_t(i), 4);
    for (int i = 0; i < 5; ++i) w.put(uint32_t(i + 2), 3);
    read_from(d.get(), w.bytes);
    l3_read_scalefactors(d.get(), g1, &gi, 5, g0);
    EXPECT_EQ(l3_bits_used(&d->l3.br), 6 * 4 + 5 * 3);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(g1[i], i);
    for (int i = 6; i < 11; ++i) EXPECT_EQ(g1[i], 100 + i);
    for (int i = 11; i < 16; ++i) EXPECT_EQ(g1[i], i - 9);
    for (int i = 16; i < 21; ++i) EXPECT_EQ(g1[i], 100 + i);

    // Granule 0 ignores scfsi.
    BitWriter z;
    z.put(0, 11 * 4 + 10 * 3);
    read_from(d.get(), z.bytes);
    l3_read_scalefactors(d.get(), g1, &gi, 15, nullptr);
    EXPECT_EQ(l3_bits_used(&d->l3.br), 74);
}

TEST(Scalefactors, Mpeg1ShortAndMixedLayouts) {
    auto d = make_decoder();
    GranuleInfo gi{};
    gi.block_type = 2;
    gi.scalefac_compress = 10; // slen 2, 3
    BitWriter w;
    int v = 0;
    for (int sb = 0; sb < 12; ++sb)
        for (int win = 0; win < 3; ++win) w.put(uint32_t(v++ & (sb < 6 ? 3 : 7)), sb < 6 ? 2 : 3);
    int32_t sf[62];
    for (int32_t& x : sf) x = -1;
    read_from(d.get(), w.bytes);
    l3_read_scalefactors(d.get(), sf, &gi, 15, sf); // scfsi ignored for short blocks
    EXPECT_EQ(l3_bits_used(&d->l3.br), 18 * 2 + 18 * 3);
    v = 0;
    for (int sb = 0; sb < 12; ++sb)
        for (int win = 0; win < 3; ++win)
            EXPECT_EQ(sf[23 + 13 * win + sb], v++ & (sb < 6 ? 3 : 7)) << sb << " " << win;
    for (int win = 0; win < 3; ++win) EXPECT_EQ(sf[23 + 13 * win + 12], -1) << "band 12 untouched";
    EXPECT_EQ(sf[0], -1);

    gi.mixed_block_flag = 1;
    BitWriter m;
    for (int i = 0; i < 8; ++i) m.put(uint32_t(i & 3), 2);
    for (int sb = 3; sb < 12; ++sb)
        for (int win = 0; win < 3; ++win) m.put(uint32_t(win + 1), sb < 6 ? 2 : 3);
    for (int32_t& x : sf) x = -1;
    read_from(d.get(), m.bytes);
    l3_read_scalefactors(d.get(), sf, &gi, 0, nullptr);
    EXPECT_EQ(l3_bits_used(&d->l3.br), 8 * 2 + 9 * 2 + 18 * 3);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(sf[i], i & 3);
    EXPECT_EQ(sf[8], -1);
    for (int win = 0; win < 3; ++win) {
        EXPECT_EQ(sf[23 + 13 * win + 2], -1);
        for (int sb = 3; sb < 12; ++sb) EXPECT_EQ(sf[23 + 13 * win + sb], win + 1);
    }
}

// Bits read by the MPEG-2 scalefactors for a given scalefac_compress and block kind.
int lsf_bits(MpegDecoder* d, int sfc, int bt, int mixed, int is_channel, GranuleInfo* gi,
             LsfIsInfo* is) {
    *gi = GranuleInfo{};
    gi->scalefac_compress = sfc;
    gi->block_type = bt;
    gi->mixed_block_flag = mixed;
    gi->preflag = 7;
    std::vector<uint8_t> zeros(64, 0);
    read_from(d, zeros);
    int32_t sf[62];
    l3_read_scalefactors_lsf(d, sf, gi, is_channel, is);
    return l3_bits_used(&d->l3.br);
}

TEST(Scalefactors, LsfPartitionsPreflagAndIntensityLayout) {
    auto d = make_decoder();
    GranuleInfo gi;
    LsfIsInfo is{};
    // sfc 399: slen (4, 4, 3, 3) over 6, 5, 5, 5 long bands.
    EXPECT_EQ(lsf_bits(d.get(), 399, 0, 0, 0, &gi, &is), 6 * 4 + 5 * 4 + 5 * 3 + 5 * 3);
    EXPECT_EQ(gi.preflag, 0);
    // sfc 499: t = 99, slen (4, 4, 3, 0) over 6, 5, 7, 3 bands; short: 3, 3, 4, 2 bands x 3.
    EXPECT_EQ(lsf_bits(d.get(), 499, 0, 0, 0, &gi, &is), 6 * 4 + 5 * 4 + 7 * 3);
    EXPECT_EQ(lsf_bits(d.get(), 499, 2, 0, 0, &gi, &is), 3 * (3 * 4 + 3 * 4 + 4 * 3));
    // sfc 500..511 set preflag: t = 11, slen (3, 2) over 11, 10 bands.
    for (int sfc = 500; sfc < 512; ++sfc) {
        const int t = sfc - 500;
        EXPECT_EQ(lsf_bits(d.get(), sfc, 0, 0, 0, &gi, &is), 11 * (t / 3) + 10 * (t % 3));
        EXPECT_EQ(gi.preflag, 1) << sfc;
    }
    // Mixed with sfc >= 500: six long bands with t/3, then 3 short bands with t/3, 6 with t%3.
    EXPECT_EQ(lsf_bits(d.get(), 511, 2, 1, 0, &gi, &is), 6 * 3 + 3 * 3 * 3 + 3 * 6 * 2);
    // Intensity channel: never preflag; i = 255 -> t = 11, slen (3, 2, 0), partition 5.
    EXPECT_EQ(lsf_bits(d.get(), 511, 0, 0, 1, &gi, &is), 8 * 3 + 8 * 2);
    EXPECT_EQ(gi.preflag, 0);
    EXPECT_EQ(is.intensity_scale, 1);
    EXPECT_EQ(is.cnt[0], 8);
    EXPECT_EQ(is.cnt[1], 8);
    EXPECT_EQ(is.cnt[2], 5);
    EXPECT_EQ(is.slen[0], 3);
    EXPECT_EQ(is.slen[1], 2);
    EXPECT_EQ(is.slen[2], 0);
    // i = 200 (sfc 400): t = 20, slen (1, 1, 0) over 6, 6, 6, 3 bands; intensity_scale 0.
    EXPECT_EQ(lsf_bits(d.get(), 400, 0, 0, 1, &gi, &is), 6 + 6);
    EXPECT_EQ(is.intensity_scale, 0);
    EXPECT_EQ(is.slen[0], 1);
    // i = 100 (sfc 200): slen (2, 4, 4) over partition 3: 7, 7, 7 bands.
    EXPECT_EQ(lsf_bits(d.get(), 200, 0, 0, 1, &gi, &is), 7 * 2 + 7 * 4 + 7 * 4);
}

TEST(Scalefactors, LsfValuesLandInTheirBands) {
    auto d = make_decoder();
    GranuleInfo gi{};
    gi.block_type = 2;
    gi.scalefac_compress = 0x1B; // sfc < 400: slen (0, 1, 2, 3), short counts 3 3 3 3
    BitWriter w;
    for (int k = 1; k < 4; ++k)
        for (int b = 0; b < 3; ++b)
            for (int win = 0; win < 3; ++win) w.put(uint32_t(k), k);
    int32_t sf[62];
    for (int32_t& x : sf) x = -1;
    read_from(d.get(), w.bytes);
    LsfIsInfo is{};
    l3_read_scalefactors_lsf(d.get(), sf, &gi, 0, &is);
    for (int win = 0; win < 3; ++win)
        for (int sb = 0; sb < 12; ++sb) EXPECT_EQ(sf[23 + 13 * win + sb], sb / 3) << win << " " << sb;
}

// region0_count + region1_count + 2 may name a boundary past the last long band; region 1 then
// runs to the end of the big values (the standard's reading) instead of region 2 restarting
// at a short-block boundary and overwriting region 1 with zeros.
TEST(FrameDecode, RegionBoundaryPastTheLastBandEndsRegionOneAtBigValues) {
    FrameSpec f;
    f.mode = 3;
    SideGranule& g = f.gr[0][0];
    g.big_values = 288;     // every line is a big value: no count1 region
    g.table_select[1] = 1;  // region 1 from long_end[15] = 162 (44.1 kHz); regions 0, 2 zero
    g.region0_count = 15;
    g.region1_count = 7;    // boundary index 23: past the 22 long bands
    g.global_gain = 210;
    g.c1 = 1;
    BitWriter w;
    for (int i = 0; i < 19; ++i) w.put(0b00000, 5); // (1, 1), both positive
    for (int i = 19; i < 207; ++i) w.put(1, 1);     // (0, 0)
    g.part2_3_length = int(w.nbits);
    w.align();
    f.main_data = w.bytes;
    auto frame = build_frame(f);
    auto d = setup_for(frame);
    std::vector<uint8_t> out(8192, 0);
    ASSERT_EQ(decode_exact(d.get(), frame, frame.size(), &out).in_bytes, 417);
    int nonzero = 0;
    for (int i = 0; i < 2304; ++i) nonzero += out[size_t(i)] != 0;
    EXPECT_GT(nonzero, 1000) << "region 1 lines reached the output";
}

// At half rate only 15 subbands (270 lines) are kept, but short blocks arrive band by band:
// the short band that straddles line 270 (lines 252..317 at 44.1 kHz) is decoded whole, so its
// third window reaches the reordered spectrum.
TEST(FrameDecode, ReducedRateShortBlocksDecodeWholeShortBands) {
    FrameSpec f;
    f.mode = 3;
    SideGranule& g = f.gr[0][0];
    g.window_switching_flag = 1;
    g.block_type = 2;
    g.big_values = 159;    // lines 0..317
    g.table_select[1] = 1; // region 1 from line 36
    g.global_gain = 210;
    BitWriter w;
    for (int i = 0; i < 140; ++i) w.put(1, 1); // (0, 0)
    w.put(0b00000, 5);                         // (1, 1) at lines 316, 317: band 10, window 2
    g.part2_3_length = int(w.nbits);
    w.align();
    f.main_data = w.bytes;
    auto frame = build_frame(f);
    auto d = setup_for(frame, 0, 0, 1);
    ASSERT_EQ(d->l3.huff_limit, 270);
    std::vector<uint8_t> out(8192);
    ASSERT_EQ(decode_exact(d.get(), frame, frame.size(), &out).in_bytes, 417);
    EXPECT_EQ(d->l3.summary[0][0].is_short, 1);
    EXPECT_EQ(d->l3.summary[0][0].last_band_w[2], 10);
    EXPECT_EQ(d->l3.summary[0][0].last_band_w[0], 0);
}

TEST(FrameDecode, GranuleToggleBelongsToEachDecoder) {
    FrameSpec f;
    f.version = 0;
    f.bitrate_index = 8;
    f.mode = 3;
    auto frame = build_frame(f);
    auto a = setup_for(frame);
    auto b = setup_for(frame);
    const int32_t b0 = b->l3.granule_toggle;
    std::vector<uint8_t> out(8192);
    const int32_t a0 = a->l3.granule_toggle;
    ASSERT_GT(decode_exact(a.get(), frame, frame.size(), &out).in_bytes, 0);
    EXPECT_EQ(a->l3.granule_toggle, a0 ^ 1);
    ASSERT_GT(decode_exact(a.get(), frame, frame.size(), &out).in_bytes, 0);
    EXPECT_EQ(a->l3.granule_toggle, a0);
    EXPECT_EQ(b->l3.granule_toggle, b0);
    // A rejected frame leaves the toggle.
    EXPECT_EQ(decode_exact(a.get(), frame, 10, &out).in_bytes, 0);
    EXPECT_EQ(a->l3.granule_toggle, a0);
}

// Random side information and main data behind valid headers, for each version, channel layout,
// output form and reduction; run under the address sanitizer this proves every read and write
// stays in bounds.
TEST(FrameDecode, RandomFramesStayInBounds) {
    std::mt19937 rng(ziv::test_seed());
    for (int version : {1, 0, 2}) {
        for (int mode : {3, 1, 0}) {
            for (int convert : {0, 1, 2, 11}) {
                FrameSpec f;
                f.version = version;
                f.mode = mode;
                auto first = build_frame(f);
                auto d = setup_for(first, convert, 0, int(rng() % 3));
                std::vector<uint8_t> out(8192 + 16, 0);
                int decoded = 0;
                for (int n = 0; n < 150; ++n) {
                    FrameSpec r = f;
                    r.bitrate_index = 1 + int(rng() % 14);
                    r.padding = int(rng() & 1);
                    r.crc = rng() & 1;
                    r.mode_extension = mode == 1 ? int(rng() & 3) : 0;
                    // Odd frames: random fields within their ranges; even frames: everything
                    // after the header (and CRC) random.
                    r.main_data_begin = int(rng() % (version == 1 ? 512 : 256));
                    for (auto& gr : r.gr)
                        for (auto& g : gr) {
                            g.part2_3_length = int(rng() % 4096);
                            g.big_values = int(rng() % 289);
                            g.global_gain = int(rng() % 256);
                            g.scalefac_compress = int(rng() % (version == 1 ? 16 : 512));
                            g.window_switching_flag = int(rng() & 1);
                            g.block_type = int(rng() % 4);
                            g.mixed_block_flag = int(rng() & 1);
                            for (int& t : g.table_select) t = int(rng() % 32);
                            for (int& t : g.subblock_gain) t = int(rng() % 8);
                            g.region0_count = int(rng() % 16);
                            g.region1_count = int(rng() % 8);
                            g.preflag = int(rng() & 1);
                            g.scalefac_scale = int(rng() & 1);
                            g.c1 = int(rng() & 1);
                        }
                    auto frame = build_frame(r);
                    const size_t side = (r.crc ? 6 : 4) + (version == 1 ? (mode == 3 ? 17 : 32)
                                                                         : (mode == 3 ? 9 : 17));
                    for (size_t i = (n & 1) ? side : (r.crc ? 6 : 4); i < frame.size(); ++i)
                        frame[i] = uint8_t(rng());
                    size_t avail = frame.size() - ((n % 11 == 0) ? rng() % frame.size() : 0);
                    MpegInOut io = decode_exact(d.get(), frame, avail, &out);
                    ASSERT_TRUE(io.in_bytes == 0 || io.in_bytes == int32_t(frame.size()))
                        << "version " << version << " mode " << mode << " frame " << n;
                    if (io.in_bytes) {
                        ASSERT_EQ(io.out_bytes, d->out_bytes);
                        ++decoded;
                    }
                    ASSERT_LE(d->l3.reservoir_fill, 8192);
                    ASSERT_GE(d->l3.reservoir_fill, 0);
                }
                EXPECT_GT(decoded, 50) << "version " << version << " mode " << mode;
            }
        }
    }
}

}  // namespace
