/* What else the LAME tag of an Info/Xing frame says about the stream: the encoder's name and
   version, the bitrate method, and the ReplayGain it measured while encoding (the peak and the
   track ("radio") and album ("audiophile") gain words). A C header (C99 and C++). */
#ifndef MPEG_LAME_INFO_H
#define MPEG_LAME_INFO_H

#include <stdint.h>

#include "mpeg_core.h" /* MPEG_BITRATE_* */
#include "mpeg_decoder.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MpegLameInfo {
    char encoder[10];   /* the tag's 9-byte encoder string ("LAME3.100"), NUL-terminated; ""
                           when it holds anything but printable ASCII */
    int32_t method;     /* low nibble of the revision byte: 1 and 8 constant bitrate, 2 and 9
                           average bitrate, 3 to 6 variable bitrate, 0 unknown */
    int32_t has_peak, has_track_gain, has_album_gain;
    double peak;        /* linear, 1.0 full scale */
    double track_gain;  /* dB */
    double album_gain;  /* dB */
} MpegLameInfo;


/* 1 and *info filled when the frame at `frame` (avail readable bytes, header h) carries a LAME
   tag whose CRC is right; 0 (and *info all zero) otherwise. Nothing at or beyond frame + avail
   is read. */
int32_t mpeg_lame_info_read(const uint8_t* frame, int32_t avail, const MpegHeader* h,
                            MpegLameInfo* info);

/* MPEG_BITRATE_* (mpeg_core.h) of the tag's method. */
int32_t mpeg_lame_bitrate_mode(const MpegLameInfo* info);

#ifdef __cplusplus
}
#endif

#endif /* MPEG_LAME_INFO_H */
