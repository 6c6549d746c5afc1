#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <spa/utils/hook.h>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;

namespace merriphonic::test {

// Records a sink's monitor ports and finds the clicks in them, each with the instant at which
// the sink consumed it.
//
// What "heard" means for a null sink: it has no device, so a frame is heard when the sink
// consumes it, at the sink's graph time. The sink drives the graph from a CLOCK_MONOTONIC
// timer: the cycle that starts at pw_time.now processes graph positions
// [ticks, ticks + quantum), so position ticks + k is heard at now + k / rate.
//
// The capture side's own latency: the sink is the graph's driver, and a driver processes its
// inputs (and fills its monitor ports) when the cycle completes, after its followers ran. A
// capture stream on the monitor is a follower triggered at the start of a cycle, so the
// buffer it dequeues in the cycle starting at now holds what the sink consumed in the
// previous cycle: its frame k was heard at now + (k − n) / rate, n being the buffer's frame
// count (the previous cycle's quantum). The stream's own pw_time.delay does not include this
// (it is 0 here), hence the explicit correction. A capture linked straight to the playback
// stream, with no driver in between, sees the same frames in the same cycle; in a check
// with such a link the click landed at now + k / rate, agreeing with this reading.
class MonitorCapture {
public:
    static constexpr int channels = 2;
    static constexpr float threshold = 0.25F;

    struct Click {
        int64_t heardNs = 0;
        float peak = 0;
    };

    MonitorCapture() = default;
    ~MonitorCapture();
    MonitorCapture(const MonitorCapture&) = delete;
    MonitorCapture& operator=(const MonitorCapture&) = delete;

    // Captures the monitor of the sink; returns once the first buffers have arrived. The rate
    // must be the graph's, so that the capture side does not resample.
    bool start(const std::string& sink, int rate, std::string& error);
    void stop();

    [[nodiscard]] std::vector<Click> clicks() const;
    [[nodiscard]] int64_t buffers() const { return buffers_.load(std::memory_order_acquire); }

private:
    static void onProcess(void* data);
    void scan(const float* samples, uint32_t frames, int64_t firstNs, int64_t frameNsNum,
              int64_t frameNsDenom);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};

    static constexpr size_t maxClicks = 64;
    std::array<Click, maxClicks> clicks_{};
    std::atomic<size_t> clickCount_{0};
    std::atomic<int64_t> buffers_{0};

    // Real-time thread only: the click being measured. A click is the loudest frame within
    // windowFrames of the first frame above the threshold, so that a resampled impulse is
    // located at its peak rather than at its leading edge.
    int windowFrames_ = 0; // 2 ms
    int windowLeft_ = 0;
    Click current_{};
};

} // namespace merriphonic::test
