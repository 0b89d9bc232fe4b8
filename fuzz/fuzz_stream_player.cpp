// Fuzz target: the streamed player fed in blocks whose size the input chooses, with Allegro's
// audio calls replaced by the test fake. The first two bytes choose the block size and how the
// last block ends, and (the low bit) whether the player loops between loop points they choose,
// fades and seeks; the rest is the stream, handed over block by block at the offsets the player
// names.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_allegro.h"
#include "mp3_stream_player.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int32_t block = 64 + ((data[0] << 8 | data[1]) % 8192);
    const uint8_t* src = data + 2;
    const size_t n = size - 2;

    fake_al::reset();
    const size_t fed = std::min<size_t>(n, size_t(block));
    std::vector<uint8_t> first(src, src + fed);
    const bool last = fed == n;
    Mp3StreamPlayer* p = mp3s_create(first.data(), static_cast<int32_t>(first.size()), last ? -1 : 0);
    if (!p) return 0;
    const bool games = (data[1] & 1) != 0;
    if (games) {
        mp3s_set_gapless(p, 1);
        mp3s_set_loop(p, 1);
        mp3s_set_loop_points(p, data[0] * 37, data[0] * 37 + 1 + data[1] * 101);
        mp3s_fade(p, data[1], data[0]);
    }
    if (mp3s_play(p, 4608, 255, 128) == 0) {
        for (int i = 0; i < 300 && mp3s_is_playing(p); ++i) {
            uint8_t* dst = mp3s_next_block(p);
            const int32_t off = mp3s_next_block_offset(p);
            if (dst && off >= 0 && size_t(off) < n) {
                const size_t k = std::min<size_t>(n - size_t(off), size_t(block));
                std::memcpy(dst, src + off, k);
                mp3s_give_block(p, size_t(off) + k == n ? static_cast<int32_t>(k) : -1);
            }
            if (games && i % 50 == 49) mp3s_seek_ms(p, i * 7);
            int32_t r = mp3s_poll(p);
            if (r < -3 || r > 1) std::abort();
        }
    }
    mp3s_destroy(p);
    return 0;
}
