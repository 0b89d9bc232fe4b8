/* A game's background music with the MP3 players, written the way an Allegro 4 game is written, in
 * C: a window, the music playing gapless in a loop with the automatic poll, its position on
 * screen, the Up/Down arrow keys changing the volume and F fading it out over two seconds and back
 * in. Two ways to hold the music:
 *
 *   game_music FILE.mp3            streamed: read from disk in blocks as the player asks for them
 *   game_music --memory FILE.mp3   in memory: the whole file is loaded; Left/Right also seek
 *
 * `--loop START END` plays the intro [0, START) once and then repeats [START, END) (samples of the
 * gapless PCM; END 0 is the end). `--crossfade OTHER.mp3` gives a second track: C crossfades
 * from the one playing to the other over three seconds, as a game does when the level changes.
 * Esc quits; `--seconds N` quits by itself after N seconds.
 * Build: cc -std=c99 game_music.c $(pkg-config --cflags --libs mp3player) */
#include <allegro.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mp3_player.h"
#include "mp3_stream_player.h"

#define BLOCK 32768    /* bytes read from disk at a time (streamed) */
#define BUFFER 16384   /* bytes of each audio stream buffer */
#define POLL_MS 25     /* the automatic poll's interval */
#define PAN 128        /* centre */
#define CROSSFADE 3000 /* ms */

static volatile int ticks = 0; /* 100 per second, counted by Allegro's timer */
static void tick(void) { ++ticks; }
END_OF_STATIC_FUNCTION(tick)

/* One piece of music, held one of the two ways: in memory (the player reads `data` where it lies,
 * so it outlives the player), or streamed from a file that stays open while the game loop hands
 * the player the blocks it asks for. */
typedef struct Track {
    const char* path;
    uint8_t* data;
    Mp3Player* mem;
    FILE* file;
    int32_t file_bytes;
    Mp3StreamPlayer* stream;
} Track;

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

/* A gapless, looping player over the file, not yet playing; loop points when start >= 0. */
static int track_open(Track* t, const char* path, int memory, int32_t loop_start,
                      int32_t loop_end) {
    static uint8_t first[BLOCK];
    int32_t n;
    memset(t, 0, sizeof *t);
    t->path = path;
    if (memory) {
        if (!(t->data = read_file(path, &n)) || !(t->mem = mp3_create(t->data, n))) return 0;
        mp3_set_gapless(t->mem, 1); /* the loop flag comes with play */
        return loop_start < 0 || mp3_set_loop_points(t->mem, loop_start, loop_end) == 0;
    }
    if (!(t->file = fopen(path, "rb"))) return 0;
    fseek(t->file, 0, SEEK_END);
    t->file_bytes = (int32_t)ftell(t->file);
    rewind(t->file);
    n = (int32_t)fread(first, 1, BLOCK, t->file); /* the first block is offset 0 */
    if (!(t->stream = mp3s_create(first, n, n < BLOCK))) return 0;
    mp3s_set_gapless(t->stream, 1);
    mp3s_set_loop(t->stream, 1); /* at the end the player asks for blocks from the start again */
    return loop_start < 0 || mp3s_set_loop_points(t->stream, loop_start, loop_end) == 0;
}

/* Starts the track at fade level `fade` (255 full, 0 silent) with the automatic poll. */
static int track_play(Track* t, int32_t vol, int32_t fade) {
    if (t->mem) {
        mp3_fade(t->mem, fade, 0);
        if (mp3_play_ex(t->mem, BUFFER, vol, PAN, 1000, 1) != MP3_OK) return 0; /* 1: loop */
        mp3_start_autopoll(t->mem, POLL_MS);
    } else {
        mp3s_fade(t->stream, fade, 0);
        if (mp3s_play(t->stream, BUFFER, vol, PAN) != MP3_OK) return 0;
        mp3s_start_autopoll(t->stream, POLL_MS);
    }
    return 1;
}

/* Stopped, and back at its start for the next time it plays. */
static void track_stop(Track* t) {
    if (t->mem) {
        mp3_stop(t->mem);
        mp3_rewind(t->mem);
    } else {
        mp3s_stop(t->stream);
        mp3s_rewind(t->stream);
    }
}

static void track_fade(Track* t, int32_t level, int32_t ms) {
    if (t->mem) mp3_fade(t->mem, level, ms);
    else mp3s_fade(t->stream, level, ms);
}

static void track_volume(Track* t, int32_t vol) {
    if (t->mem) mp3_adjust(t->mem, vol, PAN, 1000, 1);
    else mp3s_adjust(t->stream, vol, PAN, 1000);
}

/* The game loop's share of the streamed player's work: the block it asks for is read from the
 * offset it names, which is the bytes given so far, or, while looping, the offset its loop
 * starts decoding again at (asked for ahead of the loop's end), or where a seek reads from. One
 * block a tick is enough. 0 when the data came too late and the music stopped. */
