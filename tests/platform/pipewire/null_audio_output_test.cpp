#include "platform/null_audio_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <thread>

#include "tests/platform/pipewire/allocation_counter.h"
#include "tests/platform/pipewire/click_renderer.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

using std::chrono::milliseconds;

// Notes when each buffer was handed off and when it was rendered; can stall once. Counts
// the allocations of the render thread.
class RecordingRenderer final : public AudioRenderer {
public:
    static constexpr size_t capacity = 4096;

    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        countAllocationsOnThisThread();
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n < capacity) {
            handOffNs_.at(n) = info.handOffNs;
            renderedNs_.at(n) = monotonicNs();
            latencyNs_.at(n) = info.outputLatencyNs;
            frames_.at(n) = frames;
            count_.store(n + 1, std::memory_order_release);
        }
        std::fill(interleaved, interleaved + frames * 2, 0.0F);
        if (n == stallAt_) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(stallNs_));
        }
    }
    void stallOnce(size_t buffer, int64_t ns) {
        stallAt_ = buffer;
        stallNs_ = ns;
    }
    [[nodiscard]] size_t count() const { return count_.load(std::memory_order_acquire); }

    std::array<int64_t, capacity> handOffNs_{};
    std::array<int64_t, capacity> renderedNs_{};
    std::array<int64_t, capacity> latencyNs_{};
    std::array<int, capacity> frames_{};

private:
    std::atomic<size_t> count_{0};
    size_t stallAt_ = capacity;
    int64_t stallNs_ = 0;
};

int64_t periodNs(int64_t periods, int frames, int rate) {
    const int64_t total = periods * frames;
    return total / rate * 1'000'000'000 + total % rate * 1'000'000'000 / rate;
}

TEST(NullAudioOutputTest, buffersFollowTheMonotonicClockOnAnExactGridWithoutAllocating) {
    NullAudioOutput output(mainLoop());
    RecordingRenderer renderer;
    const AudioFormat format{44100, 2};
    std::string error;
    const int64_t startedNs = monotonicNs();
    ASSERT_TRUE(output.start(format, renderer, error)) << error;
    EXPECT_TRUE(output.isRunning());
    EXPECT_EQ(output.format(), format);
    EXPECT_EQ(output.outputLatencyNs(), 0);
    runMainLoopFor(milliseconds(300));
    output.stop();
    const int64_t stoppedNs = monotonicNs();
    EXPECT_FALSE(output.isRunning());
    EXPECT_EQ(countedAllocations(), 0);

    const size_t n = renderer.count();
    ASSERT_GT(n, 10U);
    const int period = output.periodFrames();
    const int64_t first = renderer.handOffNs_[0];
    EXPECT_GE(first, startedNs);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(renderer.frames_[i], period);
        ASSERT_EQ(renderer.latencyNs_[i], 0);
        // Tick i is exactly i periods after the first, whenever the thread woke.
        ASSERT_EQ(renderer.handOffNs_[i] - first, periodNs(static_cast<int64_t>(i), period, 44100))
            << "buffer " << i;
        // A buffer is never rendered before its tick.
        ASSERT_GE(renderer.renderedNs_[i], renderer.handOffNs_[i]) << "buffer " << i;
    }
    // Pulled at the audio rate: the run lasted n periods, give or take the wake-up lag.
    const int64_t ranNs = stoppedNs - first;
    EXPECT_LE(periodNs(static_cast<int64_t>(n) - 1, period, 44100), ranNs);
    EXPECT_GE(periodNs(static_cast<int64_t>(n) + 1, period, 44100) + NullAudioOutput::maxLagNs,
              ranNs);
}

TEST(NullAudioOutputTest, stalledThreadSkipsTheMissedTicksAndStaysOnTheGrid) {
    NullAudioOutput output(mainLoop());
    RecordingRenderer renderer;
    renderer.stallOnce(3, 3 * NullAudioOutput::maxLagNs);
    std::string error;
    ASSERT_TRUE(output.start(AudioFormat{48000, 2}, renderer, error)) << error;
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer.count() >= 8; }, milliseconds(2000)));
    output.stop();

    const int period = output.periodFrames();
    const int64_t stallEndNs = renderer.renderedNs_[3] + 3 * NullAudioOutput::maxLagNs;
    // No burst of catch-up buffers: the one after the stall is handed off near its end...
    EXPECT_GT(renderer.handOffNs_[4], stallEndNs - NullAudioOutput::maxLagNs);
    // ...on the same grid of whole periods.
    const int64_t sinceFirst = renderer.handOffNs_[4] - renderer.handOffNs_[0];
    const int64_t periods = sinceFirst / periodNs(1, period, 48000);
    EXPECT_TRUE(sinceFirst == periodNs(periods, period, 48000) ||
                sinceFirst == periodNs(periods + 1, period, 48000))
        << sinceFirst;
}

TEST(NullAudioOutputTest, startStopRestartAndBadFormats) {
    NullAudioOutput output(mainLoop());
    ClickRenderer renderer(AudioFormat{48000, 2});
    std::string error;
    EXPECT_FALSE(output.start(AudioFormat{0, 2}, renderer, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(output.start(AudioFormat{48000, 0}, renderer, error));
    EXPECT_FALSE(output.isRunning());

    ASSERT_TRUE(output.start(AudioFormat{48000, 2}, renderer, error)) << error;
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer.buffers() > 3; }, milliseconds(2000)));
    output.stop();
    EXPECT_FALSE(renderer.rendering());
    const int64_t rendered = renderer.buffers();
    runMainLoopFor(milliseconds(20));
    EXPECT_EQ(renderer.buffers(), rendered);
    output.stop();

    ClickRenderer mono(AudioFormat{22050, 1});
    ASSERT_TRUE(output.start(AudioFormat{22050, 1}, mono, error)) << error;
    EXPECT_EQ(output.format(), (AudioFormat{22050, 1}));
    EXPECT_TRUE(runMainLoopUntil([&] { return mono.buffers() > 3; }, milliseconds(2000)));
    EXPECT_GT(mono.boundaries(), 0);
    EXPECT_EQ(mono.continuousBoundaries(), mono.boundaries());
}

} // namespace
} // namespace merriphonic::test
