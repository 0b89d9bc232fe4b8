// The decoding core over a window that grows a piece at a time, as mp3dec and the streamed
// player feed it: the PCM does not depend on where the pieces or the output buffers end, the
// gapless run is exactly the encoder's input and ends at the LAME tag's frame count, and another
// stream spliced on ends the stream at its first byte.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <mutex>
#include <set>
#include <string>

#include "core.h"
#include "mpeg_result.h"
#include "test_util.h"
#include "window.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A file of the core's input list (tests/inputs/core_inputs.txt): lame's, of a sweep and a tone.
Bytes lame(const std::string& name) { return ziv::listed_input("core_inputs.txt", name + ".mp3"); }

struct Decoded {
    Bytes pcm;
    int32_t end = 99;      // the fill's last result
    int64_t end_at = -1;   // the data offset where it stopped
};

// Decodes `data` through a core, the window fed `piece` bytes at a time (consumed bytes dropped)
// and the PCM taken `room` bytes at a time.
Decoded decode(const Bytes& data, int32_t gapless, int32_t piece, int32_t room) {
    Decoded d;
    MpegCore* c = new MpegCore;
    MpegWindow w;
    EXPECT_EQ(mpeg_core_init(c, 0, 0, 24000), 1);
    EXPECT_EQ(mpeg_window_init(&w, 64 * 1024), 1);
    mpeg_core_use_gapless(c, gapless);
    size_t fed = 0;
    int32_t pos = 0, r = MP3_NEED_MORE;
    bool open = false;
    std::vector<uint8_t> out(static_cast<size_t>(room));
    for (int guard = 0; guard < 1000000; ++guard) {
        const int32_t final = fed == data.size();
        if (!open) {
            r = mpeg_core_open(c, w.buf, w.filled, final, &pos);
            open = r == MP3_OK;
            if (open) continue;
        } else {
            int32_t filled = 0;
            r = mpeg_core_fill(c, w.buf, w.filled, final, &pos, out.data(), room, &filled);
            d.pcm.insert(d.pcm.end(), out.begin(), out.begin() + filled);
            if (r == MP3_OK) continue;
        }
        if (r != MP3_NEED_MORE) break;
        EXPECT_FALSE(final) << "MORE only while bytes are to come";
        pos -= mpeg_window_drop(&w, pos);
        const size_t n = std::min({size_t(piece), data.size() - fed, size_t(w.cap - w.filled)});
        std::memcpy(mpeg_window_end(&w), data.data() + fed, n);
        mpeg_window_grew(&w, int32_t(n));
        fed += n;
    }
    d.end = r;
    d.end_at = w.base + pos;
    mpeg_window_free(&w);
    mpeg_core_free(c);
    delete c;
    return d;
}

TEST(Core, PcmIsTheSameWhereverThePiecesAndBuffersEnd) {
    const int samples = 44100 + 333;      // as core_inputs.txt makes it
    const Bytes vbr = lame("core_vbr");  // VBR
    ASSERT_FALSE(vbr.empty());
    for (int32_t gapless : {0, -1}) {
        SCOPED_TRACE(gapless ? "gapless" : "every frame");
        const Decoded whole = decode(vbr, gapless, int32_t(vbr.size()), 1 << 22);
        EXPECT_EQ(whole.end, MP3_ENDED);
        if (gapless)
            EXPECT_EQ(whole.pcm.size(), size_t(samples) * 4) << "the encoder's input, exactly";
        else
            EXPECT_EQ(whole.pcm.size() % 4608, 0u) << "whole frames";
        for (int32_t piece : {1, 417, 5000}) {
            for (int32_t room : {4, 1000, 4608, 3 * 4608}) {
                const Decoded d = decode(vbr, gapless, piece, room);
                EXPECT_EQ(d.end, MP3_ENDED) << piece << "/" << room;
                EXPECT_TRUE(d.pcm == whole.pcm) << "pieces of " << piece << ", room " << room;
            }
        }
    }
}

