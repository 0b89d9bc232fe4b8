// The in-memory player's poll: CPU time per second of audio when every poll finds a free buffer
// (decoding frames_per_buffer frames straight into it and converting it), and the cost of a poll
// that finds none; and the same poll of the streamed player, fed the file in 8 KiB blocks as it
// asks for them (the file over and over: its frames run on across the join). Allegro's stream
// calls are replaced by stand-ins that always hand out the same buffer, so the time is the
// player's and the decoder's alone. The file is a conformance stream, or the one named by
// ZIV_BENCH_MP3; it loops. Counter "audio_s": seconds of audio per CPU second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <allegro.h>

#include "player_state.h"
#include "stream_state.h"

namespace {

std::vector<uint8_t> g_buffer;
bool g_free = true;
SAMPLE g_sample;
AUDIOSTREAM g_stream;

std::vector<uint8_t> load(const char* fallback) {
    const char* env = std::getenv("ZIV_BENCH_MP3");
    std::string path = env ? env : std::string(ZIV_SOURCE_DIR "/../shared/vectors/") + fallback;
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Seconds of audio decoded over the run as a rate, audio seconds per CPU second (its inverse,
// 1000 / audio_s, is the CPU milliseconds per second of audio), and as a total ("audio_total",
// to divide instruction counts by).
void report(benchmark::State& state, double audio_seconds) {
    state.counters["audio_s"] = benchmark::Counter(audio_seconds, benchmark::Counter::kIsRate);
    state.counters["audio_total"] = audio_seconds;
}

void poll_bench(benchmark::State& state, const char* file, bool buffer_free) {
    std::vector<uint8_t> data = load(file);
    Mp3Player* p = mp3_create(data.data(), int32_t(data.size()));
    if (!p) {
        state.SkipWithError("no playable file");
        return;
    }
    g_free = buffer_free;
    mp3_play_ex(p, 16384, 255, 128, 1000, 1);
    int64_t frames = 0;
    for (auto _ : state) {
        int32_t before = mp3_current_frame(p);
        benchmark::DoNotOptimize(mp3_poll(p));
        int32_t after = mp3_current_frame(p);
        // The poll that decodes the last frames rewinds the count to 0: counted as a whole
        // buffer (exact for the stereo file, 30 frames at 3 a buffer; for the others one
        // buffer a loop is part-filled).
        if (after > before) frames += after - before;
        else if (after < before && buffer_free) frames += p->frames_per_buffer;
    }
    double samples_per_frame = double(p->format.frame_pcm_bytes) / (p->format.stereo ? 4 : 2);
    report(state, double(frames) * samples_per_frame / p->format.frequency);
    mp3_destroy(p);
}

void stream_bench(benchmark::State& state, const char* file) {
    constexpr int32_t block = 8192;
    std::vector<uint8_t> data = load(file);
    if (data.size() < size_t(block)) {
        state.SkipWithError("no playable file");
        return;
    }
    size_t at = block;
    Mp3StreamPlayer* p = mp3s_create(data.data(), block, 0);
    if (!p) {
        state.SkipWithError("no playable file");
        return;
    }
    g_free = true;
    mp3s_play_ex(p, 16384, 255, 128, 1000);
    int64_t frames = 0;
    for (auto _ : state) {
        while (uint8_t* nb = mp3s_next_block(p)) {
            for (int32_t k = 0; k < block;) {
                if (at == data.size()) at = 0;
                const size_t n = std::min(size_t(block - k), data.size() - at);
                std::memcpy(nb + k, data.data() + at, n);
                k += int32_t(n);
                at += n;
            }
            mp3s_give_block(p, -1);
        }
        int32_t before = mp3s_current_frame(p);
        benchmark::DoNotOptimize(mp3s_poll(p));
        int32_t after = mp3s_current_frame(p);
        if (after > before) frames += after - before;
    }
    double samples_per_frame = double(p->format.frame_pcm_bytes) / (p->format.stereo ? 4 : 2);
    report(state, double(frames) * samples_per_frame / p->format.frequency);
    mp3s_destroy(p);
}

void BM_StreamPollLayer3Stereo(benchmark::State& s) { stream_bench(s, "l3-hecommon.bit"); }

void BM_PollLayer3Stereo(benchmark::State& s) { poll_bench(s, "l3-hecommon.bit", true); }
void BM_PollLayer3Mono(benchmark::State& s) { poll_bench(s, "l3-he_44khz.bit", true); }
void BM_PollLayer2Stereo(benchmark::State& s) { poll_bench(s, "l2-fl11.bit", true); }
void BM_PollNoFreeBuffer(benchmark::State& s) { poll_bench(s, "l3-hecommon.bit", false); }

// ZIV_BENCH_ITERATIONS=N runs each benchmark exactly N polls instead of for a time: the same
// work on every run, for counting instructions under callgrind (valgrind --tool=callgrind
// --toggle-collect=mp3_poll --toggle-collect=mp3s_poll).
void fixed_iterations(benchmark::internal::Benchmark* b) {
    if (const char* n = std::getenv("ZIV_BENCH_ITERATIONS"))
        if (std::atoll(n) > 0) b->Iterations(std::atoll(n));
}

BENCHMARK(BM_PollLayer3Stereo)->Apply(fixed_iterations);
BENCHMARK(BM_PollLayer3Mono)->Apply(fixed_iterations);
BENCHMARK(BM_PollLayer2Stereo)->Apply(fixed_iterations);
BENCHMARK(BM_PollNoFreeBuffer)->Apply(fixed_iterations);
BENCHMARK(BM_StreamPollLayer3Stereo)->Apply(fixed_iterations);

}  // namespace

// Stand-ins for the Allegro calls the player makes.
AUDIOSTREAM* play_audio_stream(int len, int bits, int stereo, int, int, int) {
    g_buffer.assign(size_t(len) * size_t(bits / 8) * (stereo ? 2 : 1), 0);
    g_sample.data = g_buffer.data();
    g_stream.samp = &g_sample;
    return &g_stream;
}
void stop_audio_stream(AUDIOSTREAM*) {}
void* get_audio_stream_buffer(AUDIOSTREAM*) { return g_free ? g_buffer.data() : nullptr; }
void free_audio_stream_buffer(AUDIOSTREAM*) {}
void adjust_sample(const SAMPLE*, int, int, int, int) {}
int install_param_int(void (*)(void*), void*, long) { return 0; }
void remove_param_int(void (*)(void*), void*) {}
SAMPLE* create_sample(int, int, int, int) { return nullptr; }
void destroy_sample(SAMPLE*) {}

BENCHMARK_MAIN();
