#include "platform/sim/sim_air_core.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "platform/sim/sim_air_state.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

using namespace sim_air;

namespace {

// The CONNECT_IND is followed by a 1.25 ms transmit window delay.
constexpr int64_t transmitWindowDelayNs = 1'250'000;

} // namespace

// ---- peripheral role -----------------------------------------------------------------------

uint16_t SimAirCore::allocatePsm(Device& owner) const {
    const auto inUse = [&owner](uint16_t psm) {
        return std::any_of(owner.peripherals.begin(), owner.peripherals.end(),
                           [psm](const auto& state) { return state->psms.contains(psm); });
    };
    for (int tries = 0; tries <= lastDynamicPsm - firstDynamicPsm; ++tries) {
        const uint16_t psm = owner.nextPsm;
        owner.nextPsm = psm == lastDynamicPsm ? firstDynamicPsm : static_cast<uint16_t>(psm + 1);
        if (!inUse(psm)) {
            return psm;
        }
    }
    return 0;
}

void SimAirCore::publish(const std::shared_ptr<PeripheralState>& state) {
    Device& owner = device(state->device);
    const uint64_t generation = owner.generation;
    if (owner.state != RadioState::poweredOn) {
        tell(state, model_.operationNs, generation,
             [](PeripheralManagerDelegate& d) { d.channelPublished(0, error(notOnText)); });
        return;
    }
    const uint16_t psm = allocatePsm(owner);
    if (psm == 0) {
        tell(state, model_.operationNs, generation,
             [](PeripheralManagerDelegate& d) { d.channelPublished(0, error(noPsmText)); });
        return;
    }
    state->psms.insert(psm);
    tell(state, model_.operationNs, generation,
         [psm](PeripheralManagerDelegate& d) { d.channelPublished(psm, std::nullopt); });
}

void SimAirCore::unpublish(const std::shared_ptr<PeripheralState>& state, uint16_t psm) {
    const bool published = state->psms.erase(psm) > 0;
    tell(state, model_.operationNs, device(state->device).generation,
         [psm, published](PeripheralManagerDelegate& d) {
             d.channelUnpublished(psm, published ? std::nullopt
                                                 : std::optional(error(notPublishedText)));
         });
}

void SimAirCore::addService(const std::shared_ptr<PeripheralState>& state,
                            const GattServiceSpec& service) {
    Device& owner = device(state->device);
    if (owner.state != RadioState::poweredOn) {
        tell(state, model_.operationNs, owner.generation, [service](PeripheralManagerDelegate& d) {
            d.serviceAdded(service, error(notOnText));
        });
        return;
    }
    std::erase_if(state->services,
                  [&](const GattServiceSpec& s) { return sameUuid(s.uuid, service.uuid); });
    state->services.push_back(service);
    tell(state, model_.operationNs, owner.generation,
         [service](PeripheralManagerDelegate& d) { d.serviceAdded(service, std::nullopt); });
}

void SimAirCore::startAdvertising(const std::shared_ptr<PeripheralState>& state,
                                  const AdvertisingData& data) {
    Device& owner = device(state->device);
    if (owner.state != RadioState::poweredOn) {
        tell(state, model_.operationNs, owner.generation,
             [](PeripheralManagerDelegate& d) { d.advertisingStarted(error(notOnText)); });
        return;
    }
    state->advertising = true;
    state->data = data;
    const uint64_t run = ++state->advertisingRun;
    tell(state, model_.operationNs, owner.generation,
         [](PeripheralManagerDelegate& d) { d.advertisingStarted(std::nullopt); });
    const auto firstNs = world_.nowNs() + model_.operationNs +
                         static_cast<int64_t>(uniform() * double(model_.advertisingDelayMaxNs));
    loop_.postAt(firstNs, [this, weak = std::weak_ptr<PeripheralState>(state), run] {
        advertisingEvent(weak, run);
    });
}

void SimAirCore::retire(PeripheralState& state) {
    state.alive = false;
    state.advertising = false;
    ++state.advertisingRun;
    state.services.clear();
    state.psms.clear();
    std::erase_if(device(state.device).peripherals,
                  [&state](const auto& s) { return s.get() == &state; });
}

void SimAirCore::advertisingEvent(const std::weak_ptr<PeripheralState>& weak, uint64_t run) {
    auto state = weak.lock();
    if (!state || !state->alive || !state->advertising || state->advertisingRun != run) {
        return;
    }
    const Device& advertiser = device(state->device);
    for (size_t r = 0; r < devices_.size(); ++r) {
        const Device& receiver = *devices_[r];
        if (static_cast<int>(r) == state->device || receiver.state != RadioState::poweredOn) {
            continue;
        }
        // Draws for every listener, in device order, so that a seed replays the same air.
        const double rssi = model_.meanRssiDbm(advertiser.position.distanceTo(receiver.position)) +
                            gaussian() * model_.shadowingSigmaDb;
        const bool missed = uniform() < model_.advertisementLossRatio;
        if (!missed && rssi >= model_.sensitivityDbm) {
            heard(static_cast<int>(r), *state, std::clamp(int(std::lround(rssi)), -127, 20));
        }
    }
    const auto nextNs = world_.nowNs() + model_.advertisingIntervalNs +
                        static_cast<int64_t>(uniform() * double(model_.advertisingDelayMaxNs));
    loop_.postAt(nextNs, [this, weak, run] { advertisingEvent(weak, run); });
}

void SimAirCore::heard(int receiver, const PeripheralState& advertiser, int rssi) {
    const int from = advertiser.device;
    Advertisement advertisement;
    if (!advertiser.data.localName.empty()) {
        advertisement.localName = advertiser.data.localName;
    }
    advertisement.serviceUuids = advertiser.data.serviceUuids;
    for (const auto& central : std::vector(device(receiver).centrals)) {
        if (!central->scanning || !passes(central->filter, advertisement.serviceUuids)) {
            continue;
        }
        if (!central->allowDuplicates && !central->reported.insert(from).second) {
            continue;
        }
        auto remote = remoteFor(central, from);
        tell(central, 0, [remote, advertisement, rssi](CentralManagerDelegate& d) {
            d.peripheralDiscovered(remote, advertisement, rssi);
        });
    }
    // A connectable advertisement is what a pending connection waits for.
    for (const auto& connection : std::vector(connections_)) {
        if (connection->central != receiver || connection->peripheral != from ||
            connection->established || connection->connecting) {
            continue;
        }
        connection->connecting = true;
        const int64_t setupNs =
            transmitWindowDelayNs +
            static_cast<int64_t>(uniform() * double(model_.connectionIntervalNs)) +
            model_.connectionSetupEvents * model_.connectionIntervalNs;
        if (const auto& refusal = device(from).refuseConnections) {
            auto owner = connection->owner.lock();
            dropConnection(connection);
            if (owner) {
                auto remote = remoteFor(owner, from);
                tell(owner, setupNs, [remote, text = *refusal](CentralManagerDelegate& d) {
                    d.peripheralFailedToConnect(remote, RadioError{text});
                });
            }
            continue;
        }
        loop_.postAt(world_.nowNs() + setupNs,
                     [this, weak = std::weak_ptr<Connection>(connection)] { establish(weak); });
    }
}

} // namespace merriphonic
