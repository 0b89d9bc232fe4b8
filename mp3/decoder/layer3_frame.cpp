// Layer III frame decoding: header fields, side information, the bit reservoir, scalefactors and
// the granule driver (ISO/IEC 11172-3 2.4.1.7, 2.4.2.7, 2.4.3.4; ISO/IEC 13818-3 2.4.3.2).
//
// A frame's main data is appended to the reservoir once and read there in place; main_data_begin
// reaches back into earlier frames. Every read is bounded: the frame reader stops at in + avail,
// the reservoir reader at the end of the reservoir array, and the reservoir never holds more than
// kReservoirBytes, so stream values (part2_3_length, main_data_begin, free-format sizes) cannot
// move a read or a write outside the decoder. Per granule and channel the scalefactors and the
// Huffman data are decoded and dequantised; layer3_hybrid finishes the granule into PCM.
#include <cstring>

#include "kernels.h"
#include "layer3_bits.h"
#include "layer3_frame.h"

namespace {

constexpr int32_t kReservoirBytes = 8192;
constexpr int32_t kCompactAbove = kReservoirBytes - 1500;

// MPEG-1 (slen1, slen2) by scalefac_compress (ISO/IEC 11172-3 2.4.2.7).
constexpr int8_t slen_pairs[16][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {3, 0}, {1, 1},
                                      {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1},
                                      {3, 2}, {3, 3}, {4, 2}, {4, 3}};

// MPEG-2 scalefactor bands per partition [partition][long, short, mixed][group]; short and mixed
// rows count bands per window, mixed rows start with the six long bands (ISO/IEC 13818-3 Table
// B.1 divided by three for the short parts).
constexpr int8_t lsf_band_counts[6][3][4] = {
    {{6, 5, 5, 5}, {3, 3, 3, 3}, {6, 3, 3, 3}},  {{6, 5, 7, 3}, {3, 3, 4, 2}, {6, 3, 4, 2}},
    {{11, 10, 0, 0}, {6, 6, 0, 0}, {6, 3, 6, 0}}, {{7, 7, 7, 0}, {4, 4, 4, 0}, {6, 5, 4, 0}},
    {{6, 6, 6, 3}, {4, 3, 3, 2}, {6, 4, 3, 2}},  {{8, 8, 5, 0}, {5, 4, 3, 0}, {6, 6, 3, 0}},
};

static_assert(sizeof(L3State::reservoir) >= kReservoirBytes + 2048 + 64,
              "room behind the reservoir for four part2_3_lengths and the guard");

// The frame's header fields, common to both entries, and its size without padding: from its
// own bitrate (as a Layer III frame, whatever its layer bits say), the size found at set-up for
// free format, or -1 when the header gives none (the frame is then refused); and its whole size.
void take_header_fields(MpegDecoder* d, const MpegHeader& h) {
    L3State& s = d->l3;
    s.id = h.id;
    s.sampling_index = h.sampling_frequency;
    s.padding_bit = h.padding_bit;
    s.mode = h.mode;
    s.mode_extension = h.mode == 1 ? h.mode_extension : 0;
    s.ms_stereo = s.mode_extension >> 1;
    s.i_stereo = s.mode_extension & 1;
    s.crc_bytes = h.protection_bit ? 0 : 2; // a CRC follows, not verified
    MpegHeader l3 = h;
    l3.layer = 1;
    MpegFrameInfo info;
    if (h.bitrate_index == 0) s.frame_bytes = d->frame_bytes;
    else s.frame_bytes = mpeg_header_info(&l3, &info) ? info.frame_bytes : -1;
    s.frame_total = mpeg_header_frame_bytes(&l3, s.frame_bytes);
}

// Decodes the header at `in` and starts the reader on the side information after it (and
// after the CRC). False when there is no sync.
bool begin_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, MpegHeader* h) {
    if (!mpeg_header_decode(in, avail, h)) return false;
    const int32_t crc = h->protection_bit ? 0 : 2;
    l3_bits_begin(&d->l3.br, in + 4 + crc, in + avail);
    return true;
}

