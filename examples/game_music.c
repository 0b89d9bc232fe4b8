/* A game's background music with the MP3 players, written the way an Allegro 4 game is written, in
 * C: a window, the music playing in a loop with the automatic poll, its position on screen, and
 * the Up/Down arrow keys changing the volume. Two ways to hold the music:
 *
 *   game_music FILE.mp3            streamed: read from disk in blocks as the player asks for them
 *   game_music --memory FILE.mp3   in memory: the whole file is loaded; Left/Right also seek
 *
 * Esc quits; `--seconds N` quits by itself after N seconds.
 * Build: cc -std=c99 game_music.c $(pkg-config --cflags --libs mp3player) */
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mp3_player.h"
#include "mp3_stream_player.h"

#define BLOCK 32768  /* bytes read from disk at a time (streamed) */
#define BUFFER 16384 /* bytes of each audio stream buffer */
#define POLL_MS 25   /* the automatic poll's interval */
#define PAN 128      /* centre */

static volatile int ticks = 0; /* 100 per second, counted by Allegro's timer */
static void tick(void) { ++ticks; }
END_OF_STATIC_FUNCTION(tick)

/* The streamed music: the file stays open, and the game loop hands the player the next block
 * whenever it asks for one. */
typedef struct Streamed {
    FILE* file;
    int32_t file_bytes;
    Mp3StreamPlayer* player;
} Streamed;

static void feed(Streamed* s) {
    uint8_t* block = mp3s_next_block(s->player);
    int32_t n;
    if (!block) return;
    n = (int32_t)fread(block, 1, BLOCK, s->file);
    mp3s_give_block(s->player, n < BLOCK ? n : -1); /* -1: more blocks follow */
}

/* A streamed player plays its file once: the loop is a new player over the file's first block. */
static int restart(Streamed* s, int32_t vol) {
    static uint8_t first[BLOCK];
    int32_t n;
    mp3s_destroy(s->player); /* stops the stream and its automatic poll */
    rewind(s->file);
    n = (int32_t)fread(first, 1, BLOCK, s->file);
    s->player = mp3s_create(first, n, n < BLOCK);
    if (!s->player || mp3s_play(s->player, BUFFER, vol, PAN) != MP3_OK) return 0;
    mp3s_start_autopoll(s->player, POLL_MS);
    return 1;
}

/* The whole file in memory (malloc'd), or NULL. */
static uint8_t* read_file(const char* path, int32_t* len) {
    FILE* f = fopen(path, "rb");
    uint8_t* data = NULL;
    long n;
    if (!f) return NULL;
    if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) > 0 && n < 0x7fffffffL &&
        fseek(f, 0, SEEK_SET) == 0 && (data = malloc((size_t)n)) != NULL &&
        fread(data, 1, (size_t)n, f) == (size_t)n) {
        *len = (int32_t)n;
    } else {
        free(data);
        data = NULL;
    }
    fclose(f);
    return data;
}

int main(int argc, char** argv) {
    int memory = 0, seconds = 0, quit = 0, i, white, grey;
    const char* path = NULL;
    int32_t vol = 192, len = 0, data_len = 0, pos;
    uint8_t* data = NULL;
    Mp3Player* mem = NULL;
    Streamed st = {NULL, 0, NULL};
    BITMAP* page;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--memory") == 0) memory = 1;
        else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atoi(argv[++i]);
        else path = argv[i];
    }
    if (!path) {
        fprintf(stderr, "usage: game_music [--memory] [--seconds N] FILE.mp3\n");
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
    if (install_sound(DIGI_AUTODETECT, MIDI_NONE, NULL) != 0) {
        allegro_message("No sound: %s\n", allegro_error);
        return 1;
    }
    LOCK_VARIABLE(ticks);
    LOCK_FUNCTION(tick);
    install_int_ex(tick, BPS_TO_TIMER(100));

    /* Start the music. The in-memory player reads the bytes where they lie: `data` outlives it. */
    if (memory) {
        if (!(data = read_file(path, &data_len)) || !(mem = mp3_create(data, data_len))) {
            allegro_message("%s: no MP3 data\n", path);
            return 1;
        }
        if (mp3_play_ex(mem, BUFFER, vol, PAN, 1000, 1) != MP3_OK) return 1; /* 1: loop */
        mp3_start_autopoll(mem, POLL_MS);
    } else {
        if (!(st.file = fopen(path, "rb"))) {
            allegro_message("%s: cannot open\n", path);
            return 1;
        }
        fseek(st.file, 0, SEEK_END);
        st.file_bytes = (int32_t)ftell(st.file);
        if (!restart(&st, vol)) {
            allegro_message("%s: no MP3 data\n", path);
            return 1;
        }
    }

    page = create_bitmap(SCREEN_W, SCREEN_H);
    white = makecol(255, 255, 255);
    grey = makecol(160, 160, 160);
    while (!quit) {
        while (keypressed()) {
            int k = readkey() >> 8;
            if (k == KEY_ESC) quit = 1;
            if (k == KEY_UP || k == KEY_DOWN) {
                vol = k == KEY_UP ? (vol + 16 > 255 ? 255 : vol + 16) : (vol < 16 ? 0 : vol - 16);
                if (mem) mp3_adjust(mem, vol, PAN, 1000, 1);
                else mp3s_adjust(st.player, vol, PAN, 1000);
            }
            if (mem && k == KEY_LEFT) mp3_skip_secs(mem, -5);
            if (mem && k == KEY_RIGHT) mp3_skip_secs(mem, 5);
        }
        if (mem) {
            pos = mp3_position_secs(mem);
            len = mp3_length_secs(mem);
        } else {
            feed(&st);
            if (!mp3s_is_playing(st.player) && !restart(&st, vol)) break; /* ended: again */
            pos = mp3s_position_secs(st.player);
            len = mp3s_length_secs(st.player, st.file_bytes);
        }

        clear_to_color(page, makecol(0, 0, 64));
        textprintf_ex(page, font, 8, 8, grey, -1, "%s: %s", memory ? "in memory" : "streamed", path);
        textprintf_ex(page, font, 8, 32, white, -1, "%d:%02d / %d:%02d   volume %d", (int)(pos / 60),
                      (int)(pos % 60), (int)(len / 60), (int)(len % 60), (int)vol);
        textprintf_ex(page, font, 8, 56, grey, -1, "Up/Down: volume%s   Esc: quit",
                      memory ? "   Left/Right: seek 5 s" : "");
        blit(page, screen, 0, 0, 0, 0, SCREEN_W, SCREEN_H);
        if (seconds > 0 && ticks >= seconds * 100) quit = 1;
        rest(10);
    }

    destroy_bitmap(page);
    mp3_destroy(mem); /* stops the stream and its automatic poll */
    mp3s_destroy(st.player);
    if (st.file) fclose(st.file);
    free(data);
    return 0;
}
END_OF_MAIN()
