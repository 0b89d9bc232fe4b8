// mp3dec --bench (bench.h).
#include "bench.h"

#include <cstdio>
#include <ctime>

#include "os.h"
#include "pcm_output.h"

void bench_run(MpegCore* c, bool gapless, const Decoded& first, int64_t pcm_bytes) {
    MpegOutputFormat fmt;
    mpeg_core_get_format(c, &fmt);
    int64_t passes = 0, bench_frames = 0;
    const std::clock_t c0 = std::clock();
    const double t0 = os_seconds();
    double elapsed = 0.0;
    do {
        PcmOutput out;
        if (mpeg_core_seek_frame(c, 0) >= 0 && pcm_output_null(&out, fmt)) {
            bench_frames += decode_stream(c, &out, gapless, -1).frames;
            pcm_output_finish(&out, fmt);
        }
        ++passes;
        elapsed = os_seconds() - t0;
    } while (elapsed < 1.0);
    const double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
    const double audio_seconds = double(passes) * double(pcm_bytes) / double(fmt.bits / 8) /
                                 double(fmt.channels) / double(fmt.sample_rate);
    std::fprintf(stderr,
                 "mp3dec: %lld frames x %lld passes in %.3f s: %.1f x real time, %.2f us per "
                 "frame; CPU %.3f s: %.1f x real time\n",
                 (long long)first.frames, (long long)passes, elapsed, audio_seconds / elapsed,
                 bench_frames ? elapsed * 1e6 / double(bench_frames) : 0.0, cpu,
                 cpu > 0.0 ? audio_seconds / cpu : 0.0);
}
