// Layer III Huffman decoding and requantisation (ISO/IEC 11172-3 2.4.2.7, 2.4.3.4).
//
// Big values are decoded pair by pair: most pairs whole with their sign bits through one lookup
// of the next 10 bits per code tree (built from the code tables by the compiler), the rest through
// the multi-level lookups of at most 9 index bits (tables/huffman_levels.h); count1 quadruples
// through table A or the plain 4-bit table B.
// Decoded integers are stored as exact floats in the granule's cells; l3_dequantize then applies
// the 4/3 power, global gain, scalefactors, pretab and subblock gain, and reorders short blocks
// so that each subband holds its lines of windows 0, 1, 2 interleaved.
#include <cmath>
#include <cstring>

#include "layer3_bits.h"
#include "layer3_dsp.h"
#include "layer3_internal.h"
#include "tables/huffman_tables.h"
#include "tables/libm_values.h"

namespace {

// Pretab of ISO/IEC 11172-3 Table B.6, by preflag.
constexpr int32_t pretab[2][22] = {
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 3, 3, 3, 2, 0},
};

// One code of a big-values table: walks the levels, each indexed by up to 9 bits. The caller
// has fetched at least 19 bits (the longest code), so the levels read without refilling.
inline void huff_pair(L3BitReader* br, const uint8_t* level, int32_t* x, int32_t* y) {
    for (;;) {
        const int32_t k = level[0];
        const uint8_t* e = level + 4 + 4 * (br->acc >> (br->nbits - k));
        if (e[3]) {
            l3_bits_skip(br, e[3]);
            *x = e[1];
            *y = e[2];
            return;
        }
        l3_bits_skip(br, k);
        level += 4 * (uint32_t(e[0]) | uint32_t(e[1]) << 8 | uint32_t(e[2]) << 16);
    }
}

// A sign bit (1 = negative) for a nonzero value; at least one bit is held. Without branches:
// a zero value consumes no bit, and then acc >> nbits is 0 (no bits are held above nbits), so
// the sign comes out clear; the sign bit is set in the float's bits (v is 0..8206, exact).
inline float signed_value_held(L3BitReader* br, int32_t v) {
    const int32_t used = v != 0;
    br->nbits -= used;
    const uint32_t neg = uint32_t(uint64_t(br->acc) >> br->nbits);  // nbits may be 32 here
    br->acc &= uint32_t((uint64_t(1) << br->nbits) - 1u);
    const float f = float(v);
    uint32_t u;
    std::memcpy(&u, &f, 4);
    u |= neg << 31;
    float r;
    std::memcpy(&r, &u, 4);
    return r;
}

// Whole pairs in one lookup: for each big-values code tree, the next kPairBits bits decode a
// pair with its sign bits wherever the code and those signs fit in them (most pairs of a
// typical stream). len[i] is the bits the pair takes, or 0 where the pair is longer, or is a
// linbits escape (a value of 15 in a tree with linbits, whose sign follows its extra bits):
// those take the level walk. The values are stored signed, as signed_value_held makes them.
// The compiler builds them from the level lookups: nothing is built when a program starts.
constexpr int32_t kPairBits = 10;
constexpr int32_t kTrees = 15;  // distinct code trees among the 32 tables
struct PairLookup {
    float xy[1 << kPairBits][2];
    uint8_t len[1 << kPairBits];
};
struct PairLookups {
    PairLookup tree[kTrees];
    int8_t of_table[32]; // tree of each table_select, -1 for the tables that read nothing
};

constexpr uint32_t kPairMask = (1u << kPairBits) - 1u;

// Clears the accumulator's bits above the held ones (its invariant for the other readers).
inline void clear_used(L3BitReader* br) {
    br->acc &= uint32_t((uint64_t(1) << br->nbits) - 1u);
}

// The level walk of huff_pair over the kPairBits bits of i followed by zeros (the code is the
// same whatever follows it, so it counts wherever it ends within them): the pair, and the bits
// its code takes.
constexpr int32_t walk_bits(const uint8_t* level, uint32_t i, int32_t* x, int32_t* y) {
    const int32_t held = kPairBits + 12;
    const uint32_t acc = i << 12;
    int32_t used = 0;
    for (;;) {
        const int32_t k = level[0];
        const uint32_t at = (acc >> (held - used - k)) & ((1u << k) - 1u);
        const uint8_t* e = level + 4 + 4 * at;
        if (e[3]) {
            *x = e[1];
            *y = e[2];
            return used + e[3];
        }
        used += k;
        level += 4 * (uint32_t(e[0]) | uint32_t(e[1]) << 8 | uint32_t(e[2]) << 16);
    }
}

constexpr float signed_float(int32_t v, uint32_t negative) {
    return negative ? -float(v) : float(v);
}

