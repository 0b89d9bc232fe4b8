// Layer III under a frequency limit and at reduced rates, against the full filter bank: the
// limited output must be what the filter bank gives for the same spectra with every line above
// the limit set to zero, granule after granule (so the overlap each granule carries into the
// next is checked too). The reference is the decoder itself at full rate and full limit, as
// stereo: its requantised lines (after stereo processing, before alias reduction) are cut at the
// limit, its subband samples are taken channel by channel, formed into the output variant
// (stereo, mix, left, right) and handed to the synthesis the limited decoder uses. Streams come
// from lame on transient material, in joint and in separate stereo, at 22.05 and 44.1 kHz.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decoder_util.h"
#include "test_util.h"
#include "layer3_hybrid.h"

namespace {

// The reference decoder's hooks (plain function pointers, so the state is global).
struct Reference {
    const MpegKernels* kernels = nullptr;  // the decoder's own kernels
    MpegKernels hooked{};                   // the same with a cutting alias reduction
    int32_t lines = 576;                    // lines kept: the limited decoder's huff_limit
    int32_t chan = 0;                       // output variant: 0 stereo, 1 mix, 2 left, 3 right
    MpegDecoder* synth = nullptr;           // the decoder whose synthesis forms the reference
    std::vector<float> rows[2];             // this granule's subband samples by channel
    std::vector<uint8_t> pcm;               // reference output
    int granules = 0;
    int differing = 0;                      // granules whose channels differ in block type
};
Reference g_ref;

void cut_lines(float* x) {
    for (int32_t i = g_ref.lines; i < 576; ++i) x[i] = 0.0f;
}

void cutting_antialias(const float (*cc)[2], float* x, int32_t boundaries) {
    cut_lines(x);
    g_ref.kernels->antialias(cc, x, boundaries);
}

// The synthesis contract's channel argument: 0 or 1, or 2 for both channels' rows back to back.
void capture_rows(MpegDecoder*, const float* rows, uint8_t*, int32_t ch) {
    if (ch == 2) {
        g_ref.rows[0].assign(rows, rows + 576);
        g_ref.rows[1].assign(rows + 576, rows + 1152);
        return;
    }
    g_ref.rows[ch & 1].assign(rows, rows + 576);
}

// Both channels through the full filter bank, then the variant's subband samples through the
// limited decoder's synthesis (which reads the subbands its rate has).
void reference_output(MpegDecoder* d, uint8_t* out, int32_t g) {
    L3State& s = d->l3;
    if (s.nch == 2 && s.gr[g][0].block_type != s.gr[g][1].block_type) ++g_ref.differing;
    for (int ch = 0; ch < s.nch; ++ch)
        if (s.summary[g][ch].long_bands == 0) cut_lines(d->samples.xr[ch][g]);  // no alias step
    l3_output_stereo(d, out, g);
    ++g_ref.granules;
    MpegDecoder* sy = g_ref.synth;
    const int ch_out = g_ref.chan == 0 ? 2 : 1;
    std::vector<uint8_t> pcm(size_t(sy->l3.granule_frames) * size_t(ch_out) * 2);
    for (int c = 0; c < ch_out; ++c) {
        float rows[18 * 32];
        for (int i = 0; i < 18 * 32; ++i) {
            const float* l = g_ref.rows[0].data();
            const float* r = g_ref.rows[1].data();
            rows[i] = g_ref.chan == 0 ? (c ? r : l)[i]
                      : g_ref.chan == 1 ? 0.5f * (l[i] + r[i])
                      : g_ref.chan == 2 ? l[i] : r[i];
        }
        sy->l3.synth_l3(sy, rows, pcm.data(), c);
    }
    g_ref.pcm.insert(g_ref.pcm.end(), pcm.begin(), pcm.end());
}

// Decodes a whole file frame by frame; `hook` runs after the set-up, `frame` after each frame.
template <class Hook, class Frame>
std::vector<uint8_t> decode(const std::vector<uint8_t>& file, ziv::TestDecoder& d, int reduction,
                            int convert, int freq, Hook hook, Frame frame) {
    std::vector<uint8_t> pcm;
    MpegSync sync;
    mpeg_sync_init(&sync);
    MpegHeader h{};
    int32_t pos = 0, frame_bytes = 0, bitrate = 0;
    const int32_t len = int32_t(file.size());
    if (mpeg_sync_lock(&sync, file.data(), len, 1, &pos, &h, &frame_bytes, &bitrate) !=
        MPEG_SYNC_FRAME)
        return pcm;
    if (!d.setup(h, frame_bytes, reduction, convert, freq)) return pcm;
    hook(h, frame_bytes);
    std::vector<uint8_t> out(size_t(d->out_bytes) + 64);
    MpegInOut io;
    while (mpeg_sync_decode(&sync, d.get(), file.data(), len, 1, &pos, out.data(), &io) ==
           MPEG_SYNC_FRAME) {
        pcm.insert(pcm.end(), out.begin(), out.begin() + io.out_bytes);
        frame(io);
    }
    return pcm;
}

// lame gives both channels of a granule the same block type. To have them differ, channel 1's
// start and stop blocks are swapped in the side information (both are long blocks with the same
// fields, so the stream stays valid and only the window changes).
struct SideBits {
    uint8_t* p;
    size_t bit;
    uint32_t get(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++bit) v = (v << 1) | ((p[bit >> 3] >> (7 - (bit & 7))) & 1u);
        return v;
    }
};

