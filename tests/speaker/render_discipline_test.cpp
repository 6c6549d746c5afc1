// The render thread neither allocates nor races: the whole player in virtual time with an
// allocation counter around every render call, and the same on real threads (a real-time
// null output and the decoding thread) for ThreadSanitizer.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "core/host_clock.h"
#include "platform/null_audio_output.h"
#include "platform/sim/capture_log_sink.h"
#include "platform/sim/memory_prefs_store.h"
#include "platform/threaded_audio_feeder.h"
#include "tests/speaker/allocation_counter.h"
#include "tests/speaker/player_rig.h"
#include "tests/speaker/test_media.h"

namespace merriphonic::speaker_test {
namespace {

// Wraps an output so that every render call runs inside an AllocationScope. Keeps the wrapped
// output's own feeder when it has one.
class CountingOutput final : public AudioOutput, public AudioFeederSource {
public:
    explicit CountingOutput(std::unique_ptr<AudioOutput> inner) : inner_(std::move(inner)) {}

    bool start(const AudioFormat& format, AudioRenderer& renderer, std::string& error) override {
        counting_.target = &renderer;
        return inner_->start(format, counting_, error);
    }
    void stop() override { inner_->stop(); }
    [[nodiscard]] bool isRunning() const override { return inner_->isRunning(); }
    [[nodiscard]] AudioFormat format() const override { return inner_->format(); }
    [[nodiscard]] int64_t outputLatencyNs() const override { return inner_->outputLatencyNs(); }
    void setConfigurationChangeHandler(ChangeHandler handler) override {
        inner_->setConfigurationChangeHandler(std::move(handler));
    }
    std::unique_ptr<AudioFeeder> makeFeeder() override {
        if (auto* source = dynamic_cast<AudioFeederSource*>(inner_.get())) {
            return source->makeFeeder();
        }
        return std::make_unique<ThreadedAudioFeeder>();
    }

private:
    struct Counting final : AudioRenderer {
        AudioRenderer* target = nullptr;
        void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
            const AllocationScope scope;
            target->render(interleaved, frames, info);
        }
    };

    std::unique_ptr<AudioOutput> inner_;
    Counting counting_;
};

class CountingFactory final : public AudioOutputFactory {
public:
    explicit CountingFactory(AudioOutputFactory& inner) : inner_(inner) {}
    std::unique_ptr<AudioOutput> makeOutput(RunLoop& main) override {
        return std::make_unique<CountingOutput>(inner_.makeOutput(main));
    }

private:
    AudioOutputFactory& inner_;
};

TEST(RenderDiscipline, TheCounterSeesAllocationsInsideAScope) {
    const int64_t before = countedAllocations();
    {
        const AllocationScope scope;
        static int* volatile kept = nullptr;
        kept = new int(1);
        delete kept;
    }
    EXPECT_EQ(countedAllocations(), before + 1);
}

TEST(RenderDiscipline, NothingAllocatesOnTheRenderThreadThroughAWholeSession) {
    PlayerRig rig;
    CountingFactory counting(rig.cards);
    rig.device.context().audio = &counting;
    rig.player = SyncPlayer::create(rig.device.context(), "speaker");
    rig.player->offsetProvider = [&rig] {
        return rig.world.nowNs() - rig.device.clock().nowNs() + rig.extraOffsetNs;
    };
    rig.player->onEnded = [&rig] { ++rig.ended; };
    const int64_t before = countedAllocations();

    rig.play("song.m4a", 300 * msNs);
    rig.runFor(4.0); // drift corrections
    rig.player->groupVolume = 0.4;
    rig.player->applyVolume();
    rig.extraOffsetNs = 60 * msNs; // a hard re-sync
    rig.runFor(2.0);
    rig.cards.output()->changeLatency(20 * msNs);
    rig.cards.output()->interrupt(50 * msNs);
    rig.runFor(2.0);
    rig.player->stop();
    rig.timeline = PlaySpec{rig.world.nowNs() + 200 * msNs, 58'500}; // 1.5 s before the end
    rig.player->spec = rig.timeline;
    rig.player->schedule("play");
    rig.runFor(3.0);

    EXPECT_EQ(rig.ended, 1);
    EXPECT_EQ(rig.logCount("hard re-sync"), 1U);
    EXPECT_GT(rig.cards.output()->renderCalls(), 1000);
    EXPECT_EQ(countedAllocations(), before);
}

// A main loop for real threads: tasks posted from any thread run on the test's thread.
class ThreadedMainLoop final : public RunLoop {
public:
    void post(Task task) override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        wake_.notify_one();
    }
    TimerHandle after(int64_t delayNs, Task task) override {
        TimerHandle handle = TimerHandle::make();
        timers_.push_back(
            Timer{HostClock::nowNs() + std::max<int64_t>(delayNs, 0), 0, std::move(task), handle});
        return handle;
    }
    TimerHandle every(int64_t periodNs, Task task) override {
        TimerHandle handle = TimerHandle::make();
        timers_.push_back(Timer{HostClock::nowNs() + periodNs, periodNs, std::move(task), handle});
        return handle;
    }
    [[nodiscard]] bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

    // Runs until done() holds or the guard passes; returns done().
    bool runUntil(const std::function<bool()>& done, int64_t guardNs) {
        const int64_t deadline = HostClock::nowNs() + guardNs;
        while (!done() && HostClock::nowNs() < deadline) {
            std::deque<Task> ready;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait_for(lock, std::chrono::milliseconds(1),
                               [this] { return !tasks_.empty(); });
                ready.swap(tasks_);
            }
            for (Task& task : ready) {
                task();
            }
            const int64_t now = HostClock::nowNs();
            // By index: a timer's task may add timers.
            for (size_t i = 0; i < timers_.size(); ++i) { // NOLINT(modernize-loop-convert)
                if (timers_[i].handle.isCancelled() || timers_[i].dueNs > now) {
                    continue;
                }
                Task task = timers_[i].task;
                if (timers_[i].periodNs > 0) {
                    timers_[i].dueNs += timers_[i].periodNs;
                } else {
                    timers_[i].handle.cancel();
                }
                task();
            }
            std::erase_if(timers_, [](const Timer& t) { return t.handle.isCancelled(); });
        }
        return done();
    }

private:
    struct Timer {
        int64_t dueNs;
        int64_t periodNs;
        Task task;
        TimerHandle handle;
    };
    std::thread::id owner_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    std::vector<Timer> timers_;
};

