#include "core/drift_controller.h"

#include "core/sync_protocol.h"

#include <cmath>

namespace merriphonic {

namespace {

// Written out rather than std::clamp: a NaN x lands on lo, and lo > hi is not undefined.
double clampTo(double x, double lo, double hi) {
    const double low = x >= lo ? x : lo;
    return low < hi ? low : hi;
}

} // namespace

DriftController::DriftController(double deadbandMs, double hardResyncMs, double maxTrim,
                                 double gainPerMs, double integralPerMs)
    : deadbandMs(deadbandMs), hardResyncMs(hardResyncMs), maxTrim(maxTrim), gainPerMs(gainPerMs),
      integralPerMs(integralPerMs) {}

DriftController DriftController::forPlayer() {
    return {1.0, SyncProtocol::hardResyncMs, SyncProtocol::maxRateTrim, 0.0003, 0.0001};
}

DriftController::Action DriftController::action(double errorMs) const {
    if (!std::isfinite(errorMs) || std::fabs(errorMs) > hardResyncMs) {
        return Resync{};
    }
    if (std::fabs(errorMs) <= deadbandMs) {
        return Rate{1.0};
    }
    return Rate{1.0 - clampTo(gainPerMs * errorMs, -maxTrim, maxTrim)};
}

DriftController::Action DriftController::update(double errorMs) {
    if (!std::isfinite(errorMs) || std::fabs(errorMs) > hardResyncMs) {
        return Resync{};
    }
    integral = clampTo(integral + integralPerMs * errorMs, -maxTrim, maxTrim);
    return Rate{1.0 - clampTo(gainPerMs * errorMs + integral, -maxTrim, maxTrim)};
}

} // namespace merriphonic
