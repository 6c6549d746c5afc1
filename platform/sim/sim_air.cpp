#include "platform/sim/sim_air.h"

#include "platform/sim/sim_air_core.h"

namespace merriphonic {

SimAir::SimAir(SimWorld& world, const SimRadioModel& model)
    : core_(std::make_shared<SimAirCore>(world, model)) {}

SimAir::~SimAir() = default;

SimRadio& SimAir::attach(SimDevice& device, SimPosition position) {
    return core_->attach(device, position);
}

const SimRadioModel& SimAir::model() const {
    return core_->model();
}

} // namespace merriphonic
