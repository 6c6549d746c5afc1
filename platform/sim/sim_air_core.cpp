#include "platform/sim/sim_air_core.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <numbers>
#include <set>
#include <string_view>
#include <utility>

#include "core/uuid.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_radio.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

namespace {

// Error descriptions, worded as a Linux Bluetooth stack reports them.
constexpr std::string_view notOnText = "Bluetooth is not powered on";
constexpr std::string_view poweredOffText = "Bluetooth was powered off";
constexpr std::string_view remotePoweredOffText = "Remote device powered off";
constexpr std::string_view timedOutText = "Connection timed out";
constexpr std::string_view notConnectedText = "Not connected";
constexpr std::string_view refusedText = "Connection refused";
constexpr std::string_view notFoundText = "Attribute not found";
constexpr std::string_view notPublishedText = "PSM not published";
constexpr std::string_view noPsmText = "No free PSM";

// The LE dynamic PSM range.
constexpr uint16_t firstDynamicPsm = 0x0080;
constexpr uint16_t lastDynamicPsm = 0x00FF;
// Connections of one radio get their events at distinct eighths of the interval.
constexpr int eventSlots = 8;
// The CONNECT_IND is followed by a 1.25 ms transmit window delay.
constexpr int64_t transmitWindowDelayNs = 1'250'000;

RadioError error(std::string_view text) {
    return RadioError{std::string(text)};
}

bool listed(const std::vector<std::string>& uuids, std::string_view uuid) {
    return std::any_of(uuids.begin(), uuids.end(),
                       [uuid](const std::string& item) { return sameUuid(item, uuid); });
}

// An empty filter lets everything through.
bool passes(const std::vector<std::string>& filter, const std::vector<std::string>& offered) {
    return filter.empty() || std::any_of(offered.begin(), offered.end(),
                                         [&](const std::string& u) { return listed(filter, u); });
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return text;
}

uint64_t fnv1a(std::string_view text, uint64_t hash) {
    for (const char c : text) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001B3ULL;
    }
    return hash;
}

} // namespace

// ---- state -------------------------------------------------------------------------------

struct SimAirCore::PeripheralState {
    int device = 0;
    SimLoopRef main;
    std::weak_ptr<PeripheralManagerDelegate> delegate;
    bool alive = true;
    bool advertising = false;
    AdvertisingData data;
    uint64_t advertisingRun = 0; // bumped by every start and stop: older events end
    std::vector<GattServiceSpec> services;
    std::set<uint16_t> psms;
};

struct SimAirCore::CentralState {
    int device = 0;
    SimLoopRef main;
    std::weak_ptr<CentralManagerDelegate> delegate;
    bool alive = true;
    bool scanning = false;
    std::vector<std::string> filter;
    bool allowDuplicates = false;
    std::set<int> reported; // devices already reported by this scan (without duplicates)
    std::map<int, std::shared_ptr<Remote>> remotes;
};

struct SimAirCore::Device {
    std::string name;
    SimPosition position;
    RadioState state = RadioState::poweredOn;
    uint64_t generation = 0; // bumped whenever the radio leaves poweredOn
    SimLoopRef main;
    SimLoopRef streamsRef;
    SimRunLoop* streams = nullptr; // valid while streamsRef is alive
    int airtimeRadio = 0;
    std::optional<std::string> refuseConnections;
    std::optional<std::string> refuseChannels;
    uint16_t nextPsm = firstDynamicPsm + 1;
    std::vector<std::shared_ptr<PeripheralState>> peripherals;
    std::vector<std::shared_ptr<CentralState>> centrals;
    std::unique_ptr<SimRadio> radio;
};

// A GATT connection as its central made it.
struct SimAirCore::Connection {
    int central = 0;
    int peripheral = 0;
    std::weak_ptr<CentralState> owner;
    bool established = false;
    bool connecting = false; // the peripheral was heard; establishment is on its way
    int64_t offsetNs = 0;
    int64_t attBusyUntilNs = 0;
};

