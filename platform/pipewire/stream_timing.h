#pragma once

#include <cstdint>

#include "platform/audio_output.h"

namespace merriphonic {

// The part of a playback stream's clock snapshot (pw_stream_get_time_n) that timing needs,
// as plain numbers so the arithmetic can be checked on its own.
struct StreamClockSnapshot {
    // CLOCK_MONOTONIC ns at which the current graph cycle started; 0 if not known yet.
    int64_t nowNs = 0;
    // The unit of delayTicks: one tick lasts rateNum / rateDenom seconds (the graph's
    // 1/samplerate). 0/0 during the first cycles, before the graph gave the stream a clock.
    uint32_t rateNum = 0;
    uint32_t rateDenom = 0;
    // Ticks from the start of this cycle until the next frame the graph takes from the stream
    // is presented by the device: graph and device latency, not counting the stream's queue.
    int64_t delayTicks = 0;
    // Frames queued to the stream and not yet taken by the graph (pw_buffer.size is set to
    // frames, so the stream counts frames), and frames held in its resampler, both at the
    // stream's own rate. They play before the buffer being rendered.
    uint64_t queuedFrames = 0;
    uint64_t bufferedFrames = 0;

    bool operator==(const StreamClockSnapshot&) const = default;
};

// Turns snapshots into the RenderInfo of each buffer. Frame 0 of the buffer being rendered is
// heard at
//
//     nowNs + delayTicks × rateNum / rateDenom + (queuedFrames + bufferedFrames) / sampleRate
//
// The delay term is the output latency: it changes only with the graph's configuration. The
// queue term is part of the hand-off. The latency is published once and republished only
// when the delay moves by more than a tolerance; smaller variation is added to the hand-off,
// so that the sum stays exact while outputLatencyNs() stays steady. Until the graph has given
// the stream a clock, the last published latency (0 at first) stands in for the delay.
//
// Real-time safe: no allocation, no locks.
class StreamTiming {
public:
    // What next() noticed.
    static constexpr uint32_t firstTiming = 1U << 0U;    // the delay became known
    static constexpr uint32_t latencyChanged = 1U << 1U; // republished beyond the tolerance
    static constexpr uint32_t rateChanged = 1U << 2U;    // the graph's rate changed

    StreamTiming(int sampleRate, int64_t latencyToleranceNs)
        : sampleRate_(sampleRate), toleranceNs_(latencyToleranceNs) {}

    // fallbackNowNs stands in for a missing snapshot.nowNs. Adds to changes what happened.
    RenderInfo next(const StreamClockSnapshot& snapshot, int64_t fallbackNowNs, uint32_t& changes);

    [[nodiscard]] bool known() const { return known_; }
    [[nodiscard]] int64_t latencyNs() const { return latencyNs_; }

private:
    int64_t sampleRate_;
    int64_t toleranceNs_;
    bool known_ = false;
    int64_t latencyNs_ = 0;
    uint32_t rateDenom_ = 0;
    uint32_t rateNum_ = 0;
};

} // namespace merriphonic
