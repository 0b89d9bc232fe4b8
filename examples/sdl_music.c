/* A game's music on SDL2 with the decoder library alone: two tracks, each an MpegCore reading its
 * file through a reader, mixed in SDL's audio callback. The first plays its intro once and then
 * repeats its loop; C crossfades to the second (each core fades itself, the callback adds them);
 * Left/Right seek the track heard by five seconds; the window's title and bar show where it is.
 *
 *   sdl_music [--loop START END] [--crossfade-at MS] [--crossfade-ms MS] [--seek-at MS SAMPLE]
 *             [--print-every MS] [--seconds N] FIRST.mp3 [SECOND.mp3]
 *
 * Positions and loop points count samples per channel of the gapless PCM (END -1: the end). The
 * timed options act when MS milliseconds of music have been handed to SDL (the music's clock, not
 * the wall clock's), so a run is the same every time; each event, and every --print-every MS the
 * positions of the playing tracks, is printed as "at N: ..." with N the output sample it takes
 * effect at. Both tracks loop (the file's loop tags, else the whole file) unless --loop says.
 * Build: cc -std=c99 sdl_music.c $(pkg-config --cflags --libs mpegdec sdl2) */
#include <SDL.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mpeg_core.h"

#define CHUNK 1024 /* samples per channel decoded at a time in the callback */

/* One piece of music: its file, read by the core through the reader below, and whether the
 * callback mixes it in (the audio thread alone reads and writes `playing` while the device runs
 * unlocked; the game's thread under SDL_LockAudioDevice). */
typedef struct Track {
    const char* name;
    FILE* file;
    MpegCore* core;
    int channels;
    int playing;
    int64_t length;
} Track;

typedef struct Music {
    Track track[2];
    int cur;        /* the track heard; the other fades out or waits */
    int64_t played; /* samples per channel handed to SDL */
} Music;

static int64_t file_read(void* ctx, void* buf, size_t n) {
    size_t got = fread(buf, 1, n, (FILE*)ctx);
    return got == 0 && ferror((FILE*)ctx) ? -1 : (int64_t)got;
}

static int32_t file_seek(void* ctx, int64_t offset) {
    return fseek((FILE*)ctx, (long)offset, SEEK_SET) == 0 ? 0 : -1;
}

static int64_t file_size(void* ctx) {
    FILE* f = (FILE*)ctx;
    long at = ftell(f), end = -1;
    if (at >= 0 && fseek(f, 0, SEEK_END) == 0) end = ftell(f);
    if (at < 0 || fseek(f, at, SEEK_SET) != 0) return -1;
    return end;
}

static const MpegReader file_reader = {file_read, file_seek, file_size};

/* Opens the file as a 16-bit core at full rate, looping over [start, end) when start >= 0, else
 * as the file's tags say or whole. 0 with a message on failure. */
static int track_open(Track* t, const char* name, const char* path, int64_t start, int64_t end) {
    MpegOutputFormat f;
    int32_t r;
    t->name = name;
    if (!(t->file = fopen(path, "rb"))) {
        fprintf(stderr, "%s: cannot open\n", path);
        return 0;
    }
    if (!(t->core = mpeg_core_create(0, 0, 24000))) return 0;
    r = mpeg_core_set_reader(t->core, &file_reader, t->file);
    if (r == MP3_OK) r = mpeg_core_get_format(t->core, &f);
    if (r == MP3_OK) r = start >= 0 ? mpeg_core_set_loop(t->core, start, end)
                                    : mpeg_core_set_looping(t->core, 1);
    if (r != MP3_OK) {
        fprintf(stderr, "%s: %s\n", path, mpeg_result_text(r));
        return 0;
    }
    t->channels = f.channels;
    t->length = mpeg_core_length(t->core);
    return 1;
}

static void track_close(Track* t) {
    mpeg_core_destroy(t->core);
    if (t->file) fclose(t->file);
}

/* Adds `frames` samples of the track to the stereo mix, a mono track to both channels. A track
 * whose data ends (or fails) stops; the rest of its share is silence. */
