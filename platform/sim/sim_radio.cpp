#include "platform/sim/sim_radio.h"

#include <utility>

#include "platform/sim/sim_air_core.h"

namespace merriphonic {

const std::string& SimRadio::name() const {
    return air_.name(index_);
}

SimPosition SimRadio::position() const {
    return air_.position(index_);
}

void SimRadio::setPosition(SimPosition position) {
    air_.setPosition(index_, position);
}

RadioState SimRadio::state() const {
    return air_.state(index_);
}

void SimRadio::setState(RadioState state) {
    air_.setState(index_, state);
}

void SimRadio::refuseConnections(std::optional<std::string> errorText) {
    air_.refuseConnections(index_, std::move(errorText));
}

void SimRadio::refuseChannels(std::optional<std::string> errorText) {
    air_.refuseChannels(index_, std::move(errorText));
}

void SimRadio::loseLinks() {
    air_.loseLinks(index_, std::nullopt);
}

void SimRadio::loseLinkWith(const SimRadio& other) {
    air_.loseLinks(index_, other.index_);
}

std::string SimRadio::identifierSeenBy(const SimRadio& observer) const {
    return air_.identifier(observer.index_, index_);
}

std::vector<std::shared_ptr<SimLink>> SimRadio::channels() const {
    return air_.channels(index_);
}

std::unique_ptr<PeripheralManager>
SimRadio::makePeripheralManager(RunLoop& /*main*/,
                                std::weak_ptr<PeripheralManagerDelegate> delegate) {
    return air_.makePeripheralManager(index_, std::move(delegate));
}

std::unique_ptr<CentralManager>
SimRadio::makeCentralManager(RunLoop& /*main*/, std::weak_ptr<CentralManagerDelegate> delegate) {
    return air_.makeCentralManager(index_, std::move(delegate));
}

} // namespace merriphonic
