// mp3dec: decodes an MPEG audio file (Layers I, II, III) to WAV or headerless PCM with the
// project's decoder through the decoding core the players use (tags anywhere stepped over, junk
// searched through, set-up from the first confirmed frame). Frames of
// another version, layer or sample rate spliced on end the stream: said on stderr, exit 0.
// Input and output go a window at a time (input_window, pcm_output): memory stays flat whatever
// the length, from a file or a pipe alike.
// Gapless by default: a Xing/Info first frame is left out and, where its LAME tag gives them,
// the encoder's delay and padding are cut and the output ends after the frames the tag counts,
// so the output is the encoder's input.
// A regular input file written to a regular output file is decoded on several threads where that
// pays (-j N sets the number): the file is mapped whole and the core's whole-data decode takes
// runs of frames on other threads, each decoded from a seek to its first frame, and writes each
// piece at its place (mpeg_core_decode_run), so the output is byte-identical to the decode with
// one thread, gapless included; the last frames are decoded as usual.
// Usage: mp3dec [-r N] [-c N] [-8 | -e FORM] [--round] [-f HZ] [--no-gapless]
//        [--replaygain track|album] [--preamp DB] [-j N] [--bench] INPUT OUTPUT
// ("-" = stdin / stdout), or mp3dec --info [--json] INPUT (info.cpp).
// Exit status: 0 decoded, 1 bad usage, 2 unreadable input / no MPEG audio / unwritable output.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core.h"
#include "info.h"
#include "input_window.h"
#include "os.h"
#include "pcm_output.h"
#include "replaygain.h"
#include "tags.h"

namespace {

// A growable byte buffer on the C library's allocator: mp3dec uses nothing of the C++ runtime,
// so that starting it loads and resolves no more than the C library and libmpegdec.
struct Bytes {
    uint8_t* p = nullptr;
    size_t n = 0, cap = 0;
    bool mapped = false;  // a file mapped by map_input, never freed or grown
};

bool bytes_reserve(Bytes* b, size_t cap) {
    if (cap <= b->cap) return true;
    uint8_t* q = static_cast<uint8_t*>(std::realloc(b->p, cap));
    if (!q) return false;
    b->p = q;
    b->cap = cap;
    return true;
}

// A core on the C library's allocator, zeroed so that core_delete is safe whatever fails after.
MpegCore* core_new() { return static_cast<MpegCore*>(std::calloc(1, sizeof(MpegCore))); }
void core_delete(MpegCore* c) {
    if (!c) return;
    mpeg_core_free(c);
    std::free(c);
}

struct Options {
    int32_t reduction = 0;
    int32_t channels = 0;
    int32_t eight_bit = 0;
    int32_t form = 0; // MPEG_CONVERT_S24 / S32 / F32, or 0 for 16-bit
    bool form_given = false;
    bool round = false;
    int32_t freq_limit = 24000;
    int32_t threads = 0;  // 0: the core's default (one, or the processors where that pays)
    bool bench = false;
    bool gapless = true;
    bool info = false;  // --info: describe INPUT instead of decoding it to OUTPUT
    bool json = false;
    int32_t replaygain = 0;  // MPEG_REPLAYGAIN_*
    int32_t preamp = 0;      // centibels
    const char* input = nullptr;
    const char* output = nullptr;
};

// One line on stderr: the reason, then the usage.
int usage(const char* why) {
    std::fprintf(stderr,
                 "mp3dec: %s (usage: mp3dec [-r 0|1|2] [-c 0|1|2|3] [-8 | -e s16|s24|s32|f32] "
                 "[--round] [-f HZ] [--no-gapless] [--replaygain track|album] [--preamp DB] "
                 "[-j N] [--bench] INPUT OUTPUT | mp3dec --info [--json] INPUT)\n",
                 why);
    return 1;
}

// --help: the usage and the options on stdout (the manual page mp3dec(1) has the details).
bool print_help(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") != 0 && std::strcmp(argv[i], "-h") != 0) continue;
        std::fputs(
            "Usage: mp3dec [OPTION]... INPUT OUTPUT\n"
            "       mp3dec --info [--json] INPUT\n"
            "Decodes an MPEG audio file (Layers I, II, III) to PCM: a WAV file when OUTPUT ends\n"
            "in .wav, else headerless samples. \"-\" reads standard input or writes standard\n"
            "output (headerless).\n"
            "\n"
            "  -r 0|1|2      sample rate: full, half or quarter (default 0)\n"
            "  -c 0|1|2|3    channels: as coded, mixed to mono, left only, right only (default 0)\n"
            "  -8            unsigned 8-bit samples instead of signed 16-bit\n"
            "  -e FORM       sample form: s16 (default), s24 (packed in 3 bytes), s32, or f32\n"
            "                (float, full scale +-1.0); WAV files of 24 and 32 bits are\n"
            "                WAVE_FORMAT_EXTENSIBLE, f32 is IEEE float; raw output little-endian\n"
            "  --round       round integer samples to nearest instead of truncating (no effect\n"
            "                with f32 or -8)\n"
            "  -f HZ         highest frequency decoded, in Hz (1..1000000, default 24000)\n"
            "  --no-gapless  keep the encoder's delay and padding and play the Info frame as a\n"
            "                frame of silence (by default the output is the encoder's input)\n"
            "  --replaygain track|album\n"
            "                apply the file's track or album ReplayGain (its tags, else its LAME\n"
            "                tag), lowered where its peak says the output would clip\n"
            "  --preamp DB   added to the ReplayGain, -20..20 dB (default 0)\n"
            "  -j N          decode on N threads (1..256) where INPUT and OUTPUT are regular files;\n"
            "                default: every processor the program may run on where the decode\n"
            "                of the first frames, timed, says that pays, else 1; the output is\n"
            "                the same\n"
            "  --bench       decode again for at least a second and report the speed on stderr\n"
            "  --info        print what INPUT is instead of decoding it: layer, version, rate,\n"
            "                channels, bitrate, samples and duration of the decode, encoder,\n"
            "                gapless delay and padding, tags, pictures and ReplayGain\n"
            "  --json        with --info, print it as one JSON object\n"
            "  -h, --help    show this help and exit\n"
            "\n"
            "Exit status: 0 decoded; 1 bad usage; 2 unreadable input, no MPEG audio or\n"
            "unwritable output; 3 decoding stopped at a stretch with no decodable frame (the\n"
            "output holds what came before).\n",
            stdout);
        return true;
    }
    return false;
}

