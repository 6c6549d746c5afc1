#include "platform/sim/sim_air_core.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_air_state.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

using namespace sim_air;

namespace {

// Connections of one radio get their events at distinct eighths of the interval.
constexpr int eventSlots = 8;

} // namespace

// ---- central role --------------------------------------------------------------------------

std::shared_ptr<SimAirCore::Remote>
SimAirCore::remoteFor(const std::shared_ptr<CentralState>& state, int index) {
    auto& remote = state->remotes[index];
    if (!remote) {
        remote = std::make_shared<Remote>(weak_from_this(), state, index,
                                          identifier(state->device, index));
    }
    return remote;
}

void SimAirCore::scan(CentralState& state, const std::vector<std::string>& serviceUuids,
                      bool allowDuplicates) {
    if (device(state.device).state != RadioState::poweredOn) {
        return;
    }
    state.scanning = true;
    state.filter = serviceUuids;
    state.allowDuplicates = allowDuplicates;
    state.reported.clear();
}

std::vector<std::shared_ptr<RemotePeripheral>>
SimAirCore::retrieve(const std::shared_ptr<CentralState>& state,
                     const std::vector<std::string>& ids) {
    std::vector<std::shared_ptr<RemotePeripheral>> found;
    for (const std::string& id : ids) {
        for (size_t index = 0; index < devices_.size(); ++index) {
            const int other = static_cast<int>(index);
            if (other != state->device && sameUuid(identifier(state->device, other), id)) {
                found.push_back(remoteFor(state, other));
                break;
            }
        }
    }
    return found;
}

std::shared_ptr<SimAirCore::Connection> SimAirCore::connectionOf(const Remote& remote,
                                                                 bool established) const {
    const auto central = remote.central();
    for (const auto& connection : connections_) {
        if (connection->owner.lock() == central && connection->peripheral == remote.device() &&
            (!established || connection->established)) {
            return connection;
        }
    }
    return nullptr;
}

void SimAirCore::dropConnection(const std::shared_ptr<Connection>& connection) {
    std::erase(connections_, connection);
}

void SimAirCore::connect(const std::shared_ptr<CentralState>& state,
                         const std::shared_ptr<Remote>& remote) {
    if (device(state->device).state != RadioState::poweredOn) {
        tell(state, model_.operationNs, [remote](CentralManagerDelegate& d) {
            d.peripheralFailedToConnect(remote, error(notOnText));
        });
        return;
    }
    if (auto existing = connectionOf(*remote, false)) {
        if (existing->established) {
            tell(state, model_.operationNs,
                 [remote](CentralManagerDelegate& d) { d.peripheralConnected(remote); });
        }
        return; // an attempt is already under way
    }
    auto connection = std::make_shared<Connection>();
    connection->central = state->device;
    connection->peripheral = remote->device();
    connection->owner = state;
    connections_.push_back(std::move(connection));
}

void SimAirCore::establish(const std::weak_ptr<Connection>& weak) {
    auto connection = weak.lock();
    if (!connection || connection->established) {
        return; // cancelled meanwhile
    }
    if (device(connection->central).state != RadioState::poweredOn ||
        device(connection->peripheral).state != RadioState::poweredOn) {
        connection->connecting = false; // try again at the next advertisement heard
        return;
    }
    connection->offsetNs = freeOffsetNs(*connection);
    connection->established = true;
    connection->attBusyUntilNs = world_.nowNs();
    if (auto owner = connection->owner.lock()) {
        auto remote = remoteFor(owner, connection->peripheral);
        tell(owner, 0, [remote](CentralManagerDelegate& d) { d.peripheralConnected(remote); });
    }
}

int64_t SimAirCore::freeOffsetNs(const Connection& connection) const {
    // The lowest slot no other connection of either radio uses.
    std::set<int64_t> taken;
    for (const auto& other : connections_) {
        const bool shares =
            other->central == connection.central || other->peripheral == connection.peripheral ||
            other->central == connection.peripheral || other->peripheral == connection.central;
        if (other.get() != &connection && other->established && shares) {
            taken.insert(other->offsetNs);
        }
    }
    const int64_t step = model_.connectionIntervalNs / eventSlots;
    for (int slot = 0; slot < eventSlots; ++slot) {
        if (!taken.contains(slot * step)) {
            return slot * step;
        }
    }
    return static_cast<int64_t>(taken.size() % eventSlots) * step;
}

void SimAirCore::cancelConnection(const CentralState& state, const Remote& remote) {
    // Channels opened over the connection keep the link up; they end with their streams.
    std::erase_if(connections_, [&](const auto& connection) {
        return connection->owner.lock().get() == &state &&
               connection->peripheral == remote.device();
    });
}

void SimAirCore::retire(CentralState& state) {
    state.alive = false;
    state.scanning = false;
    std::erase_if(connections_, [&state](const auto& connection) {
        auto owner = connection->owner.lock();
        return !owner || owner.get() == &state;
    });
    std::erase_if(device(state.device).centrals,
                  [&state](const auto& s) { return s.get() == &state; });
}

