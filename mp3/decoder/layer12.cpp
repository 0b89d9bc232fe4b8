// Layer I and Layer II: set-up, the tables built once per decoder, and the frame decoders.
//
// Implements the Layer I and II audio data decoding of ISO/IEC 11172-3 (2.4.3.2, 2.4.3.3) and its
// lower-sampling-frequency extension in ISO/IEC 13818-3. Each frame is first reduced to one
// dispatch code per subband entry. Layer I's sample loop is one switch per entry, with sentinels
// for "end of row" and "decoding stops here"; subbands above the decode limit cost one bits_skip
// per row. Layer II's twelve granules all have the same layout, so its frame is decoded one step
// per entry with an allocation, each step reading its field in all twelve granules (entries
// without one are cleared when their rows may hold something else; the bits above the decode
// limit are only counted). Samples come out scaled to the 16-bit range (full scale +-32768) in
// rows of 64 entries, channels interleaved per subband, and go to the synthesis variant chosen
// at set-up.
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "bit_reader.h"
#include "decoder_internal.h"
#include "kernels.h"
#include "tables/libm_values.h"

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
// joint pair. Layer I: the allocation value, + kL1Joint for a pair, then the two sentinels.
constexpr int8_t kL2Joint = 18;
constexpr int8_t kL1Joint = 15;
constexpr int8_t kL1End = 30;
constexpr int8_t kL1Stop = 31;

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
            std::memset(s.rows_zero, 0, sizeof(s.rows_zero));
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

// The integers -127..128 as floats: a code c of n <= 8 bits (0..2^n - 1) centred on mid reads
// v[c + 127 - mid].
struct CentredTable {
    float v[256];
};
constexpr CentredTable make_centred_table() {
    CentredTable t{};
    for (int j = 0; j < 256; ++j) t.v[j] = float(j - 127);
    return t;
}
constexpr CentredTable kCentred = make_centred_table();

// Allocation of a Layer II frame: class, code and step per entry, the bits of the entries at and
// above the decode limit, and the list of the entries with an allocation (appended without a
// branch: the list position moves on only for an allocated entry).
void l2_unpack_allocation(L12State& s, BitReader* br) {
    s.skip_bits = 0;
    int32_t countdown = s.stereo_bound;
    int32_t i = 0;
    int32_t listed = 0;
    for (int g = 0; g < 4; ++g) {
        const int32_t width = kGroupWidth[g];
        const int8_t* row = s.class_rows[g];
        const int32_t group_end = i + s.group_counts[g];
        while (i < group_end) {
            const int8_t q = row[bits_get(br, width)];
            s.entry_class[i] = q;
            s.entry_code[i] = q;
            s.entry_step[i] = s.step_l2[q];
            s.alloc_entries[listed] = int8_t(i);
            listed += q != 0;
            if (i >= s.decode_limit) s.skip_bits += kClassBits[q];
            if (--countdown < 0) {
                s.entry_class[i + 1] = q;
                s.entry_step[i + 1] = s.step_l2[q];
                s.entry_code[i] = s.entry_code[i + 1] = int8_t(q + kL2Joint);
                s.alloc_entries[listed] = int8_t(i + 1);
                listed += q != 0;
                i += 2;
            } else {
                i += 1;
            }
        }
    }
    s.alloc_count = listed;
}

// The scalefactor selection of each allocated entry, in list order.
void l2_unpack_scfsi(L12State& s, BitReader* br) {
    for (int32_t k = 0; k < s.alloc_count; ++k) s.entry_scfsi[k] = int8_t(bits_get(br, 2));
}

// Scalefactors coded per selection value (3, 2, 1 or 2) and which of them (first, second or
// third) scales the second and the third part; the first always scales the first part.
constexpr int32_t kScfsiCodes[4] = {3, 2, 1, 2};
constexpr int32_t kScfsiPart2[4] = {1, 0, 0, 1};
constexpr int32_t kScfsiPart3[4] = {2, 1, 0, 1};

// Each allocated entry's scale per part: scalefactor times step. The 18 bits that can hold its
// scalefactors are looked at in one go and 6 bits per scalefactor coded are taken, so the
// selection value costs no branch.
void l2_unpack_scalefactors(L12State& s, BitReader* br) {
    const float* sf = s.sf_mult;
    for (int32_t k = 0; k < s.alloc_count; ++k) {
        const int32_t i = s.alloc_entries[k];
        const int32_t sel = s.entry_scfsi[k];
        if (br->nbits < 18) bits_fill(br);
        const uint32_t top = br->acc >> 14;
        const float step = s.entry_step[i];
        const float scale[3] = {sf[top >> 12] * step, sf[(top >> 6) & 63] * step, sf[top & 63] * step};
        const int32_t used = 6 * kScfsiCodes[sel];
        br->acc <<= used;
        br->nbits -= used;
        s.scale_rows[0][i] = scale[0];
        s.scale_rows[1][i] = scale[kScfsiPart2[sel]];
        s.scale_rows[2][i] = scale[kScfsiPart3[sel]];
    }
}