bool parse_int(const char* s, long lo, long hi, int32_t* v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    long x = std::strtol(s, &end, 10);
    if (*end != '\0' || x < lo || x > hi) return false;
    *v = int32_t(x);
    return true;
}

// Returns 0 on success, else the exit status after printing the reason.
int parse_args(int argc, char** argv, Options* o) {
    const char* pos[2] = {nullptr, nullptr};
    int32_t positional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (std::strcmp(a, "-r") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 0, 2, &o->reduction)) return usage("-r takes 0, 1 or 2");
        } else if (std::strcmp(a, "-c") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 0, 3, &o->channels)) return usage("-c takes 0, 1, 2 or 3");
        } else if (std::strcmp(a, "-f") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 1, 1000000, &o->freq_limit))
                return usage("-f takes a frequency in Hz (1..1000000)");
        } else if (std::strcmp(a, "-j") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 1, 256, &o->threads)) return usage("-j takes 1..256 threads");
        } else if (std::strcmp(a, "-8") == 0) {
            o->eight_bit = 1;
        } else if (std::strcmp(a, "-e") == 0) {
            const char* v = value();
            static const struct { const char* name; int32_t form; } kForms[] = {
                {"s16", 0}, {"s24", MPEG_CONVERT_S24}, {"s32", MPEG_CONVERT_S32},
                {"f32", MPEG_CONVERT_F32}};
            bool known = false;
            for (const auto& k : kForms) {
                if (v && std::strcmp(v, k.name) == 0) {
                    o->form = k.form;
                    known = true;
                }
            }
            if (!known) return usage("-e takes s16, s24, s32 or f32");
            o->form_given = true;
        } else if (std::strcmp(a, "--round") == 0) {
            o->round = true;
        } else if (std::strcmp(a, "--bench") == 0) {
            o->bench = true;
        } else if (std::strcmp(a, "--no-gapless") == 0) {
            o->gapless = false;
        } else if (std::strcmp(a, "--replaygain") == 0) {
            const char* v = value();
            if (v && std::strcmp(v, "track") == 0) o->replaygain = MPEG_REPLAYGAIN_TRACK;
            else if (v && std::strcmp(v, "album") == 0) o->replaygain = MPEG_REPLAYGAIN_ALBUM;
            else return usage("--replaygain takes track or album");
        } else if (std::strcmp(a, "--preamp") == 0) {
            const char* v = value();
            char* end = nullptr;
            const double db = v ? std::strtod(v, &end) : 0.0;
            if (!v || !*v || *end || !(db >= -20.0 && db <= 20.0))
                return usage("--preamp takes a gain in dB (-20..20)");
            o->preamp = int32_t(std::lround(db * 10.0));
        } else if (std::strcmp(a, "--info") == 0) {
            o->info = true;
        } else if (std::strcmp(a, "--json") == 0) {
            o->json = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            char m[128];
            std::snprintf(m, sizeof m, "unknown option %.100s", a);
            return usage(m);
        } else {
            if (positional < 2) pos[positional] = a;
            ++positional;
        }
    }
    if (o->eight_bit && o->form_given) return usage("-8 and -e cannot be used together");
    if (o->json && !o->info) return usage("--json goes with --info");
    if (o->info) {
        if (o->bench) return usage("--bench does not go with --info");
        if (positional != 1) return usage("expected INPUT");
        o->input = pos[0];
        o->output = "";
        return 0;
    }
    if (positional != 2) return usage("expected INPUT and OUTPUT");
    o->input = pos[0];
    o->output = pos[1];
    return 0;
}

