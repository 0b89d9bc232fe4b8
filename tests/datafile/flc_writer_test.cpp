// The FLC writer against Allegro's own FLI reader: every frame of varied sequences (odd widths,
// long runs and gaps, unchanged frames, palette-only changes, worst-case rows) must come back
// pixel for pixel and colour for colour, and palette changes must mark every row dirty.
#include "allegro_headless.h"
#include "flc_writer.h"
#include "noise.h"
#include "test_util.h"

#include <cstring>
#include <vector>

namespace {

struct Frame {
    std::vector<uint8_t> px;
    std::vector<uint8_t> pal;  // 768 bytes, 0-255
};

// Plays bytes through Allegro and checks every frame against `frames`.
void expect_round_trip(const std::vector<uint8_t>& bytes, const std::vector<Frame>& frames, int w, int h,
                       const char* what) {
    ASSERT_TRUE(ziv::allegro_headless());
    std::vector<uint8_t> copy(bytes);
    ASSERT_EQ(open_memory_fli(copy.data()), FLI_OK) << what;
    ASSERT_NE(fli_bitmap, nullptr);
    EXPECT_EQ(fli_bitmap->w, w) << what;
    EXPECT_EQ(fli_bitmap->h, h) << what;
    for (size_t f = 0; f < frames.size(); ++f) {
        reset_fli_variables();
        ASSERT_EQ(next_fli_frame(0), FLI_OK) << what << ": frame " << f;
        const Frame& want = frames[f];
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(fli_bitmap->line[y][x], want.px[size_t(y) * w + x])
                    << what << ": frame " << f << " pixel " << x << "," << y;
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(fli_palette[i].r, want.pal[3 * i] >> 2) << what << ": frame " << f << " colour " << i;
            ASSERT_EQ(fli_palette[i].g, want.pal[3 * i + 1] >> 2) << what << ": frame " << f << " colour " << i;
            ASSERT_EQ(fli_palette[i].b, want.pal[3 * i + 2] >> 2) << what << ": frame " << f << " colour " << i;
        }
        const bool pal_changed = f == 0 || want.pal != frames[f - 1].pal;
        if (pal_changed) {
            EXPECT_EQ(fli_bmp_dirty_from, 0) << what << ": frame " << f;
            EXPECT_EQ(fli_bmp_dirty_to, h - 1) << what << ": frame " << f;
        }
    }
    reset_fli_variables();
    EXPECT_EQ(next_fli_frame(0), FLI_EOF) << what << ": frames beyond the last";
    close_fli();
}

std::vector<uint8_t> encode(const std::vector<Frame>& frames, int w, int h) {
    FlcWriter wr;
    flc_begin(&wr, w, h, 40);
    for (const Frame& f : frames) flc_add_frame(&wr, f.px.data(), f.pal.data());
    return flc_finish(&wr);
}

// A sequence that exercises every encoding path on a w x h canvas.
std::vector<Frame> varied_sequence(int w, int h, uint32_t seed) {
    Rng rng{seed | 1u};
    const size_t n = size_t(w) * h;
    std::vector<Frame> fs;
    Frame f{std::vector<uint8_t>(n), std::vector<uint8_t>(768)};
    for (auto& v : f.pal) v = uint8_t(rng.next());
    // Frame 0: noise mixed with long runs.
    for (size_t i = 0; i < n; ++i) f.px[i] = (i / 97) % 3 == 0 ? uint8_t(rng.next()) : uint8_t(i / 300);
    fs.push_back(f);
    // Frame 1: nothing changes.
    fs.push_back(f);
    // Frame 2: a few scattered pixels, including each row's last pixel.
    for (int k = 0; k < 7; ++k) f.px[rng.next() % n] ^= 0x5A;
    for (int y = 0; y < h; y += 3) f.px[size_t(y) * w + w - 1] ^= 0xFF;
    fs.push_back(f);
    // Frame 3: palette only.
    for (int i = 10; i < 20; ++i) f.pal[3 * i] ^= 0x80;
    f.pal[3 * 255 + 2] ^= 0x40;
    fs.push_back(f);
    // Frame 4: a long solid stretch and changes far apart in one row.
    for (size_t i = n / 3; i < n / 3 + std::min<size_t>(n / 3, 700); ++i) f.px[i] = 200;
    f.px[0] = 1;
    f.px[n - 1] = 2;
    fs.push_back(f);
    // Frame 5: every pixel and every colour.
    for (auto& v : f.px) v = uint8_t(rng.next());
    for (auto& v : f.pal) v = uint8_t(rng.next());
    fs.push_back(f);
    // Frame 6: alternating pairs, the densest delta packets.
    for (size_t i = 0; i < n; ++i) f.px[i] = uint8_t(((i / 2) & 1) ? 7 : f.px[i]);
    fs.push_back(f);
    return fs;
}

