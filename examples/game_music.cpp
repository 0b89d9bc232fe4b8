// A game's background music with the MP3 players, written the way an Allegro 4 game does it: a
// window, the music playing in a loop with the automatic poll, its position on screen, the
// Up/Down arrow keys changing the volume and F fading the music out over two seconds and back
// in. Two ways to hold the music:
//
//   game_music FILE.mp3            streamed: read from disk in blocks as the player asks for them
//   game_music --memory FILE.mp3   in memory: the whole file is loaded; Left/Right also seek
//
// `--loop START END` plays the intro [0, START) once and then repeats [START, END) (samples of
// the gapless PCM; END 0 is the end). Esc quits; `--seconds N` quits by itself after N seconds.
// Build: c++ game_music.cpp $(pkg-config --cflags --libs mp3player)
#include <allegro.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mp3_player.h"
#include "mp3_stream_player.h"

namespace {

constexpr int32_t kBlock = 32768;  // bytes read from disk at a time (streamed)
constexpr int32_t kBuffer = 16384; // bytes of each audio stream buffer
constexpr int32_t kPollMs = 25;    // the automatic poll's interval
constexpr int32_t kPan = 128;      // centre

volatile int ticks = 0; // 100 per second, counted by Allegro's timer
void tick() { ++ticks; }
END_OF_FUNCTION(tick)

// The streamed music: the file stays open, and the game loop hands the player the next block
// whenever it asks for one.
struct Streamed {
    FILE* file = nullptr;
    int32_t file_bytes = 0;
    Mp3StreamPlayer* player = nullptr;
};

// The block the player asks for is read from the offset it names: the bytes given so far, or,
// when a looping pass ends, the offset its loop starts decoding again at.
void feed(Streamed* s) {
    uint8_t* block = mp3s_next_block(s->player);
    const int32_t at = mp3s_next_block_offset(s->player);
    if (!block || at < 0 || std::fseek(s->file, at, SEEK_SET) != 0) return;
    int32_t n = int32_t(std::fread(block, 1, kBlock, s->file));
    mp3s_give_block(s->player, n < kBlock ? n : -1); // -1: more blocks follow
}

// A player over the file's first block, looping (between loop points when start >= 0).
bool start(Streamed* s, int32_t vol, int32_t loop_start, int32_t loop_end) {
    static uint8_t first[kBlock];
    std::rewind(s->file);
    int32_t n = int32_t(std::fread(first, 1, kBlock, s->file));
    s->player = mp3s_create(first, n, n < kBlock);
    if (!s->player) return false;
    mp3s_set_gapless(s->player, 1);
    mp3s_set_loop(s->player, 1);
    if (loop_start >= 0) mp3s_set_loop_points(s->player, loop_start, loop_end);
    if (mp3s_play(s->player, kBuffer, vol, kPan) != 0) return false;
    mp3s_start_autopoll(s->player, kPollMs);
    return true;
}

bool read_file(const char* path, std::vector<uint8_t>* data) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    uint8_t buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) data->insert(data->end(), buf, buf + n);
    std::fclose(f);
    return !data->empty();
}

} // namespace