// Reads f to its end into data; `expect` (a regular file's size, else 0) sizes the buffer at
// once, so that the file comes in one read with no copy as the buffer grows.
bool read_all(FILE* f, Bytes* data, int64_t expect = 0) {
    if (expect > 0 && uint64_t(expect) < SIZE_MAX - 65536 &&
        !bytes_reserve(data, data->n + size_t(expect) + 65536))
        return false;
    for (;;) {
        if (data->cap - data->n < 65536 && !bytes_reserve(data, data->cap * 2 + 65536))
            return false;
        const size_t n = std::fread(data->p + data->n, 1, data->cap - data->n, f);
        data->n += n;
        if (n == 0) return !std::ferror(f);
    }
}

// Maps a regular file of `size` bytes into data (left mapped until the process ends): its pages
// come from the file's cache as they are read, a few at a time, with no copy and no fresh memory.
bool map_input(FILE* f, int64_t size, Bytes* data) {
    if (size <= 0 || uint64_t(size) > SIZE_MAX) return false;
    const uint8_t* m = os_map(f, size);
    if (!m) return false;
    data->p = const_cast<uint8_t*>(m);  // read only: the Bytes of a mapped file are never written
    data->n = data->cap = size_t(size);
    data->mapped = true;
    return true;
}

// Bytes of the window kept ahead of the frame being decoded, so that a frame, its confirmation
// and a free-format size search always find their bytes in one window.
constexpr int32_t kAhead = 512 * 1024;

enum Found { FOUND, NOT_FOUND, READ_ERROR, SETUP_FAILED };

// The bytes of a tag still to step over (the search's `skip`), dropped from the window as the
// input comes; the window then starts where the tag ends, with a whole window ahead.
void drop_tag_rest(InputWindow* in, MpegSync* sync, int32_t* pos) {
    while (sync->skip > 0 && in->win.filled > *pos && !in->error) {
        const int32_t left = in->win.filled - *pos;
        const int32_t take = sync->skip < left ? int32_t(sync->skip) : left;
        sync->skip -= take;
        input_advance(in, *pos + take);
        *pos = 0;
    }
}

// Steps over the tags that begin at *pos before the search for the first frame, as the search
// itself would, but with the window refilled after each: the search after them then starts with
// a whole window ahead (a free-format frame's size is found by looking up to 10000 bytes ahead
// for its next header, which must not be cut short by the window's end).
void step_leading_tags(InputWindow* in, MpegSync* sync, int32_t* pos) {
    for (;;) {
        if (input_wants_more(in, *pos, kAhead)) {
            input_advance(in, *pos);
            *pos = 0;
        }
        int32_t final = 0;
        const int32_t vis = input_visible(in, &final);
        const int64_t t = mpeg_tag_at(in->win.buf + *pos, vis - *pos, sync->locked);
        if (t <= 0 || in->error) return;
        sync->skip = t;
        drop_tag_rest(in, sync, pos);
        if (sync->skip > 0) return;  // the data ends inside the tag
    }
}

