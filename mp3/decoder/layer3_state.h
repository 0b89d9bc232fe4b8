// Layer III state inside the MpegDecoder: bit reader, frame fields, granule side information,
// bit reservoir, scalefactors, stream constants fixed by set-up, tables and function pointers.
// The spectra themselves (xr) live in MpegDecoder::samples.
#pragma once

#include <cstdint>

struct MpegDecoder;
struct MpegInOut;

// Layer III bit reader over the reservoir. `end` is the guard of the current granule and
// channel; `limit` is the hard end of readable bytes (fetches at or past it give zero bits).
struct L3BitReader {
    uint32_t acc;
    int32_t nbits;
    const uint8_t* cur;
    const uint8_t* start;
    const uint8_t* end;
    const uint8_t* limit;
    int32_t overrun; // zero bytes fetched at the limit (cur stays there)
};

// Side information of one granule and channel: eighteen 32-bit fields in this order.
struct GranuleInfo {
    int32_t part2_3_length;
    int32_t big_values;
    int32_t global_gain;
    int32_t scalefac_compress;
    int32_t window_switching_flag;
    int32_t block_type;
    int32_t mixed_block_flag;
    int32_t table_select[3];
    int32_t subblock_gain[3];
    int32_t region0_count;
    int32_t region1_count;
    int32_t preflag;
    int32_t scalefac_scale;
    int32_t count1table_select;
};
static_assert(sizeof(GranuleInfo) == 18 * 4, "GranuleInfo is eighteen 32-bit fields");

// Where the nonzero bands of a dequantised granule and channel end (for the stereo stage).
struct DequantSummary {
    int32_t is_short;
    int32_t last_band;
    int32_t first_short;
    int32_t long_bands;
    int32_t last_band_w[3];
};
static_assert(sizeof(DequantSummary) == 7 * 4, "DequantSummary is seven words");

// MPEG-2/2.5 intensity-stereo layout of channel 1's scalefactors.
struct LsfIsInfo {
    int32_t cnt[3];
    int32_t slen[3];
    int32_t intensity_scale;
};
static_assert(sizeof(LsfIsInfo) == 7 * 4, "LsfIsInfo is seven words");

// Output variant: hybrid filter bank and synthesis of granule g into out.
using L3OutputFn = void (*)(MpegDecoder* d, uint8_t* out, int32_t g);

struct L3State {
    L3OutputFn l3_output;       // output variant chosen at set-up
    void (*synth_l3)(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch);
    // The mono mix's second synthesis: channel 1 alone through its own history (the stereo
    // variant of the same rate and form), its samples thrown away.
    void (*synth_l3_track)(MpegDecoder* d, const float* rows, uint8_t* out, int32_t ch);

    L3BitReader br;

    // Frame fields (rewritten by every frame).
    int32_t id;
    int32_t is_mpeg25;
    int32_t sampling_index;
    int32_t padding_bit;
    int32_t crc_bytes;
    int32_t frame_bytes;
    int32_t frame_total;
    int32_t mode;
    int32_t mode_extension;
    int32_t ms_stereo;
    int32_t i_stereo;
    int32_t nch;
    int32_t main_data_begin;
    int32_t private_bits;
    int32_t scfsi[2];
    GranuleInfo gr[2][2]; // [granule][channel]

    // One toggle per decoder: the granule slot of the next MPEG-2/2.5 frame.
    int32_t granule_toggle;

    // Bit reservoir (main data of the current and earlier frames), with zero slack behind it.
    int32_t reservoir_fill;
    int32_t main_start;
    int32_t main_bitpos;
    uint8_t reservoir[8192 + 2048 + 64];

    // Spectral bookkeeping.
    int32_t scalefac[2][2][62];     // [granule][channel][long 0..22, short 23 + 13w + s]
    int32_t line_extent[2][2];      // [granule][channel]
    DequantSummary summary[2][2];   // [granule][channel]
    LsfIsInfo lsf_is;

    // Stream constants fixed by set-up.
    int32_t long_width[22];
    int32_t short_width[13];
    int32_t long_end[22 + 13];      // long_end[0..21] then short_end3[0..12], back to back
    int32_t l3_sblimit;
    int32_t huff_limit;
    int32_t long_limit;
    int32_t short_limit;
    int32_t limit_subbands;
    int32_t mixed_long_bands;
    int32_t gain_offset;            // of the frame being decoded: one of the two below
    int32_t gain_offset_by_nch[2];  // for one- and two-channel frames (mono mixes halve)
    int32_t out_bytes;
    int32_t granule_bytes;
    uint8_t silence_byte;
    int32_t chan_code;              // the output variant's code: 0 mono, 1 stereo, 2 mix, 3 left, 4 right
    int32_t sample_bytes;           // bytes of one output sample
    int32_t granule_frames;         // output instants per granule (18 x 32 >> reduction)
    int32_t last_nch;               // channels of the granule before (the first frame's at set-up)

    // Tables built at set-up.
    float global_gain_table[262];
    float scalefac_gain_table[2][4][32];
    float pow43_table[64];
    float subblock_gain_table[8];
    float l3_windows[4][36];
    float alias_cs_ca[8][2];
    float is_ratio[16][2];
    float is_ratio_lsf[2][2][64][2];

    // The filter bank's output, 18 rows of 32 subbands per channel: the stereo form synthesises
    // both channels in one call; the other forms use channel 0's.
    alignas(16) float hybrid_out[2][18][32];
};
