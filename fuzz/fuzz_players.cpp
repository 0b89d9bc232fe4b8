// Differential fuzz target: the in-memory player, the streamed player (fed in blocks of a size
// the input chooses) and the frame-synchronised walk over the whole data (as mp3dec decodes)
// turn the same bytes into the same PCM. Allegro's audio calls are the test fake. The first
// three bytes choose the block size and the stream buffer size; the rest is the data.
//
// The reference is the frame-synchronised walk from the first byte: the players follow the
// same rules (a frame found after lost bytes counts only when the next header confirms it).
// The in-memory player must hand back exactly its samples, then silence.
// The streamed player must hand back the same samples for every frame it decoded, then
// silence, and all of them when it reached the end of the data; it may stop early only where
// it waits for more data than a block join holds. Inputs with tags
// of any kind are left out: the two players find tags in different places by design (the
// in-memory player cuts the trailing ones first, and a Lyrics3 tag counts only where its end
// marker lies in the bytes at hand, which for the streamed player is its block join). So are
// inputs holding a header anywhere whose frame, with the next header, may not fit in a join
// from where it starts: the streamed player cannot tell such a frame and searches past it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decoder_state.h"
#include "fake_allegro.h"
#include "frame_sync.h"
#include "mp3_player.h"
#include "mp3_stream_player.h"

namespace {

constexpr int kMaxFrames = 2000;
MpegDecoder g_decoder;  // large: keep it off the stack

bool has(const std::vector<uint8_t>& v, const char* s) {
    return std::search(v.begin(), v.end(), s, s + std::strlen(s)) != v.end();
}

// Every handed-back buffer since the last reset, as signed samples.
std::vector<int16_t> handed() {
    std::vector<int16_t> all;
    for (const std::vector<uint8_t>& b : fake_al::st().handed) {
        std::vector<int16_t> s = fake_al::signed_samples(b);
        all.insert(all.end(), s.begin(), s.end());
    }
    return all;
}

// `got` holds ref's first `k` samples, then silence only.
void expect_prefix(const std::vector<int16_t>& got, const std::vector<int16_t>& ref, size_t k) {
    if (k > ref.size()) std::abort();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i] != (i < k ? ref[i] : 0)) std::abort();
    if (got.size() < k) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const int32_t block = 64 + ((data[0] << 8 | data[1]) % 8192);
    const int32_t buffer = 2048 + 1024 * (data[2] & 7);
    std::vector<uint8_t> bytes(data + 3, data + size);
    const int32_t n = static_cast<int32_t>(bytes.size());
    if (bytes[0] != 0xFF) return 0;
    for (const char* tag : {"TAG", "ID3", "3DI", "APETAGEX", "LYRICSBEGIN"})
        if (has(bytes, tag)) return 0;
    // A frame starting anywhere in the older block of a join fits, with the 4 bytes of the next
    // header, when it is at most block - 3 bytes long (free-format sizes are not searched here).
    for (int32_t i = 0; i + 4 <= n; ++i) {
        MpegHeader any;
        const int32_t size = mpeg_header_parse(&bytes[size_t(i)], 4, &any);
        if (size > 0 && size + any.padding_bit * (any.layer == 3 ? 4 : 1) > block - 3) return 0;
    }

    // The reference: the frame-synchronised walk with the players' set-up.
    MpegSync sync;
    mpeg_sync_init(&sync);
    MpegHeader h;
    int32_t frame_bytes = 0, rate = 0, pos = 0;
    if (mpeg_sync_lock(&sync, bytes.data(), n, 1, &pos, &h, &frame_bytes, &rate) != MPEG_SYNC_FRAME ||
        pos != 0)
        return 0;
    // A free-format stream's frame size is searched for in the bytes at hand: the whole data
    // here, the two blocks of its join in the streamed player, which may find another size where
    // the distances between the sync words vary. Left out, as the longer frames are above.
    if (h.bitrate_index == 0) return 0;
    MpegDecoder& d = g_decoder;
    if (!mpeg_decoder_init(&d, 1)) return 0;
    if (!mpeg_decoder_setup(&d, &h, frame_bytes, 0, 0, 0, 24000)) {
        mpeg_decoder_free(&d);
        return 0;
    }
    std::vector<int16_t> ref;
    std::vector<uint8_t> pcm(size_t(d.out_bytes));
    mpeg_sync_restart(&sync, 1);
    for (int f = 0; f < kMaxFrames; ++f) {
        MpegInOut io{0, 0};
        if (mpeg_sync_decode(&sync, &d, bytes.data(), n, 1, &pos, pcm.data(), &io) != MPEG_SYNC_FRAME)
            break;
        const size_t at = ref.size();
        ref.resize(at + size_t(io.out_bytes) / 2);
        std::memcpy(&ref[at], pcm.data(), size_t(io.out_bytes));
    }
    const size_t frame_samples = size_t(d.out_samples);
    mpeg_decoder_free(&d);

    // The in-memory player.
    fake_al::reset();
    if (Mp3Player* p = mp3_create(bytes.data(), n)) {
        if (mp3_play(p, buffer, 255, 128) == 0) {
            int32_t r = 0;
            for (int i = 0; i < kMaxFrames && mp3_is_playing(p); ++i) r = mp3_poll(p);
            if (!mp3_is_playing(p) && r != -4) expect_prefix(handed(), ref, ref.size());
        }
        mp3_destroy(p);
    }

    // The streamed player, block by block as it asks.
    fake_al::reset();
    size_t fed = std::min<size_t>(size_t(n), size_t(block));
    std::vector<uint8_t> first(bytes.begin(), bytes.begin() + long(fed));
    Mp3StreamPlayer* s = mp3s_create(first.data(), int32_t(first.size()), fed == size_t(n) ? -1 : 0);
    if (s) {
        if (mp3s_play(s, buffer, 255, 128) == 0) {
            int32_t r = 0;
            for (int i = 0; i < kMaxFrames && mp3s_is_playing(s); ++i) {
                if (uint8_t* dst = mp3s_next_block(s)) {
                    size_t k = std::min<size_t>(size_t(n) - fed, size_t(block));
                    std::memcpy(dst, bytes.data() + fed, k);
                    fed += k;
                    mp3s_give_block(s, fed == size_t(n) ? int32_t(k) : -1);
                }
                r = mp3s_poll(s);
            }
            if (!mp3s_is_playing(s)) {
                const size_t k = size_t(mp3s_current_frame(s)) * frame_samples;
                expect_prefix(handed(), ref, k);
                if (r != -3 && k != ref.size()) std::abort();
            }
        }
        mp3s_destroy(s);
    }
    return 0;
}