// Reads until the first frame of a stream is found and the core set up from it; the window then
// holds it at *pos.
Found find_stream(InputWindow* in, MpegCore* c, int32_t* pos) {
    input_advance(in, 0);
    int32_t stuck = 0;
    *pos = 0;
    for (;;) {
        if (in->error) return READ_ERROR;
        step_leading_tags(in, &c->sync, pos);
        int32_t final = 0;
        const int32_t vis = input_visible(in, &final);
        const int32_t r = mpeg_core_open(c, in->win.buf, vis, final | stuck, pos);
        if (r == MP3_OK) {
            if (input_wants_more(in, *pos, kAhead)) {
                input_advance(in, *pos);
                *pos = 0;
            }
            mpeg_sync_restart(&c->sync, 1);
            return in->error ? READ_ERROR : FOUND;
        }
        if (r == MP3_SETUP_FAILED) return SETUP_FAILED;
        if (r != MP3_NEED_MORE) return NOT_FOUND;
        // A full window that cannot tell (which no frame or tag can cause) is read as the end.
        stuck = input_advance(in, *pos) == 0 ? 1 : 0;
        *pos = 0;
        drop_tag_rest(in, &c->sync, pos);
    }
}

struct Decoded {
    int32_t end = MP3_ENDED;  // MP3_ENDED, or MP3_OTHER_STREAM when another stream follows
    int64_t frames = 0;          // frames decoded (an Info frame left out is not one)
    int64_t end_at = 0;          // input offset where decoding stopped
    int32_t write_error = 0;
};

// Steps over the stream's frames from *pos to its end: MP3_ENDED, or MP3_OTHER_STREAM with *pos
// where another stream begins.
int32_t read_through(InputWindow* in, MpegCore* c, int32_t* pos) {
    int32_t stuck = 0;
    for (;;) {
        if (input_wants_more(in, *pos, kAhead)) {
            input_advance(in, *pos);
            *pos = 0;
        }
        int32_t final = 0, size = 0;
        const int32_t vis = input_visible(in, &final);
        const int32_t r = mpeg_sync_next(&c->sync, in->win.buf, vis, final | stuck, pos, &size);
        if (r == MPEG_SYNC_FRAME) {
            *pos += size;
            mpeg_sync_taken(&c->sync);
            stuck = 0;
        } else if (r == MPEG_SYNC_MORE) {
            stuck = input_advance(in, *pos) == 0 ? 1 : 0;
            *pos = 0;
        } else {
            return r == MPEG_SYNC_OTHER ? MP3_OTHER_STREAM : MP3_ENDED;
        }
    }
}

// Decodes the stream from its first frame at pos, as the core was set up, into out.
Decoded decode_stream(InputWindow* in, MpegCore* c, int32_t pos, PcmOutput* out) {
    Decoded r;
    int32_t stuck = 0;
    for (;;) {
        if (input_wants_more(in, pos, kAhead)) {
            input_advance(in, pos);
            pos = 0;
        }
        int32_t final = 0;
        const int32_t vis = input_visible(in, &final);
        // A few frames' PCM at a time: the window stays full ahead of them, and the frames
        // inside the gapless run decode straight into the output.
        const int32_t want = 4 * c->frame_pcm_bytes;
        uint8_t* room = pcm_output_room(out, want);
        if (!room) {
            r.write_error = 1;
            return r;
        }
        int32_t filled = 0;
        const int32_t got =
            mpeg_core_fill(c, in->win.buf, vis, final | stuck, &pos, room, want, &filled);
        pcm_output_put(out, filled);
        if (got == MP3_OK) {
            stuck = 0;
            continue;
        }
        if (got == MP3_NEED_MORE) {
            stuck = input_advance(in, pos) == 0 ? 1 : 0;
            pos = 0;
            continue;
        }
        r.frames = c->current_frame - (c->gap.on && c->info ? 1 : 0);
        // The gapless run ends before the data may: the frames after it are read through (not
        // decoded) to tell whether another stream follows.
        r.end = got == MP3_ENDED && mpeg_core_run_done(c) ? read_through(in, c, &pos) : got;
        r.end_at = in->win.base + pos;
        return r;
    }
}

