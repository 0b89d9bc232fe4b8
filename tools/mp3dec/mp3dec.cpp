// mp3dec: decodes an MPEG audio file (Layers I, II, III) to WAV or headerless PCM with the
// project's decoder, finding its frames through the frame synchronisation the players use (tags
// anywhere stepped over, junk searched through, set-up from the first confirmed frame). Frames of
// another version, layer or sample rate spliced on end the stream: said on stderr, exit 0.
// Input and output go a window at a time (input_window, pcm_output): memory stays flat whatever
// the length, from a file or a pipe alike.
// Gapless by default: a Xing/Info first frame is left out and, where its LAME tag gives them,
// the encoder's delay and padding are cut, so the output is the encoder's input.
// Usage: mp3dec [-r N] [-c N] [-8] [-f HZ] [--no-gapless] [--bench] INPUT OUTPUT
// ("-" = stdin / stdout).
// Exit status: 0 decoded, 1 bad usage, 2 unreadable input / no MPEG audio / unwritable output.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "frame_sync.h"
#include "input_window.h"
#include "lame_tag.h"
#include "pcm_output.h"
#include "tags.h"
#include "xing.h"

namespace {

struct Options {
    int32_t reduction = 0;
    int32_t channels = 0;
    int32_t eight_bit = 0;
    int32_t freq_limit = 24000;
    bool bench = false;
    bool gapless = true;
    const char* input = nullptr;
    const char* output = nullptr;
};

// One line on stderr: the reason, then the usage.
int usage(const char* why) {
    std::fprintf(stderr,
                 "mp3dec: %s (usage: mp3dec [-r 0|1|2] [-c 0|1|2|3] [-8] [-f HZ] [--no-gapless] "
                 "[--bench] INPUT OUTPUT)\n",
                 why);
    return 1;
}

// --help: the usage and the options on stdout (the manual page mp3dec(1) has the details).
bool print_help(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") != 0 && std::strcmp(argv[i], "-h") != 0) continue;
        std::fputs(
            "Usage: mp3dec [OPTION]... INPUT OUTPUT\n"
            "Decodes an MPEG audio file (Layers I, II, III) to PCM: a WAV file when OUTPUT ends\n"
            "in .wav, else headerless samples. \"-\" reads standard input or writes standard\n"
            "output (headerless).\n"
            "\n"
            "  -r 0|1|2      sample rate: full, half or quarter (default 0)\n"
            "  -c 0|1|2|3    channels: as coded, mixed to mono, left only, right only (default 0)\n"
            "  -8            unsigned 8-bit samples instead of signed 16-bit\n"
            "  -f HZ         highest frequency decoded, in Hz (1..1000000, default 24000)\n"
            "  --no-gapless  keep the encoder's delay and padding and play the Info frame as a\n"
            "                frame of silence (by default the output is the encoder's input)\n"
            "  --bench       decode again for at least a second and report the speed on stderr\n"
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
    std::vector<const char*> pos;
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
        } else if (std::strcmp(a, "-8") == 0) {
            o->eight_bit = 1;
        } else if (std::strcmp(a, "--bench") == 0) {
            o->bench = true;
        } else if (std::strcmp(a, "--no-gapless") == 0) {
            o->gapless = false;
        } else if (a[0] == '-' && a[1] != '\0') {
            std::string m = std::string("unknown option ") + a;
            return usage(m.c_str());
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 2) return usage("expected INPUT and OUTPUT");
    o->input = pos[0];
    o->output = pos[1];
    return 0;
}

bool read_all(FILE* f, std::vector<uint8_t>* data) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data->insert(data->end(), buf, buf + n);
    return !std::ferror(f);
}

// Bytes of the window kept ahead of the frame being decoded, so that a frame, its confirmation
// and a free-format size search always find their bytes in one window.
constexpr int32_t kAhead = 512 * 1024;

// The stream as found: its first frame's header and size, the synchronisation as locked on it,
// and where it lies in the window.
struct Stream {
    MpegHeader header{};
    int32_t frame_bytes = 0;
    Mp3Sync sync{};
    int32_t pos = 0;        // the first frame's place in the window
    bool info = false;      // the first frame is a Xing or Info frame, no audio
    int64_t frames = -1;    // audio frames its header counts (its own left out); -1: unknown
    bool lame = false;      // its LAME tag was read into `tag`
    LameTag tag{};
};