TEST(Core, TheTagCountEndsTheRunAndAnotherStreamEndsTheData) {
    // 20000 and 30000 samples at 44.1 kHz, 20000 at 22.05 kHz.
    const Bytes a = lame("core_a"), b = lame("core_b"), other = lame("core_22");
    ASSERT_FALSE(a.empty() || b.empty() || other.empty());
    Bytes joined = a, spliced = a;
    joined.insert(joined.end(), b.begin(), b.end());
    spliced.insert(spliced.end(), other.begin(), other.end());
    const Decoded alone = decode(a, -1, 4096, 4608);
    EXPECT_EQ(alone.pcm.size(), 20000u * 4);
    // Gapless: the first encoding's run, whatever follows it; the run's end ends the decode.
    const Decoded j = decode(joined, -1, 4096, 4608);
    EXPECT_EQ(j.end, MP3_ENDED);
    EXPECT_TRUE(j.pcm == alone.pcm);
    EXPECT_LT(j.end_at, int64_t(a.size()) + 1);
    // Every frame: on through the second encoding, which shares the format; up to the first
    // frame of the other rate, where the data offset stops.
    EXPECT_GT(decode(joined, 0, 4096, 4608).pcm.size(), decode(a, 0, 4096, 4608).pcm.size());
    const Decoded s = decode(spliced, 0, 4096, 4608);
    EXPECT_EQ(s.end, MP3_OTHER_STREAM);
    EXPECT_EQ(s.end_at, int64_t(a.size()));
    EXPECT_TRUE(s.pcm == decode(a, 0, 4096, 4608).pcm);
    // A file cut inside its frames: the run ends with the data.
    const Bytes cut(a.begin(), a.begin() + long(a.size() / 2));
    const Decoded c = decode(cut, -1, 4096, 4608);
    EXPECT_EQ(c.end, MP3_ENDED);
    EXPECT_GT(c.pcm.size(), 0u);
    EXPECT_TRUE(std::equal(c.pcm.begin(), c.pcm.end(), alone.pcm.begin()));
}

// A core opened on data (its first frame at 0) and indexed.
MpegCore* indexed_core(const Bytes& data, int32_t gapless) {
    MpegCore* c = new MpegCore;
    EXPECT_EQ(mpeg_core_init(c, 0, 0, 24000), 1);
    mpeg_core_use_gapless(c, gapless);
    int32_t at = 0;
    EXPECT_EQ(mpeg_core_open(c, data.data(), int32_t(data.size()), 1, &at), MP3_OK);
    EXPECT_EQ(at, 0);
    EXPECT_EQ(mpeg_core_index(c, data.data(), int32_t(data.size())), 1);
    return c;
}

void delete_core(MpegCore* c) {
    mpeg_core_free(c);
    delete c;
}

// Layer III frame f of MPEG-1 stereo data with a side information the decoder rejects (the first
// granule's big_values above 288): the frame is stepped over, the next decoded in its place.
Bytes with_rejected_frame(const Bytes& data, int32_t f) {
    MpegCore* c = indexed_core(data, 0);
    Bytes d = data;
    const size_t at = size_t(c->index.offsets[f]);
    const size_t side = at + 4 + ((d[at + 1] & 1) ? 0 : 2);  // after the header and any CRC
    // main_data_begin 9 bits, private 3, scfsi 8, part2_3_length 12: big_values at bit 32.
    d[side + 4] = 0xFF;
    d[side + 5] |= 0x80;
    delete_core(c);
    return d;
}

// A range decoded a piece at a time is the range decoded whole, whatever the piece (one frame,
// a few, more than the range), each piece handed on at its offset in the range; a sink that
// stops the decode makes it fail.
TEST(Core, DecodePiecesIsTheRangeDecodeWhateverThePiece) {
    const Bytes vbr = lame("pieces_vbr");  // 44100 * 3 + 333 samples, VBR
    ASSERT_FALSE(vbr.empty());
    const int32_t len = int32_t(vbr.size());
    struct Sink {
        Bytes pcm;
        int32_t pieces = 0, stop_after = -1;
        static int32_t put(void* ctx, uint8_t* p, int64_t at, int32_t n) {
            Sink* s = static_cast<Sink*>(ctx);
            EXPECT_EQ(at, int64_t(s->pcm.size()));
            s->pcm.insert(s->pcm.end(), p, p + n);
            return ++s->pieces == s->stop_after ? 0 : 1;
        }
    };
    for (int32_t gapless : {0, -1}) {
        MpegCore* c = indexed_core(vbr, gapless);
        const int32_t frames = c->index.frames;
        const int32_t ranges[][2] = {{0, 40}, {57, 100}, {frames - 20, frames}};
        for (const auto& r : ranges) {
            SCOPED_TRACE(std::to_string(r[0]) + ".." + std::to_string(r[1]) +
                         (gapless ? " gapless" : ""));
            Bytes whole(size_t(mpeg_core_range_bytes(c, r[0], r[1])), 0x55);
            ASSERT_EQ(mpeg_core_decode_range(c, vbr.data(), len, r[0], r[1], whole.data()), 1);
            for (int32_t piece : {1, 3, 64}) {
                Bytes buf(size_t(piece) * size_t(c->frame_pcm_bytes), 0x55);
                Sink sink;
                EXPECT_EQ(mpeg_core_decode_pieces(c, vbr.data(), len, r[0], r[1], piece, buf.data(),
                                                  Sink::put, &sink),
                          1);
                EXPECT_TRUE(sink.pcm == whole) << piece << " frames a piece";
            }
            Bytes buf(size_t(c->frame_pcm_bytes), 0x55);
            Sink stops;
            stops.stop_after = 1;
            EXPECT_EQ(mpeg_core_decode_pieces(c, vbr.data(), len, r[0], r[1], 1, buf.data(),
                                              Sink::put, &stops),
                      0);
        }
        delete_core(c);
    }
}