TEST(FlcWriter, VariedSequencesComeBackExactly) {
    const uint32_t seed = ziv::test_seed();
    const int sizes[][2] = {{37, 23}, {800, 6}, {2, 3}, {1, 5}, {600, 9}};
    for (auto& s : sizes) {
        const std::vector<Frame> fs = varied_sequence(s[0], s[1], seed + uint32_t(s[0]));
        const std::string what = std::to_string(s[0]) + "x" + std::to_string(s[1]);
        expect_round_trip(encode(fs, s[0], s[1]), fs, s[0], s[1], what.c_str());
    }
}

// Rows whose run/literal packets would exceed the one-byte row packet count, and runs longer
// than one packet can hold, in both the first frame and a delta.
TEST(FlcWriter, WorstCaseRowsComeBackExactly) {
    const int w = 800, h = 4;
    std::vector<Frame> fs;
    Frame f{std::vector<uint8_t>(size_t(w) * h), std::vector<uint8_t>(768, 0)};
    for (int x = 0; x < w; ++x) {
        f.px[x] = (x % 4 == 3) ? 9 : 4;    // "aaab": a repeat and a literal per four pixels
        f.px[w + x] = uint8_t(x % 2);      // no runs at all
        f.px[2 * w + x] = 77;              // one long run
        f.px[3 * w + x] = uint8_t(x / 5);  // runs of five
    }
    fs.push_back(f);
    for (int x = 0; x < w; ++x) {
        f.px[x] = (x % 8 < 6) ? 3 : uint8_t(x);  // repeated words broken by literals
        f.px[2 * w + x] = 78;
    }
    fs.push_back(f);
    expect_round_trip(encode(fs, w, h), fs, w, h, "worst case rows");
}

TEST(FlcWriter, HeaderDescribesTheFile) {
    const int w = 37, h = 23;
    const std::vector<Frame> fs = varied_sequence(w, h, 99);
    const std::vector<uint8_t> b = encode(fs, w, h);
    auto u16 = [&](size_t at) { return unsigned(b[at] | b[at + 1] << 8); };
    auto u32 = [&](size_t at) { return uint32_t(u16(at) | u16(at + 2) << 16); };
    EXPECT_EQ(u32(0), b.size());
    EXPECT_EQ(u16(4), 0xAF12u);
    EXPECT_EQ(u16(6), fs.size());
    EXPECT_EQ(u16(8), unsigned(w));
    EXPECT_EQ(u16(10), unsigned(h));
    EXPECT_EQ(u16(12), 8u);
    EXPECT_EQ(u32(16), 40u);
    EXPECT_EQ(u32(80), 128u);
    // Frame 2 starts where frame 1 ends, and every frame chunk has an even size.
    EXPECT_EQ(u32(84), 128u + u32(128));
    for (size_t at = 128; at < b.size(); at += u32(at)) {
        ASSERT_EQ(u16(at + 4), 0xF1FAu) << "frame chunk at " << at;
        EXPECT_EQ(u32(at) % 2, 0u) << "frame chunk at " << at;
    }
}

}  // namespace