enum Found { FOUND, NOT_FOUND, READ_ERROR };

// The Xing header of a Layer III stream's first frame, or the Info header that lame writes into
// a constant-bitrate file (laid out as a Xing header, under another name): whether there is one,
// its frame count, and the LAME tag after it.
void read_info_frame(const uint8_t* frame, int32_t avail, Stream* s) {
    uint8_t copy[256];
    const int32_t n = avail < int32_t(sizeof copy) ? avail : int32_t(sizeof copy);
    if (n <= 0 || mpeg_header_layer(&s->header) != 3) return;
    std::memcpy(copy, frame, size_t(n));
    for (int32_t at : {13, 21, 36})
        if (at + 4 <= n && std::memcmp(copy + at, "Info", 4) == 0)
            std::memcpy(copy + at, "Xing", 4);
    XingInfo* x = xing_read(copy, n, &s->header);
    s->info = x != nullptr;
    s->frames = x && (x->flags & 1) && x->frames >= 0 ? x->frames : -1;
    xing_free(x);
    s->lame = lame_tag_read(frame, avail, &s->header, &s->tag) == 1;
}

// The bytes of a tag still to step over (the search's `skip`), dropped from the window as the
// input comes; the window then starts where the tag ends, with a whole window ahead.
void drop_tag_rest(InputWindow* in, Mp3Sync* sync, int32_t* pos) {
    while (sync->skip > 0 && in->filled > *pos && !in->error) {
        const int32_t left = in->filled - *pos;
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
void step_leading_tags(InputWindow* in, Mp3Sync* sync, int32_t* pos) {
    for (;;) {
        if (input_wants_more(in, *pos, kAhead)) {
            input_advance(in, *pos);
            *pos = 0;
        }
        int32_t final = 0;
        const int32_t vis = input_visible(in, &final);
        const int64_t t = mp3_tag_at(in->buf + *pos, vis - *pos, sync->locked);
        if (t <= 0 || in->error) return;
        sync->skip = t;
        drop_tag_rest(in, sync, pos);
        if (sync->skip > 0) return;  // the data ends inside the tag
    }
}

// Reads until the first frame of a stream is found; the window then holds it at s->pos.
Found find_stream(InputWindow* in, Stream* s) {
    mp3_sync_init(&s->sync);
    input_advance(in, 0);
    int32_t pos = 0, stuck = 0;
    for (;;) {
        if (in->error) return READ_ERROR;
        step_leading_tags(in, &s->sync, &pos);
        int32_t final = 0, bitrate = 0;
        const int32_t vis = input_visible(in, &final);
        const int32_t r = mp3_sync_lock(&s->sync, in->buf, vis, final | stuck, &pos, &s->header,
                                        &s->frame_bytes, &bitrate);
        if (r == MP3_SYNC_FRAME) {
            if (input_wants_more(in, pos, kAhead)) {
                input_advance(in, pos);
                pos = 0;
            }
            if (in->error) return READ_ERROR;
            s->pos = pos;
            read_info_frame(in->buf + pos, input_visible(in, &final) - pos, s);
            return FOUND;
        }
        if (r != MP3_SYNC_MORE) return NOT_FOUND;
        // A full window that cannot tell (which no frame or tag can cause) is read as the end.
        stuck = input_advance(in, pos) == 0 ? 1 : 0;
        pos = 0;
        drop_tag_rest(in, &s->sync, &pos);
    }
}

struct Decoded {
    int32_t end = MP3_SYNC_END;  // MP3_SYNC_END, or MP3_SYNC_OTHER when another stream follows
    int64_t frames = 0;
    int64_t end_at = 0;          // input offset where decoding stopped
    int32_t write_error = 0;
};

// What the output leaves out: the Info frame, and (gapless, from the LAME tag) `skip` samples
// per channel at the start and, after the next `keep` (-1: none), the rest of that frame.
struct Trim {
    bool info = false;
    int64_t skip = 0;
    int64_t keep = -1;
};

// The gapless cut of a stream at this output format: the Info frame left out, and the encoder
// delay and padding with the decoder's own delay, where the LAME tag gives them.
Trim gapless_trim(const Stream& s, const Options& o, const MpegOutputFormat& fmt) {
    Trim t;
    if (!o.gapless || !s.info) return t;
    t.info = true;
    if (!s.lame) return t;
    const int64_t per_frame = fmt.out_samples / fmt.channels;
    // Without a frame count the end is not known: only the start is cut.
    const int64_t decoded = s.frames >= 0 ? s.frames * per_frame : int64_t(1) << 56;
    lame_trim(&s.tag, decoded, o.reduction, &t.skip, &t.keep);
    if (s.frames < 0) t.keep = -1;
    return t;
}

// Decodes the stream from its first frame, as set up, into out, cut as `trim` says.
Decoded decode_stream(InputWindow* in, const Stream& s, MpegDecoder* d,
                      const MpegOutputFormat& fmt, const Trim& trim, PcmOutput* out) {
    Decoded r;
    Mp3Sync sync = s.sync;
    mp3_sync_restart(&sync, 1);
    int32_t pos = s.pos, stuck = 0;
    const int32_t frame_out = fmt.out_samples * (fmt.bits / 8);
    const int32_t sample_bytes = fmt.channels * (fmt.bits / 8);
    int64_t skip = trim.skip, keep = trim.keep;
    if (trim.info) {
        // The Info frame holds no audio: stepped over, never decoded (its bytes would go into
        // the bit reservoir).
        int32_t final = 0, size = 0;
        if (mp3_sync_next(&sync, in->buf, input_visible(in, &final), final, &pos, &size) ==
            MP3_SYNC_FRAME) {
            pos += size;
            mp3_sync_taken(&sync);
        }
    }
    for (;;) {
        if (input_wants_more(in, pos, kAhead)) {
            input_advance(in, pos);
            pos = 0;
        }
        int32_t final = 0;
        const int32_t vis = input_visible(in, &final);
        uint8_t* room = pcm_output_room(out, frame_out);
        if (!room) {
            r.write_error = 1;
            return r;
        }
        InOut io;
        const int32_t got = mp3_sync_decode(&sync, d, in->buf, vis, final | stuck, &pos, room, &io);
        if (got == MP3_SYNC_FRAME) {
            stuck = 0;
            ++r.frames;
            int64_t n = io.out_bytes / sample_bytes;
            const int64_t drop = skip < n ? skip : n;
            skip -= drop;
            n -= drop;
            if (keep >= 0 && n >= keep) {
                // The rest of this frame is the encoder's padding. Frames after it are not this
                // encoding's (another file joined on): they are played whole.
                n = keep;
                keep = -1;
            } else if (keep >= 0) {
                keep -= n;
            }
            if (drop > 0 && n > 0)
                std::memmove(room, room + drop * sample_bytes, size_t(n * sample_bytes));
            pcm_output_put(out, int32_t(n * sample_bytes));
            continue;
        }
        if (got == MP3_SYNC_MORE) {
            stuck = input_advance(in, pos) == 0 ? 1 : 0;
            pos = 0;
            continue;
        }
        r.end = got;
        r.end_at = in->base + pos;
        return r;
    }
}

int32_t convert_of(const Options& o) { return o.channels | (o.eight_bit ? 8 : 0); }

// Whether two paths name the same existing file (writing the output would destroy the input
// before it is read).
bool same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (std::strcmp(a, "-") == 0 || std::strcmp(b, "-") == 0) return false;
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode);
}

