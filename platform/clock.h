#pragma once

#include <cstdint>

namespace merriphonic {

// A device's monotonic clock in nanoseconds. Every "now" of the logic is read here, so a
// simulated device can run on virtual time with its own offset and skew.
class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual int64_t nowNs() const = 0;
};

} // namespace merriphonic
