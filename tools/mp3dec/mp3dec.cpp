// mp3dec: decodes an MPEG audio file (Layers I, II, III) to WAV or headerless PCM through the
// public decoding core (mpeg_core.h), as any program would: tags anywhere stepped over, junk
// searched through, set-up from the first confirmed frame. Frames of another version, layer or
// sample rate spliced on end the stream: said on stderr, exit 0.
// Gapless by default: a Xing/Info first frame is left out and, where its LAME tag gives them, the
// encoder's delay and padding are cut and the output ends after the frames the tag counts, so the
// output is the encoder's input.
// The parts: the command line (options), the input and how the core reads it (input), the decode
// loop and the decode on several threads (decode), the output (pcm_output), --bench (bench),
// --info (info), and what differs between systems (os).
// Exit status: 0 decoded, 1 bad usage, 2 unreadable input / no MPEG audio / unwritable output.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bench.h"
#include "decode.h"
#include "info.h"
#include "input.h"
#include "mpeg_core.h"
#include "options.h"
#include "os.h"
#include "pcm_output.h"

namespace {

// Whether two paths name the same existing file (writing the output would destroy the input
// before it is read).
bool same_file(const char* a, const char* b) {
    if (std::strcmp(a, "-") == 0 || std::strcmp(b, "-") == 0) return false;
    return os_same_file(a, b);
}

// The PCM bytes the first frame says the decode gives, to announce where the WAV header cannot be
// written again at the end; -1 where it does not say.
int64_t stated_bytes(const MpegCore* c, const MpegOutputFormat& f) {
    const int64_t n = mpeg_core_stated_length(c);
    return n >= 0 ? n * f.channels * (f.bits / 8) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    os_start(&argc, &argv);
    if (options_help(argc, argv)) return 0;
    Options o;
    if (int st = options_parse(argc, argv, &o)) return st;
    // --info: described as the decode with these options would give it (info.cpp).
    if (o.info)
        return info_run(InfoOptions{o.input, o.reduction, options_convert(o), o.freq_limit,
                                    o.gapless, o.json});

    Input in;
    if (!input_open(&in, o.input)) {
        std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        return 2;
    }
    if (same_file(o.input, o.output)) {
        std::fprintf(stderr, "mp3dec: cannot write '%s': it is the input\n", o.output);
        input_close(&in);
        return 2;
    }
    // The decode on several threads, the benchmark and ReplayGain (whose tags may lie anywhere)
    // read the input whole; everything else streams it through a reader.
    const bool threaded = decode_on_threads(o, in);
    const bool read = !(o.bench || o.replaygain || threaded) || input_read_whole(&in);
    MpegCore* core = mpeg_core_create(o.reduction, options_convert(o), o.freq_limit);
    if (!core) {
        std::fprintf(stderr, "mp3dec: out of memory\n");
        input_close(&in);
        return 2;
    }
    mpeg_core_set_gapless(core, o.gapless ? 1 : 0);
    auto close_all = [&] {
        mpeg_core_destroy(core);
        input_close(&in);
    };
    const int32_t found = read ? input_give(&in, core) : MP3_READ_FAILED;
    if (found != MP3_OK) {
        if (found == MP3_READ_FAILED)
            std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        else if (found == MP3_SETUP_FAILED)
            std::fprintf(stderr, "mp3dec: '%s': this MPEG audio stream cannot be decoded\n",
                         o.input);
        else
            std::fprintf(stderr, "mp3dec: '%s': no MPEG audio frame found\n", o.input);
        close_all();
        return 2;
    }
    MpegOutputFormat fmt;
    mpeg_core_get_format(core, &fmt);
    if (o.replaygain) mpeg_core_set_replaygain(core, o.replaygain, o.preamp);

    PcmOutput out;
    if (!pcm_output_open(&out, o.output, fmt, stated_bytes(core, fmt))) {
        const int err = errno;
        std::fprintf(stderr, "mp3dec: cannot write '%s': %s\n", o.output, std::strerror(err));
        close_all();
        return 2;
    }
    const Decoded r = decode_stream(core, &out, o.gapless, threaded ? o.threads : -1);
    const bool written = pcm_output_finish(&out, fmt) && !r.write_error;
    if (o.bench && written && !r.read_error) bench_run(core, o.gapless, r, out.bytes);
    close_all();

    if (r.read_error) {
        std::fprintf(stderr, "mp3dec: cannot read '%s'\n", o.input);
        return 2;
    }
    if (!written) {
        std::fprintf(stderr, "mp3dec: cannot write '%s'\n", o.output);
        return 2;
    }
    if (out.wav && !out.seekable && out.announced >= 0 && out.announced != out.bytes) {
        std::fprintf(stderr,
                     "mp3dec: '%s': the WAV header announces %lld data bytes (from the Xing "
                     "header) but %lld were written\n",
                     o.output, (long long)out.announced, (long long)out.bytes);
    }
    if (r.end == MP3_OTHER_STREAM) {
        std::fprintf(stderr,
                     "mp3dec: '%s': another MPEG audio stream (other version, layer or sample "
                     "rate) begins at byte %lld; output ends after %lld frames\n",
                     o.input, (long long)r.end_at, (long long)r.frames);
    }
    return 0;
}
