#pragma once

#include "core/clock_sample.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace merriphonic {

// Estimates host clock minus local clock from four-timestamp exchanges: t1 local send, t2 host
// receive, t3 host send, t4 local receive. The sample with the smallest round trip in a sliding
// window is trusted most, since queueing delay only ever adds to the round trip.
// A plain value; its owner uses it from one thread.
class ClockSync {
public:
    struct Estimate {
        int64_t offsetNs = 0;
        int64_t rttNs = 0;
        bool operator==(const Estimate&) const = default;
    };

    ClockSync(int64_t windowNs, int minSamples);

    static Estimate compute(int64_t t1, int64_t t2, int64_t t3, int64_t t4);

    // The stored sample, or nullopt (and no change) when the round trip is negative.
    std::optional<ClockSample> add(int64_t t1, int64_t t2, int64_t t3, int64_t t4);
    // Drops samples that arrived more than windowNs before nowLocalNs.
    void prune(int64_t nowLocalNs);
    void reset();

    // From the best sample in the window, else from lastBest.
    std::optional<int64_t> offsetNs() const;
    std::optional<double> bestRttMs() const;
    bool isSynced() const;
    const std::optional<ClockSample>& lastBest() const { return lastBest_; }
    // Oldest first.
    const std::vector<ClockSample>& samples() const { return samples_; }
    int64_t windowNs() const { return windowNs_; }
    int minSamples() const { return minSamples_; }

    bool operator==(const ClockSync&) const = default;

private:
    std::optional<ClockSample> best() const;
    void dropOlderThan(int64_t cutoffNs);

    int64_t windowNs_;
    int minSamples_;
    std::vector<ClockSample> samples_;
    std::optional<ClockSample> lastBest_;
};

} // namespace merriphonic
