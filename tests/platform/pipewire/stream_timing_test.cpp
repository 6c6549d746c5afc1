#include "platform/pipewire/stream_timing.h"

#include "core/time_units.h"

#include <gtest/gtest.h>

namespace merriphonic {
namespace {

constexpr int64_t nowNs = 5'000'000'000;

// A 44.1 kHz stream in a 48 kHz graph whose device is 480 ticks (10 ms) away.
StreamClockSnapshot snapshot(int64_t delayTicks = 480, uint64_t queued = 0, uint64_t buffered = 0) {
    StreamClockSnapshot s;
    s.nowNs = nowNs;
    s.rateNum = 1;
    s.rateDenom = 48000;
    s.delayTicks = delayTicks;
    s.queuedFrames = queued;
    s.bufferedFrames = buffered;
    return s;
}

// The delay counts in graph ticks, the queue in stream frames; the latency stays steady within
// the tolerance while the sum stays exact, and a step beyond it, or a new graph rate, is
// republished.
TEST(StreamTimingTest, latencyStaysSteadyWithinTheToleranceWhileTheSumStaysExact) {
    StreamTiming timing(44100, nsPerMs / 2);
    uint32_t changes = 0;
    // Before the graph has a clock (rate 0/0, no cycle time yet) no latency is known.
    StreamClockSnapshot none;
    none.queuedFrames = 441;
    EXPECT_EQ(timing.next(none, nowNs, changes), (RenderInfo{nowNs + 10 * nsPerMs, 0}));
    EXPECT_FALSE(timing.known());
    // 441 queued + 441 buffered frames of the stream: 20 ms ahead of this buffer.
    EXPECT_EQ(timing.next(snapshot(480, 441, 441), 0, changes),
              (RenderInfo{nowNs + 20 * nsPerMs, 10 * nsPerMs}));
    EXPECT_EQ(changes, StreamTiming::firstTiming);

    changes = 0;
    RenderInfo info = timing.next(snapshot(480 + 12), 0, changes); // +0.25 ms
    EXPECT_EQ(info.outputLatencyNs, 10 * nsPerMs);
    EXPECT_EQ(info.handOffNs + info.outputLatencyNs, nowNs + 10 * nsPerMs + nsPerMs / 4);
    EXPECT_EQ(changes, 0U);

    info = timing.next(snapshot(480 - 48), 0, changes); // -1 ms: beyond the tolerance
    EXPECT_EQ(info, (RenderInfo{nowNs, 9 * nsPerMs}));
    EXPECT_EQ(changes, StreamTiming::latencyChanged);

    changes = 0;
    StreamClockSnapshot faster = snapshot(441);
    faster.rateDenom = 44100; // the graph switched to 44.1 kHz, same 10 ms of delay
    info = timing.next(faster, 0, changes);
    EXPECT_EQ(changes, StreamTiming::rateChanged | StreamTiming::latencyChanged);
    EXPECT_EQ(info, (RenderInfo{nowNs, 10 * nsPerMs}));
}

} // namespace
} // namespace merriphonic
