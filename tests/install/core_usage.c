/* The decoding core as a C program uses it, built against the installed tree alone: an MP3 file
 * decoded from memory, and again fed to the core in pieces of a given size, each into a PCM file.
 * Usage: core_usage IN.mp3 PIECE MEMORY.pcm FED.pcm; prints the length and the position at the
 * end (ms) of both. */
#include <stdio.h>
#include <stdlib.h>

#include "mpeg_core.h"

/* Reads what the core has for now into f; the result that stopped it. */
static int32_t drain(MpegCore* c, FILE* f) {
    uint8_t pcm[4099]; /* not a whole number of samples: a sample may be cut between reads */
    int32_t r, n;
    do {
        r = mpeg_core_read(c, pcm, (int32_t)sizeof pcm, &n);
        fwrite(pcm, 1, (size_t)n, f);
    } while (r == MP3_OK);
    return r;
}

int main(int argc, char** argv) {
    static uint8_t data[1 << 22];
    FILE* in = argc == 5 ? fopen(argv[1], "rb") : NULL;
    FILE *mem_out, *fed_out;
    MpegCore *m, *c;
    int32_t len, at, piece = argc == 5 ? atoi(argv[2]) : 0, r1, r2 = MP3_NEED_MORE;
    if (!in || piece <= 0) return 1;
    len = (int32_t)fread(data, 1, sizeof data, in);
    fclose(in);
    mem_out = fopen(argv[3], "wb");
    fed_out = fopen(argv[4], "wb");
    if (!mem_out || !fed_out) return 1;

    /* From memory. */
    m = mpeg_core_create(0, 0, 24000);
    if (mpeg_core_set_data(m, data, len) != MP3_OK) return 2;
    r1 = drain(m, mem_out);

    /* Fed in pieces, the PCM read after each. */
    c = mpeg_core_create(0, 0, 24000);
    for (at = 0; at < len && r2 == MP3_NEED_MORE; at += piece) {
        mpeg_core_feed(c, data + at, len - at < piece ? len - at : piece);
        r2 = drain(c, fed_out);
    }
    mpeg_core_feed_end(c);
    if (r2 == MP3_NEED_MORE) r2 = drain(c, fed_out);

    printf("%s %s %d %d %d %d\n", mpeg_result_text(r1), mpeg_result_text(r2),
           (int)mpeg_core_length_ms(m), (int)mpeg_core_position_ms(m),
           (int)mpeg_core_length_ms(c), (int)mpeg_core_position_ms(c));
    mpeg_core_destroy(m);
    mpeg_core_destroy(c);
    return fclose(mem_out) != 0 || fclose(fed_out) != 0 ? 3 : 0;
}