// The benchmark: decodes the input held in memory again and again for at least a second, the
// PCM counted and dropped, and reports wall and CPU time (CPU time is far less disturbed on a
// shared machine).
void bench(const std::vector<uint8_t>& data, const Options& o, MpegDecoder* d,
           const MpegOutputFormat& fmt, const Decoded& first, int64_t pcm_bytes) {
    using clock = std::chrono::steady_clock;
    int64_t passes = 0, bench_frames = 0;
    const std::clock_t c0 = std::clock();
    auto t0 = clock::now();
    double elapsed = 0.0;
    do {
        InputWindow in;
        Stream s;
        PcmOutput out;
        if (input_open_memory(&in, data.data(), int64_t(data.size())) &&
            find_stream(&in, &s) == FOUND &&
            mpeg_decoder_setup(d, &s.header, s.frame_bytes, o.reduction, 0, convert_of(o),
                               o.freq_limit) &&
            pcm_output_null(&out, fmt)) {
            bench_frames += decode_stream(&in, s, d, fmt, gapless_trim(s, o, fmt), &out).frames;
            pcm_output_finish(&out, fmt);
        }
        input_close(&in);
        ++passes;
        elapsed = std::chrono::duration<double>(clock::now() - t0).count();
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

}  // namespace

int main(int argc, char** argv) {
    if (print_help(argc, argv)) return 0;
    Options o;
    if (int st = parse_args(argc, argv, &o)) return st;

    const bool from_stdin = std::strcmp(o.input, "-") == 0;
    FILE* f = from_stdin ? stdin : std::fopen(o.input, "rb");
    if (!f) {
        std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        return 2;
    }
    if (same_file(o.input, o.output)) {
        std::fprintf(stderr, "mp3dec: cannot write '%s': it is the input\n", o.output);
        if (!from_stdin) std::fclose(f);
        return 2;
    }
    // The benchmark decodes from memory, so its input is read whole first.
    std::vector<uint8_t> data;
    InputWindow in;
    bool opened;
    if (o.bench) {
        opened = read_all(f, &data) && input_open_memory(&in, data.data(), int64_t(data.size()));
    } else {
        opened = input_open_file(&in, f) != 0;
    }
    Stream s;
    const Found found = opened ? find_stream(&in, &s) : READ_ERROR;
    auto close_input = [&] {
        input_close(&in);
        if (!from_stdin) std::fclose(f);
    };
    if (found != FOUND) {
        if (found == READ_ERROR)
            std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        else
            std::fprintf(stderr, "mp3dec: '%s': no MPEG audio frame found\n", o.input);
        close_input();
        return 2;
    }

    MpegDecoder* d = new MpegDecoder;
    if (!mpeg_decoder_init(d, 1)) {
        std::fprintf(stderr, "mp3dec: out of memory\n");
        delete d;
        close_input();
        return 2;
    }
    auto free_decoder = [&] {
        mpeg_decoder_free(d);
        delete d;
    };
    if (!mpeg_decoder_setup(d, &s.header, s.frame_bytes, o.reduction, 0, convert_of(o),
                            o.freq_limit)) {
        std::fprintf(stderr, "mp3dec: '%s': this MPEG audio stream cannot be decoded\n", o.input);
        free_decoder();
        close_input();
        return 2;
    }
    MpegOutputFormat fmt;
    mpeg_decoder_get_format(d, &fmt);
    const int32_t frame_out = fmt.out_samples * (fmt.bits / 8);

    // The Xing frame count gives the length to announce where the header cannot be written
    // again at the end: its frames (and its own frame unless it is left out), or the gapless
    // length.
    const Trim trim = gapless_trim(s, o, fmt);
    int64_t predicted = -1;
    if (s.frames >= 0 && trim.keep >= 0)
        predicted = trim.keep * fmt.channels * (fmt.bits / 8);
    else if (s.frames >= 0 && trim.skip == 0)
        predicted = (s.frames + (trim.info ? 0 : 1)) * frame_out;
    PcmOutput out;
    if (!pcm_output_open(&out, o.output, fmt, predicted)) {
        std::fprintf(stderr, "mp3dec: cannot write '%s': %s\n", o.output, std::strerror(errno));
        free_decoder();
        close_input();
        return 2;
    }
    const Decoded r = decode_stream(&in, s, d, fmt, trim, &out);
    const bool read_error = in.error != 0;
    close_input();
    const bool written = pcm_output_finish(&out, fmt) && !r.write_error;
    if (o.bench && written && !read_error) bench(data, o, d, fmt, r, out.bytes);
    free_decoder();

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
    if (r.end == MP3_SYNC_OTHER) {
        std::fprintf(stderr,
                     "mp3dec: '%s': another MPEG audio stream (other version, layer or sample "
                     "rate) begins at byte %lld; output ends after %lld frames\n",
                     o.input, (long long)r.end_at, (long long)r.frames);
    }
    return 0;
}
