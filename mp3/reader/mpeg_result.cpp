// The text of the shared result codes, and the library's version.
#include "mpeg_result.h"

const char* mpeg_result_text(int32_t result) {
    switch (result) {
    case MP3_OK: return "ok";
    case MP3_ENDED: return "ended";
    case MP3_NOT_PLAYING: return "not playing, a buffer smaller than a frame, or not while playing";
    case MP3_NO_FRAME: return "no playable frame";
    case MP3_DATA_LATE: return "data ran out before the next block";
    case MP3_SETUP_FAILED: return "decoder set-up failed";
    case MP3_NEED_MORE: return "more bytes needed";
    case MP3_OTHER_STREAM: return "another stream begins";
    case MP3_CANNOT_SEEK: return "the data cannot be sought in";
    case MP3_READ_FAILED: return "the reader failed";
    case MP3_BAD_LOOP: return "loop points outside the data";
    case MP3_BETWEEN_FRAMES: return "more bytes needed between frames";
    default: return "unknown result";
    }
}

int32_t mpeg_version(void) {
    return ZIV_VERSION_MAJOR * 10000 + ZIV_VERSION_MINOR * 100 + ZIV_VERSION_PATCH;
}
