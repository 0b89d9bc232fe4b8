// mp3dec's command line (options.h): the options parsed and checked, the usage line, --help (the
// manual page mp3dec(1) has the details).
#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mpeg_core.h"

namespace {

// One line on stderr: the reason, then the usage.
int options_usage(const char* why) {
    std::fprintf(stderr,
                 "mp3dec: %s (usage: mp3dec [-r 0|1|2] [-c 0|1|2|3] [-8 | -e s16|s24|s32|f32] "
                 "[--round] [-f HZ] [--no-gapless] [--replaygain track|album] [--preamp DB] "
                 "[-j N] [--bench] INPUT OUTPUT | mp3dec --info [--json] INPUT)\n",
                 why);
    return 1;
}

bool parse_int(const char* s, long lo, long hi, int32_t* v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    long x = std::strtol(s, &end, 10);
    if (*end != '\0' || x < lo || x > hi) return false;
    *v = int32_t(x);
    return true;
}

}  // namespace

bool options_help(int argc, char** argv) {
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

int options_parse(int argc, char** argv, Options* o) {
    const char* pos[2] = {nullptr, nullptr};
    int32_t positional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (std::strcmp(a, "-r") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 0, 2, &o->reduction)) return options_usage("-r takes 0, 1 or 2");
        } else if (std::strcmp(a, "-c") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 0, 3, &o->channels)) return options_usage("-c takes 0, 1, 2 or 3");
        } else if (std::strcmp(a, "-f") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 1, 1000000, &o->freq_limit))
                return options_usage("-f takes a frequency in Hz (1..1000000)");
        } else if (std::strcmp(a, "-j") == 0) {
            const char* v = value();
            if (!v || !parse_int(v, 1, 256, &o->threads)) return options_usage("-j takes 1..256 threads");
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
            if (!known) return options_usage("-e takes s16, s24, s32 or f32");
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
            else return options_usage("--replaygain takes track or album");
        } else if (std::strcmp(a, "--preamp") == 0) {
            const char* v = value();
            char* end = nullptr;
            const double db = v ? std::strtod(v, &end) : 0.0;
            if (!v || !*v || *end || !(db >= -20.0 && db <= 20.0))
                return options_usage("--preamp takes a gain in dB (-20..20)");
            o->preamp = int32_t(std::lround(db * 10.0));
        } else if (std::strcmp(a, "--info") == 0) {
            o->info = true;
        } else if (std::strcmp(a, "--json") == 0) {
            o->json = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            char m[128];
            std::snprintf(m, sizeof m, "unknown option %.100s", a);
            return options_usage(m);
        } else {
            if (positional < 2) pos[positional] = a;
            ++positional;
        }
    }
    if (o->eight_bit && o->form_given) return options_usage("-8 and -e cannot be used together");
    if (o->json && !o->info) return options_usage("--json goes with --info");
    if (o->info) {
        if (o->bench) return options_usage("--bench does not go with --info");
        if (positional != 1) return options_usage("expected INPUT");
        o->input = pos[0];
        o->output = "";
        return 0;
    }
    if (positional != 2) return options_usage("expected INPUT and OUTPUT");
    o->input = pos[0];
    o->output = pos[1];
    return 0;
}

int32_t options_convert(const Options& o) {
    return o.channels | (o.eight_bit ? MPEG_CONVERT_U8 : 0) | o.form |
           (o.round ? MPEG_CONVERT_ROUND : 0);
}