void read_granule_info(L3State& s, L3BitReader* br, GranuleInfo* gi, bool lsf, bool* bad) {
    gi->part2_3_length = int32_t(l3_bits_get(br, 12));
    gi->big_values = int32_t(l3_bits_get(br, 9));
    if (gi->big_values > 288) *bad = true;
    gi->global_gain = int32_t(l3_bits_get(br, 8)) + s.gain_offset - (s.ms_stereo ? 2 : 0);
    gi->scalefac_compress = int32_t(l3_bits_get(br, lsf ? 9 : 4));
    gi->window_switching_flag = int32_t(l3_bits_get(br, 1));
    if (gi->window_switching_flag) {
        gi->block_type = int32_t(l3_bits_get(br, 2));
        gi->mixed_block_flag = int32_t(l3_bits_get(br, 1));
        gi->table_select[0] = int32_t(l3_bits_get(br, 5));
        gi->table_select[1] = int32_t(l3_bits_get(br, 5));
        gi->table_select[2] = 0;
        for (int w = 0; w < 3; ++w) gi->subblock_gain[w] = int32_t(l3_bits_get(br, 3));
        // Region 2 is empty: region0 + region1 + 1 = 21 reaches line 576.
        bool short_lsf = lsf && gi->block_type == 2;
        gi->region0_count = short_lsf ? 5 : 7;
        gi->region1_count = short_lsf ? 15 : 13;
    } else {
        gi->block_type = 0;
        gi->mixed_block_flag = 0;
        for (int r = 0; r < 3; ++r) gi->table_select[r] = int32_t(l3_bits_get(br, 5));
        for (int w = 0; w < 3; ++w) gi->subblock_gain[w] = 0;
        gi->region0_count = int32_t(l3_bits_get(br, 4));
        gi->region1_count = int32_t(l3_bits_get(br, 3));
    }
    gi->preflag = lsf ? 0 : int32_t(l3_bits_get(br, 1));
    gi->scalefac_scale = int32_t(l3_bits_get(br, 1));
    gi->count1table_select = int32_t(l3_bits_get(br, 1));
}

// Reservoir and output of one frame whose side information is read (h bytes of header and side
// information, CRC not included). Decodes `granules` granules starting at slot g0.
MpegInOut finish_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out, int32_t h,
                   int32_t granules, int32_t g0) {
    L3State& s = d->l3;
    const int32_t in_bytes = s.frame_total;
    const int32_t n = in_bytes - s.crc_bytes - h;
    // Checked before the reservoir changes: a rejected frame leaves it as it was.
    if (n < 0 || n > kReservoirBytes || in_bytes > avail) return {0, 0};

    s.main_start = s.reservoir_fill - s.main_data_begin;
    if (s.reservoir_fill > kCompactAbove || s.reservoir_fill + n > kReservoirBytes) {
        if (s.main_start >= 0) {
            std::memmove(s.reservoir, s.reservoir + s.main_start, size_t(s.main_data_begin));
            s.main_start = 0;
            s.reservoir_fill = s.main_data_begin;
        }
        // A free-format frame too large to follow what is kept: start over from its own data.
        if (s.reservoir_fill + n > kReservoirBytes) {
            s.reservoir_fill = 0;
            s.main_start = -s.main_data_begin;
        }
    }
    std::memcpy(s.reservoir + s.reservoir_fill, in + h + s.crc_bytes, size_t(n));
    s.reservoir_fill += n;

    if (s.main_start < 0) {
        std::memset(out, s.silence_byte, size_t(s.out_bytes));
        return {in_bytes, s.out_bytes};
    }
    s.main_bitpos = 8 * s.main_start;
    for (int32_t i = 0; i < granules; ++i) l3_decode_granule(d, out + i * (s.out_bytes / 2), g0 + i);
    return {in_bytes, s.out_bytes};
}