constexpr void build_pair_lookup(const uint8_t* root, bool escapes, PairLookup& t) {
    for (uint32_t i = 0; i < (1u << kPairBits); ++i) {
        int32_t x = 0, y = 0;
        int32_t used = walk_bits(root, i, &x, &y);
        t.len[i] = 0;
        if (used + (x != 0) + (y != 0) > kPairBits || (escapes && (x == 15 || y == 15))) continue;
        // Bit b of the kPairBits, counted from the first.
        const uint32_t sx = x != 0 ? (i >> (kPairBits - 1 - used++)) & 1u : 0u;
        const uint32_t sy = y != 0 ? (i >> (kPairBits - 1 - used++)) & 1u : 0u;
        t.xy[i][0] = signed_float(x, sx);
        t.xy[i][1] = signed_float(y, sy);
        t.len[i] = uint8_t(used);
    }
}

constexpr PairLookups build_pair_lookups() {
    PairLookups lookups{}; // the entries a tree leaves unset are never read
    bool built[kTrees] = {};
    for (int32_t ts = 0; ts < 32; ++ts) {
        const HuffTableDesc& t = huff_tables[ts];
        lookups.of_table[ts] = int8_t(t.tree);
        if (t.kind == 0 || built[t.tree]) continue;
        built[t.tree] = true;
        build_pair_lookup(t.lookup, t.kind == 3, lookups.tree[t.tree]);
    }
    return lookups;
}

constexpr PairLookups pair_lookups = build_pair_lookups();

// Decodes `pairs` pairs into cells: a whole pair with its sign bits from the lookup q where it
// fits, the level walk from root otherwise. With kEscapes (tables with linbits) a value of 15
// takes lin more bits; their codes need 19 held bits before a pair. The other tables' codes are
// at most 19 bits: with two sign bits, one fill per pair.
template <bool kEscapes>
void decode_pairs(L3BitReader* rp, const PairLookup& q, const uint8_t* root, int32_t lin,
                  float* cells, int32_t pairs) {
    constexpr int32_t kFillBelow = kEscapes ? 19 : 21;
    L3BitReader& r = *rp;
    for (int32_t i = 0; i < pairs; ++i) {
        int32_t x, y;
        if (r.nbits < kFillBelow) l3_bits_fill(&r);
        const uint32_t at = (r.acc >> (r.nbits - kPairBits)) & kPairMask;
        if (const int32_t n = q.len[at]) {
            r.nbits -= n;
            std::memcpy(cells + 2 * i, q.xy[at], sizeof q.xy[at]);
            if (l3_bits_past_end(&r)) break;
            continue;
        }
        clear_used(&r);
        huff_pair(&r, root, &x, &y);
        if constexpr (kEscapes) {
            if (x == 15) x = l3_bits_linbits(&r, lin);
            if (r.nbits < 1) l3_bits_fill(&r);
            cells[2 * i] = signed_value_held(&r, x);
            if (y == 15) y = l3_bits_linbits(&r, lin);
            if (r.nbits < 1) l3_bits_fill(&r);
            cells[2 * i + 1] = signed_value_held(&r, y);
        } else {
            (void)lin;
            cells[2 * i] = signed_value_held(&r, x);
            cells[2 * i + 1] = signed_value_held(&r, y);
        }
        if (l3_bits_past_end(&r)) break;
    }
}

// Count1 quadruples with their sign bits in one lookup: table A by the next 10 bits (a code of
// at most 6 bits and up to 4 sign bits), table B by the next 8 (4 and 4). len is the bits the
// quadruple takes, vwxy its nonzero pattern, v its four values with their signs.
struct QuadEntry {
    float v[4];
    uint8_t len;
    uint8_t vwxy;
};
struct QuadLookups {
    QuadEntry a[1 << 10];
    QuadEntry b[1 << 8];
};

// The entry for `bits` (n of them) whose quadruple's code is `code_len` bits long.
constexpr QuadEntry quad_entry(uint32_t bits, int32_t n, int32_t code_len, uint32_t vwxy) {
    QuadEntry e{};
    int32_t used = code_len;
    for (int32_t b = 0; b < 4; ++b) {
        if (vwxy & (8u >> b))
            e.v[b] = (bits >> (n - 1 - used++)) & 1u ? -1.0f : 1.0f;
        else
            e.v[b] = 0.0f;
    }
    e.len = uint8_t(used);
    e.vwxy = uint8_t(vwxy);
    return e;
}

constexpr QuadLookups build_quad_lookups() {
    QuadLookups q{};
    for (uint32_t i = 0; i < (1u << 10); ++i)
        q.a[i] = quad_entry(i, 10, quad_table_a[i >> 4][0], quad_table_a[i >> 4][1]);
    for (uint32_t i = 0; i < (1u << 8); ++i) q.b[i] = quad_entry(i, 8, 4, ~(i >> 4) & 15u);
    return q;
}

