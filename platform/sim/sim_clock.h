#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace merriphonic {

class SimWorld;

// A device's monotonic clock over the world's virtual time:
//   device = offsetNs + world × (1 + skewPpm / 10^6)
// in exact integer arithmetic (the skew is held to 10^-12 ppm), so a reading is exact to the
// nanosecond (rounded down) after any span of virtual time. A change of skew keeps the reading
// continuous; only step() moves it abruptly.
//
// Both mappings use the current offset and skew; for instants before the last change they
// extrapolate the current rate rather than replay the history.
class SimClock final : public Clock {
public:
    // Skews must lie strictly between -10^6 and 10^6 ppm (a clock must keep moving forward);
    // std::invalid_argument otherwise.
    explicit SimClock(const SimWorld& world, int64_t offsetNs = 0, double skewPpm = 0.0);

    [[nodiscard]] int64_t nowNs() const override;

    // The reading at a world instant.
    [[nodiscard]] int64_t deviceTimeAt(int64_t worldNs) const;
    // The earliest world instant at which the clock reads deviceNs or later.
    [[nodiscard]] int64_t worldTimeAt(int64_t deviceNs) const;

    [[nodiscard]] double skewPpm() const { return skewPpm_; }
    // The reading minus the world time, now.
    [[nodiscard]] int64_t offsetNs() const;

    // Runs the clock at a new rate from now on, without a jump.
    void setSkewPpm(double skewPpm);
    // Jumps the reading by deltaNs (backwards too): the one way to break monotonicity.
    void step(int64_t deltaNs);
    // Steps the clock so that it reads aheadNs ahead of the world time now.
    void setOffsetNs(int64_t aheadNs);

private:
    const SimWorld& world_;
    // The reading is anchorDeviceNs_ at anchorWorldNs_ and runs at the skew from there.
    int64_t anchorWorldNs_ = 0;
    int64_t anchorDeviceNs_ = 0;
    int64_t skewPerScale_ = 0; // skew in units of 10^-18
    double skewPpm_ = 0.0;
};

} // namespace merriphonic