// The last line to Huffman-decode. Short blocks arrive band by band with the three windows of
// a band one after another, so the subbands below huff_limit need whole short bands: the limit
// is raised to the end of the short band it falls in (the lines beyond huff_limit are dropped
// after reordering, before stereo processing: l3_granule_finish). A mixed block's long part is
// in line order already.
int32_t huffman_limit(const L3State& s, const GranuleInfo* gi) {
    const int32_t h = s.huff_limit;
    if (gi->block_type != 2 || (gi->mixed_block_flag && h <= s.long_end[s.mixed_long_bands - 1]))
        return h;
    const int32_t* short_end3 = s.long_end + 22;
    for (int32_t i = 0; i < 13; ++i)
        if (short_end3[i] >= h) return short_end3[i];
    return 576;
}

// The fields both side-information layouts begin with: main_data_begin of `begin_bits`,
// then the private bits (`private_mono` or `private_stereo` of them).
void side_info_start(MpegDecoder* d, const MpegHeader* h, int32_t begin_bits,
                     int32_t private_mono, int32_t private_stereo) {
    L3State& s = d->l3;
    take_header_fields(d, *h);
    s.main_data_begin = int32_t(l3_bits_get(&s.br, begin_bits));
    s.nch = s.mode == 3 ? 1 : 2;
    s.gain_offset = s.gain_offset_by_nch[s.nch - 1];
    s.private_bits = int32_t(l3_bits_get(&s.br, s.nch == 1 ? private_mono : private_stereo));
}

}  // namespace

int32_t l3_read_side_info(MpegDecoder* d, const MpegHeader* h) {
    L3State& s = d->l3;
    L3BitReader* br = &s.br;
    side_info_start(d, h, 9, 5, 3);
    for (int ch = 0; ch < s.nch; ++ch) s.scfsi[ch] = int32_t(l3_bits_get(br, 4));
    bool bad = false;
    for (int g = 0; g < 2; ++g)
        for (int ch = 0; ch < s.nch; ++ch) read_granule_info(s, br, &s.gr[g][ch], false, &bad);
    if (bad) return -1;
    return s.nch == 1 ? 21 : 36;
}

int32_t l3_read_side_info_lsf(MpegDecoder* d, const MpegHeader* h, int32_t slot) {
    L3State& s = d->l3;
    L3BitReader* br = &s.br;
    side_info_start(d, h, 8, 1, 2);
    s.scfsi[0] = s.scfsi[1] = 0;
    bool bad = false;
    for (int ch = 0; ch < s.nch; ++ch) read_granule_info(s, br, &s.gr[slot & 1][ch], true, &bad);
    if (bad) return -1;
    return s.nch == 1 ? 13 : 21;
}

MpegInOut l3_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    MpegHeader hdr;
    if (!begin_frame(d, in, avail, &hdr) || hdr.sync != 1) return {0, 0};
    const int32_t h = l3_read_side_info(d, &hdr);
    if (h < 0) return {0, 0};
    return finish_frame(d, in, avail, out, h, 2, 0);
}

MpegInOut l3_decode_frame_lsf(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    L3State& s = d->l3;
    MpegHeader hdr;
    if (!begin_frame(d, in, avail, &hdr)) return {0, 0};
    s.is_mpeg25 = hdr.sync == 2;
    const int32_t slot = s.granule_toggle & 1;
    const int32_t h = l3_read_side_info_lsf(d, &hdr, slot);
    if (h < 0) return {0, 0};
    MpegInOut r = finish_frame(d, in, avail, out, h, 1, slot);
    if (r.in_bytes > 0) s.granule_toggle = slot ^ 1;
    return r;
}

