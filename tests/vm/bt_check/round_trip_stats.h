#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/message.h"

namespace merriphonic {

// PING round trips as the clock synchronisation sees them: (t4 - t1) - (t3 - t2), the time on
// the air and in the stacks without the far end's turnaround.
class RoundTripStats {
public:
    // Adds the exchange answered by this PONG, received at t4. Both processes of the check run
    // on one machine and read one monotonic clock, so the four stamps must come in order:
    // anything else is a stamping fault, returned as text (and the sample is not kept).
    std::optional<std::string> add(const Pong& pong, int64_t t4);

    [[nodiscard]] size_t count() const { return rttNs_.size(); }
    // 0 without samples.
    [[nodiscard]] double minMs() const;
    // The middle sample, or the mean of the two middle ones; 0 without samples.
    [[nodiscard]] double medianMs() const;
    [[nodiscard]] double maxMs() const;

private:
    std::vector<int64_t> rttNs_;
};

} // namespace merriphonic