static int track_feed(Track* t) {
    uint8_t* block;
    int64_t at;
    int32_t n;
    if (t->mem) return 1;
    block = mp3s_next_block(t->stream);
    at = mp3s_next_block_offset(t->stream);
    if (block && at >= 0 && at <= LONG_MAX && fseek(t->file, (long)at, SEEK_SET) == 0) {
        n = (int32_t)fread(block, 1, BLOCK, t->file);
        mp3s_give_block(t->stream, n < BLOCK ? n : -1); /* -1: more blocks follow */
    }
    return mp3s_is_playing(t->stream) != 0;
}

static void track_close(Track* t) {
    mp3_destroy(t->mem); /* stops the stream and its automatic poll */
    mp3s_destroy(t->stream);
    if (t->file) fclose(t->file);
    free(t->data);
}

int main(int argc, char** argv) {
    int memory = 0, seconds = 0, quit = 0, faded = 0, i, white, grey;
    /* The track heard; the one fading out after a crossfade, stopped at tick silent_at. */
    int cur = 0, fading_out = -1, silent_at = 0;
    const char *path = NULL, *other = NULL;
    int32_t vol = 192, loop_start = -1, loop_end = 0, pos, len;
    Track track[2];
    BITMAP* page;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--memory") == 0) memory = 1;
        else if (strcmp(argv[i], "--loop") == 0 && i + 2 < argc) {
            loop_start = atoi(argv[++i]);
            loop_end = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--crossfade") == 0 && i + 1 < argc) other = argv[++i];
        else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atoi(argv[++i]);
        else path = argv[i];
    }
    if (!path) {
        fprintf(stderr, "usage: game_music [--memory] [--loop START END] [--crossfade OTHER.mp3] "
                        "[--seconds N] FILE.mp3\n");
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

    /* The loop points belong to the first track; the second loops whole. */
    memset(track, 0, sizeof track);
    if (!track_open(&track[0], path, memory, loop_start, loop_end)) {
        allegro_message("%s: no MP3 data, or loop points past its end\n", path);
        return 1;
    }
    if (other && !track_open(&track[1], other, memory, -1, 0)) {
        allegro_message("%s: no MP3 data\n", other);
        return 1;
    }
    if (!track_play(&track[0], vol, 255)) return 1;

    page = create_bitmap(SCREEN_W, SCREEN_H);
    white = makecol(255, 255, 255);
    grey = makecol(160, 160, 160);
    while (!quit) {
        Track* t;
        while (keypressed()) {
            int k = readkey() >> 8;
            if (k == KEY_ESC) quit = 1;
            if (k == KEY_UP || k == KEY_DOWN) {
                vol = k == KEY_UP ? (vol + 16 > 255 ? 255 : vol + 16) : (vol < 16 ? 0 : vol - 16);
                track_volume(&track[cur], vol);
            }
            if (k == KEY_F) { /* a fade on top of the volume: out over two seconds, or back in */
                faded = !faded;
                track_fade(&track[cur], faded ? 0 : 255, 2000);
            }
            if (k == KEY_C && other && fading_out < 0) {
                /* The crossfade: the track heard fades out while the other starts silent and
                 * fades in over the same time. */
                track_fade(&track[cur], 0, CROSSFADE);
                fading_out = cur;
                cur = 1 - cur;
                if (!track_play(&track[cur], vol, 0)) quit = 1;
                track_fade(&track[cur], 255, CROSSFADE);
                faded = 0;
                /* Stopped once the fade has ended and the buffers queued by then have played. */
                silent_at = ticks + CROSSFADE / 10 + 50;
            }
            if (memory && k == KEY_LEFT) mp3_skip_secs(track[cur].mem, -5);
            if (memory && k == KEY_RIGHT) mp3_skip_secs(track[cur].mem, 5);
        }
        /* A track faded to 0 plays silence until it is stopped. */
        if (fading_out >= 0 && ticks >= silent_at) {
            track_stop(&track[fading_out]);
            fading_out = -1;
        }
        if (!track_feed(&track[cur]) || (fading_out >= 0 && !track_feed(&track[fading_out])))
            break; /* the data came too late */
        t = &track[cur];
        pos = t->mem ? mp3_position_secs(t->mem) : mp3s_position_secs(t->stream);
        len = t->mem ? mp3_length_secs(t->mem) : mp3s_length_secs(t->stream, t->file_bytes);

        clear_to_color(page, makecol(0, 0, 64));
        textprintf_ex(page, font, 8, 8, grey, -1, "%s: %s", memory ? "in memory" : "streamed",
                      t->path);
        textprintf_ex(page, font, 8, 32, white, -1, "%d:%02d / %d:%02d   volume %d%s",
                      (int)(pos / 60), (int)(pos % 60), (int)(len / 60), (int)(len % 60), (int)vol,
                      fading_out >= 0 ? "   crossfading" : "");
        textprintf_ex(page, font, 8, 56, grey, -1, "Up/Down: volume  F: fade%s%s  Esc: quit",
                      other ? "  C: crossfade" : "", memory ? "  Left/Right: seek 5 s" : "");
        blit(page, screen, 0, 0, 0, 0, SCREEN_W, SCREEN_H);
        if (seconds > 0 && ticks >= seconds * 100) quit = 1;
        rest(10);
    }

    destroy_bitmap(page);
    track_close(&track[0]);
    track_close(&track[1]);
    return 0;
}
END_OF_MAIN()
