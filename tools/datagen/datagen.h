// The generators behind zivivev.dat: each writes one source file for Allegro's dat tool.
// All output is a pure function of the code (fixed seeds, no clock, no environment), so two
// builds give identical bytes. Allegro must be installed (headless) before any of them runs.
#pragma once

#include <cstdint>
#include <vector>

// 8-bit frames of the closing animation, as an FLC file. Returns 0 on success.
int gen_anim(const char* path);
// The 8-bit font sheet dat turns into a monochrome proportional font (codes 0x20-0xFF).
int gen_font(const char* path);
// The 800x600 24-bit background picture.
int gen_back(const char* path);
// The soundtrack as 16-bit stereo 44.1 kHz WAV, for lame.
int gen_music(const char* path);

// Allegro's built-in 8x8 glyph of code c (Latin-1) as 64 bytes of 0/1; false when the font has
// no glyph for it.
bool glyph8(int c, uint8_t out[64]);
// Scale2x: a w x h mask of 0/1 in, a 2w x 2h mask out, diagonals smoothed.
std::vector<uint8_t> scale2x(const std::vector<uint8_t>& in, int w, int h);
