// Converts an MP3 file to a 16-bit WAV file with the decoder library alone (no Allegro).
// Build: c++ mp3towav.cpp $(pkg-config --cflags --libs mpegdec)   Run: ./a.out in.mp3 out.wav
#include <cstdio>
#include <vector>
#include "frame_walk.h"

static void put(FILE* f, uint32_t v, int bytes) { for (int i = 0; i < bytes; ++i) fputc(int(v >> 8 * i & 255), f); }

int main(int argc, char** argv) {
    FILE* in = argc == 3 ? fopen(argv[1], "rb") : nullptr;
    if (!in) return fprintf(stderr, "usage: mp3towav IN.mp3 OUT.wav\n"), 1;
    std::vector<uint8_t> mp3, pcm;
    for (int c; (c = fgetc(in)) != EOF;) mp3.push_back(uint8_t(c));
    const uint8_t* audio; int32_t len, rate, at, pos = 0;
    MpegHeader h; static MpegDecoder d; MpegOutputFormat f; InOut io;
    int32_t frame = mp3_strip_tags(mp3.data(), int32_t(mp3.size()), &audio, &len)
                        ? mp3_first_frame(audio, len, 1, &h, &rate, &at) : 0;
    if (frame <= 0 || !mpeg_decoder_init(&d, 1) || !mpeg_decoder_setup(&d, &h, frame, 0, 0, 0, 24000))
        return fprintf(stderr, "mp3towav: no MPEG audio in %s\n", argv[1]), 2;
    mpeg_decoder_get_format(&d, &f);
    std::vector<uint8_t> buf(size_t(f.out_samples) * 2);
    while (mp3_walk_frame(&d, audio + at, len - at, &pos, frame, buf.data(), &io) == MP3_WALK_FRAME)
        pcm.insert(pcm.end(), buf.begin(), buf.begin() + io.out_bytes);
    mpeg_decoder_free(&d);
    FILE* out = fopen(argv[2], "wb");
    if (!out) return fprintf(stderr, "mp3towav: cannot write %s\n", argv[2]), 2;
    fputs("RIFF", out); put(out, 36 + uint32_t(pcm.size()), 4); fputs("WAVEfmt ", out);
    put(out, 16, 4); put(out, 1, 2); put(out, uint32_t(f.channels), 2); put(out, uint32_t(f.sample_rate), 4);
    put(out, uint32_t(f.sample_rate * f.channels * 2), 4); put(out, uint32_t(f.channels * 2), 2); put(out, 16, 2);
    fputs("data", out); put(out, uint32_t(pcm.size()), 4);
    fwrite(pcm.data(), 1, pcm.size(), out);
    return fclose(out) == 0 ? 0 : 2;
}