void l3_read_scalefactors(MpegDecoder* d, int32_t* sf, const GranuleInfo* gi, int32_t scfsi,
                          const int32_t* granule0) {
    L3BitReader* br = &d->l3.br;
    const int32_t slen1 = slen_pairs[gi->scalefac_compress & 15][0];
    const int32_t slen2 = slen_pairs[gi->scalefac_compress & 15][1];
    if (gi->block_type == 2) {
        int32_t sb = 0;
        if (gi->mixed_block_flag) {
            for (int32_t i = 0; i < 8; ++i) sf[i] = int32_t(l3_bits_get(br, slen1));
            sb = 3;
        }
        for (; sb < 12; ++sb) {
            const int32_t len = sb < 6 ? slen1 : slen2;
            for (int w = 0; w < 3; ++w) sf[23 + 13 * w + sb] = int32_t(l3_bits_get(br, len));
        }
        return;
    }
    // Long blocks: four groups of bands, each copied from granule 0 when its scfsi bit is set.
    static constexpr int32_t group_start[5] = {0, 6, 11, 16, 21};
    for (int32_t k = 0; k < 4; ++k) {
        const int32_t len = k < 2 ? slen1 : slen2;
        const bool copy = granule0 && (scfsi & (8 >> k));
        for (int32_t i = group_start[k]; i < group_start[k + 1]; ++i)
            sf[i] = copy ? granule0[i] : int32_t(l3_bits_get(br, len));
    }
}

void l3_read_scalefactors_lsf(MpegDecoder* d, int32_t* sf, GranuleInfo* gi, int32_t is_channel,
                              LsfIsInfo* is_info) {
    L3BitReader* br = &d->l3.br;
    const int32_t sfc = gi->scalefac_compress;
    int32_t p, slen[4] = {0, 0, 0, 0};
    const bool mixed = gi->block_type == 2 && gi->mixed_block_flag;
    gi->preflag = 0;
    if (!is_channel) {
        if (sfc < 400) {
            p = 0;
            slen[0] = (sfc >> 4) / 5;
            slen[1] = (sfc >> 4) % 5;
            slen[2] = (sfc & 15) >> 2;
            slen[3] = sfc & 3;
        } else if (sfc < 500) {
            const int32_t t = sfc - 400;
            p = 1;
            slen[0] = (t >> 2) / 5;
            slen[1] = (t >> 2) % 5;
            slen[2] = t & 3;
        } else {
            const int32_t t = sfc - 500;
            p = 2;
            slen[0] = t / 3;
            slen[1] = mixed ? t / 3 : t % 3;
            slen[2] = mixed ? t % 3 : 0;
            gi->preflag = 1;
        }
    } else {
        const int32_t i = sfc >> 1;
        is_info->intensity_scale = sfc & 1;
        if (i < 180) {
            p = 3;
            slen[0] = i / 36;
            slen[1] = (i % 36) / 6;
            slen[2] = (i % 36) % 6;
        } else if (i < 244) {
            const int32_t t = i - 180;
            p = 4;
            slen[0] = t >> 4;
            slen[1] = (t >> 2) & 3;
            slen[2] = t & 3;
        } else {
            const int32_t t = i - 244;
            p = 5;
            slen[0] = t / 3;
            slen[1] = t % 3;
        }
    }
    const int32_t kind = gi->block_type == 2 ? 1 + (gi->mixed_block_flag ? 1 : 0) : 0;
    const int8_t* cnt = lsf_band_counts[p][kind];
    if (is_channel) {
        for (int k = 0; k < 3; ++k) {
            is_info->cnt[k] = cnt[k];
            is_info->slen[k] = slen[k];
        }
    }
    if (kind == 0) {
        int32_t band = 0;
        for (int k = 0; k < 4; ++k)
            for (int32_t j = 0; j < cnt[k]; ++j) sf[band++] = int32_t(l3_bits_get(br, slen[k]));
        return;
    }
    int32_t band = 0, k = 0;
    if (kind == 2) {
        for (int32_t i = 0; i < 6; ++i) sf[i] = int32_t(l3_bits_get(br, slen[0]));
        band = 3;
        k = 1;
    }
    for (; k < 4; ++k) {
        for (int32_t j = 0; j < cnt[k]; ++j, ++band)
            for (int w = 0; w < 3; ++w) sf[23 + 13 * w + band] = int32_t(l3_bits_get(br, slen[k]));
    }
}