// What a whole-data decode handed to its sink: the pieces, each copied at its place.
struct Placed {
    Bytes pcm;
    std::vector<std::pair<int64_t, int32_t>> pieces;
    std::mutex lock;
    int32_t stop_after = -1;
    static int32_t put(void* ctx, uint8_t* p, int64_t at, int32_t n) {
        Placed* s = static_cast<Placed*>(ctx);
        const std::lock_guard<std::mutex> hold(s->lock);
        if (s->pcm.size() < size_t(at + n)) s->pcm.resize(size_t(at + n), 0x55);
        std::copy(p, p + n, s->pcm.begin() + at);
        s->pieces.emplace_back(at, n);
        return int32_t(s->pieces.size()) == s->stop_after ? 0 : 1;
    }
    // Whether the pieces cover [0, bytes) exactly once (past it, pieces of frames that could not
    // be joined may have been given too: the reads from there write over them).
    bool tile(int64_t bytes) {
        std::sort(pieces.begin(), pieces.end());
        int64_t at = 0;
        for (const auto& q : pieces) {
            if (q.first >= bytes && at == bytes) break;
            if (q.first != at || q.second <= 0) return false;
            at += q.second;
        }
        return at == bytes;
    }
};

// The whole data on several threads: the calling core decodes from the start, the others take
// segments from the end, each decoded from a seek to its first frame; the frames given, then the
// rest read by the calling core from where it was left, are the one-core decode byte for byte,
// gapless or not, in Layer III (a VBR file with its Xing frame) and Layer II, with frames whose
// main data was zeroed (the reservoir then carries garbage across a segment's start), a file cut
// inside its last frame, and a frame in the middle that the decoder rejects (every frame after it
// comes one place early: the join stops before it). Straight into memory (a room too small for
// the whole takes the frames that fit), or a piece at a time to a sink that gets every byte once;
// a sink that stops the decode stops it.
TEST(Core, DecodeAllOnSeveralThreadsIsTheOneCoreDecode) {
    // 44100 * 30 + 777 samples, by lame (VBR) and by twolame.
    const Bytes vbr = lame("par_vbr");
    ASSERT_FALSE(vbr.empty());
    const Bytes l2 = ziv::listed_input("core_inputs.txt", "par.mp2");
    ASSERT_FALSE(l2.empty());
    Bytes zeroed = vbr;
    const long third = long(zeroed.size() / 3);
    std::fill(zeroed.begin() + third, zeroed.begin() + third + 1500, 0);
    const Bytes cut(vbr.begin(), vbr.end() - 200);
    const Bytes rejected = with_rejected_frame(vbr, 700);
    struct Case { const char* name; const Bytes* data; bool joins_all; };
    const Case cases[] = {{"vbr", &vbr, true},
                          {"layer2", &l2, true},
                          {"zeroed", &zeroed, true},
                          {"cut", &cut, true},
                          {"rejected", &rejected, false}};
    for (const Case& k : cases) {
        for (int32_t gapless : {0, -1}) {
            SCOPED_TRACE(std::string(k.name) + (gapless ? " gapless" : " every frame"));
            const Bytes& data = *k.data;
            const Decoded want = decode(data, gapless, int32_t(data.size()), 1 << 22);
            const int32_t len = int32_t(data.size());
            // The rest, read as usual from where the run left the core.
            auto rest = [&](MpegCore* c, int32_t pos, Bytes* pcm, int64_t at) {
                ASSERT_EQ(mpeg_core_prepare(c, data.data(), len), 1);
                pcm->resize(size_t(at));
                Bytes buf(1 << 16);
                int32_t r;
                do {
                    int32_t filled = 0;
                    r = mpeg_core_fill(c, data.data(), len, 1, &pos, buf.data(),
                                       int32_t(buf.size()), &filled);
                    pcm->insert(pcm->end(), buf.begin(), buf.begin() + filled);
                } while (r == MP3_OK);
            };
            // Into memory, on each count of threads.
            for (int32_t threads : {1, 2, 7, 0}) {
                SCOPED_TRACE(std::to_string(threads) + " threads");
                MpegCore* c = indexed_core(data, gapless);
                const int32_t frames = c->index.frames;
                Bytes got(size_t(mpeg_core_range_bytes(c, 0, frames)), 0x55);
                int32_t pos = -1;
                const int32_t n = mpeg_core_decode_run(c, data.data(), len, threads, got.data(),
                                                       int64_t(got.size()), nullptr, nullptr, &pos);
                ASSERT_GE(n, 0);
                if (k.joins_all) {
                    EXPECT_GT(n, frames - 16) << "the run reaches the last frames";
                }
                EXPECT_EQ(pos, n < frames ? c->index.offsets[n] : len);
                rest(c, pos, &got, mpeg_core_range_bytes(c, 0, n));
                EXPECT_TRUE(got == want.pcm);
                delete_core(c);
            }
            // A room of a third takes the frames whose PCM fits it.
            MpegCore* c = indexed_core(data, gapless);
            Bytes small(want.pcm.size() / 3, 0x55);
            int32_t pos = -1;
            const int32_t m = mpeg_core_decode_run(c, data.data(), len, 3, small.data(),
                                                   int64_t(small.size()), nullptr, nullptr, &pos);
            EXPECT_LE(mpeg_core_range_bytes(c, 0, m), int64_t(small.size()));
            EXPECT_GT(mpeg_core_range_bytes(c, 0, m + 1), int64_t(small.size()));
            EXPECT_TRUE(std::equal(small.begin(), small.begin() + mpeg_core_range_bytes(c, 0, m),
                                   want.pcm.begin()));
            delete_core(c);
            // Through a sink, from every thread.
            c = indexed_core(data, gapless);
            Placed placed;
            const int32_t p = mpeg_core_decode_run(c, data.data(), len, 2, nullptr, 0, Placed::put,
                                                   &placed, &pos);
            ASSERT_GE(p, 0);
            const int64_t given = mpeg_core_range_bytes(c, 0, p);
            EXPECT_TRUE(placed.tile(given)) << "every byte of the run given once";
            rest(c, pos, &placed.pcm, given);
            EXPECT_TRUE(placed.pcm == want.pcm);
            delete_core(c);
            c = indexed_core(data, gapless);
            Placed stops;
            stops.stop_after = 3;
            EXPECT_EQ(mpeg_core_decode_run(c, data.data(), len, 2, nullptr, 0, Placed::put, &stops,
                                           &pos),
                      -1);
            delete_core(c);
        }
    }
}

// The results the players and the core share: each value has its own text (the values that share
// -1 share one), and unknown values are said to be so.
TEST(Results, EveryCodeHasItsOwnText) {
    const int32_t codes[] = {MP3_OK, MP3_ENDED, MP3_NOT_PLAYING, MP3_NO_FRAME, MP3_DATA_LATE,
                             MP3_SETUP_FAILED, MP3_NEED_MORE, MP3_OTHER_STREAM};
    std::set<std::string> texts;
    for (int32_t r : codes) texts.insert(mpeg_result_text(r));
    EXPECT_EQ(texts.size(), std::size(codes));
    EXPECT_EQ(texts.count("unknown result"), 0u);
    EXPECT_STREQ(mpeg_result_text(-99), "unknown result");
    EXPECT_STREQ(mpeg_result_text(MP3_BAD_BUFFER), mpeg_result_text(MP3_NOT_PLAYING));
    EXPECT_EQ(mpeg_version() / 10000, ZIV_VERSION_MAJOR_TEST);
}

}  // namespace
