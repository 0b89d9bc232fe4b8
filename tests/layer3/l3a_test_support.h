// Helpers of the Layer III frame and Huffman tests: the shared bit writer, a zeroed decoder on
// the heap, and band tables filled straight from sfb_table (no set-up needed).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "decoder_util.h"
#include "layer3_bits.h"
#include "layer3_internal.h"

namespace l3a {

using ziv::BitWriter;

struct DecoderFree {
    void operator()(MpegDecoder* d) const {
        mpeg_decoder_free(d);
        std::free(d);
    }
};
using DecoderPtr = std::unique_ptr<MpegDecoder, DecoderFree>;

inline DecoderPtr make_decoder() {
    auto* d = static_cast<MpegDecoder*>(std::calloc(1, sizeof(MpegDecoder)));
    mpeg_decoder_init(d, 1);
    return DecoderPtr(d);
}

// Band widths and ends of one sfb_table row, as set-up derives them.
inline void fill_bands(MpegDecoder* d, int row) {
    const int32_t* b = sfb_table[row];
    const int32_t* s = b + 23;
    for (int i = 0; i < 22; ++i) {
        d->l3.long_width[i] = b[i + 1] - b[i];
        d->l3.long_end[i] = b[i + 1];
    }
    for (int i = 0; i < 13; ++i) {
        d->l3.short_width[i] = s[i + 1] - s[i];
        d->l3.long_end[22 + i] = 3 * s[i + 1];
    }
}

// Points the decoder's Layer III reader at bytes whose hard end is the vector's end.
inline void read_from(MpegDecoder* d, const std::vector<uint8_t>& v) {
    l3_bits_begin(&d->l3.br, v.data(), v.data() + v.size());
}

}  // namespace l3a
