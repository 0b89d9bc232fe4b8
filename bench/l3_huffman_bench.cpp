// Layer III Huffman decoding and requantisation throughput: 576 lines of one granule decoded
// from random bits (every bit string is a valid sequence of codes, the tables being complete
// prefix codes) with a one-level, a multi-level and an escape table, then dequantised.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "layer3_bits.h"
#include "layer3_internal.h"

namespace {

struct Bench {
    MpegDecoder* d;
    std::vector<uint8_t> bits;
    std::vector<float> cells;
    Bench() : bits(8192), cells(576) {
        d = static_cast<MpegDecoder*>(std::calloc(1, sizeof(MpegDecoder)));
        mpeg_decoder_init(d, 1);
        l3_build_dequant_tables(d);
        const int32_t* b = sfb_table[3];
        for (int i = 0; i < 22; ++i) d->l3.long_width[i] = b[i + 1] - b[i];
        std::mt19937 rng(1);
        for (uint8_t& x : bits) x = uint8_t(rng());
    }
    ~Bench() {
        mpeg_decoder_free(d);
        std::free(d);
    }
    void begin() {
        l3_bits_begin(&d->l3.br, bits.data(), bits.data() + bits.size());
    }
};

void BM_huffman_pairs(benchmark::State& state) {
    const int table = int(state.range(0));
    Bench b;
    for (auto _ : state) {
        b.begin();
        l3_huffman_pairs(b.d, b.cells.data(), 576, table);
        benchmark::DoNotOptimize(b.cells.data());
    }
    state.counters["ns_per_pair"] = benchmark::Counter(
        double(state.iterations()) * 288, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_huffman_pairs)->Arg(1)->Arg(6)->Arg(13)->Arg(15)->Arg(24);

void BM_dequantize_long(benchmark::State& state) {
    Bench b;
    b.begin();
    l3_huffman_pairs(b.d, b.cells.data(), 576, 15);
    const std::vector<float> decoded = b.cells;
    GranuleInfo gi{};
    gi.global_gain = 150;
    DequantSummary sum{};
    int32_t sf[62] = {};
    for (auto _ : state) {
        b.cells = decoded;
        int32_t extent = 576;
        l3_dequantize(b.d, b.cells.data(), &extent, sf, &gi, &sum, 8);
        benchmark::DoNotOptimize(b.cells.data());
    }
}
BENCHMARK(BM_dequantize_long);

}  // namespace

BENCHMARK_MAIN();
