// Fuzz target: the decoding core through its public calls (mpeg_core.h) over arbitrary bytes. The
// first byte chooses gapless on or off, the size of the pieces fed and the size of the reads; the
// rest is the data. Decoded from an exact-size copy in memory and fed in pieces (the reads after
// every piece), it must give the same PCM and the same end result: where the pieces end changes
// nothing. Then the core in memory seeks and reads again. Any read outside the input is caught by
// AddressSanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mpeg_core.h"

namespace {

int32_t drain(MpegCore* c, int32_t room, std::vector<uint8_t>* pcm) {
    std::vector<uint8_t> out(static_cast<size_t>(room));
    int32_t r, n = 0;
    for (int i = 0; i < 100000; ++i) {
        r = mpeg_core_read(c, out.data(), room, &n);
        if (n < 0 || n > room) std::abort();
        pcm->insert(pcm->end(), out.begin(), out.begin() + n);
        if (r != MP3_OK) return r;
    }
    return MP3_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    const uint8_t ctl = data[0];
    const int32_t gapless = ctl & 1;
    const int32_t piece = 1 + ((ctl >> 1) & 7) * 613;      // 1 to 4292 bytes
    const int32_t room = 1 + ((ctl >> 4) & 15) * 397;      // 1 to 5956 bytes
    std::vector<uint8_t> bytes(data + 1, data + size);
    const int32_t len = static_cast<int32_t>(bytes.size());

    MpegCore* m = mpeg_core_create(0, 0, 24000);
    MpegCore* f = mpeg_core_create(0, 0, 24000);
    if (!m || !f) std::abort();
    mpeg_core_set_gapless(m, gapless);
    mpeg_core_set_gapless(f, gapless);

    std::vector<uint8_t> from_memory, fed;
    int32_t rm = mpeg_core_set_data(m, bytes.data(), len);
    if (rm == MP3_OK) rm = drain(m, room, &from_memory);

    int32_t rf = MP3_NEED_MORE;
    for (int32_t at = 0; at < len && rf == MP3_NEED_MORE; at += piece) {
        const int32_t n = len - at < piece ? len - at : piece;
        if (mpeg_core_feed(f, bytes.data() + at, n) != n) std::abort();
        rf = drain(f, room, &fed);
    }
    mpeg_core_feed_end(f);
    if (rf == MP3_NEED_MORE) rf = drain(f, room, &fed);
    if (rf == MP3_NEED_MORE) std::abort();  // the feed ended: nothing more can come
    // The same end and the same PCM (a set-up that failed in memory fails fed too).
    if (rm != rf || from_memory != fed) std::abort();

    MpegOutputFormat fm;
    if (mpeg_core_get_format(m, &fm) == MP3_OK) {
        if (mpeg_core_length_ms(m) < 0) std::abort();
        mpeg_core_seek_ms(m, ctl * 37);
        std::vector<uint8_t> rest;
        drain(m, room, &rest);
    }
    mpeg_core_destroy(m);
    mpeg_core_destroy(f);
    return 0;
}