class MonotonicClock final : public Clock {
public:
    [[nodiscard]] int64_t nowNs() const override { return HostClock::nowNs(); }
};

class OnTheSpot final : public BackgroundWork {
public:
    using BackgroundWork::BackgroundWork;
    void execute(std::string /*label*/, Task task) override { task(); }
};

TEST(RenderDiscipline, PlaysOnRealThreadsWithoutAllocatingWhileRendering) {
    ThreadedMainLoop main;
    MonotonicClock clock;
    OnTheSpot background(main);
    auto sink = std::make_shared<CaptureLogSink>("speaker");
    Log log(sink);
    MemoryPrefsStore prefs;
    NullAudioOutputFactory null;
    CountingFactory counting(null);
    FfmpegMediaToolkit media;
    DeviceContext context{clock, main, main, background, log, prefs, {}, &counting, &media};
    const int64_t before = countedAllocations();

    auto player = SyncPlayer::create(context, "speaker");
    int ended = 0;
    player->onEnded = [&] { ++ended; };
    ASSERT_TRUE(player->load(mediaFile("short.wav")));
    player->spec = PlaySpec{clock.nowNs() + 200 * msNs, 0};
    player->schedule("play");
    player->startDriftTimer();
    // Main-thread traffic while the render and decoding threads run: volume, measurements
    // and, once, a stop and a fresh start.
    int ticks = 0;
    int playing = 0;
    TimerHandle traffic = main.every(20 * msNs, [&] {
        player->groupVolume = (++ticks % 2 == 0) ? 1.0 : 0.5;
        player->applyVolume();
        player->measure();
        playing += player->renderPosition().valid ? 1 : 0;
        if (ticks == 25) {
            player->stop();
            player->spec = PlaySpec{clock.nowNs() + 150 * msNs, 500};
            player->schedule("play");
        }
    });
    EXPECT_TRUE(main.runUntil([&] { return ended > 0; }, 20 * secondNs));
    traffic.cancel();
    player.reset();

    EXPECT_EQ(ended, 1);
    EXPECT_GT(playing, 10);
    EXPECT_EQ(sink->count("[speaker] end of track"), 1U);
    EXPECT_EQ(sink->count("engine started"), 1U);
    EXPECT_EQ(countedAllocations(), before);
}

} // namespace
} // namespace merriphonic::speaker_test
