#pragma once

#include <atomic>
#include <cstdint>

#include "platform/audio_output.h"
#include "platform/qt/system_clock.h"

namespace merriphonic::test {

inline int64_t monotonicNs() {
    return SystemClock().nowNs();
}

// Renders silence with single-frame clicks, each written into the frame whose heard time
// (handOffNs + i / rate + outputLatencyNs) is nearest the instant asked for. It also checks
// that each buffer's timeline continues the previous one's.
class ClickRenderer final : public AudioRenderer {
public:
    explicit ClickRenderer(AudioFormat format) : format_(format) {}

    // The next click, heard at this CLOCK_MONOTONIC instant; one at a time.
    void scheduleClick(int64_t atNs) { pendingNs_.store(atNs, std::memory_order_release); }
    [[nodiscard]] bool clickPending() const {
        return pendingNs_.load(std::memory_order_acquire) != 0;
    }
    // Counts allocations made on the render thread from its first buffer on.
    void countAllocations() { countAllocations_.store(true, std::memory_order_relaxed); }

    void render(float* interleaved, int frames, const RenderInfo& info) noexcept override;

    [[nodiscard]] int64_t buffers() const { return buffers_.load(std::memory_order_acquire); }
    [[nodiscard]] bool rendering() const { return rendering_.load(std::memory_order_acquire); }
    // Buffer boundaries seen, and how many of them kept the timeline within a frame.
    [[nodiscard]] int64_t boundaries() const { return boundaries_.load(std::memory_order_relaxed); }
    [[nodiscard]] int64_t continuousBoundaries() const {
        return continuous_.load(std::memory_order_relaxed);
    }

private:
    const AudioFormat format_;
    std::atomic<int64_t> pendingNs_{0};
    std::atomic<bool> countAllocations_{false};
    std::atomic<int64_t> buffers_{0};
    std::atomic<bool> rendering_{false};
    std::atomic<int64_t> boundaries_{0};
    std::atomic<int64_t> continuous_{0};
    // Render thread only.
    double expectedHeardNs_ = 0;
};

} // namespace merriphonic::test
