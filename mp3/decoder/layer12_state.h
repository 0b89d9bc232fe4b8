// Layer I and Layer II state inside the MpegDecoder: the tables built once per decoder, the bit
// reader and the per-frame unpacking arrays (one dispatch code per subband entry).
#pragma once

#include <cstdint>

// Layer I/II bit reader: a byte pointer, a 32-bit accumulator and the count of bits held. Reads
// stop at `end`: bytes at or past it read as zero, so a frame whose allocation claims more bits
// than it holds never reads outside the frame.
struct BitReader {
    const uint8_t* ptr;
    const uint8_t* end;
    uint32_t acc;
    int32_t nbits;
};

struct L12State {
    // Tables built on first use (flags set by init, cleared once built).
    int32_t l2_tables_pending;
    int32_t l1_table_pending;
    float step_l2[18];
    float sf_mult[64];
    float step_l1[16];

    BitReader br;

    // Layout fixed by set-up.
    int32_t src_channels;  // channels the stream carries: 1 (mode 3) or 2
    int32_t entries;       // subband entries the frame carries (doubled for two channels)
    int32_t decode_limit;  // entries actually decoded
    int32_t group_counts[4];
    int8_t class_rows[4][16];

    // The layout follows the bitrate: a frame of another bitrate index brings its own size and,
    // in Layer II, possibly another allocation table.
    int32_t bitrate_index;  // index the current layout was made for
    int32_t frame_size;     // frame size of that index, without padding
    int32_t alloc_row;      // Layer II MPEG-1: mode * 3 + sampling_frequency of the table choice; else -1
    int32_t alloc_table;    // the allocation table in use (Layer II), -1 for Layer I
    int32_t limit_subbands; // decode limit in subbands before the table's subband count caps it

    // Per frame.
    int32_t pad_bytes;
    int32_t stereo_bound;
    int32_t skip_bits;
    int8_t entry_class[66];
    int8_t entry_code[66];
    int8_t entry_scfsi[66];  // Layer II: per allocated entry, in alloc_entries order
    int8_t alloc_entries[64]; // Layer II: the entries with an allocation, lowest first
    int32_t alloc_count;
    // Layer II: 1 where the entry's column holds zeros in all 36 rows since an earlier frame
    // (cleared then and not written since); 0 when unknown.
    int8_t rows_zero[64];
    float entry_step[66];
    float scale_rows[3][64];
};
