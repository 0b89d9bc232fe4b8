// Polyphase synthesis throughput: time per slot and channel (one 32-sample transform plus window
// at full rate) for the Layer I/II stereo, mono and reduced-rate variants and the Layer III
// stereo variant. Rows hold random subband samples in the 16-bit range.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "decoder_internal.h"
#include "kernels.h"

namespace {

struct Bench {
    std::unique_ptr<MpegDecoder> d{new MpegDecoder};
    std::vector<float> rows;
    std::vector<uint8_t> out;
    Bench() : rows(36 * 64), out(36 * 32 * 2 * 2) {
        mpeg_decoder_init(d.get(), 1);
        synth_reset(d.get());
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-4000.0f, 4000.0f);
        for (float& x : rows) x = dist(rng);
    }
    ~Bench() { mpeg_decoder_free(d.get()); }
};

// Layer I/II variant by index, 36 rows per call (one Layer II frame); `channels` output channels.
void BM_synth_l12(benchmark::State& state) {
    const int index = int(state.range(0));
    const int channels = index % 5 == 1 ? 2 : 1;
    Bench b;
    for (auto _ : state) {
        b.d->kernels->synth[index](b.d.get(), b.rows.data(), b.out.data(), 36);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_slot_channel"] = benchmark::Counter(
        double(state.iterations()) * 36 * channels,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// 0: 32-point s16 mono; 1: 32-point s16 stereo; 2: mix; 6: 16-point stereo; 11: 8-point
// stereo; 16: 32-point u8 stereo.
BENCHMARK(BM_synth_l12)->Arg(1)->Arg(0)->Arg(2)->Arg(6)->Arg(11)->Arg(16);

// Layer III stereo, 32-point, 16-bit: one granule of both channels per iteration.
void BM_synth_l3_stereo(benchmark::State& state) {
    Bench b;
    for (auto _ : state) {
        b.d->kernels->synth_l3[1](b.d.get(), b.rows.data(), b.out.data(), 0);
        b.d->kernels->synth_l3[1](b.d.get(), b.rows.data() + 18 * 32, b.out.data(), 1);
        benchmark::DoNotOptimize(b.out.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_slot_channel"] = benchmark::Counter(
        double(state.iterations()) * 36, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_synth_l3_stereo);

}  // namespace

BENCHMARK_MAIN();
