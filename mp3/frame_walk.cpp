// Placeholder until the frame walk lands.
#include "frame_walk.h"

int32_t mp3_strip_tags(const uint8_t*, int32_t, const uint8_t**, int32_t*) { return 0; }
int32_t mp3_walk_frame(MpegDecoder*, const uint8_t*, int32_t, int32_t*, int32_t, uint8_t*, InOut*) {
    return MP3_WALK_LOST;
}
