#include "core/host_clock.h"

#include <ctime>
#include <limits>

#include "core/time_units.h"

namespace merriphonic {

namespace {

// CLOCK_MONOTONIC already counts nanoseconds, so its ticks convert 1/1.
HostClock::Timebase platformTimebase() {
    return {1, 1};
}

// Reads the monotonic counter in ticks. The kernel never reports a negative monotonic time.
uint64_t platformTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * static_cast<uint64_t>(nsPerSecond) +
           static_cast<uint64_t>(ts.tv_nsec);
}

} // namespace

HostClock::Timebase HostClock::timebase() {
    static const Timebase cached = [] {
        const Timebase platform = platformTimebase();
        if (platform.numer == 0 || platform.denom == 0) {
            return Timebase{1, 1};
        }
        return platform;
    }();
    return cached;
}

int64_t HostClock::nowNs() {
    constexpr auto maxNs = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const uint64_t ns = ticksToNs(platformTicks());
    return static_cast<int64_t>(ns < maxNs ? ns : maxNs);
}

uint64_t HostClock::ticksToNs(uint64_t ticks) {
    const Timebase base = timebase();
    return scale(ticks, base.numer, base.denom);
}

uint64_t HostClock::scale(uint64_t value, uint32_t numer, uint32_t denom) {
    constexpr uint64_t maxValue = std::numeric_limits<uint64_t>::max();
    if (numer == denom || denom == 0) {
        return value;
    }
    if (numer == 0 || value <= maxValue / numer) {
        return value * numer / denom;
    }
    // value = q * denom + r, so value * numer / denom = q * numer + r * numer / denom, where
    // r * numer < 2^64 because both factors are below 2^32.
    const uint64_t q = value / denom;
    const uint64_t r = value - q * denom;
    const uint64_t low = r * numer / denom;
    if (q > maxValue / numer) {
        return maxValue;
    }
    const uint64_t high = q * numer;
    return high > maxValue - low ? maxValue : high + low;
}

} // namespace merriphonic
