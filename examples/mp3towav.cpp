// Converts an MP3 file to a 16-bit WAV file with the decoder library alone (no Allegro).
// Build: c++ mp3towav.cpp $(pkg-config --cflags --libs mpegdec)   Run: ./a.out in.mp3 out.wav
#include <cstdio>
#include <vector>
#include "frame_sync.h"
#include "tags.h"

static void put(FILE* f, uint32_t v, int bytes) { for (int i = 0; i < bytes; ++i) fputc(int(v >> 8 * i & 255), f); }

int main(int argc, char** argv) {
    FILE* in = argc == 3 ? fopen(argv[1], "rb") : nullptr;
    if (!in) return fprintf(stderr, "usage: mp3towav IN.mp3 OUT.wav\n"), 1;
    std::vector<uint8_t> mp3, pcm;
    for (int c; (c = fgetc(in)) != EOF;) mp3.push_back(uint8_t(c));
    // Tags at the end are cut off; the first frame, found past leading tags and junk and confirmed
    // by the header after it, sets the decoder up.
    int32_t len = mpeg_trailing_tags(mp3.data(), int32_t(mp3.size())), pos = 0, frame, rate;
    MpegHeader h; MpegSync sync; MpegOutputFormat f; MpegInOut io;
    MpegDecoder* d = mpeg_decoder_create();
    mpeg_sync_init(&sync);
    if (!d || mpeg_sync_lock(&sync, mp3.data(), len, 1, &pos, &h, &frame, &rate) != MPEG_SYNC_FRAME ||
        !mpeg_decoder_setup(d, &h, frame, 0, 0, 0, 24000))
        return mpeg_decoder_destroy(d), fprintf(stderr, "mp3towav: no MPEG audio in %s\n", argv[1]), 2;
    mpeg_decoder_get_format(d, &f);
    std::vector<uint8_t> buf(size_t(f.out_samples) * 2);
    // Frame after frame of the stream; tags and junk between them are stepped over.
    while (mpeg_sync_decode(&sync, d, mp3.data(), len, 1, &pos, buf.data(), &io) == MPEG_SYNC_FRAME)
        pcm.insert(pcm.end(), buf.begin(), buf.begin() + io.out_bytes);
    mpeg_decoder_destroy(d);
    FILE* out = fopen(argv[2], "wb");
    if (!out) return fprintf(stderr, "mp3towav: cannot write %s\n", argv[2]), 2;
    fputs("RIFF", out); put(out, 36 + uint32_t(pcm.size()), 4); fputs("WAVEfmt ", out);
    put(out, 16, 4); put(out, 1, 2); put(out, uint32_t(f.channels), 2); put(out, uint32_t(f.sample_rate), 4);
    put(out, uint32_t(f.sample_rate * f.channels * 2), 4); put(out, uint32_t(f.channels * 2), 2); put(out, 16, 2);
    fputs("data", out); put(out, uint32_t(pcm.size()), 4);
    fwrite(pcm.data(), 1, pcm.size(), out);
    return fclose(out) == 0 ? 0 : 2;
}
