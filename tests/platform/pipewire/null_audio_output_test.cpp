#include "platform/null_audio_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <thread>

#include "platform/qt/system_clock.h"
#include "tests/platform/pipewire/allocation_counter.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

using std::chrono::milliseconds;

// Notes when each buffer was handed off and when it was rendered; can stall once. Counts
// the allocations of the render thread.
class RecordingRenderer final : public AudioRenderer {
public:
    static constexpr size_t capacity = 4096;

    explicit RecordingRenderer(AudioFormat format) : format(format) {}
    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        countAllocationsOnThisThread();
        rendering_ = true;
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n < capacity) {
            handOffNs.at(n) = info.handOffNs;
            renderedNs.at(n) = SystemClock().nowNs();
            latencyNs.at(n) = info.outputLatencyNs;
            framesOf.at(n) = frames;
            count_.store(n + 1, std::memory_order_release);
        }
        std::fill(interleaved, interleaved + frames * format.channels, 0.0F);
        if (n == stallAt) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(stallNs));
        }
        rendering_ = false;
    }
    [[nodiscard]] size_t count() const { return count_.load(std::memory_order_acquire); }

    const AudioFormat format;
    size_t stallAt = capacity;
    int64_t stallNs = 0;
    std::array<int64_t, capacity> handOffNs{};
    std::array<int64_t, capacity> renderedNs{};
    std::array<int64_t, capacity> latencyNs{};
    std::array<int, capacity> framesOf{};
    std::atomic<bool> rendering_{false};

private:
    std::atomic<size_t> count_{0};
};

int64_t periodNs(int64_t periods, int frames, int rate) {
    const int64_t total = periods * frames;
    return total / rate * 1'000'000'000 + total % rate * 1'000'000'000 / rate;
}

// Buffers follow the monotonic clock on an exact grid of periods, without allocating, and stop
// with stop(); a thread that stalls skips the ticks it missed and stays on the grid.
TEST(NullAudioOutputTest, buffersFollowAnExactGridThatAStalledThreadKeeps) {
    NullAudioOutput output(mainLoop());
    RecordingRenderer renderer(AudioFormat{44100, 2});
    std::string error;
    for (const AudioFormat bad : {AudioFormat{0, 2}, AudioFormat{48000, 0}}) {
        EXPECT_FALSE(output.start(bad, renderer, error));
        EXPECT_FALSE(error.empty());
        EXPECT_FALSE(output.isRunning());
    }
    const int64_t startedNs = SystemClock().nowNs();
    ASSERT_TRUE(output.start(renderer.format, renderer, error)) << error;
    EXPECT_TRUE(output.isRunning());
    EXPECT_EQ(output.format(), renderer.format);
    EXPECT_EQ(output.outputLatencyNs(), 0);
    runMainLoopFor(milliseconds(300));
    output.stop();
    const int64_t stoppedNs = SystemClock().nowNs();
    EXPECT_FALSE(output.isRunning());
    EXPECT_FALSE(renderer.rendering_);
    EXPECT_EQ(countedAllocations(), 0);
    const size_t n = renderer.count();
    runMainLoopFor(milliseconds(20));
    EXPECT_EQ(renderer.count(), n) << "render() called after stop() returned";
    output.stop();

    ASSERT_GT(n, 10U);
    const int period = output.periodFrames();
    const int64_t first = renderer.handOffNs[0];
    EXPECT_GE(first, startedNs);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(renderer.framesOf[i], period);
        ASSERT_EQ(renderer.latencyNs[i], 0);
        // Tick i is exactly i periods after the first, whenever the thread woke.
        ASSERT_EQ(renderer.handOffNs[i] - first, periodNs(static_cast<int64_t>(i), period, 44100))
            << "buffer " << i;
        // A buffer is never rendered before its tick.
        ASSERT_GE(renderer.renderedNs[i], renderer.handOffNs[i]) << "buffer " << i;
    }
    // Pulled at the audio rate: the run lasted n periods, give or take the wake-up lag.
    const int64_t ranNs = stoppedNs - first;
    EXPECT_LE(periodNs(static_cast<int64_t>(n) - 1, period, 44100), ranNs);
    EXPECT_GE(periodNs(static_cast<int64_t>(n) + 1, period, 44100) + NullAudioOutput::maxLagNs,
              ranNs);

    // Restarted in another format, with the thread stalling once.
    RecordingRenderer stalled(AudioFormat{22050, 1});
    stalled.stallAt = 3;
    stalled.stallNs = 3 * NullAudioOutput::maxLagNs;
    ASSERT_TRUE(output.start(stalled.format, stalled, error)) << error;
    EXPECT_EQ(output.format(), stalled.format);
    ASSERT_TRUE(runMainLoopUntil([&] { return stalled.count() >= 8; }, milliseconds(2000)));
    output.stop();
    const int64_t stallEndNs = stalled.renderedNs[3] + stalled.stallNs;
    // No burst of catch-up buffers: the one after the stall is handed off near its end...
    EXPECT_GT(stalled.handOffNs[4], stallEndNs - NullAudioOutput::maxLagNs);
    // ...on the same grid of whole periods.
    const int64_t sinceFirst = stalled.handOffNs[4] - stalled.handOffNs[0];
    const int64_t periods = sinceFirst / periodNs(1, period, 22050);
    EXPECT_TRUE(sinceFirst == periodNs(periods, period, 22050) ||
                sinceFirst == periodNs(periods + 1, period, 22050))
        << sinceFirst;
    EXPECT_EQ(stalled.handOffNs[1] - stalled.handOffNs[0], periodNs(1, period, 22050));
}

} // namespace
} // namespace merriphonic::test