int64_t SimAirCore::nextEventNs(int64_t fromNs, int64_t offsetNs) const {
    const int64_t interval = model_.connectionIntervalNs;
    const int64_t since = fromNs - offsetNs;
    int64_t k = since / interval - (since % interval < 0 ? 1 : 0);
    if (k * interval + offsetNs < fromNs) {
        ++k;
    }
    return k * interval + offsetNs;
}

int64_t SimAirCore::attDoneNs(Connection& connection, int requests) {
    const int64_t startNs = std::max(world_.nowNs(), connection.attBusyUntilNs);
    const int64_t doneNs =
        nextEventNs(startNs, connection.offsetNs) +
        int64_t{requests} * model_.attRoundTripEvents * model_.connectionIntervalNs;
    connection.attBusyUntilNs = doneNs;
    return doneNs;
}

const GattServiceSpec* SimAirCore::findService(int index, const std::string& uuid) const {
    for (const auto& state : device(index).peripherals) {
        for (const GattServiceSpec& service : state->services) {
            if (sameUuid(service.uuid, uuid)) {
                return &service;
            }
        }
    }
    return nullptr;
}

void SimAirCore::discoverServices(const std::shared_ptr<Remote>& remote,
                                  const std::vector<std::string>& serviceUuids) {
    const auto central = remote->central();
    if (!central) {
        return;
    }
    const auto connection = connectionOf(*remote, true);
    if (!connection) {
        tell(central, model_.operationNs, [remote](CentralManagerDelegate& d) {
            d.servicesDiscovered(remote, error(notConnectedText));
        });
        return;
    }
    const int64_t delayNs =
        attDoneNs(*connection, model_.serviceDiscoveryRequests) - world_.nowNs();
    onLoop(central->main, delayNs,
           [remote, serviceUuids, weak = std::weak_ptr<Connection>(connection)](SimAirCore& air) {
               auto central = remote->central();
               if (weak.expired() || !central || !central->alive) {
                   return; // the disconnect, if any, is reported on its own
               }
               std::vector<std::string> found;
               for (const auto& state : air.device(remote->device()).peripherals) {
                   for (const GattServiceSpec& service : state->services) {
                       if (serviceUuids.empty() || listed(serviceUuids, service.uuid)) {
                           found.push_back(upperCase(service.uuid));
                       }
                   }
               }
               remote->foundServices = found;
               if (auto delegate = central->delegate.lock()) {
                   delegate->servicesDiscovered(remote, std::nullopt);
               }
           });
}

void SimAirCore::discoverCharacteristics(const std::shared_ptr<Remote>& remote,
                                         const std::vector<std::string>& characteristicUuids,
                                         const std::string& serviceUuid) {
    const auto central = remote->central();
    if (!central) {
        return;
    }
    const auto connection = connectionOf(*remote, true);
    if (!connection) {
        tell(central, model_.operationNs, [remote, serviceUuid](CentralManagerDelegate& d) {
            d.characteristicsDiscovered(remote, serviceUuid, error(notConnectedText));
        });
        return;
    }
    const int64_t delayNs =
        attDoneNs(*connection, model_.characteristicDiscoveryRequests) - world_.nowNs();
    onLoop(central->main, delayNs,
           [remote, characteristicUuids, serviceUuid,
            weak = std::weak_ptr<Connection>(connection)](SimAirCore& air) {
               auto central = remote->central();
               if (weak.expired() || !central || !central->alive) {
                   return;
               }
               const GattServiceSpec* service = air.findService(remote->device(), serviceUuid);
               std::vector<std::string> found;
               if (service != nullptr) {
                   for (const GattCharacteristicSpec& characteristic : service->characteristics) {
                       if (characteristicUuids.empty() ||
                           listed(characteristicUuids, characteristic.uuid)) {
                           found.push_back(upperCase(characteristic.uuid));
                       }
                   }
               }
               remote->foundCharacteristics[upperCase(serviceUuid)] = found;
               if (auto delegate = central->delegate.lock()) {
                   delegate->characteristicsDiscovered(
                       remote, serviceUuid,
                       service != nullptr ? std::nullopt : std::optional(error(notFoundText)));
               }
           });
}

