// Layer I and Layer II: set-up, the tables built once per decoder, and the frame decoders.
//
// Implements the Layer I and II audio data decoding of ISO/IEC 11172-3 (2.4.3.2, 2.4.3.3) and its
// lower-sampling-frequency extension in ISO/IEC 13818-3. Each frame is first reduced to one
// dispatch code per subband entry, with sentinels for "end of row" and "decoding stops here";
// Layer I's sample loop is one switch per entry, Layer II's granule loop one step per entry with
// an allocation (entries without one are cleared once per frame). Subbands above the decode
// limit cost one bits_skip per granule. Samples come out scaled to the 16-bit range (full scale +-32768) in rows of 64 entries,
// channels interleaved per subband, and go to the synthesis variant chosen at set-up.
#include <cmath>
#include <cstring>

#include "bit_reader.h"
#include "decoder_internal.h"
#include "kernels.h"

namespace {

// Layer II quantisation classes: class q has kClassLevels[q] levels and takes kClassBits[q] bits
// per granule of three samples (ISO/IEC 11172-3 Table 3-B.4). Classes 1, 2 and 4 are grouped
// codes; the others are three codes of kClassCodeBits[q] bits each.
constexpr int32_t kClassLevels[18] = {0,   3,   5,    7,    9,    15,    31,    63,    127,
                                      255, 511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
constexpr int32_t kClassBits[18] = {0, 5, 7, 9, 10, 12, 15, 18, 21, 24, 27, 30, 33, 36, 39, 42, 45, 48};
constexpr int32_t kClassCodeBits[18] = {0, 0, 0, 3, 0, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

constexpr bool class_tables_agree() {
    for (int q = 1; q < 18; ++q) {
        const int n = kClassCodeBits[q];
        if (n && (kClassLevels[q] != (1 << n) - 1 || kClassBits[q] != 3 * n)) return false;
    }
    return true;
}
static_assert(class_tables_agree(), "Layer II class levels, bits and code widths disagree");

// Layer II allocation tables in class form: the entry counts of the four allocation-field width
// groups (4, 4, 3 and 2 bits, lowest subbands first) and, per group, the class of every
// allocation value. B.2a-B.2d of ISO/IEC 11172-3 and the lower-sampling-frequency table of
// ISO/IEC 13818-3.
struct L2AllocTable {
    int8_t counts[4];
    int8_t rows[4][16];
};

constexpr int32_t kGroupWidth[4] = {4, 4, 3, 2};

constexpr L2AllocTable kAllocTables[5] = {
    // B.2a: 27 subbands
    {{3, 8, 12, 4},
     {{0, 1, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 17},
      {0, 1, 2, 3, 4, 5, 6, 17},
      {0, 1, 2, 17}}},
    // B.2b: 30 subbands
    {{3, 8, 12, 7},
     {{0, 1, 3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 17},
      {0, 1, 2, 3, 4, 5, 6, 17},
      {0, 1, 2, 17}}},
    // B.2c: 8 subbands
    {{2, 0, 6, 0}, {{0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {}, {0, 1, 2, 4, 5, 6, 7, 8}, {}}},
    // B.2d: 12 subbands
    {{2, 0, 10, 0}, {{0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {}, {0, 1, 2, 4, 5, 6, 7, 8}, {}}},
    // Lower sampling frequencies: 30 subbands
    {{4, 0, 7, 19},
     {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {}, {0, 1, 2, 4, 5, 6, 7, 8}, {0, 1, 2, 4}}},
};

constexpr int kLsfTable = 4;

constexpr int32_t subbands_of(const L2AllocTable& t) {
    return t.counts[0] + t.counts[1] + t.counts[2] + t.counts[3];
}
static_assert(subbands_of(kAllocTables[0]) == 27 && subbands_of(kAllocTables[1]) == 30 &&
              subbands_of(kAllocTables[2]) == 8 && subbands_of(kAllocTables[3]) == 12 &&
              subbands_of(kAllocTables[4]) == 30, "allocation table subband counts");

// Which allocation table an MPEG-1 Layer II stream uses (ISO/IEC 11172-3 Annex B.2), indexed
// [mode][sampling_frequency 44.1/48/32 kHz][bitrate_index]: 0-3 for B.2a-B.2d, -1 where the
// standard allows no such stream. Modes 0-2 carry two channels and share one row set; the
// choice follows the bitrate per channel.
constexpr int8_t kAllocChoice[4][3][16] = {
    // stereo
    {{1, -1, -1, -1, 2, -1, 2, 0, 0, 0, 1, 1, 1, 1, 1, -1},
     {0, -1, -1, -1, 2, -1, 2, 0, 0, 0, 0, 0, 0, 0, 0, -1},
     {1, -1, -1, -1, 3, -1, 3, 0, 0, 0, 1, 1, 1, 1, 1, -1}},
    // joint stereo
    {{1, -1, -1, -1, 2, -1, 2, 0, 0, 0, 1, 1, 1, 1, 1, -1},
     {0, -1, -1, -1, 2, -1, 2, 0, 0, 0, 0, 0, 0, 0, 0, -1},
     {1, -1, -1, -1, 3, -1, 3, 0, 0, 0, 1, 1, 1, 1, 1, -1}},
    // dual channel
    {{1, -1, -1, -1, 2, -1, 2, 0, 0, 0, 1, 1, 1, 1, 1, -1},
     {0, -1, -1, -1, 2, -1, 2, 0, 0, 0, 0, 0, 0, 0, 0, -1},
     {1, -1, -1, -1, 3, -1, 3, 0, 0, 0, 1, 1, 1, 1, 1, -1}},
    // single channel
    {{1, 2, 2, 0, 0, 0, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1},
     {0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, -1},
     {1, 3, 3, 0, 0, 0, 1, 1, 1, 1, 1, -1, -1, -1, -1, -1}},
};

// Entries read with an allocation of their own, by mode * 4 + mode_extension: joint stereo
// shares the allocation of every subband from 4, 8, 12 or 16 on between the two channels.
constexpr int8_t kStereoBound[16] = {64, 64, 64, 64, 8, 16, 24, 32, 64, 64, 64, 64, 32, 32, 32, 32};

// Dispatch codes of the sample loops. Layer II: class, class + kL2Joint on the first entry of a
// joint pair, then the two sentinels. Layer I: the allocation value, + kL1Joint for a pair.
constexpr int8_t kL2Joint = 18;
constexpr int8_t kL2End = 36;
constexpr int8_t kL2Stop = 37;
constexpr int8_t kL1Joint = 15;
constexpr int8_t kL1End = 30;
constexpr int8_t kL1Stop = 31;

// Scalefactor selection markers beyond the 2-bit values.
constexpr int8_t kScfsiNone = 4;
constexpr int8_t kScfsiEnd = 5;

// Lays the Layer II entries out for allocation table t: group counts and class rows, the entry
// count and the decode limit (both counting each channel).
void l2_apply_table(L12State& s, int32_t t) {
    const L2AllocTable& tab = kAllocTables[t];
    for (int g = 0; g < 4; ++g) {
        s.group_counts[g] = tab.counts[g] * s.src_channels;
        for (int a = 0; a < 16; ++a) s.class_rows[g][a] = tab.rows[g][a];
    }
    const int32_t sb = subbands_of(tab);
    s.entries = sb * s.src_channels;
    s.decode_limit = (s.limit_subbands < sb ? s.limit_subbands : sb) * s.src_channels;
    s.alloc_table = t;
}

// A frame whose bitrate index differs from the layout's (a variable-bitrate stream): its size
// comes from its own header and, in MPEG-1 Layer II, its allocation table from its bitrate.
// Returns false for a frame that cannot be one of this stream's (no table for that bitrate in
// the stream's mode, or an unusable header). Indexes 0 and 15 keep the layout.
bool l12_follow_bitrate(MpegDecoder* d, const MpegHeader& h) {
    L12State& s = d->l12;
    const int32_t index = h.bitrate_index;
    if (index == 0 || index == 15) return true;
    MpegFrameInfo info;
    if (!mpeg_header_info(&h, &info) || info.frame_bytes <= 0) return false;
    if (s.alloc_row >= 0) {
        const int32_t t = kAllocChoice[s.alloc_row / 3][s.alloc_row % 3][index];
        if (t < 0) return false;
        if (t != s.alloc_table) {
            l2_apply_table(s, t);
            // Entries above a lower decode limit must read as zero again.
            std::memset(d->samples.rows, 0, sizeof(d->samples.rows));
        }
    }
    s.bitrate_index = index;
    s.frame_size = info.frame_bytes;
    return true;
}

// Takes the frame's header (the CRC is skipped, never verified). Returns false unless it starts
// with all 12 sync bits. Sets pad_bytes (the padding of the stream's layer code `layer`, whatever
// a stray frame's layer bits say) and stereo_bound, then starts the reader after the header,
// bounded to the frame.
bool l12_read_header(MpegDecoder* d, BitReader* br, const uint8_t* in, int32_t avail, int32_t layer) {
    L12State& s = d->l12;
    MpegHeader h;
    if (!mpeg_header_decode(in, avail, &h) || h.sync != 1) return false;
    MpegHeader own = h;
    own.layer = layer;
    s.pad_bytes = mpeg_header_frame_bytes(&own, 0);
    // A single-channel stream never pairs entries, whatever a stray frame's mode says: pairs
    // could then straddle the sentinels.
    s.stereo_bound = s.src_channels == 2 ? kStereoBound[4 * h.mode + h.mode_extension] : 64;
    // A free-format stream keeps the size found at set-up: a stray index there is a damaged
    // header, not a new bitrate.
    if (h.bitrate_index != s.bitrate_index && s.bitrate_index != 0 && !l12_follow_bitrate(d, h))
        return false;

    // A frame cut short by the end of the data is not decoded: with zeros in place of its
    // missing bytes it would play as a full-scale burst.
    const int32_t frame = s.frame_size + s.pad_bytes;
    if (frame > avail) return false;
    bits_begin(br, in + (h.protection_bit ? 4 : 6), in + (frame >= 0 ? frame : avail));
    return true;
}

// Grouped codes: digits in base 3, 5 or 9, first sample in the lowest digit, centred on 0, as
// floats (built by the compiler, shared by every decoder).
template <int Base, int Codes>
struct GroupTable {
    float v[Codes][3];
};
template <int Base, int Codes>
constexpr GroupTable<Base, Codes> make_group_table() {
    GroupTable<Base, Codes> t{};
    for (int c = 0; c < Codes; ++c)
        for (int j = 0, x = c; j < 3; ++j, x /= Base) t.v[c][j] = float(x % Base - (Base - 1) / 2);
    return t;
}
constexpr GroupTable<3, 32> kGroup3 = make_group_table<3, 32>();
constexpr GroupTable<5, 128> kGroup5 = make_group_table<5, 128>();
constexpr GroupTable<9, 1024> kGroup9 = make_group_table<9, 1024>();

inline void l2_grouped(const float (*table)[3], BitReader* br, int32_t bits, float v[3]) {
    const float* g = table[bits_get(br, bits)];
    v[0] = g[0], v[1] = g[1], v[2] = g[2];
}

// Allocation of a Layer II frame: class, code and step per entry, the bits of the entries at and
// above the decode limit, and the two sentinels.
void l2_unpack_allocation(L12State& s, BitReader* br) {
    s.skip_bits = 0;
    int32_t countdown = s.stereo_bound;
    int32_t i = 0;
    for (int g = 0; g < 4; ++g) {
        const int32_t width = kGroupWidth[g];
        const int8_t* row = s.class_rows[g];
        const int32_t group_end = i + s.group_counts[g];
        while (i < group_end) {
            const int8_t q = row[bits_get(br, width)];
            s.entry_class[i] = q;
            s.entry_code[i] = q;
            s.entry_step[i] = s.step_l2[q];
            if (i >= s.decode_limit) s.skip_bits += kClassBits[q];
            if (--countdown < 0) {
                s.entry_class[i + 1] = q;
                s.entry_step[i + 1] = s.step_l2[q];
                s.entry_code[i] = s.entry_code[i + 1] = int8_t(q + kL2Joint);
                i += 2;
            } else {
                i += 1;
            }
        }
    }
    s.entry_code[s.decode_limit] = kL2Stop;
    s.entry_code[s.entries] = kL2End;
}

void l2_unpack_scfsi(L12State& s, BitReader* br) {
    for (int32_t i = 0; i < s.entries; ++i)
        s.entry_scfsi[i] = s.entry_class[i] ? int8_t(bits_get(br, 2)) : kScfsiNone;
    s.entry_scfsi[s.entries] = kScfsiEnd;
}

void l2_unpack_scalefactors(L12State& s, BitReader* br) {
    const float* sf = s.sf_mult;
    for (int32_t i = 0;; ++i) {
        const float step = s.entry_step[i];
        switch (s.entry_scfsi[i]) {
        case 0:
            bits_fill(br);
            s.scale_rows[0][i] = sf[bits_take(br, 6)] * step;
            s.scale_rows[1][i] = sf[bits_take(br, 6)] * step;
            s.scale_rows[2][i] = sf[bits_take(br, 6)] * step;
            break;
        case 1: {
            bits_fill(br);
            const float a = sf[bits_take(br, 6)] * step;
            s.scale_rows[0][i] = s.scale_rows[1][i] = a;
            s.scale_rows[2][i] = sf[bits_take(br, 6)] * step;
            break;
        }
        case 2:
            s.scale_rows[0][i] = s.scale_rows[1][i] = s.scale_rows[2][i] = sf[bits_get(br, 6)] * step;
            break;
        case 3: {
            bits_fill(br);
            s.scale_rows[0][i] = sf[bits_take(br, 6)] * step;
            const float b = sf[bits_take(br, 6)] * step;
            s.scale_rows[1][i] = s.scale_rows[2][i] = b;
            break;
        }
        case kScfsiNone:
            break;
        default:
            return;
        }
    }
}

// The granule loop's program for a frame: one step per entry below the decode limit that has an
// allocation (a joint pair is one step), with what its codes need worked out once per frame
// instead of once per granule. Entries without an allocation read nothing and hold zeros for the
// whole frame (l2_clear_silent).
struct L2Step {
    int32_t at;    // the entry; a joint pair also writes entry at + 1
    int32_t kind;  // kL2Codes3: three codes of n <= 8 bits; kL2CodesWide: wider codes; else the
                   // grouped base 3, 5 or 9
    int32_t n;     // bits per code, or per group
    int32_t mid;   // the code of zero (three-code kinds)
    uint32_t mask; // (1 << n) - 1
    int32_t n2, n3, top; // 2n, 3n and 32 - 3n: the shifts of a three-code field
    int32_t joint; // 1 for a joint pair
};
constexpr int32_t kL2Codes3 = 0, kL2CodesWide = 1, kL2Group3 = 2, kL2Group5 = 3, kL2Group9 = 4;

int32_t l2_granule_program(const L12State& s, L2Step* steps) {
    int32_t count = 0;
    for (int32_t i = 0; i < s.decode_limit;) {
        const int32_t c = s.entry_code[i];
        const int32_t joint = c >= kL2Joint ? 1 : 0;
        const int32_t q = joint ? c - kL2Joint : c;
        if (q != 0) {
            L2Step& t = steps[count++];
            t.at = i;
            t.joint = joint;
            t.mid = 0;
            t.mask = 0;
            t.n2 = t.n3 = t.top = 0;
            if (q == 1 || q == 2 || q == 4) {
                t.kind = q == 1 ? kL2Group3 : q == 2 ? kL2Group5 : kL2Group9;
                t.n = kClassBits[q];
            } else {
                t.n = kClassCodeBits[q];
                t.kind = t.n <= 8 ? kL2Codes3 : kL2CodesWide;
                t.mid = (1 << (t.n - 1)) - 1;
                t.mask = (1u << t.n) - 1u;
                t.n2 = 2 * t.n;
                t.n3 = 3 * t.n;
                t.top = 32 - t.n3;
            }
        }
        i += 1 + joint;
    }
    return count;
}

// The entries below the decode limit without an allocation, zero in all 36 rows of the frame.
void l2_clear_silent(const L12State& s, float (*rows)[64]) {
    for (int32_t i = 0; i < s.decode_limit; ++i) {
        if (s.entry_class[i] != 0) continue;
#pragma GCC unroll 36
        for (int32_t r = 0; r < 36; ++r) rows[r][i] = 0.0f;
    }
}

// Steps [from, to) of a granule, all single entries or all joint pairs (the pairs come last:
// every entry from the stereo bound on is one).
template <bool Joint>
inline void l2_granule_steps(const L2Step* steps, int32_t from, int32_t to, BitReader* br,
                             const float* scale, float* r) {
    float v[3];
    for (int32_t k = from; k < to; ++k) {
        const L2Step& t = steps[k];
        switch (t.kind) {
        case kL2Codes3: {
            // The three codes as one field of 3n bits (bits_take of 3n), split by shifts.
            if (br->nbits < t.n3) bits_fill(br);
            const uint32_t w = br->acc >> t.top, m = t.mask;
            br->acc <<= t.n3;
            br->nbits -= t.n3;
            v[0] = float(int32_t(w >> t.n2) - t.mid);
            v[1] = float(int32_t((w >> t.n) & m) - t.mid);
            v[2] = float(int32_t(w & m) - t.mid);
            break;
        }
        case kL2CodesWide:
            v[0] = float(int32_t(bits_get(br, t.n)) - t.mid);
            v[1] = float(int32_t(bits_get(br, t.n)) - t.mid);
            v[2] = float(int32_t(bits_get(br, t.n)) - t.mid);
            break;
        case kL2Group3:
            l2_grouped(kGroup3.v, br, 5, v);
            break;
        case kL2Group5:
            l2_grouped(kGroup5.v, br, 7, v);
            break;
        default:
            l2_grouped(kGroup9.v, br, 10, v);
            break;
        }
        const int32_t i = t.at;
        const float f = scale[i];
        r[i] = v[0] * f, r[64 + i] = v[1] * f, r[128 + i] = v[2] * f;
        if constexpr (Joint) {
            const float g = scale[i + 1];
            r[i + 1] = v[0] * g, r[65 + i] = v[1] * g, r[129 + i] = v[2] * g;
        }
    }
}

// One granule of one part: three rows starting at `r` (rows 64 floats apart). Each step reads
// the granule's values; the entry (or joint pair) is then written with its own scale. The bits
// of the entries above the decode limit are passed over.
void l2_unpack_granule(const L12State& s, const L2Step* steps, int32_t singles, int32_t count,
                       BitReader* br, const float* scale, float* r) {
    l2_granule_steps<false>(steps, 0, singles, br, scale, r);
    l2_granule_steps<true>(steps, singles, count, br, scale, r);
    if (s.decode_limit < s.entries) bits_skip(br, s.skip_bits);
}

// Allocation of a Layer I frame: the code is the allocation value itself. The forbidden value 15
// counts as no allocation, since its code would collide with the joint and sentinel codes.
void l1_unpack_allocation(L12State& s, BitReader* br) {
    s.skip_bits = 0;
    int32_t countdown = s.stereo_bound;
    for (int32_t i = 0; i < s.entries;) {
        int32_t a = int32_t(bits_get(br, 4));
        if (a == 15) a = 0;
        s.entry_class[i] = int8_t(a);
        s.entry_code[i] = int8_t(a);
        s.entry_step[i] = s.step_l1[a];
        if (i >= s.decode_limit && a) s.skip_bits += a + 1;
        if (--countdown < 0) {
            s.entry_class[i + 1] = int8_t(a);
            s.entry_step[i + 1] = s.step_l1[a];
            s.entry_code[i] = s.entry_code[i + 1] = int8_t(a + kL1Joint);
            i += 2;
        } else {
            i += 1;
        }
    }
    s.entry_code[s.decode_limit] = kL1Stop;
    s.entry_code[s.entries] = kL1End;
}

void l1_unpack_scalefactors(L12State& s, BitReader* br) {
    for (int32_t i = 0; i < s.entries; ++i)
        if (s.entry_class[i]) s.scale_rows[0][i] = s.sf_mult[bits_get(br, 6)] * s.entry_step[i];
}

// One Layer I row: a value of a + 1 bits per allocated entry.
void l1_unpack_row(const L12State& s, BitReader* br, float* r) {
    const int8_t* code = s.entry_code;
    const float* scale = s.scale_rows[0];
    for (int32_t i = 0;;) {
        const int32_t c = code[i];
        if (c == 0) {
            r[i] = 0.0f;
            i += 1;
        } else if (c < kL1Joint) {
            const float v = float(int32_t(bits_get(br, c + 1)) - ((1 << c) - 1));
            r[i] = v * scale[i];
            i += 1;
        } else if (c == kL1Joint) {
            r[i] = r[i + 1] = 0.0f;
            i += 2;
        } else if (c < kL1End) {
            const int32_t a = c - kL1Joint;
            const float v = float(int32_t(bits_get(br, a + 1)) - ((1 << a) - 1));
            r[i] = v * scale[i];
            r[i + 1] = v * scale[i + 1];
            i += 2;
        } else {
            if (c == kL1Stop) bits_skip(br, s.skip_bits);
            return;
        }
    }
}

}  // namespace

void build_l12_tables(MpegDecoder* d) {
    L12State& s = d->l12;
    s.step_l2[0] = 0.0f;
    for (int q = 1; q < 18; ++q) s.step_l2[q] = float(2.0 / kClassLevels[q]);
    // The standard's scalefactor 2 * 2^(-k/3) in 16-bit sample units, negated: the synthesis
    // window is stored as -D (a subband-0 value of +1000 comes out as -1000), so the scale
    // carries the sign back and the PCM has the polarity of the coded signal.
    // The decoder's gain rides on the scalefactors: it costs nothing per sample.
    for (int k = 0; k < 64; ++k)
        s.sf_mult[k] = float(-65536.0 * std::pow(2.0, -k / 3.0) * double(d->gain));
    s.l2_tables_pending = 0;
}

int32_t l12_finish_setup(MpegDecoder* d, const MpegHeader* h, int32_t fs, int32_t sb,
                         int32_t samples, const MpegSetup* p) {
    if (fs <= 0) return 0;
    const bool two_channels = h->mode != 3;

    // freq_limit over the subband width fs / 64, rounded to nearest, at most the subbands the
    // synthesis hears: all 32 at full rate (the allocation table may still stop lower); 15 at
    // half rate, whose 16-band synthesis leaves subband 15 out; 8 at quarter rate.
    int32_t limit = int32_t((int64_t(p->freq_limit) * 64 + fs / 2) / fs);
    const int32_t cap = p->reduction == 0 ? 32 : p->reduction == 1 ? 15 : 8;
    if (limit > cap) limit = cap;
    if (limit > sb) limit = sb;

    // Stereo rows interleave left and right per subband, so entries count both channels.
    d->l12.entries = two_channels ? 2 * sb : sb;
    d->l12.decode_limit = two_channels ? 2 * limit : limit;

    const int32_t chan_code = two_channels ? p->chan_sel + 1 : 0;
    d->synth = d->kernels->synth[15 * p->form + 5 * p->reduction + chan_code];
    mpeg_set_output(d, chan_code == 1 ? 2 : 1, samples, fs, p);

    std::memset(d->samples.rows, 0, sizeof(d->samples.rows));
    synth_reset(d);
    return 1;
}

int32_t l2_setup(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p) {
    if (h->layer != 2 || h->sampling_frequency < 0 || h->sampling_frequency > 2) return 0;
    const int32_t id = h->id & 1;
    int32_t table = kLsfTable;
    if (id) {
        if (h->mode < 0 || h->mode > 3 || h->bitrate_index < 0 || h->bitrate_index > 15) return 0;
        table = kAllocChoice[h->mode][h->sampling_frequency][h->bitrate_index];
        if (table < 0) return 0;
    }
    if (d->l12.l2_tables_pending) build_l12_tables(d);

    L12State& s = d->l12;
    s.src_channels = h->mode == 3 ? 1 : 2;
    s.bitrate_index = h->bitrate_index;
    s.frame_size = p->frame_bytes;
    s.alloc_row = id ? h->mode * 3 + h->sampling_frequency : -1;
    // The common tail runs with all 32 subbands so that the decode limit it leaves is the one
    // before the table's cap; the table's own layout then caps it (and again whenever a frame
    // of another bitrate changes the table).
    MpegFrameInfo info;
    mpeg_header_info(h, &info);
    l12_finish_setup(d, h, info.sample_rate, 32, 1152, p);
    s.limit_subbands = s.decode_limit / s.src_channels;
    l2_apply_table(s, table);
    return 1;
}

int32_t l1_setup(MpegDecoder* d, const MpegHeader* h, const MpegSetup* p) {
    L12State& s = d->l12;
    if (s.l1_table_pending) {
        s.step_l1[0] = 0.0f;
        for (int a = 1; a < 16; ++a) s.step_l1[a] = float(2.0 / ((2 << a) - 1));
        s.l1_table_pending = 0;
    }
    if (h->layer != 3 || h->sampling_frequency < 0 || h->sampling_frequency > 2) return 0;
    if (s.l2_tables_pending) build_l12_tables(d);
    s.src_channels = h->mode == 3 ? 1 : 2;
    s.bitrate_index = h->bitrate_index;
    s.frame_size = p->frame_bytes;
    s.alloc_row = -1;
    s.alloc_table = -1;
    MpegFrameInfo info;
    mpeg_header_info(h, &info);
    return l12_finish_setup(d, h, info.sample_rate, 32, 384, p);
}

MpegInOut l2_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    L12State& s = d->l12;
    BitReader br;
    bits_begin(&br, in, in);
    if (!l12_read_header(d, &br, in, avail, 2)) {
        s.br = br;
        return {0, 0};
    }
    l2_unpack_allocation(s, &br);
    l2_unpack_scfsi(s, &br);
    l2_unpack_scalefactors(s, &br);
    L2Step steps[64];
    const int32_t count = l2_granule_program(s, steps);
    int32_t singles = 0;
    while (singles < count && !steps[singles].joint) ++singles;
    l2_clear_silent(s, d->samples.rows);
    for (int p = 0; p < 3; ++p)
        for (int g = 0; g < 4; ++g)
            l2_unpack_granule(s, steps, singles, count, &br, s.scale_rows[p],
                              d->samples.rows[12 * p + 3 * g]);
    s.br = br;
    d->synth(d, &d->samples.rows[0][0], out, 36);
    return {s.frame_size + s.pad_bytes, d->out_bytes};
}

MpegInOut l1_decode_frame(MpegDecoder* d, const uint8_t* in, int32_t avail, uint8_t* out) {
    L12State& s = d->l12;
    BitReader br;
    bits_begin(&br, in, in);
    if (!l12_read_header(d, &br, in, avail, 3)) {
        s.br = br;
        return {0, 0};
    }
    l1_unpack_allocation(s, &br);
    l1_unpack_scalefactors(s, &br);
    for (int r = 0; r < 12; ++r) l1_unpack_row(s, &br, d->samples.rows[r]);
    s.br = br;
    d->synth(d, &d->samples.rows[0][0], out, 12);
    return {s.frame_size + s.pad_bytes, d->out_bytes};
}
