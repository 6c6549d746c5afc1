#include "core/clock_sync.h"

#include "core/time_units.h"
#include "core/wrapping.h"

#include <utility>

namespace merriphonic {

ClockSync::ClockSync(int64_t windowNs, int minSamples)
    : windowNs_(windowNs), minSamples_(minSamples) {}

ClockSync::Estimate ClockSync::compute(int64_t t1, int64_t t2, int64_t t3, int64_t t4) {
    // In 128 bits: a host clock near the top of the range would otherwise overflow t2 + t3 and
    // halve the wrapped sum, an offset off by 2^63. Integer division truncates toward zero, as
    // intended for odd sums; an offset beyond 64 bits wraps like every other time.
    const __int128 twice = (static_cast<__int128>(t2) + t3) - (static_cast<__int128>(t1) + t4);
    const auto offset = static_cast<int64_t>(static_cast<uint64_t>(twice / 2));
    const int64_t rtt = wrappingSub(wrappingSub(t4, t1), wrappingSub(t3, t2));
    return {offset, rtt};
}

std::optional<ClockSample> ClockSync::add(int64_t t1, int64_t t2, int64_t t3, int64_t t4) {
    const Estimate estimate = compute(t1, t2, t3, t4);
    if (estimate.rttNs < 0) {
        return std::nullopt;
    }
    const ClockSample sample{estimate.offsetNs, estimate.rttNs, t4};
    samples_.push_back(sample);
    dropOlderThan(wrappingSub(t4, windowNs_));
    lastBest_ = best();
    return sample;
}

void ClockSync::prune(int64_t nowLocalNs) {
    dropOlderThan(wrappingSub(nowLocalNs, windowNs_));
}

void ClockSync::reset() {
    samples_.clear();
    lastBest_.reset();
}

void ClockSync::dropOlderThan(int64_t cutoffNs) {
    std::erase_if(samples_, [cutoffNs](const ClockSample& s) { return s.localNs < cutoffNs; });
}

std::optional<ClockSample> ClockSync::best() const {
    if (samples_.empty()) {
        return lastBest_;
    }
    // Ties go to the later sample: it reflects the clocks' more recent relation.
    const ClockSample* bestSample = &samples_.front();
    for (const ClockSample& sample : samples_) {
        if (sample.rttNs <= bestSample->rttNs) {
            bestSample = &sample;
        }
    }
    return *bestSample;
}

std::optional<int64_t> ClockSync::offsetNs() const {
    const auto sample = best();
    return sample ? std::optional<int64_t>(sample->offsetNs) : std::nullopt;
}

std::optional<double> ClockSync::bestRttMs() const {
    const auto sample = best();
    return sample ? std::optional<double>(static_cast<double>(sample->rttNs) / nsPerMs)
                  : std::nullopt;
}

bool ClockSync::isSynced() const {
    return std::cmp_greater_equal(samples_.size(), minSamples_);
}

} // namespace merriphonic