// The granule program of a frame: one step per entry below the decode limit that has an
// allocation (a joint pair is one step). Every granule of a frame has the same layout, so a
// step's field sits at the same bit offset in each of the twelve granules: the frame is decoded
// step by step, each step reading its field in all twelve granules through the function made for
// its class, so that the class is looked at once per frame instead of once per granule (a choice
// among some twenty made per granule mispredicts often). Entries without an allocation read
// nothing and hold zeros for the whole frame (l2_clear_silent).
struct L2Step {
    int32_t at;   // the entry; a joint pair also writes entry at + 1
    int32_t off;  // bit offset of the step's field in a granule
    int32_t code; // the entry's dispatch code: class, + kL2Joint for a joint pair
};
constexpr int32_t kL2Codes = 0, kL2Group3 = 1, kL2Group5 = 2, kL2Group9 = 3;

// Per class: the step kind, the bits of a code (of the group for grouped kinds) and the code of
// zero. Class 0 has none of them: it makes no step.
struct L2ClassStep {
    int8_t kind, n;
    int16_t mid;
};
constexpr L2ClassStep l2_class_step(int32_t q) {
    if (q == 0) return {0, 0, 0};
    if (q == 1 || q == 2 || q == 4)
        return {int8_t(q == 1 ? kL2Group3 : q == 2 ? kL2Group5 : kL2Group9), int8_t(kClassBits[q]), 0};
    return {int8_t(kL2Codes), int8_t(kClassCodeBits[q]), int16_t((1 << (kClassCodeBits[q] - 1)) - 1)};
}
template <size_t... Q>
constexpr std::array<L2ClassStep, sizeof...(Q)> l2_class_steps(std::index_sequence<Q...>) {
    return {{l2_class_step(int32_t(Q))...}};
}
constexpr std::array<L2ClassStep, 18> kClassStep = l2_class_steps(std::make_index_sequence<18>());

// Fills `steps` and returns their count; `granule_bits` gets the bits of one granule, the entries
// above the decode limit included.
int32_t l2_granule_program(const L12State& s, L2Step* steps, int32_t* granule_bits) {
    int32_t count = 0;
    int32_t off = 0;
    for (int32_t i = 0; i < s.decode_limit;) {
        const int32_t c = s.entry_code[i];
        const int32_t joint = c >= kL2Joint ? 1 : 0;
        const int32_t q = c - joint * kL2Joint;
        // Written whatever the class; only an allocated entry keeps it (count moves on).
        steps[count] = {i, off, c};
        count += q != 0;
        off += kClassBits[q];
        i += 1 + joint;
    }
    *granule_bits = off + (s.decode_limit < s.entries ? s.skip_bits : 0);
    return count;
}

// The entries below the decode limit without an allocation, zero in all 36 rows of the frame.
// An entry whose rows still hold the zeros of an earlier frame (rows_zero) is passed over; the
// flags are dropped wherever anything else writes the rows.
void l2_clear_silent(L12State& s, float (*rows)[64]) {
    for (int32_t i = 0; i < s.decode_limit; ++i) {
        const int8_t silent = s.entry_class[i] == 0;
        if (silent && !s.rows_zero[i]) {
#pragma GCC unroll 36
            for (int32_t r = 0; r < 36; ++r) rows[r][i] = 0.0f;
        }
        s.rows_zero[i] = silent;
    }
}

// The 64 bits from byte p on, the first byte the most significant.
inline uint64_t load_be64(const uint8_t* p) {
    return uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
           uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
}

// The bits of an audio data field of at most 57 bits starting at bit `pos` of `base`, at the top
// of the result. Reads the 8 bytes from byte pos / 8 on.
inline uint64_t l2_field(const uint8_t* base, uint32_t pos) {
    return load_be64(base + (pos >> 3)) << (pos & 7);
}

