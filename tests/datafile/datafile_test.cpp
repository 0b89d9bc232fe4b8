// The built zivivev.dat as the demo sees it: loaded by Allegro in 16-bit colour, four objects
// in order (animation, font, picture, soundtrack) with the properties the demo relies on. The
// soundtrack is measured with ffprobe and mpg123 as black boxes.
#include "allegro_headless.h"
#include "test_util.h"

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

namespace {

const std::string kDat = std::string(ZIV_RUN_DIR) + "/zivivev.dat";

class DataFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!ziv::allegro_headless()) return;
        data_ = load_datafile(kDat.c_str());
    }
    static void TearDownTestSuite() {
        if (data_) unload_datafile(data_);
        data_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(ziv::allegro_headless()) << "Allegro did not start headless";
        ASSERT_NE(data_, nullptr) << "load_datafile failed for " << kDat;
    }
    static DATAFILE* data_;
};
DATAFILE* DataFile::data_ = nullptr;

std::vector<uint8_t> object_bytes(const DATAFILE& d) {
    const uint8_t* p = static_cast<const uint8_t*>(d.dat);
    return std::vector<uint8_t>(p, p + d.size);
}

TEST_F(DataFile, HoldsFourObjectsInTheDemosOrderUnderEightMegabytes) {
    const long bytes = long(ziv::read_file(kDat).size());
    EXPECT_GT(bytes, 0);
    EXPECT_LT(bytes, 8L * 1024 * 1024);
    const int types[] = {DAT_FLI, DAT_FONT, DAT_BITMAP, DAT_DATA};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(data_[i].type, types[i]) << "object " << i;
    EXPECT_EQ(data_[4].type, DAT_END);
}

TEST_F(DataFile, BackgroundIsAn800x600PictureInTheScreensDepth) {
    BITMAP* b = static_cast<BITMAP*>(data_[2].dat);
    EXPECT_EQ(b->w, 800);
    EXPECT_EQ(b->h, 600);
    EXPECT_EQ(bitmap_color_depth(b), 16);
    // Dark enough for the grey bars (the brightest is 193) to read: the average grey is low,
    // and the picture is not flat.
    double sum = 0.0;
    int lo = 255, hi = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x) {
            const int c = getpixel(b, x, y);
            const int g = (getr16(c) + getg16(c) + getb16(c)) / 3;
            sum += g;
            lo = std::min(lo, g);
            hi = std::max(hi, g);
        }
    const double mean = sum / (800.0 * 600.0);
    EXPECT_LT(mean, 90.0);
    EXPECT_GT(mean, 5.0);
    EXPECT_GT(hi - lo, 100);
}

TEST_F(DataFile, FontIsMonochromeAndCoversLatin1) {
    FONT* f = static_cast<FONT*>(data_[1].dat);
    EXPECT_TRUE(is_mono_font(f));
    const int h = text_height(f);
    EXPECT_GE(h, 16);
    EXPECT_LE(h, 32);
    // The ranges together cover 0x20-0xFF without a hole.
    int next = 0x20;
    for (int r = 0; r < get_font_ranges(f); ++r)
        if (get_font_range_begin(f, r) <= next) next = std::max(next, get_font_range_end(f, r) + 1);
    EXPECT_GT(next, 0xFF) << "first code not covered: " << next;
    // Every screen text fits at its position on the 800-pixel screen.
    const struct { int x; const char* text; } texts[] = {
        {0, "Thinking of ways to calculate PI with abnormal precision..."},
        {0, "Loading some data..."},
        {150, "Gr1mP0t4x & bR0kW1Nd"},
        {100, "extremely proudly presentsly!"},
        {230, "a very specially ZaRkOvIlMe"},
        {0, "the journey into KW\xC4X"},
        {150, "Get ready to KW\xC4X!!"},
    };
    for (auto& t : texts) EXPECT_LE(t.x + text_length(f, t.text), 800) << t.text;
}