int32_t convert_of(const Options& o) {
    return o.channels | (o.eight_bit ? MPEG_CONVERT_U8 : 0) | o.form |
           (o.round ? MPEG_CONVERT_ROUND : 0);
}

// Moves a window over memory to input offset `at`, refilled from there.
void input_restart_memory(InputWindow* in, int64_t at) {
    in->win.filled = 0;
    in->win.base = at;
    in->mem_at = at;
    in->eof = at >= in->mem_len ? 1 : 0;
    input_advance(in, 0);
}

int32_t place_piece(void* ctx, uint8_t* pcm, int64_t at, int32_t bytes) {
    return pcm_output_place(static_cast<const PcmOutput*>(ctx), at, pcm, bytes);
}

// The decode of input held whole in memory (the window's) on several threads, where the output
// is a regular file of ours: the core decodes the frames but the last few, each piece written at
// its place by the thread that decoded it (see mpeg_core_decode_run); the rest is decoded as
// usual from where they end. Elsewhere (a pipe, or no index) the whole stream as usual.
Decoded decode_threaded(InputWindow* in, MpegCore* c, int32_t first_at, int32_t threads,
                        PcmOutput* out) {
    const int64_t first = in->win.base + first_at;
    const int64_t end = in->audio_end < in->mem_len ? in->audio_end : in->mem_len;
    if (end - first <= 0 || end - first > INT32_MAX || !pcm_output_start_placing(out) ||
        !mpeg_core_index(c, in->mem + first, int32_t(end - first)))
        return decode_stream(in, c, first_at, out);
    const uint8_t* base = in->mem + first;
    const int32_t len = int32_t(end - first);
    int32_t off = 0;
    const int32_t n = mpeg_core_decode_run(c, base, len, threads, nullptr, 0, place_piece, out, &off);
    Decoded r;
    if (n < 0 || !pcm_output_placed(out, mpeg_core_range_bytes(c, 0, n))) {
        r.write_error = 1;
        return r;
    }
    if (!mpeg_core_prepare(c, base, len)) {
        r.frames = n;
        r.end_at = first + off;
        return r;
    }
    input_restart_memory(in, first + off);
    return decode_stream(in, c, 0, out);
}

// Whether two paths name the same existing file (writing the output would destroy the input
// before it is read).
bool same_file(const char* a, const char* b) {
    if (std::strcmp(a, "-") == 0 || std::strcmp(b, "-") == 0) return false;
    return os_same_file(a, b);
}

// The benchmark: decodes the input held in memory again and again for at least a second, the
// PCM counted and dropped, and reports wall and CPU time (CPU time is far less disturbed on a
// shared machine).
double seconds_now() { return os_seconds(); }

