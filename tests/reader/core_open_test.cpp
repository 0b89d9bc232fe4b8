// The decoding core over data held whole, as the in-memory player opens it (trailing tags cut
// off, the search from the first byte): the first frame found past tags and junk, no frame in
// data without one, the output format and its arithmetic, the Xing header and its table, the
// frame index's seeks (a frame past the indexed ones is the end of the data), and the end of the
// data at junk or a frame cut short. Each datum lives in an exactly-sized heap copy, so that the
// sanitizer build catches a read past it.
#include <memory>

#include "core.h"
#include "synth_stream.h"
#include "tags.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ziv::concat;
using ziv::synth_stream;

// MPEG-2 Layer III, 22.05 kHz mono, 64 kbit/s: 208-byte frames of 576 samples.
const uint8_t kLsf[4] = {0xFF, 0xF3, 0x80, 0xC0};

// A core opened over a copy of `data`, the trailing tags cut off as the in-memory player does.
struct Opened {
    explicit Opened(const Bytes& data) : copy(ziv::exact_copy(data, data.size())) {
        EXPECT_EQ(mpeg_core_init(c.get(), 0, 0, 24000), 1);
        len = mpeg_trailing_tags(copy.get(), int32_t(data.size()));
        result = mpeg_core_open(c.get(), copy.get(), len, 1, &pos);
    }
    ~Opened() { mpeg_core_free(c.get()); }
    // Indexes the frames from the first one, as the in-memory player does at create.
    int32_t index() { return mpeg_core_index(c.get(), copy.get() + pos, len - pos); }
    std::unique_ptr<uint8_t[]> copy;
    std::unique_ptr<MpegCore> c{new MpegCore()};
    int32_t len = 0, pos = 0, result = 99;
};

