// Autodesk Animator Pro FLC writer: 8-bit frames with a 256-colour palette in, a complete
// FLC file out. The first frame is stored whole (COLOR_256 + BYTE_RUN), every later frame as
// the palette entries that changed (COLOR_256) and the pixel words that changed (DELTA_FLC).
// Palette components are 0-255. Pure byte work, no Allegro, so the tests can pair it with
// Allegro's FLI reader as an independent decoder.
#pragma once

#include <cstdint>
#include <vector>

struct FlcWriter {
    int width = 0;
    int height = 0;
    int ms_per_frame = 0;
    int frames = 0;
    uint32_t second_frame_at = 0;      // file offset of frame 2, for the header
    std::vector<uint8_t> out;          // header + frames written so far
    std::vector<uint8_t> prev_pixels;  // the previous frame, width * height
    uint8_t prev_palette[768] = {};
};

// Starts a file of frames width x height (1..65535 each) played at one frame per ms_per_frame.
void flc_begin(FlcWriter* w, int width, int height, int ms_per_frame);

// Appends one frame: pixels is width * height palette indices, row by row; palette is 256 RGB
// triplets 0-255. A frame whose palette changed also rewrites a word in the first and last row:
// Allegro's player copies only the rows it saw written into a frame bitmap that is not 8-bit,
// so a palette change alone would never reach a 16-bit screen.
void flc_add_frame(FlcWriter* w, const uint8_t* pixels, const uint8_t* palette);

// Completes the header (file size, frame count, offsets) and returns the file's bytes.
const std::vector<uint8_t>& flc_finish(FlcWriter* w);

// The chunk bodies, exposed for tests: each appends to out.
void flc_encode_byte_run(std::vector<uint8_t>& out, const uint8_t* pixels, int width, int height);
// Returns the number of rows encoded; touch_edges forces a packet into the first and last row.
int flc_encode_delta(std::vector<uint8_t>& out, const uint8_t* prev, const uint8_t* cur, int width,
                     int height, bool touch_edges);
