// The decoder object: initialisation (including a failed EqSettings allocation), release, the
// set-up dispatch by layer, the parameter clamps and the output formats of the Layer I/II set-up
// tail, that a set-up restarts from cleared rows and histories, and that a decoder copied as a
// whole in mid-stream carries on exactly as the original.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decoder_internal.h"
#include "decoder_util.h"
#include "kernels.h"
#include "test_util.h"

namespace {

struct Decoder : ziv::TestDecoder {
    Decoder() { EXPECT_EQ(init_ok, 1); }
};

MpegHeader parse(uint8_t b1, uint8_t b2, uint8_t b3, int32_t* size) {
    const uint8_t b[4] = {0xFF, b1, b2, b3};
    MpegHeader h{};
    *size = mpeg_header_parse(b, 4, &h);
    return h;
}

TEST(DecoderInit, DefaultsAndReinitialisation) {
    Decoder dec;
    MpegDecoder* d = dec.d.get();
    ASSERT_NE(d->eq_settings, nullptr);
    EXPECT_EQ(d->eq_settings->enabled, 0);
    EXPECT_NE(d->l12.l2_tables_pending, 0);
    EXPECT_NE(d->l12.l1_table_pending, 0);
    EXPECT_NE(d->syn.dct_coef_pending, 0);
    EXPECT_EQ(d->decode_frame, &l2_decode_frame);
    EXPECT_EQ(d->synth, d->kernels->synth[0]);

    // Re-initialising without allocating keeps the record (and clears everything else).
    EqSettings* eq = d->eq_settings;
    d->syn.synth_pos[0] = 96;
    eq->enabled = 1;
    EXPECT_EQ(mpeg_decoder_init(d, 0), 1);
    EXPECT_EQ(d->eq_settings, eq);
    EXPECT_EQ(eq->enabled, 0);
    EXPECT_EQ(d->syn.synth_pos[0], 0);
}

TEST(DecoderInit, FailedAllocationIsReported) {
    std::unique_ptr<MpegDecoder> d(new MpegDecoder);
    // What mpeg_decoder_init hands over when its allocation fails.
    const int32_t r = mpeg_decoder_init_with(d.get(), nullptr);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(d->eq_settings, nullptr);
    mpeg_decoder_free(d.get());  // safe after a failed init
    // Nothing to keep: re-initialising without allocating fails the same way.
    EXPECT_EQ(mpeg_decoder_init(d.get(), 0), 0);
    mpeg_decoder_free(nullptr);
}

TEST(DecoderSetup, DecodeFunctionChosenByLayerCode) {
    Decoder dec;
    MpegDecoder* d = dec.d.get();
    int32_t size = 0;
    MpegHeader h = parse(0xFF, 0x10, 0x00, &size);  // Layer I
    EXPECT_EQ(mpeg_decoder_setup(d, &h, size, 0, 0, 0, 24000), 1);
    EXPECT_EQ(d->decode_frame, &l1_decode_frame);
    EXPECT_EQ(d->l12.l2_tables_pending, 0);
    h = parse(0xFD, 0x94, 0x00, &size);  // Layer II
    EXPECT_EQ(mpeg_decoder_setup(d, &h, size, 0, 0, 0, 24000), 1);
    EXPECT_EQ(d->decode_frame, &l2_decode_frame);
    h = parse(0xFB, 0x90, 0x00, &size);  // Layer III
    mpeg_decoder_setup(d, &h, size, 0, 0, 0, 24000);
    EXPECT_EQ(d->decode_frame, &l3_decode_frame);
    h = parse(0xF3, 0x90, 0x00, &size);  // MPEG-2 Layer III
    mpeg_decoder_setup(d, &h, size, 0, 0, 0, 24000);
    EXPECT_EQ(d->decode_frame, &l3_decode_frame_lsf);
    h.layer = 0;  // reserved: Layer II decode installed, set-up refused
    EXPECT_EQ(mpeg_decoder_setup(d, &h, size, 0, 0, 0, 24000), 0);
    EXPECT_EQ(d->decode_frame, &l2_decode_frame);
}

TEST(DecoderSetup, MpegTwoPointFiveLayerOneTwoSetUpButFramesAreRefused) {
    for (uint8_t b1 : {0xE7, 0xE5}) {  // Layer I, Layer II with the eleven-bit sync
        Decoder dec;
        int32_t size = 0;
        const MpegHeader h = parse(b1, 0x80, 0xC0, &size);
        ASSERT_GT(size, 0) << int(b1);
        ASSERT_EQ(mpeg_decoder_setup(dec.d.get(), &h, size, 0, 0, 0, 24000), 1) << int(b1);
        EXPECT_EQ(dec.d->format.sample_rate, 11025);  // the stream's own rate
        std::vector<uint8_t> frame(size_t(size) + 4, 0x55);
        frame[0] = 0xFF;
        frame[1] = b1;
        frame[2] = 0x80;
        frame[3] = 0xC0;
        std::vector<uint8_t> out(size_t(dec.d->out_bytes), 0xEE);
        const MpegInOut io =
            mpeg_decode_frame(dec.d.get(), frame.data(), int32_t(frame.size()), out.data());
        EXPECT_EQ(io.in_bytes, 0) << int(b1);
        EXPECT_EQ(io.out_bytes, 0) << int(b1);
        for (uint8_t b : out) ASSERT_EQ(b, 0xEE);
    }
}

struct FormatCase {
    int32_t mode, fs, sb, samples, reduction, convert, freq_limit;
    // expected
    int32_t channels, out_samples, out_bytes, rate, bits, decode_limit, variant;
    const char* what;
};

TEST(DecoderSetup, LayerOneTwoOutputFormats) {
    const FormatCase cases[] = {
        {0, 44100, 30, 1152, 0, 0, 24000, 2, 2304, 4608, 44100, 16, 60, 1, "L2 stereo, 35 -> 32 -> 30 subbands"},
        {1, 44100, 32, 1152, 0, 9, 24000, 1, 1152, 1152, 44100, 8, 64, 17, "convert 9: mix, 8-bit"},
        {0, 44100, 32, 1152, 2, 9, 24000, 1, 288, 288, 11025, 8, 16, 27, "quarter rate, mix, 8-bit"},
        {0, 44100, 32, 384, 0, 0, 24000, 2, 768, 1536, 44100, 16, 64, 1, "L1 stereo"},
        {0, 48000, 27, 1152, 1, 2, 24000, 1, 576, 1152, 24000, 16, 30, 8, "half rate, left"},
        {2, 32000, 8, 1152, 0, 3, 24000, 1, 1152, 2304, 32000, 16, 16, 4, "right, decode limit at sb"},
        {3, 44100, 32, 1152, 0, 1, 24000, 1, 1152, 2304, 44100, 16, 32, 0, "mono source, convert 1"},
        {3, 44100, 32, 1152, 0, 2, 24000, 1, 1152, 2304, 44100, 16, 32, 0, "mono source, convert 2"},
        {3, 44100, 32, 384, 1, 11, 24000, 1, 192, 192, 22050, 8, 15, 20, "mono source, convert 11"},
        {3, 22050, 32, 1152, 2, 0, 24000, 1, 288, 576, 5512, 16, 8, 10, "22050 at quarter rate"},
        {3, 44100, 32, 1152, 0, 0, 1000, 1, 1152, 2304, 44100, 16, 1, 0, "1000 Hz: 1.45 subbands -> 1"},
        {3, 32000, 32, 1152, 0, 0, 1250, 1, 1152, 2304, 32000, 16, 3, 0, "1250 Hz: 2.5 rounds up"},
        // The wider forms: table index 15 * form + 5 * reduction + chan_code.
        {0, 44100, 32, 1152, 0, 0x40, 24000, 2, 2304, 4608, 44100, 16, 64, 31, "rounded 16-bit"},
        {0, 44100, 32, 1152, 0, 0x50, 24000, 2, 2304, 6912, 44100, 24, 64, 61, "rounded 24-bit"},
        {0, 44100, 32, 1152, 0, 0x21, 24000, 1, 1152, 4608, 44100, 32, 64, 77, "32-bit, mix"},
        {3, 48000, 32, 1152, 1, 0x70, 24000, 1, 576, 2304, 24000, 32, 15, 110, "float, round ignored"},
    };
    for (const FormatCase& c : cases) {
        Decoder dec;
        MpegDecoder* d = dec.d.get();
        MpegHeader h{};
        h.mode = c.mode;
        const MpegSetup p = mpeg_setup_params(417, c.reduction, c.convert, c.freq_limit);
        ASSERT_EQ(l12_finish_setup(d, &h, c.fs, c.sb, c.samples, &p), 1) << c.what;
        MpegOutputFormat f{};
        mpeg_decoder_get_format(d, &f);
        EXPECT_EQ(f.channels, c.channels) << c.what;
        EXPECT_EQ(f.out_samples, c.out_samples) << c.what;
        EXPECT_EQ(d->out_bytes, c.out_bytes) << c.what;
        EXPECT_EQ(f.sample_rate, c.rate) << c.what;
        EXPECT_EQ(f.bits, c.bits) << c.what;
        EXPECT_EQ(f.frame_bytes, 417) << c.what;
        const bool is_float = (c.convert & MPEG_CONVERT_FORM) == MPEG_CONVERT_F32;
        EXPECT_EQ(f.reserved, is_float ? MPEG_FORMAT_FLOAT : 0) << c.what;
        EXPECT_EQ(d->l12.decode_limit, c.decode_limit) << c.what;
        EXPECT_EQ(d->l12.entries, c.mode == 3 ? c.sb : 2 * c.sb) << c.what;
        EXPECT_EQ(d->synth, d->kernels->synth[c.variant]) << c.what;
    }
}

TEST(DecoderSetup, ParameterClamps) {
    // Layer II, 44100 Hz, 192 kbit/s stereo (table of 30 subbands).
    int32_t size = 0;
    const MpegHeader h = parse(0xFD, 0xA0, 0x00, &size);
    ASSERT_EQ(size, 626);
    struct { int32_t reduction, freq_limit, rate, limit; } cases[] = {
        {5, 24000, 11025, 16}, {-1, 24000, 44100, 60}, {0, 0, 44100, 2}, {0, -50000, 44100, 2},
        {2, 2000, 11025, 6}};
    for (const auto& c : cases) {
        Decoder dec;
        ASSERT_EQ(mpeg_decoder_setup(dec.d.get(), &h, size, c.reduction, 7, 0, c.freq_limit), 1);
        MpegOutputFormat f{};
        mpeg_decoder_get_format(dec.d.get(), &f);
        EXPECT_EQ(f.sample_rate, c.rate) << c.reduction << " " << c.freq_limit;
        EXPECT_EQ(f.frame_bytes, 626);
        EXPECT_EQ(dec.d->l12.decode_limit, c.limit) << c.reduction << " " << c.freq_limit;
    }
    // The one place that clamps.
    const MpegSetup p = mpeg_setup_params(417, 9, 11, -1);
    EXPECT_EQ(p.reduction, 2);
    EXPECT_EQ(p.freq_limit, 1000);
    EXPECT_EQ(p.eight_bit, 1);
    EXPECT_EQ(p.chan_sel, 3);
    EXPECT_EQ(mpeg_setup_params(417, -3, 0, 1000).reduction, 0);
    // 8-bit output and a wider form at once: refused, every layer alike.
    for (int32_t form : {MPEG_CONVERT_S24, MPEG_CONVERT_S32, MPEG_CONVERT_F32}) {
        Decoder both;
        EXPECT_EQ(mpeg_decoder_setup(both.d.get(), &h, size, 0, 0, MPEG_CONVERT_U8 | form, 24000), 0);
    }
    Decoder dec;
    MpegHeader mono{};
    mono.mode = 3;
    EXPECT_EQ(l12_finish_setup(dec.d.get(), &mono, 0, 32, 384, &p), 0);
}

TEST(DecoderSetup, SetupRestartsFromSilence) {
    Decoder dec;
    MpegDecoder* d = dec.d.get();
    int32_t size = 0;
    const MpegHeader h = parse(0xFD, 0x80, 0x00, &size);
    ASSERT_EQ(mpeg_decoder_setup(d, &h, size, 0, 0, 0, 24000), 1);
    const float coef15 = d->syn.dct_coef[15];
    EXPECT_NEAR(coef15, 10.1900082f, 1e-5f);
    for (float& x : d->samples.rows[35]) x = 3.0f;
    d->syn.synth_buf[1][511] = 5.0f;
    d->syn.synth_pos[0] = 64;
    d->syn.synth_pos[1] = 32;
    ASSERT_EQ(mpeg_decoder_setup(d, &h, size, 1, 0, 0, 24000), 1);
    EXPECT_EQ(d->samples.rows[35][63], 0.0f);
    EXPECT_EQ(d->syn.synth_buf[1][511], 0.0f);
    EXPECT_EQ(d->syn.synth_pos[0], 0);
    EXPECT_EQ(d->syn.synth_pos[1], 0);
    EXPECT_EQ(d->syn.dct_coef[15], coef15);
}

// Decodes frames from `pos` on (at most `frames` of them, -1 for all); returns the PCM bytes.
std::vector<uint8_t> decode(MpegDecoder* d, const std::vector<uint8_t>& in, size_t& pos,
                            int frames) {
    std::vector<uint8_t> pcm;
    std::vector<uint8_t> out(size_t(d->out_bytes));
    while (pos + 4 <= in.size() && frames != 0) {
        const MpegInOut io = mpeg_decode_frame(d, &in[pos], int32_t(in.size() - pos), out.data());
        if (io.in_bytes <= 0) {
            ++pos;
            continue;
        }
        pos += size_t(io.in_bytes);
        pcm.insert(pcm.end(), out.begin(), out.begin() + io.out_bytes);
        if (frames > 0) --frames;
    }
    return pcm;
}

TEST(DecoderCopy, CopiedMidStreamDecodesAsTheOriginal) {
    for (const char* name : {"l1-fl1.bit", "l2-fl12.bit", "l3-si.bit", "M2L3_compl24.bit"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> in = ziv::read_file(ziv::vector_path(name));
        ASSERT_GT(in.size(), 1000u) << "missing conformance stream " << name;
        MpegHeader h{};
        int32_t rate = 0, off = 0;
        const int32_t size = mpeg_header_find(in.data(), int32_t(in.size()), &h, &rate, &off);
        ASSERT_GT(size, 0);

        Decoder whole, first;
        ASSERT_EQ(mpeg_decoder_setup(whole.d.get(), &h, size, 0, 0, 0, 24000), 1);
        ASSERT_EQ(mpeg_decoder_setup(first.d.get(), &h, size, 0, 0, 0, 24000), 1);
        size_t pos_whole = size_t(off), pos = size_t(off);
        const std::vector<uint8_t> all = decode(whole.d.get(), in, pos_whole, -1);
        const std::vector<uint8_t> head = decode(first.d.get(), in, pos, 7);

        // Assignment into a separate object; the copy shares the EqSettings record.
        std::unique_ptr<MpegDecoder> copy(new MpegDecoder);
        *copy = *first.d;
        size_t pos_copy = pos;
        const std::vector<uint8_t> rest_original = decode(first.d.get(), in, pos, -1);
        // Scribble over the original so that any pointer into it would show.
        std::memset(static_cast<void*>(&first.d->l3), 0xCD, sizeof(first.d->l3));
        std::memset(static_cast<void*>(&first.d->samples), 0xCD, sizeof(first.d->samples));
        const std::vector<uint8_t> rest_copy = decode(copy.get(), in, pos_copy, -1);

        ASSERT_GT(rest_copy.size(), 0u);
        EXPECT_EQ(rest_copy, rest_original);
        ASSERT_EQ(head.size() + rest_copy.size(), all.size());
        EXPECT_TRUE(std::equal(rest_copy.begin(), rest_copy.end(), all.begin() + long(head.size())));
    }
}

}  // namespace
