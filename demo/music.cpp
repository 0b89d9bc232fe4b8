// The soundtrack's start and stop points of the timeline: one in-memory player over the MP3
// bytes of data file object 3, polling itself every 25 ms from Allegro's timer thread. The
// automatic poll is installed last and removed first, so the timer thread only ever sees a
// player that is fully set up and playing. Without a player (no MPEG audio, no memory) or
// without a stream (no sound driver) the timeline runs the same, in silence.
#include "demo.h"

#include "mp3_player.h"

namespace {

Mp3Player* music = nullptr;

}  // namespace

int start_music() {
    music = mp3_create(data[3].dat, static_cast<int32_t>(data[3].size));
    if (!music) return 0;
    mp3_play(music, 16384, 255, 128);
    mp3_start_autopoll(music, 25);
    return 0;
}

void stop_music() {
    if (!music) return;
    mp3_stop_autopoll(music);
    mp3_destroy(music);
    music = nullptr;
}