// One step in all twelve granules for class Q: granule g (part g / 4, scale row p) has its field
// at bit pos + g * gbits and its values in rows 3g, 3g + 1 and 3g + 2 of `rows`. With the class
// fixed, the code widths and shifts are constants.
template <int32_t Q, bool Joint>
void l2_step_frame(int32_t i, const uint8_t* base, uint32_t pos, uint32_t gbits,
                   const float (*scale)[64], float* rows) {
    constexpr L2ClassStep cs = kClassStep[Q];
    float* r = rows + i;
    for (int p = 0; p < 3; ++p) {
        const float f = scale[p][i];
        const float h = Joint ? scale[p][i + 1] : 0.0f;
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g, pos += gbits, r += 3 * 64) {
            const uint64_t x = l2_field(base, pos);
            float v0, v1, v2;
            if constexpr (cs.kind == kL2Codes) {
                constexpr int32_t n = cs.n, mid = cs.mid;
                constexpr uint32_t m = (1u << n) - 1u;
                const uint64_t w = x >> (64 - 3 * n);
                if constexpr (n <= 8) {
                    // Codes of up to 8 bits centred by a table: kCentred[c + 127 - mid] is c - mid.
                    const float* c = kCentred.v + (127 - mid);
                    v0 = c[uint32_t(w >> (2 * n))];
                    v1 = c[uint32_t(w >> n) & m];
                    v2 = c[uint32_t(w) & m];
                } else {
                    v0 = float(int32_t(uint32_t(w >> (2 * n))) - mid);
                    v1 = float(int32_t(uint32_t(w >> n) & m) - mid);
                    v2 = float(int32_t(uint32_t(w) & m) - mid);
                }
            } else {
                constexpr int32_t bits = cs.n;
                const float* v = cs.kind == kL2Group3   ? kGroup3.v[x >> (64 - bits)]
                                 : cs.kind == kL2Group5 ? kGroup5.v[x >> (64 - bits)]
                                                        : kGroup9.v[x >> (64 - bits)];
                v0 = v[0], v1 = v[1], v2 = v[2];
            }
            r[0] = v0 * f, r[64] = v1 * f, r[128] = v2 * f;
            if constexpr (Joint) r[1] = v0 * h, r[65] = v1 * h, r[129] = v2 * h;
        }
    }
}

using L2StepFn = void (*)(int32_t i, const uint8_t* base, uint32_t pos, uint32_t gbits,
                          const float (*scale)[64], float* rows);

// The step functions by dispatch code (class 0 never makes a step).
template <size_t C>
constexpr L2StepFn l2_step_fn() {
    constexpr int32_t q = int32_t(C % size_t(kL2Joint));
    if constexpr (q == 0) return nullptr;
    else return &l2_step_frame<q, (C >= size_t(kL2Joint))>;
}
template <size_t... C>
constexpr std::array<L2StepFn, sizeof...(C)> l2_step_fns(std::index_sequence<C...>) {
    return {{l2_step_fn<C>()...}};
}
constexpr std::array<L2StepFn, 2 * kL2Joint> kStepFns = l2_step_fns(std::make_index_sequence<2 * kL2Joint>());

// The twelve granules of a frame, the reader after the scalefactors. The granules' bits go to a
// buffer first, with zeros after the frame's last byte: every field is then one unaligned 8-byte
// read at its bit position, with no refill and no bound check (a damaged frame that claims more
// bits than it holds reads zeros, as from the reader). The buffer starts with the bits the
// reader holds, which include any zeros it already took from past the frame's end; the frame's
// bytes from the reader's pointer on follow. The reader is left after the twelfth granule.
void l2_unpack_granules(const L12State& s, BitReader* br, float (*rows)[64]) {
    L2Step steps[64];
    int32_t gbits = 0;
    const int32_t count = l2_granule_program(s, steps, &gbits);
    // The held bits start at bit `lead` of the buffer and fill its first `held` bytes; the reads
    // touch bytes [0, need).
    const int32_t lead = -br->nbits & 7;
    const int32_t held = (br->nbits + 7) >> 3;
    const int32_t need = ((lead + 12 * gbits) >> 3) + 8;
    // At most 64 entries of at most 48 bits each in twelve granules, plus the lead and the last
    // read.
    uint8_t buf[(7 + 12 * 64 * 48) / 8 + 8];
    const uint64_t top = uint64_t(br->acc) << 32 >> lead;
    for (int32_t k = 0; k < held; ++k) buf[k] = uint8_t(top >> (56 - 8 * k));
    const int64_t left = br->end - br->ptr;
    const int32_t from_frame = left <= 0 ? 0 : left < need - held ? int32_t(left) : need - held;
    if (from_frame > 0) std::memcpy(buf + held, br->ptr, size_t(from_frame));
    std::memset(buf + held + from_frame, 0, size_t(need - held - from_frame));
    float* r = &rows[0][0];
    for (int32_t k = 0; k < count; ++k) {
        const L2Step& t = steps[k];
        kStepFns[size_t(t.code)](t.at, buf, uint32_t(lead + t.off), uint32_t(gbits), s.scale_rows, r);
    }
    bits_skip(br, 12 * gbits);
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
        s.sf_mult[k] = float(-65536.0 * libm::kScalefactorPow[k] * double(d->gain));
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
    std::memset(d->l12.rows_zero, 0, sizeof(d->l12.rows_zero));
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
    l2_clear_silent(s, d->samples.rows);
    l2_unpack_granules(s, &br, d->samples.rows);
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