struct SimAirCore::Channel {
    std::shared_ptr<SimLink> link;
    int central = 0;
    int peripheral = 0;
    bool ended = false;
};

// ---- the managers and remote peripherals handed out ------------------------------------------

class SimAirCore::Remote final : public RemotePeripheral,
                                 public std::enable_shared_from_this<Remote> {
public:
    Remote(std::weak_ptr<SimAirCore> air, std::weak_ptr<CentralState> central, int device,
           std::string id)
        : air_(std::move(air)), central_(std::move(central)), device_(device), id_(std::move(id)) {}

    [[nodiscard]] std::string identifier() const override { return id_; }
    void discoverServices(const std::vector<std::string>& serviceUuids) override {
        if (auto air = air_.lock()) {
            air->discoverServices(shared_from_this(), serviceUuids);
        }
    }
    [[nodiscard]] std::vector<std::string> services() const override { return foundServices; }
    void discoverCharacteristics(const std::vector<std::string>& characteristicUuids,
                                 const std::string& serviceUuid) override {
        if (auto air = air_.lock()) {
            air->discoverCharacteristics(shared_from_this(), characteristicUuids, serviceUuid);
        }
    }
    [[nodiscard]] std::vector<std::string>
    characteristics(const std::string& serviceUuid) const override {
        const auto found = foundCharacteristics.find(upperCase(serviceUuid));
        return found == foundCharacteristics.end() ? std::vector<std::string>{} : found->second;
    }
    void readValue(const std::string& serviceUuid, const std::string& characteristicUuid) override {
        if (auto air = air_.lock()) {
            air->readValue(shared_from_this(), serviceUuid, characteristicUuid);
        }
    }
    void openL2capChannel(uint16_t psm) override {
        if (auto air = air_.lock()) {
            air->openChannel(shared_from_this(), psm);
        }
    }

    [[nodiscard]] int device() const { return device_; }
    [[nodiscard]] std::shared_ptr<CentralState> central() const { return central_.lock(); }

    // The results of the last discoveries.
    std::vector<std::string> foundServices;
    std::map<std::string, std::vector<std::string>> foundCharacteristics; // by upper-case service

private:
    std::weak_ptr<SimAirCore> air_;
    std::weak_ptr<CentralState> central_;
    int device_;
    std::string id_;
};

namespace {

class SimPeripheralManager final : public PeripheralManager {
public:
    using State = SimAirCore::PeripheralState;

    SimPeripheralManager(std::weak_ptr<SimAirCore> air, std::shared_ptr<State> state)
        : air_(std::move(air)), state_(std::move(state)) {}
    ~SimPeripheralManager() override {
        if (auto air = air_.lock()) {
            air->retire(*state_);
        }
    }
    SimPeripheralManager(const SimPeripheralManager&) = delete;
    SimPeripheralManager& operator=(const SimPeripheralManager&) = delete;

    [[nodiscard]] RadioState state() const override;
    void publishChannel(bool /*encrypted*/) override {
        if (auto air = air_.lock()) {
            air->publish(state_);
        }
    }
    void unpublishChannel(uint16_t psm) override {
        if (auto air = air_.lock()) {
            air->unpublish(state_, psm);
        }
    }
    void removeAllServices() override;
    void addService(const GattServiceSpec& service) override {
        if (auto air = air_.lock()) {
            air->addService(state_, service);
        }
    }
    void startAdvertising(const AdvertisingData& data) override {
        if (auto air = air_.lock()) {
            air->startAdvertising(state_, data);
        }
    }
    void stopAdvertising() override;
    [[nodiscard]] bool isAdvertising() const override;

private:
    std::weak_ptr<SimAirCore> air_;
    std::shared_ptr<State> state_;
};

class SimCentralManager final : public CentralManager {
public:
    using State = SimAirCore::CentralState;

