#include "platform/sim/sim_clock.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/sim/sim_world.h"

namespace merriphonic {

namespace {

using Wide = __int128;

// Skew is held as an integer numerator over this scale: 10^-18, i.e. 10^-12 ppm.
constexpr int64_t skewScale = 1'000'000'000'000'000'000;
constexpr double unitsPerPpm = 1e12;

Wide floorDiv(Wide numerator, Wide denominator) {
    Wide quotient = numerator / denominator;
    if ((numerator % denominator != 0) && ((numerator < 0) != (denominator < 0))) {
        --quotient;
    }
    return quotient;
}

int64_t clampToInt64(Wide value) {
    if (value > std::numeric_limits<int64_t>::max()) {
        return std::numeric_limits<int64_t>::max();
    }
    if (value < std::numeric_limits<int64_t>::min()) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(value);
}

int64_t skewUnits(double skewPpm) {
    if (!std::isfinite(skewPpm) || skewPpm <= -1e6 || skewPpm >= 1e6) {
        throw std::invalid_argument("SimClock: skew must lie strictly between -1e6 and 1e6 ppm");
    }
    return std::llround(skewPpm * unitsPerPpm);
}

// Device nanoseconds elapsed over elapsedNs of world time, rounded down; non-decreasing in
// elapsedNs because the rate 1 + skew is positive.
Wide deviceElapsed(Wide elapsedNs, int64_t skew) {
    return floorDiv(elapsedNs * (Wide(skewScale) + skew), skewScale);
}

} // namespace

SimClock::SimClock(const SimWorld& world, int64_t offsetNs, double skewPpm)
    : world_(world), anchorDeviceNs_(offsetNs), skewPerScale_(skewUnits(skewPpm)),
      skewPpm_(skewPpm) {}

int64_t SimClock::nowNs() const {
    return deviceTimeAt(world_.nowNs());
}

int64_t SimClock::deviceTimeAt(int64_t worldNs) const {
    const Wide elapsed = Wide(worldNs) - anchorWorldNs_;
    return clampToInt64(Wide(anchorDeviceNs_) + deviceElapsed(elapsed, skewPerScale_));
}

int64_t SimClock::worldTimeAt(int64_t deviceNs) const {
    const Wide target = Wide(deviceNs) - anchorDeviceNs_;
    // floor(e × rate) >= target  <=>  e × rate >= target  <=>  e >= ceil(target / rate), the
    // rate being (scale + skew) / scale.
    const Wide elapsed = -floorDiv(-target * skewScale, Wide(skewScale) + skewPerScale_);
    return clampToInt64(Wide(anchorWorldNs_) + elapsed);
}

int64_t SimClock::offsetNs() const {
    return nowNs() - world_.nowNs();
}

void SimClock::setSkewPpm(double skewPpm) {
    const int64_t units = skewUnits(skewPpm);
    const int64_t now = world_.nowNs();
    anchorDeviceNs_ = deviceTimeAt(now);
    anchorWorldNs_ = now;
    skewPerScale_ = units;
    skewPpm_ = skewPpm;
}

void SimClock::step(int64_t deltaNs) {
    anchorDeviceNs_ = clampToInt64(Wide(anchorDeviceNs_) + deltaNs);
}

void SimClock::setOffsetNs(int64_t aheadNs) {
    step(clampToInt64(Wide(aheadNs) - offsetNs()));
}

} // namespace merriphonic