constexpr QuadLookups quad_lookups = build_quad_lookups();

}  // namespace

void l3_build_dequant_tables(MpegDecoder* d) {
    L3State& s = d->l3;
    // The decoder's gain rides on the global gain: it costs nothing per line.
    for (int i = 0; i < 262; ++i)
        s.global_gain_table[i] = float(libm::kGlobalGainPow[i] * double(d->gain));
    for (int a = 0; a < 2; ++a)
        for (int p = 0; p < 4; ++p)
            for (int f = 0; f < 32; ++f)
                s.scalefac_gain_table[a][p][f] = float(libm::kScalefacGainPow[128 * a + 32 * p + f]);
    for (int j = 0; j < 64; ++j) s.pow43_table[j] = float(libm::kPow43Small[j]);
    for (int i = 0; i < 8; ++i) s.subblock_gain_table[i] = float(libm::kSubblockGainPow[i]);
}

void l3_huffman_pairs(MpegDecoder* d, float* cells, int32_t count, int32_t table_select) {
    if (count < 1) return;
    const HuffTableDesc& t = huff_tables[table_select & 31];
    int32_t pairs = count / 2;
    if (t.kind == 0) {
        std::memset(cells, 0, size_t(pairs) * 2 * sizeof(float));
        return;
    }
    const PairLookup& q = pair_lookups.tree[pair_lookups.of_table[table_select & 31]];
    // The reader is worked on in a local copy so that it stays in registers. Every fill leaves
    // more than kPairBits bits held, so the whole-pair lookup never reads past them. A pair
    // taken whole only lowers the count of held bits; the bits it used are cleared from the
    // accumulator before the level walk, which reads it unmasked, and at the end.
    L3BitReader r = d->l3.br;
    const uint8_t* root = t.lookup;
    if (t.kind == 3)
        decode_pairs<true>(&r, q, root, t.linbits, cells, pairs);
    else
        decode_pairs<false>(&r, q, root, 0, cells, pairs);
    clear_used(&r);
    d->l3.br = r;
}

int32_t l3_huffman_quads(MpegDecoder* d, float* cells, int32_t count, int32_t bits_left,
                         int32_t sel) {
    // A local copy of the reader, kept in registers, as for the pairs.
    L3BitReader r = d->l3.br;
    L3BitReader* br = &r;
    int32_t quads = count / 4;
    int32_t done = 0;
    // The reader fills exactly where reading the code and the signs one by one would (table A:
    // before the code, when fewer than 11 bits are held; table B takes the lookup only where the
    // bits held cover the quadruple), so it stops at the same place.
    if (!sel) {
        // Table A, the common one, in a loop of its own. A quadruple only lowers the count of
        // held bits; the bits it used are cleared from the accumulator once, at the end (every
        // lookup masks them off, and a fill shifts them out of the way).
        for (int32_t q = 0; q < quads; ++q) {
            if (bits_left <= 0) break;
            if (r.nbits < 11) l3_bits_fill(&r);
            const QuadEntry& e = quad_lookups.a[(r.acc >> (r.nbits - 10)) & 1023u];
            r.nbits -= e.len;
            std::memcpy(cells + 4 * q, e.v, sizeof e.v);
            bits_left -= e.len;
            done = q + 1;
            if (l3_bits_past_end(&r)) break;
        }
        clear_used(&r);
    }
    for (int32_t q = 0; sel && q < quads; ++q) {
        float* c = cells + 4 * q;
        if (bits_left < 4) break;
        if (br->nbits >= 8) {
            const QuadEntry& e = quad_lookups.b[(br->acc >> (br->nbits - 8)) & 255u];
            l3_bits_skip(br, e.len);
            std::memcpy(c, e.v, sizeof e.v);
            bits_left -= e.len;
        } else {
            const uint32_t vwxy = ~l3_bits_get(br, 4) & 15u;
            bits_left -= 4;
            for (int b = 0; b < 4; ++b) {
                if (vwxy & (8u >> b)) {
                    c[b] = l3_bits_get(br, 1) ? -1.0f : 1.0f;
                    bits_left -= 1;
                } else {
                    c[b] = 0.0f;
                }
            }
        }
        done = q + 1;
        if (l3_bits_past_end(br)) break;
    }
    d->l3.br = r;
    // The last quadruple with a nonzero value and its pattern (v w x y, 8 4 2 1), found from the
    // top down once the values are in (the count1 region rarely ends in zeros) instead of noted
    // at every quadruple. A quadruple cleared below still counts, as it always did.
    int32_t last = -1;
    uint32_t lastbits = 15;
    for (int32_t q = done - 1; q >= 0; --q) {
        const float* c = cells + 4 * q;
        const uint32_t bits = (c[0] != 0.0f ? 8u : 0u) | (c[1] != 0.0f ? 4u : 0u) |
                              (c[2] != 0.0f ? 2u : 0u) | (c[3] != 0.0f ? 1u : 0u);
        if (bits) {
            last = q;
            lastbits = bits;
            break;
        }
    }
    // A quadruple whose code ran past part2_3_length does not belong to the granule.
    if (bits_left < 0 && done > 0) std::memset(cells + 4 * (done - 1), 0, 4 * sizeof(float));
    if (last < 0) return 0;
    return 4 * last + ((lastbits & 3) ? 4 : 2);
}

