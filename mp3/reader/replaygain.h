/* ReplayGain: the values a file states (its tags first, the LAME tag's where the tags give none)
   and the linear factor a mode, a preamp and peak protection make of them, for
   mpeg_decoder_set_gain. A C header (C99 and C++). */
#ifndef MPEG_REPLAYGAIN_H
#define MPEG_REPLAYGAIN_H

#include <stddef.h>
#include <stdint.h>

#include "lame_info.h"
#include "mpeg_tags.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Modes of mpeg_replaygain_factor: MPEG_REPLAYGAIN_* (mpeg_core.h). */

/* Fills the values *rg lacks from the LAME tag (NULL: none): its track gain, album gain and
   peak (the peak of the track; the album's when the tag's gain is an album gain alone). Where
   both give a value, the tags' stays. */
void mpeg_replaygain_merge(MpegReplayGain* rg, const MpegLameInfo* lame);

/* The values of a file: its tags (read from the len bytes at data, a whole file or as much of its
   start as is at hand) merged with the LAME tag of its first frame, `frame` (avail readable
   bytes, header h; frame NULL: none). 1 when any value is present, 0 otherwise or when memory
   ran out (*rg then all zero). */
int32_t mpeg_replaygain_read(const uint8_t* data, size_t len, const uint8_t* frame,
                             int32_t avail, const MpegHeader* h, MpegReplayGain* rg);

/* The linear gain of `mode` (MPEG_REPLAYGAIN_*): 10^((gain + preamp) / 20) with the mode's gain in
   dB (the track's, else the album's, in track mode; the album's, else the track's, in album mode)
   and preamp_centibels / 10 dB, then lowered to 1 / peak (a hair less: the largest positive
   sample is 32767 / 32768 of full scale) when the mode's peak (or the other one) is known, so
   that no sample clips. 1 for MPEG_REPLAYGAIN_OFF, for a file without a gain
   and for an unknown mode; never above 64. */
float mpeg_replaygain_factor(const MpegReplayGain* rg, int32_t mode, int32_t preamp_centibels);

#ifdef __cplusplus
}
#endif

#endif /* MPEG_REPLAYGAIN_H */