void l3_decode_granule(MpegDecoder* d, uint8_t* out, int32_t g) {
    L3State& s = d->l3;
    L3BitReader* br = &s.br;
    const uint8_t* limit = s.reservoir + sizeof(s.reservoir);
    for (int32_t ch = 0; ch < s.nch; ++ch) {
        GranuleInfo* gi = &s.gr[g][ch];
        float* cells = d->samples.xr[ch][g];
        const int32_t skip = s.main_bitpos & 7;
        l3_bits_begin(br, s.reservoir + (s.main_bitpos >> 3), limit);
        l3_bits_get(br, skip);
        s.main_bitpos += gi->part2_3_length;
        l3_bits_set_end(br, s.reservoir + ((s.main_bitpos + 39) >> 3));

        if (s.id)
            l3_read_scalefactors(d, s.scalefac[g][ch], gi, s.scfsi[ch],
                                 g == 1 ? s.scalefac[0][ch] : nullptr);
        else
            l3_read_scalefactors_lsf(d, s.scalefac[g][ch], gi, s.i_stereo && ch == 1, &s.lsf_is);
        if (d->eq_settings && d->eq_settings->enabled) {
            float off = d->eq_settings->l3_gain_offset;
            off = off < -512.0f ? -512.0f : off > 512.0f ? 512.0f : off; // NaN stays out of range
            if (off == off) gi->global_gain += int32_t(off);
        }

        // Big values in three regions, bounded by the long band ends for every block type.
        const int32_t hl = huffman_limit(s, gi);
        int32_t big = 2 * gi->big_values;
        if (big > hl) big = hl;
        int32_t e1 = gi->region0_count, e2 = gi->region0_count + gi->region1_count + 1;
        if (e2 > 21) e2 = 21;
        const int32_t r1 = s.long_end[e1] < big ? s.long_end[e1] : big;
        const int32_t r2 = s.long_end[e2] < big ? s.long_end[e2] : big;
        l3_huffman_pairs(d, cells, r1, gi->table_select[0]);
        l3_huffman_pairs(d, cells + r1, r2 - r1, gi->table_select[1]);
        l3_huffman_pairs(d, cells + r2, big - r2, gi->table_select[2]);

        int32_t extent = big;
        if (!l3_bits_past_end(br)) {
            const int32_t bits_left = skip + gi->part2_3_length - l3_bits_used(br);
            // Below line 576 the limit may fall inside a quadruple, whose lines under it count:
            // it is decoded whole (at most two lines further, both even) and cut below.
            int32_t count = hl - big;
            if (hl < 576) count = (count + 3) & ~3;
            extent += l3_huffman_quads(d, cells + big, count, bits_left, gi->count1table_select);
            if (extent > hl) extent = hl;
        }
        const int32_t lim = gi->block_type == 2 ? hl : s.long_limit;
        const int32_t clear_from = extent < lim ? extent : lim;
        d->kernels->clear_lines(cells, clear_from);
        if (l3_bits_past_end(br)) {
            d->kernels->clear_lines(cells, 0);
            extent = 0;
        }
        s.line_extent[g][ch] = extent;
    }
    for (int32_t ch = 0; ch < s.nch; ++ch)
        l3_dequantize(d, d->samples.xr[ch][g], &s.line_extent[g][ch], s.scalefac[g][ch],
                      &s.gr[g][ch], &s.summary[g][ch], s.mixed_long_bands);
    l3_granule_finish(d, out, g);
}