// Drawn in the demo's way (16-bit bitmap, grey text, black cells), every code gives
// only the text colour and black, and Ä, 0xC4, is a glyph of its own.
TEST_F(DataFile, FontDrawsInTheTextColourOnBlack) {
    FONT* f = static_cast<FONT*>(data_[1].dat);
    BITMAP* b = create_bitmap(40, 40);
    ASSERT_NE(b, nullptr);
    const int grey = makecol(128, 128, 128);
    auto draw = [&](int c) {
        clear_to_color(b, makecol(255, 0, 255));
        const char s[2] = {char(c), 0};
        textout_ex(b, f, s, 0, 0, grey, 0);  // the default text mode: cells on colour 0
        std::vector<int> px;
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 40; ++x) px.push_back(getpixel(b, x, y));
        return px;
    };
    for (int c = 0x21; c <= 0xFF; ++c) {
        if (c == 0xA0 || c == 0xAD) continue;  // no-break space and soft hyphen may be blank
        const std::vector<int> px = draw(c);
        int ink = 0;
        for (int y = 0; y < text_height(f); ++y)
            for (int x = 0; x < text_length(f, std::string(1, char(c)).c_str()); ++x) {
                const int p = px[size_t(y) * 40 + x];
                ASSERT_TRUE(p == grey || p == makecol(0, 0, 0)) << "code " << c << " pixel " << x << "," << y;
                ink += p == grey;
            }
        EXPECT_GT(ink, 0) << "code " << c << " draws nothing";
    }
    EXPECT_NE(draw(0xC4), draw('A'));
    destroy_bitmap(b);
}

struct FlcFrameInfo {
    std::vector<uint16_t> chunk_types;
    uint32_t size;
};

// Frame chunk headers of an FLC file (the structure only, not the pixel data).
std::vector<FlcFrameInfo> flc_frames(const std::vector<uint8_t>& b) {
    auto u16 = [&](size_t at) { return unsigned(b[at] | b[at + 1] << 8); };
    auto u32 = [&](size_t at) { return uint32_t(u16(at) | u16(at + 2) << 16); };
    std::vector<FlcFrameInfo> out;
    size_t at = 128;
    while (at + 16 <= b.size()) {
        const uint32_t size = u32(at);
        if (u16(at + 4) != 0xF1FA || size < 16 || at + size > b.size()) break;
        FlcFrameInfo fi{{}, size};
        size_t c = at + 16;
        for (unsigned k = 0; k < u16(at + 6) && c + 6 <= at + size; ++k) {
            fi.chunk_types.push_back(uint16_t(u16(c + 4)));
            c += u32(c);
        }
        out.push_back(fi);
        at += size;
    }
    return out;
}

