// Shared player glue: the unsigned conversion, a fade's arguments, the hand-back of a filled
// stream buffer, the stream's start and stop, the silent tail and the Allegro timer hooks behind
// automatic polling.
#include "player_common.h"

#include <cstring>

#include <allegro.h>


void mp3_to_unsigned(void* buf, int32_t bytes) {
    uint8_t* p = static_cast<uint8_t*>(buf);
    int32_t words = bytes / 4;
    for (int32_t i = 0; i < words; ++i, p += 4) {
        uint32_t w;
        std::memcpy(&w, p, 4);
        w ^= 0x80008000u;
        std::memcpy(p, &w, 4);
    }
    // A buffer of an odd number of 16-bit samples keeps its last one signed otherwise.
    if (bytes & 2) {
        uint16_t s;
        std::memcpy(&s, p, 2);
        s ^= 0x8000u;
        std::memcpy(p, &s, 2);
    }
}

int32_t mp3_fade_args(int32_t volume, int32_t ms, int32_t frequency, int32_t* gain,
                      int64_t* samples) {
    if (volume < 0 || volume > 255 || ms < 0) return -1;
    *gain = int32_t(volume == 255 ? MPEG_CORE_UNITY : int64_t(volume) * MPEG_CORE_UNITY / 255);
    *samples = frequency > 0 ? int64_t(ms) * frequency / 1000 : 0;
    return 0;
}

void mp3_hand_back(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits) {
    if (bits == 16) mp3_to_unsigned(buf, bytes);
    free_audio_stream_buffer(stream);
}

void mp3_timer_install(Mp3TimerProc proc, void* param, int32_t ms) {
    install_param_int(proc, param, ms);
}

void mp3_timer_remove(Mp3TimerProc proc, void* param) { remove_param_int(proc, param); }

AUDIOSTREAM* mp3_open_stream(const Mp3Format& f, int32_t fpb, int32_t vol, int32_t pan,
                             int32_t speed) {
    // The stream's buffer length, in samples per channel, is exactly fpb frames.
    const int32_t samples = fpb * f.frame_pcm_bytes / mp3_sample_bytes(f);
    AUDIOSTREAM* s = play_audio_stream(samples, f.bits, f.stereo, f.frequency, vol, pan);
    if (s && speed != 1000) adjust_sample(s->samp, vol, pan, speed, TRUE);
    return s;
}

void mp3_close_stream(AUDIOSTREAM* stream) { stop_audio_stream(stream); }

void mp3_adjust_stream(AUDIOSTREAM* stream, int32_t vol, int32_t pan, int32_t speed) {
    adjust_sample(stream->samp, vol, pan, speed, TRUE);
}

void* mp3_stream_data(AUDIOSTREAM* stream) { return stream->samp->data; }

int32_t mp3_tail_poll(AUDIOSTREAM* stream, void* buf, int32_t bytes, int32_t bits,
                      int32_t* tail_polls) {
    if (*tail_polls <= 0) return -1;
    mp3_hand_back(stream, buf, bytes, bits);
    return --*tail_polls > 0 ? 0 : 1;
}