void l3_dequantize(MpegDecoder* d, float* cells, int32_t* line_extent, const int32_t* scalefac,
                   const GranuleInfo* gi, DequantSummary* summary, int32_t mixed_long_bands) {
    L3State& s = d->l3;
    const int32_t E = *line_extent;
    int32_t long_bands = 22, first_short = 12;
    if (gi->block_type == 2) {
        long_bands = gi->mixed_block_flag ? mixed_long_bands : 0;
        first_short = gi->mixed_block_flag ? 3 : 0;
    }
    summary->long_bands = long_bands;
    summary->first_short = first_short;

    int32_t gain = gi->global_gain + 6;
    gain = gain < 0 ? 0 : gain > 261 ? 261 : gain;
    const float g = s.global_gain_table[gain];
    const int32_t sc = gi->scalefac_scale & 1;
    const int32_t* pre = pretab[gi->preflag & 1];
    const float* pow43 = s.pow43_table;

    // The long bands up to the one holding the extent, through the kernel.
    float band_factor[22];
    int32_t bands = 0;
    for (int32_t i = 0, end = 0; i < long_bands; ++i) {
        band_factor[i] = g * s.scalefac_gain_table[sc][pre[i]][scalefac[i] & 31];
        end += s.long_width[i];
        bands = i + 1;
        if (end >= E) break;
    }
    int32_t top = -1;
    int32_t pos = d->kernels->dequant(cells, band_factor, s.long_width, bands, pow43, &top);
    // The last band with a nonzero value is the band of the highest nonzero line.
    int32_t last = 0;
    for (int32_t i = 0, end = 0; top >= 0 && i < bands; ++i) {
        end += s.long_width[i];
        if (top < end) {
            last = i;
            break;
        }
    }
    summary->is_short = 0;
    summary->last_band = last;
    if (first_short == 12) return;

    // Short part: input is band by band, window by window; output interleaves the windows.
    // Each window of a band is a band of the kernel with its own factor, dequantised in place;
    // the interleave then copies them out and notes the windows that hold a nonzero value (a
    // nonzero value stays nonzero: every factor is at least 2^-84).
    const int32_t s0 = pos;
    float gw[3];
    int32_t last_w[3];
    for (int w = 0; w < 3; ++w) {
        gw[w] = g * s.subblock_gain_table[gi->subblock_gain[w] & 7];
        last_w[w] = first_short;
    }
    float short_factor[39];
    int32_t short_width[39];
    int32_t short_bands = 0, sb_end = first_short;
    for (int32_t sb = first_short; sb < 13; ++sb) {
        const int32_t w = s.short_width[sb];
        if (pos + 3 * w > 576) break;
        for (int win = 0; win < 3; ++win) {
            short_factor[short_bands] =
                gw[win] * s.scalefac_gain_table[sc][0][scalefac[23 + 13 * win + sb] & 31];
            short_width[short_bands++] = w;
            pos += w;
        }
        sb_end = sb + 1;
        if (pos >= E) break;
    }
    int32_t short_top = -1;
    d->kernels->dequant(cells + s0, short_factor, short_width, short_bands, pow43, &short_top);
    alignas(16) float rb[576];
    const float* in = cells + s0;
    for (int32_t sb = first_short, base = 0; sb < sb_end; ++sb) {
        const int32_t w = s.short_width[sb];
        for (int win = 0; win < 3; ++win) {
            float* out = rb + base + win;
            uint32_t any = 0;
#pragma GCC unroll 4
            for (int32_t k = 0; k < w; ++k) {
                uint32_t u;
                std::memcpy(&u, in + k, 4);
                any |= u;
                out[3 * k] = in[k];
            }
            if (any << 1) last_w[win] = sb;
            in += w;
        }
        base += 3 * w;
    }
    std::memcpy(cells + s0, rb, size_t(pos - s0) * sizeof(float));
    *line_extent = pos;
    summary->last_band_w[0] = last_w[0];
    summary->last_band_w[1] = last_w[1];
    summary->last_band_w[2] = last_w[2];
    int32_t m = last_w[0] > last_w[1] ? last_w[0] : last_w[1];
    summary->last_band = m > last_w[2] ? m : last_w[2];
    summary->is_short = 1;
}
