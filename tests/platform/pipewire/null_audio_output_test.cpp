#include "platform/null_audio_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include "platform/qt/system_clock.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

using std::chrono::milliseconds;

// Notes when each buffer was handed off and when it was rendered; can stall once.
class RecordingRenderer final : public AudioRenderer {
public:
    static constexpr size_t capacity = 4096;

    explicit RecordingRenderer(AudioFormat format) : format(format) {}
    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override {
        const size_t n = count_.load(std::memory_order_relaxed);
        if (n < capacity) {
            handOffNs.at(n) = info.handOffNs;
            renderedNs.at(n) = SystemClock().nowNs();
            framesOf.at(n) = frames;
            count_.store(n + 1, std::memory_order_release);
        }
        std::fill(interleaved, interleaved + frames * format.channels, 0.0F);
        if (n == stallAt) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(stallNs));
        }
    }
    [[nodiscard]] size_t count() const { return count_.load(std::memory_order_acquire); }

    const AudioFormat format;
    size_t stallAt = capacity;
    int64_t stallNs = 0;
    std::array<int64_t, capacity> handOffNs{};
    std::array<int64_t, capacity> renderedNs{};
    std::array<int, capacity> framesOf{};

private:
    std::atomic<size_t> count_{0};
};

int64_t periodNs(int64_t periods, int frames, int rate) {
    const int64_t total = periods * frames;
    return total / rate * 1'000'000'000 + total % rate * 1'000'000'000 / rate;
}

// Buffers follow the monotonic clock on an exact grid of periods, and stop
// with stop(); a thread that stalls skips the ticks it missed, with no burst of catch-up buffers,
// and stays on the grid.
TEST(NullAudioOutputTest, buffersFollowAnExactGridThatAStalledThreadKeeps) {
    NullAudioOutput output(mainLoop());
    RecordingRenderer renderer(AudioFormat{44100, 2});
    renderer.stallAt = 10;
    renderer.stallNs = 3 * NullAudioOutput::maxLagNs;
    const int64_t startedNs = SystemClock().nowNs();
    const auto started = output.start(renderer.format, renderer);
    ASSERT_TRUE(started) << started.error();
    ASSERT_TRUE(runMainLoopUntil([&] { return renderer.count() > 20; }, milliseconds(3000)));
    output.stop();
    EXPECT_FALSE(output.isRunning());
    const size_t n = renderer.count();
    runMainLoopFor(milliseconds(20));
    EXPECT_EQ(renderer.count(), n) << "render() called after stop() returned";

    const int period = output.periodFrames();
    const int64_t first = renderer.handOffNs[0];
    EXPECT_GE(first, startedNs);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(renderer.framesOf[i], period);
        // Every tick is a whole number of periods after the first, whenever the thread woke:
        // until the stall, tick i is exactly i periods after it.
        const int64_t sinceFirst = renderer.handOffNs[i] - first;
        const auto periods = static_cast<int64_t>(
            std::llround(static_cast<double>(sinceFirst) / periodNs(1, period, 44100)));
        ASSERT_EQ(sinceFirst, periodNs(periods, period, 44100)) << "buffer " << i;
        if (i <= renderer.stallAt) {
            ASSERT_EQ(periods, static_cast<int64_t>(i));
        }
        // A buffer is never rendered before its tick.
        ASSERT_GE(renderer.renderedNs[i], renderer.handOffNs[i]) << "buffer " << i;
    }
    // The buffer after the stall is handed off near its end.
    const int64_t stallEndNs = renderer.renderedNs[renderer.stallAt] + renderer.stallNs;
    EXPECT_GT(renderer.handOffNs[renderer.stallAt + 1], stallEndNs - NullAudioOutput::maxLagNs);
}

} // namespace
} // namespace merriphonic::test