TEST_F(DataFile, AnimationIsAFiveSecondDeltaCodedFlc) {
    const std::vector<uint8_t> b = object_bytes(data_[0]);
    ASSERT_GT(b.size(), 128u);
    EXPECT_EQ(b[4] | b[5] << 8, 0xAF12);  // FLC, not FLI
    const unsigned frames = b[6] | b[7] << 8;
    const unsigned ms = b[16] | b[17] << 8 | b[18] << 16 | unsigned(b[19]) << 24;
    EXPECT_GE(frames * ms, 4000u);
    EXPECT_LE(frames * ms, 6000u);
    EXPECT_GE(1000.0 / ms, 12.0) << "frame rate";

    const std::vector<FlcFrameInfo> fi = flc_frames(b);
    ASSERT_EQ(fi.size(), frames);
    // First frame whole (BYTE_RUN 15, with its palette 4); the rest delta-coded (7), and small.
    EXPECT_EQ(fi[0].chunk_types, (std::vector<uint16_t>{4, 15}));
    for (size_t f = 1; f < fi.size(); ++f) {
        for (uint16_t t : fi[f].chunk_types) EXPECT_TRUE(t == 4 || t == 7) << "frame " << f << " chunk " << t;
        EXPECT_LT(fi[f].size, fi[0].size / 4) << "frame " << f;
    }

    // Allegro plays it: 800x600, every frame decodes, consecutive frames look different.
    ASSERT_EQ(open_memory_fli(data_[0].dat), FLI_OK);
    EXPECT_EQ(fli_bitmap->w, 800);
    EXPECT_EQ(fli_bitmap->h, 600);
    std::vector<uint8_t> prev_px, prev_pal;
    unsigned decoded = 0;
    for (;;) {
        reset_fli_variables();
        const int r = next_fli_frame(0);
        if (r != FLI_OK) {
            EXPECT_EQ(r, FLI_EOF);
            break;
        }
        std::vector<uint8_t> px(size_t(800) * 600), pal(768);
        for (int y = 0; y < 600; ++y) std::memcpy(&px[size_t(y) * 800], fli_bitmap->line[y], 800);
        for (int i = 0; i < 256; ++i) {
            pal[3 * i] = fli_palette[i].r;
            pal[3 * i + 1] = fli_palette[i].g;
            pal[3 * i + 2] = fli_palette[i].b;
        }
        if (decoded > 0) {
            EXPECT_TRUE(px != prev_px || pal != prev_pal) << "frame " << decoded << " repeats the previous";
        }
        prev_px.swap(px);
        prev_pal.swap(pal);
        ++decoded;
    }
    close_fli();
    EXPECT_EQ(decoded, frames);
}

// Played the demo's way, by play_memory_fli into a 16-bit bitmap, every frame reaches the
// bitmap in the frame's own palette (the palette animation too) and the play lasts as long as
// the header says.
struct PlayLog {
    BITMAP* target = nullptr;
    std::vector<uint64_t> sums;
    long stale = 0;        // target pixels that differ from the FLI frame in its palette
    long first_stale = -1;  // frame of the first
};
PlayLog g_play;

int record_frame() {
    uint64_t h = 1469598103934665603ull;
    long stale = 0;
    for (int y = 0; y < g_play.target->h; ++y) {
        const uint16_t* row = reinterpret_cast<const uint16_t*>(g_play.target->line[y]);
        for (int x = 0; x < g_play.target->w; ++x) {
            h = (h ^ row[x]) * 1099511628211ull;
            stale += row[x] != uint16_t(palette_color[fli_bitmap->line[y][x]]);
        }
    }
    if (stale && g_play.first_stale < 0) g_play.first_stale = long(g_play.sums.size());
    g_play.stale += stale;
    g_play.sums.push_back(h);
    return 0;
}

TEST_F(DataFile, AnimationPlaysIntoA16BitBitmap) {
    const uint8_t* b = static_cast<const uint8_t*>(data_[0].dat);
    const unsigned frames = b[6] | b[7] << 8;
    const unsigned ms = b[16] | b[17] << 8 | b[18] << 16 | unsigned(b[19]) << 24;
    g_play.target = create_bitmap(800, 600);
    ASSERT_NE(g_play.target, nullptr);
    ASSERT_EQ(bitmap_color_depth(g_play.target), 16);
    clear_bitmap(g_play.target);
    g_play.sums.clear();
    g_play.stale = 0;
    g_play.first_stale = -1;
    // The player waits for the retrace on palette changes; headless, a driver without any
    // methods and a small memory screen stand in for the display's.
    static GFX_DRIVER no_screen{};
    gfx_driver = &no_screen;
    screen = create_bitmap(8, 8);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(play_memory_fli(data_[0].dat, g_play.target, 0, record_frame), FLI_OK);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    destroy_bitmap(screen);
    screen = nullptr;
    gfx_driver = nullptr;
    destroy_bitmap(g_play.target);
    ASSERT_EQ(g_play.sums.size(), frames);
    EXPECT_EQ(g_play.stale, 0) << "pixels not updated to the new palette, first in frame " << g_play.first_stale;
    for (size_t f = 1; f < frames; ++f) EXPECT_NE(g_play.sums[f], g_play.sums[f - 1]) << "frame " << f;
    // The player waits for its timer between frames, so the play cannot be shorter than
    // (frames - 1) * speed; the loose upper bound only catches a wrong speed unit.
    EXPECT_GE(secs, (frames - 1) * ms / 1000.0 - 0.1);
    EXPECT_LT(secs, frames * ms / 1000.0 * 3.0);
}

