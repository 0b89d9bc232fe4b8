// Fuzz target: the in-memory player over arbitrary bytes, with Allegro's audio calls replaced by
// the test fake. Creates a player from an exact-size copy of the input, plays it with a buffer
// size the input chooses, polls it to the end (or a bound), seeks and skips, and decodes the
// whole file into a sample. Any read outside the input is caught by AddressSanitizer.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fake_allegro.h"
#include "mp3_player.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t ctl = data[0];
    std::vector<uint8_t> bytes(data + 1, data + size);
    fake_al::reset();
    Mp3Player* p = mp3_create(bytes.data(), static_cast<int32_t>(bytes.size()));
    if (!p) return 0;

    const int32_t total = mp3_total_frames(p);
    if (ctl & 1) mp3_seek_frame(p, total ? int32_t(ctl) % (total + 2) - 1 : 0);
    if (ctl & 2) mp3_skip_frames(p, int32_t(ctl >> 4) - 8);
    if (ctl & 8) {
        // Gapless with loop points and a fade: the loop's jumps back.
        mp3_set_gapless(p, 1);
        mp3_set_loop_points(p, int32_t(ctl) * 53, int32_t(ctl) * 53 + 1 + (ctl >> 3) * 211);
        mp3_fade(p, ctl, ctl >> 2);
    }
    if (mp3_play_ex(p, 2048 + 1024 * (ctl >> 5), 255, 128, 1000, ctl & 4) == 0) {
        for (int i = 0; i < 200 && mp3_is_playing(p); ++i) {
            int32_t r = mp3_poll(p);
            if (r < -4 || r > 1) std::abort();
        }
    }
    mp3_stop(p);
    if (ctl & 8) {
        SAMPLE* s = mp3_decode_all(p);
        if (s) destroy_sample(s);
    }
    mp3_destroy(p);
    return 0;
}
