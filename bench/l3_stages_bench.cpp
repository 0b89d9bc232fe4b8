// Layer III stage costs: the 36- and 12-point IMDCTs over one granule's 32 subbands, the hybrid
// filter bank of one channel-granule (long and short blocks), and whole frames of a 128 kbit/s
// joint-stereo lame file on each processor path (plain, SSE2, AVX2, NEON). The file is made with
// sox and lame on first use (or named by ZIV_BENCH_MP3).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "layer3_hybrid.h"
#include "decoder_state.h"
#include "synth.h"

namespace {

std::vector<uint8_t> load_file() {
    std::string path;
    if (const char* p = std::getenv("ZIV_BENCH_MP3")) {
        path = p;
    } else {
        path = "/tmp/ziv-l3-bench-128.mp3";
        const std::string wav = "/tmp/ziv-l3-bench.wav";
        const std::string cmd =
            "test -s " + path + " || (sox -q -n -r 44100 -c 2 " + wav +
            " synth 20 pinknoise synth 20 sine mix 200-2000 synth 20 square amod 3 tremolo 2 70"
            " gain -n -3 && lame --quiet -b 128 -m j " + wav + " " + path + ")";
        if (std::system(cmd.c_str()) != 0) return {};
    }
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<float> random_lines(size_t n, float range) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-range, range);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

// One granule's 32 subbands through the 36-point IMDCT (range 0) or the 12-point one (range 1).
void BM_imdct_granule(benchmark::State& state) {
    const bool shorts = state.range(0) != 0;
    const std::vector<float> src = random_lines(576, 3000.0f);
    std::vector<float> v(576);
    for (auto _ : state) {
        v = src;
        for (int sb = 0; sb < 32; ++sb) {
            if (shorts) l3_imdct12(v.data() + 18 * sb);
            else l3_imdct36(v.data() + 18 * sb);
        }
        benchmark::DoNotOptimize(v.data());
    }
    state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_imdct_granule)->Arg(0)->Arg(1);

// The whole hybrid filter bank of one channel-granule (576 lines, overlap in and out), block
// type from the argument (0 long, 2 short).
void BM_hybrid_granule(benchmark::State& state) {
    const int32_t bt = int32_t(state.range(0));
    MpegDecoder* d = new MpegDecoder;
    mpeg_decoder_init(d, 1);
    l3_build_windows(d);
    std::vector<float> src = random_lines(576, 3000.0f), cur(576), prev = random_lines(576, 100.0f);
    std::vector<float> out(18 * 32);
    for (auto _ : state) {
        cur = src;
        l3_hybrid(d, cur.data(), prev.data(), out.data(), bt, bt == 2 ? 0 : 576, 576, 576);
        benchmark::DoNotOptimize(out.data());
    }
    mpeg_decoder_free(d);
    delete d;
}
BENCHMARK(BM_hybrid_granule)->Arg(0)->Arg(2);

// Whole frames of the lame file on the processor path of the argument (an MpegPath); a path
// this processor does not run is reported and skipped.
void BM_l3_frames(benchmark::State& state) {
    static const std::vector<uint8_t> data = load_file();
    if (data.empty()) {
        state.SkipWithError("no Layer III input: sox and lame are needed (or set ZIV_BENCH_MP3)");
        return;
    }
    const int32_t n = int32_t(data.size());
    MpegHeader h;
    int32_t rate = 0, off = 0;
    const int32_t fb = mpeg_header_find(data.data(), n, &h, &rate, &off);
    MpegDecoder* d = new MpegDecoder;
    if (fb <= 0 || !mpeg_decoder_init(d, 1)) {
        state.SkipWithError("set-up failed");
        delete d;
        return;
    }
    const int32_t path = int32_t(state.range(0));
    mpeg_decoder_request_path(d, path);
    if (!mpeg_decoder_setup(d, &h, fb, 0, 0, 0, 24000) || mpeg_decoder_path(d) != path) {
        state.SkipWithError(mpeg_decoder_path(d) != path ? "path not run on this processor"
                                                          : "set-up failed");
        mpeg_decoder_free(d);
        delete d;
        return;
    }
    std::vector<uint8_t> out(4608);
    int64_t frames = 0;
    for (auto _ : state) {
        for (int32_t pos = off; n - pos >= 4;) {
            MpegInOut io = mpeg_decode_frame(d, data.data() + pos, n - pos, out.data());
            pos += io.in_bytes > 0 ? io.in_bytes : 1;
            frames += io.in_bytes > 0;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["per_frame"] = benchmark::Counter(
        double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // 1152 samples per frame at 44.1 kHz.
    state.counters["x_real_time"] = benchmark::Counter(double(frames) * 1152.0 / 44100.0,
                                                       benchmark::Counter::kIsRate);
    mpeg_decoder_free(d);
    delete d;
}
BENCHMARK(BM_l3_frames)
    ->Arg(MPEG_PATH_PLAIN)
    ->Arg(MPEG_PATH_SSE2)
    ->Arg(MPEG_PATH_AVX2)
    ->Arg(MPEG_PATH_AVX512)
    ->Arg(MPEG_PATH_NEON)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