TEST_F(DataFile, AnimationDecodesWithFfmpeg) {
    ZIV_REQUIRE_TOOL("ffprobe");
    const std::string path = ziv::tmp_path("anim.flc");
    const std::vector<uint8_t> b = object_bytes(data_[0]);
    ASSERT_TRUE(ziv::write_file(path, b.data(), b.size()));
    const std::string out = ziv::tmp_path("anim.txt");
    ASSERT_EQ(ziv::run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                       "stream=width,height,nb_read_frames -of csv=p=0 '" + path + "' > '" + out + "'"),
              0);
    const std::vector<uint8_t> txt = ziv::read_file(out);
    const std::string s(txt.begin(), txt.end());
    const unsigned frames = b[6] | b[7] << 8;
    EXPECT_EQ(s.substr(0, s.find_last_not_of("\r\n") + 1), "800,600," + std::to_string(frames));
}

TEST_F(DataFile, SoundtrackIsAnMp3OfAbout110Seconds) {
    ZIV_REQUIRE_TOOL("ffprobe");
    ZIV_REQUIRE_TOOL("mpg123");
    const std::vector<uint8_t> b = object_bytes(data_[3]);
    ASSERT_GT(b.size(), 4u);
    const bool sync = b[0] == 0xFF && (b[1] & 0xE0) == 0xE0;
    const bool id3 = b[0] == 'I' && b[1] == 'D' && b[2] == '3';
    EXPECT_TRUE(sync || id3);

    const std::string path = ziv::tmp_path("music.mp3");
    ASSERT_TRUE(ziv::write_file(path, b.data(), b.size()));
    const std::string out = ziv::tmp_path("music.txt");
    ASSERT_EQ(ziv::run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels,bit_rate "
                       "-of csv=p=0 '" + path + "' > '" + out + "'"),
              0);
    const std::vector<uint8_t> txt = ziv::read_file(out);
    int rate = 0, channels = 0, bit_rate = 0;
    ASSERT_EQ(std::sscanf(std::string(txt.begin(), txt.end()).c_str(), "%d,%d,%d", &rate, &channels, &bit_rate), 3);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(channels, 2);
    EXPECT_GE(bit_rate, 160000);
    EXPECT_LE(bit_rate, 192000);

    // Decoded by mpg123, the music lasts 100-120 s, does not clip, and is never silent for long
    // before its end.
    const std::string pcm_path = ziv::tmp_path("music.raw");
    ASSERT_EQ(ziv::run("mpg123 -q -s '" + path + "' > '" + pcm_path + "'"), 0);
    const std::vector<int16_t> pcm = ziv::read_s16(pcm_path);
    const double seconds = double(pcm.size()) / 2.0 / 44100.0;
    EXPECT_GE(seconds, 100.0);
    EXPECT_LE(seconds, 120.0);
    size_t clipped = 0;
    for (int16_t v : pcm) clipped += v == 32767 || v == -32768;
    EXPECT_EQ(clipped, 0u) << "decoded samples at full scale";
    const size_t window = 2 * 44100 * 2;  // two seconds, stereo
    for (size_t at = 0; at + window <= pcm.size() - 2 * 2 * 44100; at += window) {
        double sum = 0.0;
        for (size_t i = at; i < at + window; ++i) sum += double(pcm[i]) * pcm[i];
        EXPECT_GT(std::sqrt(sum / double(window)), 500.0) << "quiet at " << at / 2 / 44100 << " s";
    }
}

}  // namespace
