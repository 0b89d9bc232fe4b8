// mp3dec's output, written a piece at a time: headerless PCM, or a WAV file whose header comes
// first. Where the output can seek, the header's sizes are written again at the end with the
// bytes that came; where it cannot (a pipe), they are the sizes announced at open: a prediction
// when there is one, else 0xFFFFFFFF for both, the usual mark of a length not known in advance.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mpeg_decoder.h"

struct PcmOutput {
    FILE* file;         // null: the PCM is counted and dropped (the benchmark's passes)
    int32_t close;      // 1 when the file is ours to close
    int32_t wav;        // 1 when a WAV header leads the file
    int32_t seekable;   // 1 when the header can be written again at the end
    int32_t swap;       // 1 to write the samples byte-reversed (a big-endian host)
    int32_t bits;
    int64_t announced;  // data bytes the header states (-1: unknown)
    int64_t bytes;      // PCM bytes written so far
    int32_t error;
    uint8_t* buf;       // PCM not yet written: buf[0, held)
    int32_t cap;
    int32_t held;
    int32_t placing;    // 1 once PCM may be written at its place (pcm_output_start_placing)
    int64_t data_at;    // file offset of the first PCM byte
};

// Opens the output: `path` "-" is standard output (headerless), a name ending in ".wav" a WAV
// file whose header states `predicted` data bytes (-1 when unknown). Returns 0 when it cannot
// be opened or the buffer cannot be allocated.
int32_t pcm_output_open(PcmOutput* o, const char* path, const MpegOutputFormat& f,
                        int64_t predicted);
// An output that only counts the bytes.
int32_t pcm_output_null(PcmOutput* o, const MpegOutputFormat& f);

// Room for `n` more bytes of PCM at the end of the buffer, writing out what it holds first when
// needed; null on a write error. `n` is at most a frame's output.
uint8_t* pcm_output_room(PcmOutput* o, int32_t n);
// Records that n bytes were put at the room given.
void pcm_output_put(PcmOutput* o, int32_t n);
// Writes n bytes of PCM at p after what is held, straight from p (byte-swapped there where the
// output asks for it). Returns 0 on a write error.
int32_t pcm_output_write(PcmOutput* o, uint8_t* p, int64_t n);

// PCM written at its place, by several threads at once (each writing the segments it decodes
// while the others decode theirs), where the output is a regular file of ours: 1 then, what is
// held written out first; 0 where the PCM must come in order.
int32_t pcm_output_start_placing(PcmOutput* o);
// Writes n bytes of PCM at p `at` bytes from the start of the PCM, whatever was written before
// it (byte-swapped at p where the output asks for it). Any thread may call it, for places that
// do not overlap, while the thread that owns the output writes nothing in order. Returns 0 on a
// write error.
int32_t pcm_output_place(const PcmOutput* o, int64_t at, uint8_t* p, int32_t n);
// Records that the n bytes of PCM after those written so far were placed, once every place has
// returned: the next write follows them. Returns 0 on an error.
int32_t pcm_output_placed(PcmOutput* o, int64_t n);

// Writes what is held, the header's final sizes where the output can seek, and closes a file
// that is ours; the file ends with the last PCM written in order (PCM placed past it is cut
// off). Returns 0 on any write error.
int32_t pcm_output_finish(PcmOutput* o, const MpegOutputFormat& f);