void SimAirCore::readValue(const std::shared_ptr<Remote>& remote, const std::string& serviceUuid,
                           const std::string& characteristicUuid) {
    const auto central = remote->central();
    if (!central) {
        return;
    }
    const auto connection = connectionOf(*remote, true);
    if (!connection) {
        tell(central, model_.operationNs, [remote, characteristicUuid](CentralManagerDelegate& d) {
            d.valueUpdated(remote, characteristicUuid, std::nullopt, error(notConnectedText));
        });
        return;
    }
    const auto lookUp = [](SimAirCore& air, int index, const std::string& service,
                           const std::string& characteristic) -> const Bytes* {
        const GattServiceSpec* spec = air.findService(index, service);
        if (spec == nullptr) {
            return nullptr;
        }
        for (const GattCharacteristicSpec& c : spec->characteristics) {
            if (sameUuid(c.uuid, characteristic)) {
                return &c.value;
            }
        }
        return nullptr;
    };
    // A value longer than one ATT response takes blob reads.
    int requests = 1;
    if (const Bytes* value = lookUp(*this, remote->device(), serviceUuid, characteristicUuid)) {
        const size_t perResponse = model_.attMtu - 1;
        requests =
            static_cast<int>(std::max<size_t>(1, (value->size() + perResponse - 1) / perResponse));
    }
    const int64_t delayNs = attDoneNs(*connection, requests) - world_.nowNs();
    onLoop(central->main, delayNs,
           [remote, serviceUuid, characteristicUuid, lookUp,
            weak = std::weak_ptr<Connection>(connection)](SimAirCore& air) {
               auto central = remote->central();
               if (weak.expired() || !central || !central->alive) {
                   return;
               }
               auto delegate = central->delegate.lock();
               if (!delegate) {
                   return;
               }
               if (const Bytes* value =
                       lookUp(air, remote->device(), serviceUuid, characteristicUuid)) {
                   delegate->valueUpdated(remote, characteristicUuid, *value, std::nullopt);
               } else {
                   delegate->valueUpdated(remote, characteristicUuid, std::nullopt,
                                          error(notFoundText));
               }
           });
}

void SimAirCore::openChannel(const std::shared_ptr<Remote>& remote, uint16_t psm) {
    const auto central = remote->central();
    if (!central) {
        return;
    }
    const auto connection = connectionOf(*remote, true);
    if (!connection) {
        tell(central, model_.operationNs, [remote](CentralManagerDelegate& d) {
            d.channelOpened(remote, nullptr, error(notConnectedText));
        });
        return;
    }
    const int64_t doneNs = nextEventNs(world_.nowNs(), connection->offsetNs) +
                           int64_t{model_.channelOpenEvents} * model_.connectionIntervalNs;
    loop_.postAt(doneNs, [this, remote, psm, weak = std::weak_ptr<Connection>(connection)] {
        openChannelNow(weak, remote, psm);
    });
}

void SimAirCore::openChannelNow(const std::weak_ptr<Connection>& weak,
                                const std::shared_ptr<Remote>& remote, uint16_t psm) {
    auto central = remote->central();
    auto connection = weak.lock();
    if (!central || !central->alive || !connection) {
        return;
    }
    const auto refuse = [&](std::string text) {
        tell(central, 0, [remote, text = std::move(text)](CentralManagerDelegate& d) {
            d.channelOpened(remote, nullptr, RadioError{text});
        });
    };
    Device& speaker = device(connection->central);
    Device& host = device(connection->peripheral);
    std::shared_ptr<PeripheralState> owner;
    for (const auto& state : host.peripherals) {
        if (state->psms.contains(psm)) {
            owner = state;
        }
    }
    if (host.refuseChannels) {
        refuse(*host.refuseChannels);
        return;
    }
    if (!owner || host.state != RadioState::poweredOn || !speaker.streamsRef.isAlive() ||
        !host.streamsRef.isAlive()) {
        refuse(std::string(refusedText));
        return;
    }

    SimLinkConfig config;
    config.segmentBytes = model_.sduBytes;
    config.sendBufferBytes = model_.sendBufferBytes;
    config.receiveBufferBytes = model_.receiveBufferBytes;
    const int airLink =
        airtime_.addLink(speaker.airtimeRadio, host.airtimeRadio, connection->offsetNs);
    // Each direction passes the sender's stack down to its controller in order, waits for
    // the link's connection events, and passes the receiver's stack up.
    auto reachesController = std::make_shared<std::array<int64_t, 2>>(std::array<int64_t, 2>{
        std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min()});
    config.timing = [weakAir = weak_from_this(), airLink,
                     reachesController](const SimLinkUnit& unit) {
        auto air = weakAir.lock();
        if (!air) {
            return SimLinkTiming{unit.readyNs, unit.readyNs};
        }
        int64_t& down = (*reachesController)[unit.from == SimLinkSide::a ? 0 : 1];
        down = std::max(down, unit.readyNs + air->stackLatency());
        const int64_t doneNs =
            air->airtime_.transmit(airLink, down, unit.bytes, unit.from == SimLinkSide::a ? 0 : 1);
        return SimLinkTiming{doneNs, doneNs + air->stackLatency()};
    };
    auto link =
        std::make_shared<SimLink>(world_, *speaker.streams, *host.streams, config,
                                  speaker.name + "-" + host.name + ".psm" + std::to_string(psm));
    channels_.push_back(Channel{link, connection->central, connection->peripheral, false});

    auto hostChannel = std::make_shared<L2capChannel>(
        L2capChannel{identifier(connection->peripheral, connection->central), link->sideB()});
    auto speakerChannel =
        std::make_shared<L2capChannel>(L2capChannel{remote->identifier(), link->sideA()});
    tell(owner, 0, std::nullopt, [hostChannel](PeripheralManagerDelegate& d) {
        d.channelOpened(hostChannel, std::nullopt);
    });
    tell(central, 0, [remote, speakerChannel](CentralManagerDelegate& d) {
        d.channelOpened(remote, speakerChannel, std::nullopt);
    });
}

} // namespace merriphonic