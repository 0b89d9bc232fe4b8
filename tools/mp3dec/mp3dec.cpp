// mp3dec: decodes an MPEG audio file (Layers I, II, III) to WAV or headerless PCM with the
// project's decoder, finding its frames through the frame synchronisation the players use (tags
// anywhere stepped over, junk searched through, set-up from the first confirmed frame). Frames of
// another version, layer or sample rate spliced on end the stream: said on stderr, exit 0.
// Usage: mp3dec [-r N] [-c N] [-8] [-f HZ] [--bench] INPUT OUTPUT   ("-" = stdin / stdout).
// Exit status: 0 decoded, 1 bad usage, 2 unreadable input / no MPEG audio / unwritable output.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "frame_sync.h"
#include "tags.h"

namespace {

struct Options {
    int32_t reduction = 0;
    int32_t channels = 0;
    int32_t eight_bit = 0;
    int32_t freq_limit = 24000;
    bool bench = false;
    const char* input = nullptr;
    const char* output = nullptr;
};

// One line on stderr: the reason, then the usage.
int usage(const char* why) {
    std::fprintf(stderr,
                 "mp3dec: %s (usage: mp3dec [-r 0|1|2] [-c 0|1|2|3] [-8] [-f HZ] [--bench] "
                 "INPUT OUTPUT)\n",
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

bool read_all(const char* path, std::vector<uint8_t>* data) {
    FILE* f = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
    if (!f) return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data->insert(data->end(), buf, buf + n);
    bool ok = !std::ferror(f);
    if (f != stdin) std::fclose(f);
    return ok;
}

bool ends_with(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

void put_le(std::vector<uint8_t>* v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v->push_back(uint8_t(x >> (8 * i)));
}

std::vector<uint8_t> wav_header(const MpegOutputFormat& f, uint32_t data_bytes) {
    std::vector<uint8_t> h;
    const uint32_t block = uint32_t(f.channels) * uint32_t(f.bits / 8);
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    put_le(&h, 36 + data_bytes, 4);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le(&h, 16, 4);
    put_le(&h, 1, 2);  // PCM
    put_le(&h, uint32_t(f.channels), 2);
    put_le(&h, uint32_t(f.sample_rate), 4);
    put_le(&h, uint32_t(f.sample_rate) * block, 4);
    put_le(&h, block, 2);
    put_le(&h, uint32_t(f.bits), 2);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    put_le(&h, data_bytes, 4);
    return h;
}

struct Stream {
    const uint8_t* start = nullptr; // first frame
    int32_t len = 0;                // bytes from the first frame to the end of the audio data
    MpegHeader header{};
    int32_t frame_bytes = 0;
    Mp3Sync sync{};                 // as locked on the first frame
};

// PCM bytes whose resize does not zero them first: the decoder writes every byte it reports, so
// the fill was pure overhead (and dominated the tool's own cost on long files).
template <class T>
struct NoFill : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = NoFill<U>;
    };
    NoFill() = default;
    template <class U>
    NoFill(const NoFill<U>&) {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using PcmBuffer = std::vector<uint8_t, NoFill<uint8_t>>;

// Decodes the whole stream into pcm from a fresh set-up. Returns how it ended (MP3_SYNC_END, or
// MP3_SYNC_OTHER when another stream follows) and the frames decoded; end_at is the byte offset
// from the first frame where decoding stopped.
int32_t decode_stream(MpegDecoder* d, const Stream& s, const Options& o, PcmBuffer* pcm,
                      int64_t* frames, int32_t* end_at) {
    const int32_t convert = o.channels | (o.eight_bit ? 8 : 0);
    mpeg_decoder_setup(d, &s.header, s.frame_bytes, o.reduction, 0, convert, o.freq_limit);
    MpegOutputFormat f;
    mpeg_decoder_get_format(d, &f);
    const size_t frame_out = size_t(f.out_samples) * size_t(f.bits / 8);
    pcm->clear();
    // Room for a stream of frames of the first one's size (capped; a longer one grows).
    const size_t per = size_t(s.frame_bytes > 0 ? s.frame_bytes : 1);
    const size_t estimate = (size_t(s.len) / per + 2) * frame_out;
    pcm->reserve(std::min<size_t>(estimate, size_t(1) << 28));
    *frames = 0;
    Mp3Sync sync = s.sync;
    mp3_sync_restart(&sync, 1);
    int32_t pos = 0;
    for (;;) {
        size_t at = pcm->size();
        pcm->resize(at + frame_out);
        InOut io;
        int32_t r = mp3_sync_decode(&sync, d, s.start, s.len, 1, &pos, pcm->data() + at, &io);
        if (r != MP3_SYNC_FRAME) {
            pcm->resize(at);
            *end_at = pos;
            return r;
        }
        pcm->resize(at + size_t(io.out_bytes > 0 ? io.out_bytes : 0));
        ++*frames;
    }
}

bool host_is_big_endian() {
    const uint16_t one = 1;
    uint8_t b;
    std::memcpy(&b, &one, 1);
    return b == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (print_help(argc, argv)) return 0;
    Options o;
    if (int st = parse_args(argc, argv, &o)) return st;

    std::vector<uint8_t> data;
    if (!read_all(o.input, &data)) {
        std::fprintf(stderr, "mp3dec: cannot read '%s': %s\n", o.input, std::strerror(errno));
        return 2;
    }
    if (data.size() > size_t(INT32_MAX)) {
        std::fprintf(stderr, "mp3dec: '%s' is too large\n", o.input);
        return 2;
    }

    Stream s;
    const int32_t audio_len = mp3_trailing_tags(data.data(), int32_t(data.size()));
    int32_t bitrate = 0, offset = 0;
    mp3_sync_init(&s.sync);
    if (mp3_sync_lock(&s.sync, data.data(), audio_len, 1, &offset, &s.header, &s.frame_bytes,
                      &bitrate) != MP3_SYNC_FRAME) {
        std::fprintf(stderr, "mp3dec: '%s': no MPEG audio frame found\n", o.input);
        return 2;
    }
    s.start = data.data() + offset;
    s.len = audio_len - offset;

    MpegDecoder* d = new MpegDecoder;
    if (!mpeg_decoder_init(d, 1)) {
        std::fprintf(stderr, "mp3dec: out of memory\n");
        delete d;
        return 2;
    }
    const int32_t convert = o.channels | (o.eight_bit ? 8 : 0);
    if (!mpeg_decoder_setup(d, &s.header, s.frame_bytes, o.reduction, 0, convert, o.freq_limit)) {
        std::fprintf(stderr, "mp3dec: '%s': this MPEG audio stream cannot be decoded\n", o.input);
        mpeg_decoder_free(d);
        delete d;
        return 2;
    }
    MpegOutputFormat fmt;
    mpeg_decoder_get_format(d, &fmt);

    PcmBuffer pcm;
    int64_t frames = 0;
    int32_t end_at = 0;
    const int32_t end = decode_stream(d, s, o, &pcm, &frames, &end_at);

    if (o.bench) {
        // Decodes again and again for at least a second. The scratch buffer is sized first so
        // that page faults of a growing buffer stay out of the timing; CPU time is reported
        // besides wall time because it is far less disturbed on a shared machine.
        using clock = std::chrono::steady_clock;
        PcmBuffer scratch;
        scratch.reserve(pcm.size() + size_t(fmt.out_samples) * size_t(fmt.bits / 8));
        std::memset(scratch.data(), 0, scratch.capacity());
        int64_t passes = 0, bench_frames = 0;
        const std::clock_t c0 = std::clock();
        auto t0 = clock::now();
        double elapsed = 0.0;
        do {
            int64_t n = 0;
            decode_stream(d, s, o, &scratch, &n, &end_at);
            bench_frames += n;
            ++passes;
            elapsed = std::chrono::duration<double>(clock::now() - t0).count();
        } while (elapsed < 1.0);
        const double cpu = double(std::clock() - c0) / CLOCKS_PER_SEC;
        const double audio_seconds =
            double(passes) * double(pcm.size()) / double(fmt.bits / 8) / double(fmt.channels) /
            double(fmt.sample_rate);
        std::fprintf(stderr,
                     "mp3dec: %lld frames x %lld passes in %.3f s: %.1f x real time, %.2f us per "
                     "frame; CPU %.3f s: %.1f x real time\n",
                     (long long)frames, (long long)passes, elapsed, audio_seconds / elapsed,
                     bench_frames ? elapsed * 1e6 / double(bench_frames) : 0.0, cpu,
                     cpu > 0.0 ? audio_seconds / cpu : 0.0);
    }
    mpeg_decoder_free(d);
    delete d;

    if (fmt.bits == 16 && host_is_big_endian())
        for (size_t i = 0; i + 1 < pcm.size(); i += 2) std::swap(pcm[i], pcm[i + 1]);

    const bool to_stdout = std::strcmp(o.output, "-") == 0;
    FILE* out = to_stdout ? stdout : std::fopen(o.output, "wb");
    if (!out) {
        std::fprintf(stderr, "mp3dec: cannot write '%s': %s\n", o.output, std::strerror(errno));
        return 2;
    }
    bool ok = true;
    if (!to_stdout && ends_with(o.output, ".wav")) {
        std::vector<uint8_t> h = wav_header(fmt, uint32_t(pcm.size()));
        ok = std::fwrite(h.data(), 1, h.size(), out) == h.size();
    }
    if (ok && !pcm.empty()) ok = std::fwrite(pcm.data(), 1, pcm.size(), out) == pcm.size();
    if (to_stdout) ok = std::fflush(out) == 0 && ok;
    else ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "mp3dec: cannot write '%s'\n", o.output);
        return 2;
    }
    if (end == MP3_SYNC_OTHER) {
        std::fprintf(stderr,
                     "mp3dec: '%s': another MPEG audio stream (other version, layer or sample "
                     "rate) begins at byte %lld; output ends after %lld frames\n",
                     o.input, (long long)(s.start - data.data()) + end_at, (long long)frames);
    }
    return 0;
}
