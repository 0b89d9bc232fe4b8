/* Converts an MP3 file to a 16-bit WAV file with the decoder library alone (no Allegro), through
 * the decoding core: tags, junk and the gapless trim are handled there. The file is fed to the
 * core a piece at a time, so memory stays flat whatever its length.
 * Build: cc -std=c99 mp3towav.c $(pkg-config --cflags --libs mpegdec)   Run: ./a.out in.mp3 out.wav */
#include <stdio.h>

#include "mpeg_core.h"

static void put(FILE* f, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) fputc((int)(v >> 8 * i & 255), f);
}

/* Reads and writes what the core has for now; the result that stopped it. */
static int32_t drain(MpegCore* c, FILE* out, uint32_t* bytes) {
    static uint8_t pcm[16384];
    int32_t r, n;
    do {
        r = mpeg_core_read(c, pcm, (int32_t)sizeof pcm, &n);
        *bytes += (uint32_t)fwrite(pcm, 1, (size_t)n, out);
    } while (r == MP3_OK);
    return r;
}

int main(int argc, char** argv) {
    static uint8_t piece[65536];
    FILE* in = argc == 3 ? fopen(argv[1], "rb") : NULL;
    FILE* out = in ? fopen(argv[2], "wb") : NULL;
    MpegCore* c = mpeg_core_create(0, 0, 24000); /* full rate, channels as coded, 16-bit */
    MpegOutputFormat f;
    uint32_t bytes = 0;
    int32_t r = MP3_NEED_MORE;
    size_t n;
    if (!in || !out || !c) return fprintf(stderr, "usage: mp3towav IN.mp3 OUT.wav\n"), 1;
    fseek(out, 44, SEEK_SET); /* the WAV header is written last, when the sizes are known */
    while (r == MP3_NEED_MORE && (n = fread(piece, 1, sizeof piece, in)) > 0) {
        mpeg_core_feed(c, piece, (int32_t)n);
        r = drain(c, out, &bytes);
    }
    if (r == MP3_NEED_MORE) {
        mpeg_core_feed_end(c);
        r = drain(c, out, &bytes);
    }
    if (mpeg_core_get_format(c, &f) != MP3_OK || (r != MP3_ENDED && r != MP3_OTHER_STREAM)) {
        fprintf(stderr, "mp3towav: %s: %s\n", argv[1], mpeg_result_text(r));
        return 2;
    }
    mpeg_core_destroy(c);
    /* The samples are in the machine's byte order: little-endian, as WAV wants, on x86 and ARM. */
    rewind(out);
    fputs("RIFF", out); put(out, 36 + bytes, 4); fputs("WAVEfmt ", out);
    put(out, 16, 4); put(out, 1, 2); put(out, (uint32_t)f.channels, 2);
    put(out, (uint32_t)f.sample_rate, 4); put(out, (uint32_t)(f.sample_rate * f.channels * 2), 4);
    put(out, (uint32_t)(f.channels * 2), 2); put(out, 16, 2);
    fputs("data", out); put(out, bytes, 4);
    fclose(in);
    return fclose(out) == 0 ? 0 : 2;
}