void bench(const Bytes& data, MpegCore* c, const MpegOutputFormat& fmt, const Decoded& first,
           int64_t pcm_bytes) {
    int64_t passes = 0, bench_frames = 0;
    const std::clock_t c0 = std::clock();
    const double t0 = seconds_now();
    double elapsed = 0.0;
    do {
        InputWindow in;
        PcmOutput out;
        int32_t pos = 0;
        mpeg_core_restart(c);
        if (input_open_memory(&in, data.p, int64_t(data.n)) && find_stream(&in, c, &pos) == FOUND &&
            pcm_output_null(&out, fmt)) {
            bench_frames += decode_stream(&in, c, pos, &out).frames;
            pcm_output_finish(&out, fmt);
        }
        input_close(&in);
        ++passes;
        elapsed = seconds_now() - t0;
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

// The input, where it is read whole (the benchmark, ReplayGain, the decode on several threads).
Bytes input_bytes;

// --info: described as the decode with these options would give it (info.cpp).
int run_info(const Options& o) {
    return info_run(InfoOptions{o.input, o.reduction, convert_of(o), o.freq_limit, o.gapless, o.json});
}

}  // namespace

int main(int argc, char** argv) {
    os_start(&argc, &argv);
    if (print_help(argc, argv)) return 0;
    Options o;
    if (int st = parse_args(argc, argv, &o)) return st;
    if (o.info) return run_info(o);

    const bool from_stdin = std::strcmp(o.input, "-") == 0;
    FILE* f = from_stdin ? stdin : os_fopen(o.input, "rb");
    if (!f) {
        std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        return 2;
    }
    if (same_file(o.input, o.output)) {
        std::fprintf(stderr, "mp3dec: cannot write '%s': it is the input\n", o.output);
        if (!from_stdin) std::fclose(f);
        return 2;
    }
    // A regular file is decoded on several threads where that pays (-j N: on N), from memory:
    // the file mapped, or read whole where it cannot be (below 1 GiB, which the frame index can
    // address). Standard input and pipes, and a machine of one processor, decode as a stream.
    int64_t size = 0;
    const bool regular = !from_stdin && os_regular_file(f, &size);
    const bool threaded = !o.bench && regular && size < (int64_t(1) << 30) &&
                          (o.threads > 1 || (o.threads == 0 && mpeg_core_processors() > 1));
    // The benchmark and ReplayGain (whose tags may lie at the end) read the input whole too.
    Bytes& data = input_bytes;
    InputWindow in;
    bool opened;
    if (o.bench || o.replaygain || threaded) {
        opened = ((regular && map_input(f, size, &data)) ||
                  read_all(f, &data, regular ? size : 0)) &&
                 input_open_memory(&in, data.p, int64_t(data.n));
    } else {
        opened = input_open_file(&in, f) != 0;
    }
    MpegCore* core = core_new();
    if (!core || !mpeg_core_init(core, o.reduction, convert_of(o), o.freq_limit)) {
        std::fprintf(stderr, "mp3dec: out of memory\n");
        core_delete(core);
        input_close(&in);
        if (!from_stdin) std::fclose(f);
        return 2;
    }
    mpeg_core_use_gapless(core, o.gapless ? 1 : 0);
    auto free_core = [&] { core_delete(core); };
    int32_t first_at = 0;
    const Found found = opened ? find_stream(&in, core, &first_at) : READ_ERROR;
    auto close_input = [&] {
        input_close(&in);
        if (!from_stdin) std::fclose(f);
    };
    if (found != FOUND) {
        if (found == READ_ERROR)
            std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        else if (found == SETUP_FAILED)
            std::fprintf(stderr, "mp3dec: '%s': this MPEG audio stream cannot be decoded\n",
                         o.input);
        else
            std::fprintf(stderr, "mp3dec: '%s': no MPEG audio frame found\n", o.input);
        free_core();
        close_input();
        return 2;
    }
    MpegOutputFormat fmt;
    mpeg_decoder_get_format(mpeg_core_decoder(core), &fmt);
    if (o.replaygain) {
        MpegReplayGain rg;
        const int64_t at = in.win.base + first_at;
        const int64_t left = int64_t(data.n) - at;
        mpeg_replaygain_read(data.p, data.n, data.p + at,
                             left > INT32_MAX ? INT32_MAX : int32_t(left), &core->header, &rg);
        mpeg_decoder_set_gain(mpeg_core_decoder(core),
                              mpeg_replaygain_factor(&rg, o.replaygain, o.preamp));
    }

    // The Info frame's count gives the length to announce where the header cannot be written
    // again at the end: the gapless run, or the frames it counts (and the Info frame itself, when
    // it is decoded as a frame of silence).
    const MpegGapless& gap = core->gap;
    const int64_t counted = core->info ? core->info_frames : -1;
    int64_t predicted = -1;
    if (gap.on && gap.length >= 0)
        predicted = gap.length * fmt.channels * (fmt.bits / 8);
    else if (counted >= 0)
        predicted = (counted + (gap.on ? 0 : 1)) * core->frame_pcm_bytes;
    PcmOutput out;
    if (!pcm_output_open(&out, o.output, fmt, predicted)) {
        const int err = errno;
        std::fprintf(stderr, "mp3dec: cannot write '%s': %s\n", o.output, std::strerror(err));
        free_core();
        close_input();
        return 2;
    }
    const Decoded r = threaded ? decode_threaded(&in, core, first_at, o.threads, &out)
                               : decode_stream(&in, core, first_at, &out);
    const bool read_error = in.error != 0;
    close_input();
    const bool written = pcm_output_finish(&out, fmt) && !r.write_error;
    if (o.bench && written && !read_error) bench(data, core, fmt, r, out.bytes);
    free_core();

    if (read_error) {
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
