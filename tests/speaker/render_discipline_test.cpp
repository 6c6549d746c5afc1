// The render thread neither allocates nor races: the whole player in virtual time, through drift
// corrections, a re-sync, a reconfigured and interrupted card and the end of a song, with every
// allocation inside a render call counted; and the same on the app's real device (a real-time
// null output, the decoding thread, the Qt main loop) for ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "core/time_units.h"
#include "platform/null_audio_output.h"
#include "platform/qt/real_device.h"
#include "platform/sim/capture_log_sink.h"
#include "tests/speaker/player_rig.h"
#include "tests/support/qt_test_support.h"

namespace {

// This binary replaces malloc and its relatives (which operator new, libsamplerate and FFmpeg
// use) with glibc's own allocator underneath: a thread's allocations are counted while it
// renders. Sanitizer builds bring their own allocator, so there the test is skipped.
thread_local bool inRender = false;
std::atomic<int64_t> counted{0};

} // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
void note() {
    if (inRender) {
        counted.fetch_add(1, std::memory_order_relaxed);
    }
}
} // namespace

// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming,readability-inconsistent-declaration-parameter-name)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);

void* malloc(std::size_t size) {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    note();
    return __libc_realloc(pointer, size);
}
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming,readability-inconsistent-declaration-parameter-name)
#endif

namespace merriphonic::speaker_test {
namespace {

// Wraps an output so that every render call counts allocations. Offers the wrapped output's
// own feeder when it has one (the virtual card's keeps a simulation on one thread).
class CountingOutput final : public AudioOutput, AudioRenderer {
public:
    explicit CountingOutput(std::unique_ptr<AudioOutput> inner) : inner_(std::move(inner)) {}
    Result<Done, std::string> start(const AudioFormat& format, AudioRenderer& renderer) override {
        target_ = &renderer;
        return inner_->start(format, *this);
    }
    void stop() override { inner_->stop(); }
    bool isRunning() const override { return inner_->isRunning(); }
    AudioFormat format() const override { return inner_->format(); }
    int64_t outputLatencyNs() const override { return inner_->outputLatencyNs(); }
    void setConfigurationChangeHandler(ChangeHandler handler) override {
        inner_->setConfigurationChangeHandler(std::move(handler));
    }
    std::unique_ptr<AudioFeeder> makeFeeder() override { return inner_->makeFeeder(); }
    const AudioPositionProbe* positionProbe() const noexcept override {
        return target_->positionProbe();
    }
    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        inRender = true;
        target_->render(interleaved, frames, info);
        inRender = false;
    }

private:
    std::unique_ptr<AudioOutput> inner_;
    AudioRenderer* target_ = nullptr;
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

TEST(RenderDiscipline, NothingAllocatesOnTheRenderThreadThroughAWholeSession) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator is not counted";
#endif
    PlayerRig rig;
    CountingFactory counting(rig.cards);
    rig.makePlayer(counting);
    const int64_t before = counted;
    rig.play("song.m4a", 300 * nsPerMs);
    rig.runFor(4.0); // drift corrections
    rig.player->setGroupVolume(0.4);
    rig.extraOffsetNs = 60 * nsPerMs; // a hard re-sync
    rig.runFor(2.0);
    rig.card().changeLatency(20 * nsPerMs);
    rig.card().interrupt(50 * nsPerMs);
    rig.runFor(2.0);
    rig.player->stop();
    rig.play("", 200 * nsPerMs, 58'500); // 1.5 s before the end
    rig.runFor(3.0);

    EXPECT_EQ(rig.ended, 1);
    EXPECT_EQ(rig.logCount("hard re-sync"), 1U);
    EXPECT_GT(rig.card().renderCalls(), 1000);
    EXPECT_EQ(counted, before);
}

TEST(RenderDiscipline, PlaysOnRealThreadsWithoutAllocatingWhileRendering) {
    const test::TempFolder temp;
    auto sink = std::make_shared<CaptureLogSink>("speaker");
    NullAudioOutputFactory null;
    CountingFactory counting(null);
    FfmpegMediaToolkit media;
    RealDevice device({.prefsFile = temp.path() / "prefs.conf",
                       .folders = DeviceFolders{temp.path(), temp.path(), temp.path()},
                       .logSink = sink,
                       .audio = &counting,
                       .media = &media});
    const Clock& clock = device.context().clock;
    const int64_t before = counted;

    auto player = SyncPlayer::create(device.context(), "speaker");
    int ended = 0;
    player->onEnded = [&] { ++ended; };
    ASSERT_TRUE(player->load(mediaFile("short.wav")));
    player->spec = PlaySpec{clock.nowNs() + 200 * nsPerMs, 0};
    player->schedule("play");
    player->startDriftTimer();
    // Main-thread traffic while the render and decoding threads run: volume, measurements
    // and, once, a stop and a fresh start.
    int ticks = 0;
    int playing = 0;
    TimerHandle traffic = device.mainLoop().every(20 * nsPerMs, [&] {
        player->setGroupVolume((++ticks % 2 == 0) ? 1.0 : 0.5);
        player->measure();
        playing += player->renderPosition().valid ? 1 : 0;
        if (ticks == 25) {
            player->stop();
            player->spec = PlaySpec{clock.nowNs() + 150 * nsPerMs, 500};
            player->schedule("play");
        }
    });
    EXPECT_TRUE(test::runMainLoopUntil([&] { return ended > 0; }, std::chrono::seconds(20)));
    traffic.cancel();
    player.reset();

    EXPECT_EQ(ended, 1);
    EXPECT_GT(playing, 10);
    EXPECT_EQ(sink->count("[speaker] end of track"), 1U);
    EXPECT_EQ(sink->count("engine started"), 1U);
    EXPECT_EQ(counted, before);
}

} // namespace
} // namespace merriphonic::speaker_test
