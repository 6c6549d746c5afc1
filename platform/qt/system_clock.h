#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace merriphonic {

// The device's real monotonic clock (CLOCK_MONOTONIC through HostClock). Safe from any thread.
class SystemClock final : public Clock {
public:
    [[nodiscard]] int64_t nowNs() const override;
};

} // namespace merriphonic