int main(int argc, char** argv) {
    bool memory = false;
    int seconds = 0;
    int32_t loop_start = -1, loop_end = 0;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--memory") == 0) memory = true;
        else if (std::strcmp(argv[i], "--loop") == 0 && i + 2 < argc) {
            loop_start = std::atoi(argv[++i]);
            loop_end = std::atoi(argv[++i]);
        }
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atoi(argv[++i]);
        else path = argv[i];
    }
    if (!path) {
        std::fprintf(stderr, "usage: game_music [--memory] [--loop START END] [--seconds N] FILE.mp3\n");
        return 1;
    }

    if (allegro_init() != 0) return 1;
    install_timer();
    install_keyboard();
    set_color_depth(16);
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 480, 80, 0, 0) != 0) {
        allegro_message("No window: %s\n", allegro_error);
        return 1;
    }
    if (install_sound(DIGI_AUTODETECT, MIDI_NONE, nullptr) != 0) {
        allegro_message("No sound: %s\n", allegro_error);
        return 1;
    }
    LOCK_VARIABLE(ticks);
    LOCK_FUNCTION(tick);
    install_int_ex(tick, BPS_TO_TIMER(100));

    // Start the music. The in-memory player reads the bytes where they lie: `data` outlives it.
    int32_t vol = 192;
    std::vector<uint8_t> data;
    Mp3Player* mem = nullptr;
    Streamed st;
    if (memory) {
        if (!read_file(path, &data) || !(mem = mp3_create(data.data(), int32_t(data.size())))) {
            allegro_message("%s: no MP3 data\n", path);
            return 1;
        }
        mp3_set_gapless(mem, 1);
        if (loop_start >= 0) mp3_set_loop_points(mem, loop_start, loop_end);
        if (mp3_play_ex(mem, kBuffer, vol, kPan, 1000, 1) != 0) return 1; // 1: loop
        mp3_start_autopoll(mem, kPollMs);
    } else {
        if (!(st.file = std::fopen(path, "rb"))) {
            allegro_message("%s: cannot open\n", path);
            return 1;
        }
        std::fseek(st.file, 0, SEEK_END);
        st.file_bytes = int32_t(std::ftell(st.file));
        if (!start(&st, vol, loop_start, loop_end)) {
            allegro_message("%s: no MP3 data\n", path);
            return 1;
        }
    }

    BITMAP* page = create_bitmap(SCREEN_W, SCREEN_H);
    const int white = makecol(255, 255, 255), grey = makecol(160, 160, 160);
    bool faded = false;
    for (bool quit = false; !quit;) {
        while (keypressed()) {
            int k = readkey() >> 8;
            if (k == KEY_ESC) quit = true;
            if (k == KEY_UP || k == KEY_DOWN) {
                vol = k == KEY_UP ? (vol + 16 > 255 ? 255 : vol + 16) : (vol < 16 ? 0 : vol - 16);
                if (mem) mp3_adjust(mem, vol, kPan, 1000, 1);
                else mp3s_adjust(st.player, vol, kPan, 1000);
            }
            if (k == KEY_F) {
                // A fade on top of the volume: out over two seconds, or back in.
                faded = !faded;
                if (mem) mp3_fade(mem, faded ? 0 : 255, 2000);
                else mp3s_fade(st.player, faded ? 0 : 255, 2000);
            }
            if (mem && k == KEY_LEFT) mp3_skip_secs(mem, -5);
            if (mem && k == KEY_RIGHT) mp3_skip_secs(mem, 5);
        }
        int32_t pos, len;
        if (mem) {
            pos = mp3_position_secs(mem);
            len = mp3_length_secs(mem);
        } else {
            feed(&st);
            if (!mp3s_is_playing(st.player)) break; // the data came too late
            pos = mp3s_position_secs(st.player);
            len = mp3s_length_secs(st.player, st.file_bytes);
        }

        clear_to_color(page, makecol(0, 0, 64));
        textprintf_ex(page, font, 8, 8, grey, -1, "%s: %s", memory ? "in memory" : "streamed", path);
        textprintf_ex(page, font, 8, 32, white, -1, "%d:%02d / %d:%02d   volume %d", pos / 60,
                      pos % 60, len / 60, len % 60, vol);
        textprintf_ex(page, font, 8, 56, grey, -1, "Up/Down: volume   F: fade%s   Esc: quit",
                      memory ? "   Left/Right: seek 5 s" : "");
        blit(page, screen, 0, 0, 0, 0, SCREEN_W, SCREEN_H);
        if (seconds > 0 && ticks >= seconds * 100) quit = true;
        rest(10);
    }

    destroy_bitmap(page);
    mp3_destroy(mem); // stops the stream and its automatic poll
    mp3s_destroy(st.player);
    if (st.file) std::fclose(st.file);
    return 0;
}
END_OF_MAIN()
