#pragma once

#include <cstdint>

namespace merriphonic {

// The device's real monotonic clock in nanoseconds. Logic above the core reads time through
// the `Clock` seam; this is what the real `Clock` reads. Safe from any thread.
struct HostClock {
    // Converts platform ticks to nanoseconds: ns = ticks * numer / denom.
    struct Timebase {
        uint32_t numer = 1;
        uint32_t denom = 1;
        bool operator==(const Timebase&) const = default;
    };

    // Initialised once, on first use. A platform ratio with a zero term is replaced by 1/1.
    static Timebase timebase();

    // Current monotonic time, never negative (capped at INT64_MAX).
    static int64_t nowNs();

    static uint64_t ticksToNs(uint64_t ticks);

    // floor(value * numer / denom) without a 128-bit intermediate. A result beyond UINT64_MAX
    // saturates at UINT64_MAX. A zero denominator (an unknown ratio) leaves the value unchanged.
    static uint64_t scale(uint64_t value, uint32_t numer, uint32_t denom);
};

} // namespace merriphonic
