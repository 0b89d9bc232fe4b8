// The in-memory player's poll: CPU time per second of audio when every poll finds a free buffer
// (decoding frames_per_buffer frames straight into it and converting it), and the cost of a poll
// that finds none. Allegro's stream calls are replaced by stand-ins that always hand out the same
// buffer, so the time is the player's and the decoder's alone. The file is a conformance stream,
// or the one named by ZIV_BENCH_MP3; it loops. Counter "audio_s": seconds of audio per CPU second.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <allegro.h>

#include "mp3_player.h"

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
        if (after > before) frames += after - before;
    }
    double samples_per_frame = double(p->frame_pcm_bytes) / (p->stereo ? 4 : 2);
    state.counters["audio_s"] =
        benchmark::Counter(double(frames) * samples_per_frame / p->frequency, benchmark::Counter::kIsRate);
    mp3_destroy(p);
}

void BM_PollLayer3Stereo(benchmark::State& s) { poll_bench(s, "l3-hecommon.bit", true); }
void BM_PollLayer3Mono(benchmark::State& s) { poll_bench(s, "l3-he_44khz.bit", true); }
void BM_PollLayer2Stereo(benchmark::State& s) { poll_bench(s, "l2-fl11.bit", true); }
void BM_PollNoFreeBuffer(benchmark::State& s) { poll_bench(s, "l3-hecommon.bit", false); }

BENCHMARK(BM_PollLayer3Stereo);
BENCHMARK(BM_PollLayer3Mono);
BENCHMARK(BM_PollLayer2Stereo);
BENCHMARK(BM_PollNoFreeBuffer);

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
