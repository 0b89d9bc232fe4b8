// The fake Allegro calls and their record. One stream at a time, like the players use them.
#include "fake_allegro.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace fake_al {
namespace {

struct FakeStream {
    AUDIOSTREAM as;
    SAMPLE samp;
    std::vector<uint8_t> data; // two buffers
    int buffer_bytes;
    int locked; // -1 none, else the buffer handed out
};

State g_state;
FakeStream* g_stream = nullptr;
std::recursive_mutex g_mutex;       // the record and the stream
std::recursive_mutex g_timer_mutex; // Allegro's timer lock: held around every timer callback and
                                    // by install_param_int and remove_param_int
std::thread g_timer_thread;
std::atomic<bool> g_timer_running{false};

FakeStream* fake_of(AUDIOSTREAM* s) {
    if (!g_stream || s != &g_stream->as) {
        ++g_state.errors;
        return nullptr;
    }
    return g_stream;
}

}  // namespace

State& st() { return g_state; }

void reset() {
    delete g_stream;
    g_stream = nullptr;
    g_state = State();
}

void fire_timers() {
    std::lock_guard<std::recursive_mutex> timers(g_timer_mutex);
    std::vector<Timer> now;
    {
        std::lock_guard<std::recursive_mutex> lock(g_mutex);
        now = g_state.timers;
    }
    for (const Timer& t : now) {
        // A timer removed by an earlier callback of this round is not called.
        bool live = false;
        {
            std::lock_guard<std::recursive_mutex> lock(g_mutex);
            for (const Timer& u : g_state.timers) live |= u.proc == t.proc && u.param == t.param;
        }
        if (live) t.proc(t.param);
    }
}

void start_timer_thread() {
    g_timer_running = true;
    g_timer_thread = std::thread([] {
        while (g_timer_running) {
            fire_timers();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

void with_lock(const std::function<void()>& f) {
    std::lock_guard<std::recursive_mutex> lock(g_mutex);
    f();
}

void stop_timer_thread() {
    g_timer_running = false;
    if (g_timer_thread.joinable()) g_timer_thread.join();
}

int buffer_bytes() { return g_stream ? g_stream->buffer_bytes : 0; }

std::vector<int16_t> signed_samples(const std::vector<uint8_t>& buf) {
    std::vector<int16_t> v(buf.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) {
        uint16_t u;
        std::memcpy(&u, &buf[2 * i], 2);
        v[i] = static_cast<int16_t>(u ^ 0x8000u);
    }
    return v;
}

}  // namespace fake_al

using fake_al::g_state;
using fake_al::g_stream;
using Lock = std::lock_guard<std::recursive_mutex>;

AUDIOSTREAM* play_audio_stream(int len, int bits, int stereo, int freq, int vol, int pan) {
    Lock lock(fake_al::g_mutex);
    ++g_state.plays;
    g_state.calls.push_back("play");
    g_state.len = len;
    g_state.bits = bits;
    g_state.stereo = stereo;
    g_state.freq = freq;
    g_state.vol = vol;
    g_state.pan = pan;
    if (g_state.fail_stream) return nullptr;
    if (g_stream) ++g_state.errors; // a second stream while one plays
    delete g_stream;
    g_stream = new fake_al::FakeStream();
    g_stream->buffer_bytes = len * (bits / 8) * (stereo ? 2 : 1);
    g_stream->data.assign(size_t(g_stream->buffer_bytes) * 2, 0x5a);
    g_stream->samp.bits = bits;
    g_stream->samp.stereo = stereo;
    g_stream->samp.freq = freq;
    g_stream->samp.len = static_cast<unsigned long>(len) * 2;
    g_stream->samp.data = g_stream->data.data();
    g_stream->as.samp = &g_stream->samp;
    g_stream->as.len = len;
    g_stream->as.bufnum = 0;
    g_stream->locked = -1;
    g_state.stream = &g_stream->as;
    return &g_stream->as;
}

void stop_audio_stream(AUDIOSTREAM* s) {
    Lock lock(fake_al::g_mutex);
    ++g_state.stops;
    g_state.calls.push_back("stop");
    if (!fake_al::fake_of(s)) return;
    delete g_stream;
    g_stream = nullptr;
    g_state.stream = nullptr;
}

void* get_audio_stream_buffer(AUDIOSTREAM* s) {
    Lock lock(fake_al::g_mutex);
    ++g_state.gets;
    fake_al::FakeStream* f = fake_al::fake_of(s);
    if (!f || !g_state.buffer_free) return nullptr;
    if (f->locked >= 0) ++g_state.errors;
    f->locked = s->bufnum;
    uint8_t* b = f->data.data() + size_t(f->buffer_bytes) * size_t(s->bufnum);
    std::memset(b, 0x5a, size_t(f->buffer_bytes)); // stale contents the player must overwrite
    return b;
}

void free_audio_stream_buffer(AUDIOSTREAM* s) {
    Lock lock(fake_al::g_mutex);
    ++g_state.frees;
    fake_al::FakeStream* f = fake_al::fake_of(s);
    if (!f) return;
    if (f->locked < 0) {
        ++g_state.errors; // handed back twice
        return;
    }
    const uint8_t* b = f->data.data() + size_t(f->buffer_bytes) * size_t(f->locked);
    g_state.handed.emplace_back(b, b + f->buffer_bytes);
    f->locked = -1;
    s->bufnum ^= 1;
}

void adjust_sample(const SAMPLE*, int vol, int pan, int freq, int loop) {
    Lock lock(fake_al::g_mutex);
    ++g_state.adjusts;
    g_state.adj_vol = vol;
    g_state.adj_pan = pan;
    g_state.adj_freq = freq;
    g_state.adj_loop = loop;
}

int install_param_int(void (*proc)(void*), void* param, long speed) {
    Lock timers(fake_al::g_timer_mutex);
    Lock lock(fake_al::g_mutex);
    ++g_state.installs;
    g_state.calls.push_back("install");
    for (fake_al::Timer& t : g_state.timers)
        if (t.proc == proc && t.param == param) {
            t.ms = speed;
            return 0;
        }
    g_state.timers.push_back({proc, param, speed});
    return 0;
}

void remove_param_int(void (*proc)(void*), void* param) {
    Lock timers(fake_al::g_timer_mutex);
    Lock lock(fake_al::g_mutex);
    ++g_state.removes;
    g_state.calls.push_back("remove");
    for (size_t i = 0; i < g_state.timers.size(); ++i)
        if (g_state.timers[i].proc == proc && g_state.timers[i].param == param) {
            g_state.timers.erase(g_state.timers.begin() + long(i));
            return;
        }
}

SAMPLE* create_sample(int bits, int stereo, int freq, int len) {
    Lock lock(fake_al::g_mutex);
    if (len <= 0) return nullptr;
    SAMPLE* s = static_cast<SAMPLE*>(std::calloc(1, sizeof(SAMPLE)));
    if (!s) return nullptr;
    s->bits = bits;
    s->stereo = stereo;
    s->freq = freq;
    s->len = static_cast<unsigned long>(len);
    s->data = std::malloc(size_t(len) * size_t(bits / 8) * (stereo ? 2 : 1));
    std::memset(s->data, 0x5a, size_t(len) * size_t(bits / 8) * (stereo ? 2 : 1));
    ++g_state.live_samples;
    return s;
}

void destroy_sample(SAMPLE* s) {
    Lock lock(fake_al::g_mutex);
    if (!s) return;
    --g_state.live_samples;
    std::free(s->data);
    std::free(s);
}
