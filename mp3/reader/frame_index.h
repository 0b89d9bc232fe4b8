// The index of the frames of MPEG audio data held in memory: the byte offset of every frame,
// found once by a walk over the headers with the frame synchronisation (tags and junk stepped
// over as playback steps over them), so that a seek lands on the frame that holds the time asked
// for, in constant and in variable bitrate alike. It also says where decoding has to restart
// for a frame to decode exactly as in an uninterrupted decode (the pre-roll), and decodes those
// frames with their output thrown away.
#pragma once

#include <cstdint>

#include "frame_sync.h"
#include "mpeg_decoder.h"

struct MpegFrameIndex {
    int32_t* offsets; // frames + 1 entries (null when not built): frame i starts at offsets[i],
                      // offsets[frames] is where the last frame ends
    int32_t frames;
};

// Walks data[0, len), whose first frame starts at 0 and was locked by `sync` (copied, not
// changed), and records every frame of the stream up to the end of the data or the first frame
// of another stream. Returns 1, or 0 when memory ran out (the index is then left empty).
int32_t mpeg_index_build(MpegFrameIndex* x, const MpegSync* sync, const uint8_t* data, int32_t len);
void mpeg_index_free(MpegFrameIndex* x);

// The frame at which decoding restarts so that frame f decodes as it does after all the frames
// before it: Layer III needs the frames whose main data fills the bit reservoir of frame f - 1
// (main_data_begin reaches back at most 511 bytes) and frame f - 1 itself (the overlap of the
// filter bank and the synthesis history), plus one frame to spare; Layers I and II need the two
// frames before f for the synthesis history. f must lie in [0, x->frames].
int32_t mpeg_index_preroll(const MpegFrameIndex* x, const uint8_t* data, int32_t layer, int32_t f);

// Decodes the frames from mpeg_index_preroll(f) up to f - 1 with a freshly set-up decoder, into
// `scratch` (one frame's PCM), output thrown away. Returns the number of frames decoded.
int32_t mpeg_index_decode_preroll(const MpegFrameIndex* x, MpegDecoder* d, const uint8_t* data,
                                 int32_t len, int32_t layer, int32_t f, uint8_t* scratch);

// The frame that holds PCM sample `sample` (per channel, from the start) of frames of
// `samples_per_frame` samples: floor division, negative samples give negative frames.
int64_t mpeg_frame_of_sample(int64_t sample, int32_t samples_per_frame);
