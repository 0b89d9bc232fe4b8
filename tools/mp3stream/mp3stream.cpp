// mp3stream FILE [BLOCK_BYTES]: plays an MP3 file through the streamed player, reading it from
// disk one block at a time, as an example of feeding the player. Feeding and polling run on the
// same (main) thread, so they never race; the loop sleeps a little between polls. Exit status:
// 0 played to the end, 1 bad arguments or file, 2 no sound, 3 the player gave up (-2 / -3).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <allegro.h>

#include "mp3_stream_player.h"

namespace {

// Reads up to n bytes; returns how many came (less than n only at the end of the file).
size_t read_block(FILE* f, uint8_t* to, size_t n) {
    size_t got = 0;
    while (got < n) {
        size_t r = std::fread(to + got, 1, n - got, f);
        if (r == 0) break;
        got += r;
    }
    return got;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: mp3stream FILE [BLOCK_BYTES]\n");
        return 1;
    }
    long block = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 32768;
    if (block < 4096 || block > (1 << 24)) {
        std::fprintf(stderr, "mp3stream: BLOCK_BYTES must be 4096 to 16777216\n");
        return 1;
    }
    FILE* f = std::fopen(argv[1], "rb");
    if (!f) {
        std::fprintf(stderr, "mp3stream: cannot open %s\n", argv[1]);
        return 1;
    }
    if (allegro_init() != 0 || install_timer() != 0 ||
        install_sound(DIGI_AUTODETECT, MIDI_NONE, nullptr) != 0) {
        std::fprintf(stderr, "mp3stream: no sound: %s\n", allegro_error);
        std::fclose(f);
        return 2;
    }

    // The first block fixes the block size; a file shorter than it is its own last block.
    std::vector<uint8_t> first(size_t(block), 0);
    size_t got = read_block(f, first.data(), first.size());
    bool last = got < first.size();
    Mp3StreamPlayer* p = mp3s_create(first.data(), last ? int32_t(got) : int32_t(block), last);
    if (!p) {
        std::fprintf(stderr, "mp3stream: %s holds no MPEG audio in its first block\n", argv[1]);
        std::fclose(f);
        return 1;
    }
    std::printf("%d Hz, %s, layer %d, %d kbit/s\n", mp3s_frequency(p),
                mp3s_is_stereo(p) ? "stereo" : "mono", mp3s_layer(p), mp3s_bitrate(p) / 1000);
    mp3s_play(p, 16384, 255, 128);

    int result = 0;
    while (result == 0) {
        // Hand over the next block as soon as the player has room for it.
        if (uint8_t* to = mp3s_next_block(p)) {
            size_t n = read_block(f, to, size_t(block));
            mp3s_give_block(p, n < size_t(block) ? int32_t(n) : -1);
        }
        result = mp3s_poll(p);
        rest(10);
    }
    std::printf("%s after %d frames\n", result == 1 ? "done" : "stopped", mp3s_current_frame(p));
    mp3s_destroy(p);
    std::fclose(f);
    return result == 1 ? 0 : 3;
}
END_OF_MAIN()
