/* Tag reading: the ID3v2 (2.2 to 2.4), APEv2 (and APEv1) and ID3v1 tags of an MP3 file held in
   memory, merged into one read-only record of UTF-8 text fields, user text pairs, embedded
   pictures, ReplayGain values and loop points. In: the whole file's bytes. Out: an MpegTags
   record that owns every string it hands out; picture bytes point into the caller's data unless
   they had to be copied. Every read stays inside the bytes given, whatever they hold.
   A C header (C99 and C++). */
#ifndef MPEG_TAGS_H
#define MPEG_TAGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MpegTags MpegTags;

/* The named text fields, for mpeg_tags_get. */
enum {
    MPEG_TAG_TITLE = 0,
    MPEG_TAG_ARTIST = 1,
    MPEG_TAG_ALBUM = 2,
    MPEG_TAG_DATE = 3,    /* the recording date, often a year alone */
    MPEG_TAG_TRACK = 4,   /* as written: "3" or "3/12" */
    MPEG_TAG_GENRE = 5,   /* genre numbers named: "(17)" and "17" read "Rock" */
    MPEG_TAG_COMMENT = 6,
    MPEG_TAG_ENCODER = 7, /* the encoding software and its settings (ID3v2 TSSE) */
    MPEG_TAG_FIELD_COUNT = 8
};

/* The kinds of tag found, as bits of mpeg_tags_sources. */
enum {
    MPEG_TAGS_ID3V1 = 1,
    MPEG_TAGS_ID3V2 = 2,
    MPEG_TAGS_APE = 4
};

/* One embedded picture. Strings are owned by the record. `data` points into the bytes given to
   mpeg_tags_read when the picture lies there as is (those bytes must then outlive its use), or
   into the record when it had to be copied (unsynchronised ID3v2 data). */
typedef struct MpegTagPicture {
    const char* mime;         /* "image/jpeg", "image/png", ...; "" when unknown */
    int32_t type;             /* ID3v2 picture type: 3 front cover, 4 back cover, 0 other... */
    const char* description;  /* UTF-8, "" when none */
    const uint8_t* data;
    size_t size;
} MpegTagPicture;

/* ReplayGain values as the tags state them; a value counts only where its has_ flag is 1. */
typedef struct MpegReplayGain {
    int32_t has_track_gain, has_track_peak, has_album_gain, has_album_peak;
    double track_gain;  /* dB */
    double track_peak;  /* linear, 1.0 full scale */
    double album_gain;  /* dB */
    double album_peak;  /* linear */
} MpegReplayGain;

/* Reads every tag in the len bytes at data (a whole file). Returns a record, empty when the
   file has no tags (or data is NULL), or NULL when memory ran out. Free it with mpeg_tags_free.
   Every string the accessors return belongs to the record and stays valid until it is freed;
   a picture's bytes may also lie in data (see MpegTagPicture). */
MpegTags* mpeg_tags_read(const uint8_t* data, size_t len);

/* Frees the record and every string and copied picture it owns. NULL is allowed. */
void mpeg_tags_free(MpegTags* tags);

/* MPEG_TAGS_* bits of the tags found. */
int32_t mpeg_tags_sources(const MpegTags* tags);

/* The field's UTF-8 text (several values joined by "/"), or NULL when no tag gives it or the
   field number is unknown. Where tags disagree ID3v2 wins over APEv2, which wins over ID3v1. */
const char* mpeg_tags_get(const MpegTags* tags, int32_t field);

/* User text pairs: ID3v2 TXXX (description, value) and the APEv2 items that are not fields,
   the ID3v2 ones first. mpeg_tags_user returns 1 and sets *key and *value (either pointer may
   be NULL) for 0 <= i < count, else 0. */
int32_t mpeg_tags_user_count(const MpegTags* tags);
int32_t mpeg_tags_user(const MpegTags* tags, int32_t i, const char** key, const char** value);

/* The value of the first user pair whose key matches (ASCII case ignored), or NULL. */
const char* mpeg_tags_user_find(const MpegTags* tags, const char* key);

/* Embedded pictures (ID3v2 APIC/PIC, APEv2 cover art items). mpeg_tags_picture returns 1 and
   fills *out for 0 <= i < count, else 0. */
int32_t mpeg_tags_picture_count(const MpegTags* tags);
int32_t mpeg_tags_picture(const MpegTags* tags, int32_t i, MpegTagPicture* out);

/* Fills *out (all zero first) with the ReplayGain values of the tags: TXXX or APEv2 items
   REPLAYGAIN_TRACK_GAIN / _TRACK_PEAK / _ALBUM_GAIN / _ALBUM_PEAK, then ID3v2 RVA2 frames
   ("track", "album") for the values still missing. Returns 1 when any value is present. */
int32_t mpeg_tags_replaygain(const MpegTags* tags, MpegReplayGain* out);

/* Loop points in samples from the user pairs LOOPSTART with LOOPLENGTH (end = start + length)
   or LOOPEND (exclusive). Returns 1 and sets *start and *end when LOOPSTART is there; *end is 0
   when the loop runs to the end of the data. Returns 0 (and sets both to 0) otherwise. */
int32_t mpeg_tags_loop(const MpegTags* tags, int64_t* start, int64_t* end);

#ifdef __cplusplus
}
#endif

#endif /* MPEG_TAGS_H */
