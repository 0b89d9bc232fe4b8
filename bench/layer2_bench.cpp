// Layer II decoding speed on a 192 kbit/s stereo file: whole frames (unpacking and synthesis),
// and the unpacking alone with a do-nothing synthesis. The file is made with sox and twolame on
// first use (or given in ZIV_BENCH_MP2); the figure to watch is the time per frame (1152
// samples per channel, 26.1 ms of audio at 44.1 kHz).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decoder_state.h"

namespace {

std::vector<uint8_t> load_file() {
    std::string path;
    if (const char* p = std::getenv("ZIV_BENCH_MP2")) {
        path = p;
    } else {
        path = "/tmp/ziv-layer2-bench-192.mp2";
        const std::string wav = "/tmp/ziv-layer2-bench.wav";
        const std::string cmd =
            "test -s " + path + " || (sox -n -r 44100 -c 2 -b 16 " + wav +
            " synth 20 sine 100-16000 sine 1330 synth 20 pinknoise mix gain -n -3 && "
            "twolame --quiet -m s -b 192 " + wav + " " + path + ")";
        if (std::system(cmd.c_str()) != 0) return {};
    }
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

const std::vector<uint8_t>& file_bytes() {
    static const std::vector<uint8_t> bytes = load_file();
    return bytes;
}

void no_synth(MpegDecoder*, const float*, uint8_t*, int32_t) {}

// Decodes the whole file once per iteration; counts frames.
void decode_all(benchmark::State& state, bool with_synth) {
    const std::vector<uint8_t>& data = file_bytes();
    if (data.empty()) {
        state.SkipWithError("no Layer II input: sox and twolame are needed (or set ZIV_BENCH_MP2)");
        return;
    }
    const int32_t n = int32_t(data.size());
    MpegHeader h;
    int32_t rate = 0, off = 0;
    const int32_t fb = mpeg_header_find(data.data(), n, &h, &rate, &off);
    static MpegDecoder d;
    if (fb <= 0 || !mpeg_decoder_init(&d, 1) || !mpeg_decoder_setup(&d, &h, fb, 0, 0, 0, 24000)) {
        state.SkipWithError("set-up failed");
        return;
    }
    if (!with_synth) d.synth = no_synth;
    std::vector<uint8_t> out(4608);
    int64_t frames = 0;
    for (auto _ : state) {
        for (int32_t pos = off; n - pos >= fb;) {
            MpegInOut io = mpeg_decode_frame(&d, data.data() + pos, n - pos, out.data());
            pos += io.in_bytes > 0 ? io.in_bytes : 1;
            frames += io.in_bytes > 0;
        }
        benchmark::DoNotOptimize(out.data());
    }
    // Seconds per frame (printed with an SI prefix, e.g. 95u).
    state.counters["per_frame"] = benchmark::Counter(
        double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    mpeg_decoder_free(&d);
}

void BM_Layer2Frames(benchmark::State& state) { decode_all(state, true); }
void BM_Layer2UnpackOnly(benchmark::State& state) { decode_all(state, false); }

BENCHMARK(BM_Layer2Frames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Layer2UnpackOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