TEST(CoreOpen, FindsTheFirstConfirmedFramePastTagsAndJunkAndNoneInDataWithout) {
    const Bytes s = synth_stream(10);
    Bytes bad_first = s, huge_tag = ziv::id3v2(100, false);
    bad_first[2] = 0xF0;  // bitrate index 15
    huge_tag[6] = 0x7F;   // about 256 MB
    struct Case {
        const char* what;
        Bytes data;
        int32_t result, pos, frames;
    } cases[] = {
        // Junk in front, or an unusable first header, is searched past to the first frame that
        // the next header confirms.
        {"junk with a sync in front", concat({0x00, 0xFF, 0xFB}, s), MP3_OK, 3, 10},
        {"zero bytes in front", concat(Bytes(37, 0), synth_stream(10, nullptr, 417, true)),
         MP3_OK, 37, 10},
        {"an unusable first header", bad_first, MP3_OK, 417, 9},
        {"ID3v2 and TAG", concat(concat(ziv::id3v2(300, false), s), ziv::id3v1()), MP3_OK,
         310, 10},
        {"ID3v2 with footer", concat(ziv::id3v2(300, true), s), MP3_OK, 320, 10},
        {"TAG only", concat(s, ziv::id3v1()), MP3_OK, 0, 10},
        // The data is exactly the frame: the Xing fields are not read past it.
        {"a tiny frame, its Xing fields past it", ziv::tiny_xing_frame(), MP3_OK, 0, 1},
        {"nothing", {}, MP3_ENDED, -1, 0},
        {"three bytes of a header", {0xFF, 0xFB, 0x90}, MP3_ENDED, -1, 0},
        {"random data", ziv::noise(100000, 7), MP3_ENDED, -1, 0},
        // A tag that claims more bytes than there are must not move the search past the end.
        {"an ID3v2 tag larger than the data", concat(huge_tag, s), MP3_ENDED, -1, 0},
        {"a tag and nothing after it", ziv::id3v2(100, true), MP3_ENDED, -1, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Opened o(k.data);
        EXPECT_EQ(o.result, k.result);
        if (k.result != MP3_OK) continue;
        EXPECT_EQ(o.pos, k.pos);
        EXPECT_EQ(o.c->ready, 1);
        EXPECT_EQ(o.c->xing, nullptr);
        ASSERT_EQ(o.index(), 1);
        EXPECT_EQ(o.c->index.frames, k.frames) << "a trailing tag is not a frame";
    }
}

TEST(CoreOpen, OutputFormatAndItsArithmetic) {
    struct Case {
        const char* what;
        Bytes data;
        int32_t frequency, stereo, layer, bitrate, frame_bytes, frame_pcm_bytes, sample_bytes,
            bytes_per_second;
    } cases[] = {
        {"MPEG-1 joint stereo", synth_stream(100), 44100, -1, 3, 128000, 417, 4608, 4, 176400},
        {"MPEG-2 mono", synth_stream(100, kLsf, 208), 22050, 0, 3, 64000, 208, 1152, 2, 44100},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Opened o(k.data);
        ASSERT_EQ(o.result, MP3_OK);
        const MpegCore* c = o.c.get();
        EXPECT_EQ(c->frequency, k.frequency);
        EXPECT_EQ(c->stereo, k.stereo);
        EXPECT_EQ(c->bits, 16);
        EXPECT_EQ(c->layer, k.layer);
        EXPECT_EQ(c->bitrate, k.bitrate);
        EXPECT_EQ(c->frame_bytes, k.frame_bytes);
        EXPECT_EQ(c->frame_pcm_bytes, k.frame_pcm_bytes);
        EXPECT_EQ(mpeg_core_sample_bytes(c), k.sample_bytes);
        EXPECT_EQ(mpeg_core_bytes_per_second(c), k.bytes_per_second);
        EXPECT_EQ(mpeg_core_frame_ms(c), 26) << "1152 or 576 samples, truncated";
        // Fifty frames in: 50 * 1152 / 44100 s (or 50 * 576 / 22050 s), truncated.
        ASSERT_EQ(o.index(), 1);
        EXPECT_EQ(mpeg_core_move_frame(o.c.get(), 50, o.len - o.pos, 0), 50 * k.frame_bytes);
        EXPECT_EQ(mpeg_core_position_ms(c), 1306);
        EXPECT_EQ(mpeg_core_samples_ms(c, k.frequency * 2), 2000);
    }
    // Before the first frame the format is unknown, and its arithmetic 0.
    Opened none(Bytes(1000, 0));
    EXPECT_EQ(none.c->layer, -1);
    EXPECT_EQ(mpeg_core_bytes_per_second(none.c.get()), 0);
    EXPECT_EQ(mpeg_core_frame_ms(none.c.get()), 0);
    EXPECT_EQ(mpeg_core_position_ms(none.c.get()), 0);
}

TEST(Xing, HeaderFieldsAndTableOfContents) {
    // The offsets of a table with toc[i] = i * 256 / 100 over 100000 bytes and 1000 frames,
    // worked out by hand: v[49] = 488, v[50] = 500, v[51] = 507, v[99] = 988.
    const Bytes v = ziv::xing_stream(0x0F, 3);
    EXPECT_EQ(mpeg_xing_read(v.data(), 417, nullptr), nullptr) << "no header record: no Xing";
    MpegHeader h;
    ASSERT_EQ(mpeg_header_parse(v.data(), int32_t(v.size()), &h), 417);
    MpegXing* x = mpeg_xing_read(v.data(), 417, &h);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->flags, 0x0F);
    EXPECT_EQ(x->frames, 1000);
    EXPECT_EQ(x->bytes, 99);
    EXPECT_EQ(x->scale, 57);
    EXPECT_EQ(mpeg_xing_offset(x, 0, 100000), 0);
    EXPECT_EQ(mpeg_xing_offset(x, 500, 100000), 50000);
    EXPECT_EQ(mpeg_xing_offset(x, 495, 100000), 50000 + 1000 * (495 - 500) / 7);
    EXPECT_EQ(mpeg_xing_offset(x, 999, 100000), 100000) << "past the last entry: the data length";
    EXPECT_EQ(mpeg_xing_offset(x, 1000, 100000), -1);
    EXPECT_EQ(mpeg_xing_offset(x, -1, 100000), -1);
    x->flags = 0x0B;
    EXPECT_EQ(mpeg_xing_offset(x, 500, 100000), -1) << "no table";
    mpeg_xing_free(x);
    // The header does not fit in the bytes given: none.
    EXPECT_EQ(mpeg_xing_read(v.data(), 36 + 8 + 4 + 4 + 100 + 3, &h), nullptr);
}

