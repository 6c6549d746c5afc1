#pragma once

#include <cstdint>

namespace merriphonic {

// One PING/PONG exchange, reduced to what the offset estimate needs.
struct ClockSample {
    int64_t offsetNs = 0; // host clock minus local clock
    int64_t rttNs = 0;    // round trip without the host's processing time
    int64_t localNs = 0;  // local arrival time of the PONG; the sample ages from here
    bool operator==(const ClockSample&) const = default;
};

} // namespace merriphonic
