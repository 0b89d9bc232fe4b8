/* The results of the players and of the decoding core: one set of named codes, shared by the
   in-memory player (mp3_*), the streamed player (mp3s_*) and the core (mpeg_core_*), their text,
   and the version of the library. Where one value has two meanings, two names share it. Flags
   (mp3_is_playing and the like) are not results: -1 for true, 0 for false. A C header (C99 and
   C++). */
#ifndef MPEG_RESULT_H
#define MPEG_RESULT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    MP3_OK = 0,             /* done: a buffer filled (or none free, or a silent one of the tail),
                               a stream found and set up */
    MP3_ENDED = 1,          /* the data ended: the player stopped; the core has no more frames */
    MP3_NOT_PLAYING = -1,   /* the player is not playing (or is null) */
    MP3_BAD_BUFFER = -1,    /* a stream buffer smaller than one frame's PCM (or a null player) */
    MP3_PLAYING = -1,       /* a call that is made only while the player is stopped */
    MP3_NO_FRAME = -2,      /* the data held no frame at all, or a frame larger than a block */
    MP3_DATA_LATE = -3,     /* the data ran out inside the frames before the next block came */
    MP3_SETUP_FAILED = -4,  /* the decoder cannot be set up for the stream */
    MP3_NEED_MORE = -5,     /* the window of bytes ended first: call again with more after it */
    MP3_OTHER_STREAM = -6,  /* a frame of another version, layer or sample rate begins here */
    MP3_CANNOT_SEEK = -7,   /* the data cannot be sought in (fed data, a reader without seek) */
    MP3_READ_FAILED = -8,   /* the reader reported an error */
    MP3_BAD_LOOP = -9,      /* loop points outside the data, or an end not after the start */
    MP3_BETWEEN_FRAMES = -10 /* the window of bytes ended between frames (inside a tag or junk, or
                               after one this read stepped over): call again with more after it;
                               no frame was cut short */
};

/* A short English text for a result ("ended", "data ran out before the next block", ...); an
   unknown value gives "unknown result". The text is static. */
const char* mpeg_result_text(int32_t result);

/* The version of the library as built: major * 10000 + minor * 100 + patch. The major number is
   the shared libraries' soname. */
int32_t mpeg_version(void);

#ifdef __cplusplus
}
#endif

#endif