// Seeks in indexed data go to the indexed frame's offset, whatever the Xing table estimates; a
// frame the Xing header promises beyond the frames the data holds is the end of the data.
TEST(CoreOpen, SeeksThroughTheIndexAndPastItToTheEndOfTheData) {
    {
        Opened o(synth_stream(100));
        ASSERT_EQ(o.result, MP3_OK);
        ASSERT_EQ(o.index(), 1);
        EXPECT_EQ(o.c->index.frames, 100);
        EXPECT_EQ(mpeg_core_move_frame(o.c.get(), 10, o.len, 0), 10 * 417);
        EXPECT_EQ(o.c->current_frame, 10);
        EXPECT_NE(o.c->needs_setup, 0) << "the decoder is set up again before the next frame";
        mpeg_core_rewind(o.c.get());
        EXPECT_EQ(o.c->current_frame, 0);
    }
    for (int32_t flags : {0x0F, 0x03}) {
        SCOPED_TRACE(flags & 4 ? "with the table" : "without the table");
        Opened o(ziv::xing_stream(flags, 3));
        ASSERT_EQ(o.result, MP3_OK);
        ASSERT_NE(o.c->xing, nullptr);
        EXPECT_EQ(o.c->xing->frames, 1000);
        ASSERT_EQ(o.index(), 1);
        EXPECT_EQ(o.c->index.frames, 4);
        EXPECT_EQ(mpeg_core_move_frame(o.c.get(), 3, o.len, 0), 3 * 417) << "not the table's estimate";
        EXPECT_EQ(mpeg_core_move_frame(o.c.get(), 2, o.len, 0), 2 * 417);
        EXPECT_EQ(mpeg_core_move_frame(o.c.get(), 500, o.len, 0), o.len);
        EXPECT_EQ(o.c->current_frame, 500);
        EXPECT_EQ(mpeg_core_move_frame(o.c.get(), 900, o.len, 0), o.len);
    }
}

// Junk to the end of the data, or a frame cut short, is the end of the data: the frames before
// it are handed back, in order, and the fill ends.
TEST(CoreOpen, JunkOrACutFrameEndsTheData) {
    const Bytes three = synth_stream(3), four = synth_stream(4);
    const struct Case {
        const char* what;
        Bytes data;
    } cases[] = {
        {"junk to the end", concat(three, Bytes(4000, 0))},
        {"the fourth frame cut", Bytes(four.begin(), four.end() - 200)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Opened o(k.data);
        ASSERT_EQ(o.result, MP3_OK);
        mpeg_core_decoder(o.c.get())->decode_frame = ziv::pattern_decode;
        std::vector<uint8_t> out(10 * 4608, 0xAA);
        int32_t pos = o.pos, filled = 0;
        EXPECT_EQ(mpeg_core_fill(o.c.get(), o.copy.get(), o.len, 1, &pos, out.data(),
                                int32_t(out.size()), &filled),
                  MP3_ENDED);
        ASSERT_EQ(filled, 3 * 4608);
        for (int32_t i = 0; i < filled; i += 2)
            ASSERT_EQ(out[size_t(i)], 1 + i / 4608) << "byte " << i;
        EXPECT_EQ(o.c->current_frame, 3);
    }
}

}  // namespace