static void track_mix(Track* t, int16_t* out, int frames) {
    int16_t pcm[CHUNK * 2];
    while (frames > 0 && t->playing) {
        int n = frames < CHUNK ? frames : CHUNK, got, i;
        if (mpeg_core_read(t->core, (uint8_t*)pcm, n * t->channels * 2, &got) != MP3_OK)
            t->playing = 0;
        got /= t->channels * 2;
        for (i = 0; i < got * 2; ++i) {
            int32_t v = out[i] + pcm[t->channels == 2 ? i : i / 2];
            out[i] = (int16_t)(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
        }
        out += n * 2;
        frames -= n;
    }
}

/* SDL's audio thread asks for the next `len` bytes: both tracks decoded there and added. The
 * track that faded out is stopped once its gain has reached 0. The cores read their files from
 * here, a piece at a time, which a local disk's cache serves at once; a game on slower media would
 * rather read ahead on a thread of its own and hand the core memory. */
static void SDLCALL music_callback(void* user, Uint8* stream, int len) {
    Music* m = (Music*)user;
    int i;
    memset(stream, 0, (size_t)len);
    for (i = 0; i < 2; ++i)
        if (m->track[i].playing) track_mix(&m->track[i], (int16_t*)stream, len / 4);
    m->played += len / 4;
    for (i = 0; i < 2; ++i)
        if (i != m->cur && m->track[i].playing && mpeg_core_gain(m->track[i].core) == 0)
            m->track[i].playing = 0;
}

/* With the device locked: the track heard fades out over `samples` while the other fades in
 * from silence, starting from its beginning if it was not playing. */
static void crossfade(Music* m, int64_t samples) {
    Track *from = &m->track[m->cur], *to = &m->track[1 - m->cur];
    if (!to->core) return;
    if (!to->playing) {
        mpeg_core_seek(to->core, 0);
        mpeg_core_fade(to->core, 0, 0);
        to->playing = 1;
    }
    mpeg_core_fade(to->core, MPEG_CORE_UNITY, samples);
    mpeg_core_fade(from->core, 0, samples);
    m->cur = 1 - m->cur;
    printf("at %lld: crossfade from %s to %s over %lld samples\n", (long long)m->played,
           from->name, to->name, (long long)samples);
}

/* With the device locked: the track heard moves to `sample` (the core reads the frames before it
 * to get there exactly, holding the audio thread back for that long). */
static void seek(Music* m, int64_t sample) {
    Track* t = &m->track[m->cur];
    int64_t r = mpeg_core_seek(t->core, sample < 0 ? 0 : sample);
    printf("at %lld: %s seeks to %lld: %lld\n", (long long)m->played, t->name, (long long)sample,
           (long long)r);
}

/* With the device locked: the output sample and where each playing track stands. */
static void print_positions(const Music* m) {
    int i;
    printf("at %lld:", (long long)m->played);
    for (i = 0; i < 2; ++i)
        if (m->track[i].playing)
            printf(" %s %lld", m->track[i].name, (long long)mpeg_core_tell(m->track[i].core));
    printf("\n");
}

static void usage(void) {
    fprintf(stderr, "usage: sdl_music [--loop START END] [--crossfade-at MS] [--crossfade-ms MS] "
                    "[--seek-at MS SAMPLE] [--print-every MS] [--seconds N] FIRST.mp3 "
                    "[SECOND.mp3]\n");
}

int main(int argc, char** argv) {
    static Music m;
    const char *path[2] = {NULL, NULL};
    long long loop_start = -1, loop_end = -1, seek_to = 0;
    long xfade_at = -1, xfade_ms = 2000, seek_at = -1, print_every = 500, seconds = 0;
    int64_t next_print = 0;
    int i, rate, quit = 0;
    SDL_AudioSpec want, have;
    SDL_AudioDeviceID dev;
    SDL_Window* window;
    SDL_Renderer* renderer;
    MpegOutputFormat f;

    for (i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--loop") == 0 && i + 2 < argc) {
            loop_start = atoll(argv[++i]);
            loop_end = atoll(argv[++i]);
        } else if (strcmp(argv[i], "--crossfade-at") == 0 && i + 1 < argc) xfade_at = atol(argv[++i]);
        else if (strcmp(argv[i], "--crossfade-ms") == 0 && i + 1 < argc) xfade_ms = atol(argv[++i]);
        else if (strcmp(argv[i], "--seek-at") == 0 && i + 2 < argc) {
            seek_at = atol(argv[++i]);
            seek_to = atoll(argv[++i]);
        } else if (strcmp(argv[i], "--print-every") == 0 && i + 1 < argc) print_every = atol(argv[++i]);
        else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = atol(argv[++i]);
        else if (argv[i][0] != '-' && !path[0]) path[0] = argv[i];
        else if (argv[i][0] != '-' && !path[1]) path[1] = argv[i];
        else {
            usage();
            return 1;
        }
    }
    if (!path[0]) {
        usage();
        return 1;
    }

    if (!track_open(&m.track[0], "first", path[0], loop_start, loop_end) ||
        (path[1] && !track_open(&m.track[1], "second", path[1], -1, -1)))
        return 1;
    mpeg_core_get_format(m.track[0].core, &f);
    rate = f.sample_rate;
    if (path[1] && (mpeg_core_get_format(m.track[1].core, &f), f.sample_rate != rate)) {
        fprintf(stderr, "%s: %d Hz, the first track %d Hz: one rate for both\n", path[1],
                (int)f.sample_rate, rate);
        return 1;
    }
    for (i = 0; i < 2 && path[i]; ++i) {
        int64_t s = 0, e = 0;
        mpeg_core_get_loop(m.track[i].core, &s, &e);
        printf("%s: %s, %d Hz, %d channels, %lld samples, loop [%lld, %lld)\n", m.track[i].name,
               path[i], rate, m.track[i].channels, (long long)m.track[i].length, (long long)s,
               (long long)e);
    }

    if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "SDL: %s\n", SDL_GetError());
        return 1;
    }
    /* The device takes the music's rate, stereo, 16-bit; SDL converts if the hardware differs. */
    SDL_zero(want);
    want.freq = rate;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = music_callback;
    want.userdata = &m;
    if (!(dev = SDL_OpenAudioDevice(NULL, 0, &want, &have, 0))) {
        fprintf(stderr, "No sound: %s\n", SDL_GetError());
        SDL_Quit();
        return 1;
    }
    window = SDL_CreateWindow("sdl_music", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 480,
                              80, 0);
    if (!window) {
        fprintf(stderr, "No window: %s\n", SDL_GetError());
        SDL_CloseAudioDevice(dev);
        SDL_Quit();
        return 1;
    }
    renderer = SDL_CreateRenderer(window, -1, 0); /* no renderer: the title alone shows it */
    fflush(stdout);
    m.track[0].playing = 1;
    SDL_PauseAudioDevice(dev, 0);

    while (!quit) {
        SDL_Event e;
        Track* t;
        int64_t pos, len;
        char title[128];
        while (SDL_PollEvent(&e)) {
            if (e.type == SDL_QUIT) quit = 1;
            if (e.type != SDL_KEYDOWN) continue;
            SDL_LockAudioDevice(dev);
            if (e.key.keysym.sym == SDLK_ESCAPE) quit = 1;
            if (e.key.keysym.sym == SDLK_c) crossfade(&m, (int64_t)xfade_ms * rate / 1000);
            if (e.key.keysym.sym == SDLK_LEFT || e.key.keysym.sym == SDLK_RIGHT)
                seek(&m, mpeg_core_tell(m.track[m.cur].core) +
                             (e.key.keysym.sym == SDLK_LEFT ? -5 : 5) * (int64_t)rate);
            SDL_UnlockAudioDevice(dev);
        }
        /* The timed events, at the first output sample not yet handed to SDL. */
        SDL_LockAudioDevice(dev);
        if (xfade_at >= 0 && m.played >= (int64_t)xfade_at * rate / 1000) {
            crossfade(&m, (int64_t)xfade_ms * rate / 1000);
            xfade_at = -1;
        }
        if (seek_at >= 0 && m.played >= (int64_t)seek_at * rate / 1000) {
            seek(&m, seek_to);
            seek_at = -1;
        }
        if (print_every > 0 && m.played >= next_print) {
            print_positions(&m);
            next_print = m.played + (int64_t)print_every * rate / 1000;
        }
        if (seconds > 0 && m.played >= (int64_t)seconds * rate) quit = 1;
        t = &m.track[m.cur];
        pos = mpeg_core_tell(t->core);
        len = t->length;
        SDL_UnlockAudioDevice(dev);
        fflush(stdout);

        snprintf(title, sizeof title, "sdl_music: %s %d:%02d.%03d / %d:%02d.%03d", t->name,
                 (int)(pos / rate / 60), (int)(pos / rate % 60), (int)(pos % rate * 1000 / rate),
                 (int)(len / rate / 60), (int)(len / rate % 60), (int)(len % rate * 1000 / rate));
        SDL_SetWindowTitle(window, title);
        if (renderer) { /* a bar as long as the position is far into the track */
            SDL_Rect bar = {8, 32, len > 0 ? (int)(pos * 464 / len) : 0, 16};
            SDL_SetRenderDrawColor(renderer, 0, 0, 64, 255);
            SDL_RenderClear(renderer);
            SDL_SetRenderDrawColor(renderer, 200, 200, 255, 255);
            SDL_RenderFillRect(renderer, &bar);
            SDL_RenderPresent(renderer);
        }
        SDL_Delay(10);
    }

    SDL_LockAudioDevice(dev);
    printf("end at %lld\n", (long long)m.played);
    SDL_UnlockAudioDevice(dev);
    SDL_CloseAudioDevice(dev); /* the callback has returned for good */
    if (renderer) SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
    track_close(&m.track[0]);
    track_close(&m.track[1]);
    return 0;
}
