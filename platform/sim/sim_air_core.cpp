#include "platform/sim/sim_air_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string_view>
#include <utility>

#include "platform/sim/sim_air_state.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

using namespace sim_air;

namespace {

uint64_t fnv1a(std::string_view text, uint64_t hash) {
    for (const char c : text) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

} // namespace

// ---- the air -------------------------------------------------------------------------------

SimAirCore::SimAirCore(SimWorld& world, const SimRadioModel& model)
    : world_(world), model_(model), airtime_(model, [this] { return uniform(); }),
      loop_(world, "air") {}

SimAirCore::~SimAirCore() = default;

SimRadio& SimAirCore::attach(SimDevice& device, SimPosition position) {
    auto entry = std::make_unique<Device>();
    entry->name = device.name();
    entry->position = position;
    entry->main = device.main().ref();
    entry->streamsRef = device.streams().ref();
    entry->streams = &device.streams();
    entry->airtimeRadio = airtime_.addRadio();
    entry->radio = std::make_unique<SimRadio>(*this, static_cast<int>(devices_.size()));
    SimRadio& radio = *entry->radio;
    devices_.push_back(std::move(entry));
    device.context().radio = &radio;
    return radio;
}

SimAirCore::Device& SimAirCore::device(int index) const {
    return *devices_.at(static_cast<size_t>(index));
}

const std::string& SimAirCore::name(int index) const {
    return device(index).name;
}

SimPosition SimAirCore::position(int index) const {
    return device(index).position;
}

void SimAirCore::setPosition(int index, SimPosition position) {
    device(index).position = position;
}

RadioState SimAirCore::state(int index) const {
    return device(index).state;
}

void SimAirCore::refuseConnections(int index, std::optional<std::string> errorText) {
    device(index).refuseConnections = std::move(errorText);
}

void SimAirCore::refuseChannels(int index, std::optional<std::string> errorText) {
    device(index).refuseChannels = std::move(errorText);
}

std::string SimAirCore::identifier(int observer, int observed) const {
    // A name-based identifier: stable for the pair of devices, different for each observer.
    const std::string key = device(observer).name + '\x1f' + std::to_string(observer) + '\x1f' +
                            device(observed).name + '\x1f' + std::to_string(observed);
    uint64_t high = fnv1a(key, 0xCBF29CE484222325ULL);
    uint64_t low = fnv1a(key, high ^ 0x9E3779B97F4A7C15ULL);
    high = (high & ~0xF000ULL) | 0x8000ULL; // version 8: custom
    low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::vector<std::shared_ptr<SimLink>> SimAirCore::channels(int index) const {
    std::vector<std::shared_ptr<SimLink>> links;
    for (const Channel& channel : channels_) {
        if (channel.central == index || channel.peripheral == index) {
            links.push_back(channel.link);
        }
    }
    return links;
}

double SimAirCore::uniform() {
    return static_cast<double>(world_.rng()() >> 11) * 0x1.0p-53;
}

int64_t SimAirCore::stackLatency() {
    const auto span = static_cast<double>(model_.stackLatencyMaxNs - model_.stackLatencyMinNs);
    return model_.stackLatencyMinNs + static_cast<int64_t>(uniform() * std::max(0.0, span));
}

double SimAirCore::gaussian() {
    // Box-Muller, so that a seed gives the same draws with any standard library.
    const double u1 = 1.0 - uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

void SimAirCore::onLoop(const SimLoopRef& loop, int64_t delayNs,
                        std::function<void(SimAirCore&)> task) {
    loop.postAt(world_.nowNs() + delayNs, [weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) {
            task(*self);
        }
    });
}

void SimAirCore::tell(const std::shared_ptr<PeripheralState>& state, int64_t delayNs,
                      std::optional<uint64_t> generation, PeripheralEvent event) {
    onLoop(state->main, delayNs,
           [weak = std::weak_ptr<PeripheralState>(state), generation,
            event = std::move(event)](SimAirCore& air) {
               auto target = weak.lock();
               if (!target || !target->alive ||
                   (generation && air.device(target->device).generation != *generation)) {
                   return;
               }
               if (auto delegate = target->delegate.lock()) {
                   event(*delegate);
               }
           });
}

void SimAirCore::tell(const std::shared_ptr<CentralState>& state, int64_t delayNs,
                      CentralEvent event) {
    onLoop(state->main, delayNs,
           [weak = std::weak_ptr<CentralState>(state), event = std::move(event)](SimAirCore&) {
               auto target = weak.lock();
               if (!target || !target->alive) {
                   return;
               }
               if (auto delegate = target->delegate.lock()) {
                   event(*delegate);
               }
           });
}
// ---- power, faults -------------------------------------------------------------------------

void SimAirCore::setState(int index, RadioState state) {
    Device& target = device(index);
    if (target.state == state) {
        return;
    }
    const bool wasOn = target.state == RadioState::poweredOn;
    target.state = state;
    for (const auto& peripheral : target.peripherals) {
        tell(peripheral, model_.stateChangeNs, std::nullopt,
             [state](PeripheralManagerDelegate& d) { d.peripheralStateChanged(state); });
    }
    for (const auto& central : target.centrals) {
        tell(central, model_.stateChangeNs,
             [state](CentralManagerDelegate& d) { d.centralStateChanged(state); });
    }
    if (!wasOn) {
        return;
    }
    // The radio forgets everything it was doing; answers still on their way are void.
    ++target.generation;
    for (const auto& peripheral : target.peripherals) {
        peripheral->advertising = false;
        ++peripheral->advertisingRun;
        peripheral->services.clear();
        peripheral->psms.clear();
    }
    for (const auto& central : target.centrals) {
        central->scanning = false;
        central->reported.clear();
    }
    for (const auto& connection : std::vector(connections_)) {
        auto owner = connection->owner.lock();
        if (connection->central == index) {
            dropConnection(connection);
            if (!owner) {
                continue;
            }
            auto remote = remoteFor(owner, connection->peripheral);
            if (connection->established) {
                tell(owner, model_.stateChangeNs, [remote](CentralManagerDelegate& d) {
                    d.peripheralDisconnected(remote, error(poweredOffText));
                });
            } else {
                tell(owner, model_.stateChangeNs, [remote](CentralManagerDelegate& d) {
                    d.peripheralFailedToConnect(remote, error(poweredOffText));
                });
            }
        } else if (connection->peripheral == index && connection->established) {
            // A powered-off radio announces it: the peer hears it at its next event. A
            // connection still being attempted waits for the radio to come back.
            dropConnection(connection);
            if (owner) {
                auto remote = remoteFor(owner, connection->peripheral);
                tell(owner, model_.connectionIntervalNs, [remote](CentralManagerDelegate& d) {
                    d.peripheralDisconnected(remote, error(remotePoweredOffText));
                });
            }
        }
    }
    for (Channel& channel : channels_) {
        if (channel.ended || (channel.central != index && channel.peripheral != index)) {
            continue;
        }
        channel.ended = true;
        const bool local = channel.central == index;
        channel.link->fail(local ? SimLinkSide::a : SimLinkSide::b, std::string(poweredOffText));
        const SimLinkSide peer = local ? SimLinkSide::b : SimLinkSide::a;
        loop_.postAt(world_.nowNs() + model_.connectionIntervalNs,
                     [link = channel.link, peer] { link->close(peer); });
    }
}

void SimAirCore::loseLinks(int index, std::optional<int> other) {
    const auto involved = [&](int a, int b) {
        return (a == index && (!other || b == *other)) || (b == index && (!other || a == *other));
    };
    for (const auto& connection : std::vector(connections_)) {
        if (!involved(connection->central, connection->peripheral) || !connection->established) {
            continue;
        }
        dropConnection(connection);
        if (auto owner = connection->owner.lock()) {
            auto remote = remoteFor(owner, connection->peripheral);
            tell(owner, model_.supervisionTimeoutNs, [remote](CentralManagerDelegate& d) {
                d.peripheralDisconnected(remote, error(timedOutText));
            });
        }
    }
    for (Channel& channel : channels_) {
        if (channel.ended || !involved(channel.central, channel.peripheral)) {
            continue;
        }
        // Nothing gets through any more; both ends find out when the supervision timer ends.
        channel.ended = true;
        channel.link->stall(true);
        loop_.postAt(world_.nowNs() + model_.supervisionTimeoutNs, [link = channel.link] {
            link->failBoth(std::string(timedOutText));
            link->stall(false);
        });
    }
}

} // namespace merriphonic
