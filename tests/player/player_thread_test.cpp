// Both players as a game uses them: the automatic poll on a real timer thread (the fake's, which
// behaves as Allegro's), and the main thread seeking, skipping, rewinding, adjusting, stopping
// and playing, asking for positions, or feeding blocks, all the while. Run in the ThreadSanitizer
// build, which reports any data race; here the results must stay those of single-threaded use.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "player_state.h"
#include "stream_state.h"
#include "player_test_util.h"

namespace {

class PlayerThreads : public ptest::FakeAllegro {
protected:
    void SetUp() override {
        FakeAllegroTest::SetUp();
        ZIV_REQUIRE_TOOL("lame");
        data_ = ptest::lame_file("threads", "44.1", 44100, 2, 4.0, "-V 4");
        ASSERT_FALSE(data_.empty());
        fake_al::start_timer_thread();
    }
    void TearDown() override {
        fake_al::stop_timer_thread();
        FakeAllegroTest::TearDown();
    }
    std::vector<uint8_t> data_;
};

// The number of buffers handed back so far, read under the fake's lock.
size_t handed() {
    size_t n = 0;
    fake_al::with_lock([&] { n = fake_al::st().handed.size(); });
    return n;
}

TEST_F(PlayerThreads, ControlCallsWhileTheTimerPolls) {
    Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
    ASSERT_NE(p, nullptr);
    mp3_start_autopoll(p, 1);
    ASSERT_EQ(mp3_play_ex(p, 16384, 255, 128, 1000, 1), 0);
    const int32_t total = mp3_total_frames(p);
    for (int i = 0; i < 3000; ++i) {
        switch (i % 8) {
        case 0: mp3_seek_frame(p, (i * 7) % total); break;
        case 1: mp3_skip_frames(p, 3); break;
        case 2: mp3_seek_ms(p, i % 3000); break;
        case 3: if (i % 64 == 3) mp3_rewind(p); break;
        case 4:
            mp3_adjust(p, 200, 128, 1000, 1);
            EXPECT_EQ(mp3_fade(p, (i * 13) % 256, i % 50), 0);
            if (i % 200 == 4) {
                EXPECT_EQ(mp3_set_loop_points(p, 1000 + i, 50000 + i), 0);
            }
            break;
        case 5:
            if (i % 40 == 5) {
                mp3_stop(p);
                // A poll in progress has finished: nothing is handed back after the stop.
                const size_t n = handed();
                std::this_thread::yield();
                EXPECT_EQ(handed(), n);
                EXPECT_EQ(mp3_play_ex(p, 16384, 255, 128, 1000, 1), 0);
            }
            break;
        case 6: EXPECT_LE(mp3_position_ms(p), mp3_length_ms(p)); break;
        default:
            EXPECT_GE(mp3_current_frame(p), 0);
            EXPECT_LE(mp3_current_frame(p), total);
            break;
        }
        if (i % 16 == 0) std::this_thread::yield();
    }
    // The control calls may have kept every tick away; left alone, the timer polls.
    for (int k = 0; k < 5000 && handed() == 0; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(handed(), 0u) << "the timer polled";
    mp3_destroy(p);
}

TEST_F(PlayerThreads, BlocksFedWhileTheTimerPolls) {
    const int32_t block = 4096;
    std::vector<uint8_t> first(data_.begin(), data_.begin() + block);
    Mp3StreamPlayer* p = mp3s_create(first.data(), block, 0);
    ASSERT_NE(p, nullptr);
    mp3s_start_autopoll(p, 1);
    ASSERT_EQ(mp3s_play(p, 16384, 255, 128), 0);
    size_t at = size_t(block);
    // Feed until the last block is in; an underrun (a stopped player) is played on.
    for (int i = 0; i < 2000000 && (at < data_.size() || mp3s_is_playing(p)); ++i) {
        if (uint8_t* nb = mp3s_next_block(p); nb && at < data_.size()) {
            const size_t n = std::min(size_t(block), data_.size() - at);
            std::memcpy(nb, data_.data() + at, n);
            at += n;
            mp3s_give_block(p, at == data_.size() ? int32_t(n) : -1);
        }
        if (!mp3s_is_playing(p) && at < data_.size()) mp3s_play(p, 16384, 255, 128);
        if (i % 97 == 0) {
            EXPECT_EQ(mp3s_fade(p, (i * 7) % 256, i % 40), 0);
        }
        EXPECT_GE(mp3s_position_ms(p), 0);
        std::this_thread::yield();
    }
    EXPECT_EQ(at, data_.size()) << "every block was taken";
    EXPECT_EQ(mp3s_is_playing(p), 0) << "played to its end";
    EXPECT_GT(mp3s_current_frame(p), 100);
    mp3s_destroy(p);
}

// A game's own timer callback that reads the players' positions (a beat counter), installed
// beside their automatic polls. Allegro runs both under its timer lock, which install_param_int
// and remove_param_int take too: a player call that waited for that lock while holding the
// player's lock would deadlock with the beat counter waiting for the player's lock.
std::atomic<Mp3Player*> g_beat_mem{nullptr};
std::atomic<Mp3StreamPlayer*> g_beat_stream{nullptr};
std::atomic<int> g_beats{0};

void beat_counter(void*) {
    if (Mp3Player* p = g_beat_mem.load()) {
        EXPECT_GE(mp3_position_ms(p), 0);
        mp3_is_playing(p);
        ++g_beats;
    }
    if (Mp3StreamPlayer* p = g_beat_stream.load()) {
        EXPECT_GE(mp3s_position_ms(p), 0);
        mp3s_is_playing(p);
        ++g_beats;
    }
}

// Runs f on another thread; a deadlock ends the whole run (the threads cannot be freed).
void within(int secs, const std::function<void()>& f) {
    std::packaged_task<void()> task(f);
    std::future<void> done = task.get_future();
    std::thread t(std::move(task));
    if (done.wait_for(std::chrono::seconds(secs)) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: the main thread is stuck with a timer callback\n");
        std::_Exit(1);
    }
    t.join();
}

// Waits until the beat counter has queried a player `n` more times, so that every round overlaps
// with its queries however the machine schedules the timer thread (a hang is the watchdog's).
void await_beats(int n) {
    const int target = g_beats.load() + n;
    while (g_beats.load() < target) std::this_thread::yield();
}

// Both players, round after round: created, polled by the timer while the beat counter queries
// them, then stopped, played, sought and destroyed by the main thread.
TEST_F(PlayerThreads, AGameTimerCallbackQueriesThePlayerWhileTheMainThreadControlsIt) {
    install_param_int(beat_counter, nullptr, 1);
    g_beats = 0;
    within(120, [&] {
        for (int round = 0; round < 6; ++round) {
            Mp3Player* p = mp3_create(data_.data(), int32_t(data_.size()));
            ASSERT_NE(p, nullptr);
            g_beat_mem = p;
            mp3_start_autopoll(p, 1);
            await_beats(2);
            for (int i = 0; i < 200; ++i) {
                if (i % 50 == 25) await_beats(1);
                if (i % 3 == 0) mp3_stop(p);
                mp3_play_ex(p, 16384, 255, 128, 1000, 1);
                mp3_seek_ms(p, (i * 37) % 3000);
                if (i % 50 == 0) mp3_stop_autopoll(p);
                if (i % 50 == 1) mp3_start_autopoll(p, 1);
                std::this_thread::yield();
            }
            g_beat_mem = nullptr;
            mp3_destroy(p);

            const int32_t block = 4096;
            Mp3StreamPlayer* s = mp3s_create(data_.data(), block, 0);
            ASSERT_NE(s, nullptr);
            g_beat_stream = s;
            mp3s_start_autopoll(s, 1);
            await_beats(2);
            size_t at = size_t(block);
            for (int i = 0; i < 200; ++i) {
                if (i % 50 == 25) await_beats(1);
                if (uint8_t* nb = mp3s_next_block(s); nb && at + size_t(block) < data_.size()) {
                    std::memcpy(nb, data_.data() + at, size_t(block));
                    at += size_t(block);
                    mp3s_give_block(s, -1);
                }
                if (i % 3 == 0) mp3s_stop(s);
                mp3s_play(s, 16384, 255, 128);
                std::this_thread::yield();
            }
            g_beat_stream = nullptr;
            mp3s_destroy(s);
        }
    });
    remove_param_int(beat_counter, nullptr);
    EXPECT_GT(g_beats.load(), 0) << "the beat counter ran";
    fake_al::with_lock([] { EXPECT_TRUE(fake_al::st().timers.empty()); });
}

}  // namespace