    SimCentralManager(std::weak_ptr<SimAirCore> air, std::shared_ptr<State> state)
        : air_(std::move(air)), state_(std::move(state)) {}
    ~SimCentralManager() override {
        if (auto air = air_.lock()) {
            air->retire(*state_);
        }
    }
    SimCentralManager(const SimCentralManager&) = delete;
    SimCentralManager& operator=(const SimCentralManager&) = delete;

    [[nodiscard]] RadioState state() const override;
    void scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) override {
        if (auto air = air_.lock()) {
            air->scan(*state_, serviceUuids, allowDuplicates);
        }
    }
    void stopScan() override;
    [[nodiscard]] bool isScanning() const override;
    std::vector<std::shared_ptr<RemotePeripheral>>
    retrievePeripherals(const std::vector<std::string>& identifiers) override {
        auto air = air_.lock();
        return air ? air->retrieve(state_, identifiers)
                   : std::vector<std::shared_ptr<RemotePeripheral>>{};
    }
    void connect(std::shared_ptr<RemotePeripheral> peripheral) override {
        auto air = air_.lock();
        auto remote = std::dynamic_pointer_cast<SimAirCore::Remote>(peripheral);
        if (air && remote && remote->central() == state_) {
            air->connect(state_, remote);
        }
    }
    void cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) override {
        auto air = air_.lock();
        auto remote = std::dynamic_pointer_cast<SimAirCore::Remote>(peripheral);
        if (air && remote) {
            air->cancelConnection(*state_, *remote);
        }
    }

private:
    std::weak_ptr<SimAirCore> air_;
    std::shared_ptr<State> state_;
};

} // namespace

RadioState SimPeripheralManager::state() const {
    auto air = air_.lock();
    return air ? air->state(state_->device) : RadioState::unknown;
}

void SimPeripheralManager::removeAllServices() {
    state_->services.clear();
}

void SimPeripheralManager::stopAdvertising() {
    state_->advertising = false;
    ++state_->advertisingRun;
}

bool SimPeripheralManager::isAdvertising() const {
    return state_->advertising;
}

RadioState SimCentralManager::state() const {
    auto air = air_.lock();
    return air ? air->state(state_->device) : RadioState::unknown;
}

void SimCentralManager::stopScan() {
    state_->scanning = false;
}

bool SimCentralManager::isScanning() const {
    return state_->scanning;
}

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

namespace {

SimLoopRef loopRef(RunLoop& main, const SimLoopRef& fallback) {
    if (auto* sim = dynamic_cast<SimRunLoop*>(&main)) {
        return sim->ref();
    }
    return fallback;
}

} // namespace

std::unique_ptr<PeripheralManager>
SimAirCore::makePeripheralManager(int index, RunLoop& main,
                                  std::weak_ptr<PeripheralManagerDelegate> delegate) {
    Device& owner = device(index);
    auto state = std::make_shared<PeripheralState>();
    state->device = index;
    state->main = loopRef(main, owner.main);
    state->delegate = std::move(delegate);
    owner.peripherals.push_back(state);
    tell(state, model_.managerStartNs, std::nullopt, [this, index](PeripheralManagerDelegate& d) {
        d.peripheralStateChanged(device(index).state);
    });
    return std::make_unique<SimPeripheralManager>(weak_from_this(), state);
}

std::unique_ptr<CentralManager>
SimAirCore::makeCentralManager(int index, RunLoop& main,
                               std::weak_ptr<CentralManagerDelegate> delegate) {
    Device& owner = device(index);
    auto state = std::make_shared<CentralState>();
    state->device = index;
    state->main = loopRef(main, owner.main);
    state->delegate = std::move(delegate);
    owner.centrals.push_back(state);
    tell(state, model_.managerStartNs,
         [this, index](CentralManagerDelegate& d) { d.centralStateChanged(device(index).state); });
    return std::make_unique<SimCentralManager>(weak_from_this(), state);
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