int swap_start_stop(std::vector<uint8_t>& f) {
    static const int kRates[2][3] = {{22050, 24000, 16000}, {44100, 48000, 32000}};
    static const int kKbps[2][15] = {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
                                     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
    int swapped = 0;
    for (size_t pos = 0; pos + 40 < f.size();) {
        const uint8_t* h = &f[pos];
        const int id = (h[1] >> 3) & 1, br = h[2] >> 4, sf = (h[2] >> 2) & 3;
        if (h[0] != 0xFF || (h[1] & 0xE6) != 0xE2 || br == 0 || br == 15 || sf == 3) {
            ++pos;
            continue;
        }
        const int nch = (h[3] >> 6) == 3 ? 1 : 2;
        const size_t len =
            size_t((id ? 144000 : 72000) * kKbps[id][br] / kRates[id][sf] + ((h[2] >> 1) & 1));
        SideBits b{&f[pos], size_t(32 + ((h[1] & 1) ? 0 : 16))};
        b.get(id ? 9 : 8);
        b.get(nch == 1 ? (id ? 5 : 1) : (id ? 3 : 2));
        if (id) b.get(4 * nch);
        for (int g = 0; g < (id ? 2 : 1); ++g)
            for (int ch = 0; ch < nch; ++ch) {
                b.get(12 + 9 + 8 + (id ? 4 : 9));
                if (b.get(1)) {
                    const size_t at = b.bit;
                    const uint32_t bt = b.get(2);
                    if (ch == 1 && (bt == 1 || bt == 3)) {
                        f[pos + at / 8] ^= uint8_t(0x80u >> (at % 8));  // 01 <-> 11
                        ++swapped;
                    }
                    b.get(1 + 10 + 9);
                } else {
                    b.get(15 + 7);
                }
                b.get(id ? 3 : 2);
            }
        pos += len;
    }
    return swapped;
}

std::vector<uint8_t> make_stream(const std::string& name, const std::string& lame_opts) {
    const std::string wav = ziv::tmp_path(name + ".wav"), mp3 = ziv::tmp_path(name + ".mp3");
    // Left: noise bursts with sharp onsets (short blocks); right: a steady chord (long blocks),
    // with bursts of its own at another rate so that both orders of block type occur.
    const std::string sox = "sox -R -n -r 44100 -c 2 -b 16 '" + wav +
                            "' synth 4 noise sine 330 synth 4 square amod 3 square amod 0.7 "
                            "remix 1 2v0.8 gain -6 2>/dev/null";
    if (ziv::run(sox) != 0) return {};
    if (ziv::run("lame --quiet " + lame_opts + " '" + wav + "' '" + mp3 + "'") != 0) return {};
    std::vector<uint8_t> f = ziv::read_file(mp3);
    if (swap_start_stop(f) < 10) return {};
    return f;
}

TEST(L3FrequencyLimit, MatchesTheFullFilterBankCutAtTheLimit) {
    ZIV_REQUIRE_TOOL("sox");
    ZIV_REQUIRE_TOOL("lame");
    struct Stream { const char* name; const char* opts; };
    // lame picks 22.05 kHz (MPEG-2) at these rates unless told otherwise.
    const Stream streams[] = {{"joint22", "-m j -b 48"},
                              {"separate22", "-m s -b 56"},
                              {"joint44", "-m j -b 64 --resample 44.1"},
                              {"separate44", "-m s -b 64 --resample 44.1"}};
    const char* variant_names[] = {"stereo", "mix", "left", "right"};
    for (const Stream& st : streams) {
        const std::vector<uint8_t> file = make_stream(st.name, st.opts);
        ASSERT_FALSE(file.empty()) << st.name;
        for (int reduction = 0; reduction <= 2; ++reduction)
            for (int freq : {3000, 7000, 11025, 24000})
                for (int chan = 0; chan < 4; ++chan) {
                    SCOPED_TRACE(std::string(st.name) + " reduction " + std::to_string(reduction) +
                                 " limit " + std::to_string(freq) + " " + variant_names[chan]);
                    ziv::TestDecoder lim;
                    const std::vector<uint8_t> got = decode(
                        file, lim, reduction, chan, freq, [](const MpegHeader&, int32_t) {},
                        [](const MpegInOut&) {});
                    ASSERT_FALSE(got.empty());

                    ziv::TestDecoder full, sy;
                    g_ref = Reference();
                    g_ref.lines = lim->l3.huff_limit;
                    g_ref.chan = chan;
                    g_ref.synth = sy.get();
                    int before = 0;
                    const size_t frame_bytes = size_t(lim->out_bytes);
                    decode(file, full, 0, 0, 24000,
                           [&](const MpegHeader& h, int32_t fb) {
                               ASSERT_EQ(1, sy.setup(h, fb, reduction, chan, freq));
                               g_ref.kernels = full->kernels;
                               g_ref.hooked = *full->kernels;
                               g_ref.hooked.antialias = cutting_antialias;
                               full->kernels = &g_ref.hooked;
                               full->l3.l3_output = reference_output;
                               full->l3.synth_l3 = capture_rows;
                           },
                           [&](const MpegInOut& io) {
                               // A frame whose main data is not at hand is silence in both.
                               if (g_ref.granules == before && io.out_bytes > 0)
                                   g_ref.pcm.insert(g_ref.pcm.end(), frame_bytes, 0);
                               before = g_ref.granules;
                           });
                    ASSERT_EQ(got.size(), g_ref.pcm.size());
                    if (chan == 1 && reduction == 0 && freq == 24000) {
                        EXPECT_GT(g_ref.differing, 20) << "granules with differing block types";
                    }
                    const ziv::PcmDiff diff = ziv::pcm_diff(ziv::to_s16(got), ziv::to_s16(g_ref.pcm));
                    std::printf("%-10s reduction %d limit %5d %-6s: max %5d LSB, RMS %.4f "
                                "(%zu samples, %d of %d granules differ in block type)\n",
                                st.name, reduction, freq, variant_names[chan], diff.max, diff.rms,
                                diff.compared, g_ref.differing, g_ref.granules);
                    EXPECT_LE(diff.max, 1) << "at sample " << diff.max_at;
                }
    }
}

}  // namespace
