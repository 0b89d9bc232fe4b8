// mp3dec's command line: the options and their checks, the usage line on a mistake and --help.
// Usage: mp3dec [-r N] [-c N] [-8 | -e FORM] [--round] [-f HZ] [--no-gapless]
//        [--replaygain track|album] [--preamp DB] [-j N] [--bench] INPUT OUTPUT
// ("-" = stdin / stdout), or mp3dec --info [--json] INPUT.
#pragma once

#include <cstdint>

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

// --help or -h anywhere: the usage and the options on stdout, and true.
bool options_help(int argc, char** argv);
// Fills *o from the arguments. Returns 0 on success, else the exit status (1) after one line on
// stderr: the reason, then the usage.
int options_parse(int argc, char** argv, Options* o);
// The decoder's convert option (mpeg_decoder_setup) the options ask for.
int32_t options_convert(const Options& o);
