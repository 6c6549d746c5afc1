#include "platform/sim/sim_air_core.h"

#include <memory>
#include <utility>
#include <vector>

#include "platform/sim/sim_air_state.h"

namespace merriphonic {

namespace {

// The remote this central handed out for a peripheral; nothing for a peripheral of another
// central or another radio.
std::shared_ptr<SimAirCore::Remote> remoteOf(const SimAirCore::CentralState& state,
                                             const std::shared_ptr<RemotePeripheral>& peripheral) {
    for (const auto& entry : state.remotes) {
        if (entry.second == peripheral) {
            return entry.second;
        }
    }
    return nullptr;
}

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
        auto remote = remoteOf(*state_, peripheral);
        if (air && remote) {
            air->connect(state_, remote);
        }
    }
    void cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) override {
        auto air = air_.lock();
        auto remote = remoteOf(*state_, peripheral);
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

std::unique_ptr<PeripheralManager>
SimAirCore::makePeripheralManager(int index, std::weak_ptr<PeripheralManagerDelegate> delegate) {
    Device& owner = device(index);
    auto state = std::make_shared<PeripheralState>();
    state->device = index;
    state->main = owner.main;
    state->delegate = std::move(delegate);
    owner.peripherals.push_back(state);
    tell(state, model_.managerStartNs, std::nullopt, [this, index](PeripheralManagerDelegate& d) {
        d.peripheralStateChanged(device(index).state);
    });
    return std::make_unique<SimPeripheralManager>(weak_from_this(), state);
}

std::unique_ptr<CentralManager>
SimAirCore::makeCentralManager(int index, std::weak_ptr<CentralManagerDelegate> delegate) {
    Device& owner = device(index);
    auto state = std::make_shared<CentralState>();
    state->device = index;
    state->main = owner.main;
    state->delegate = std::move(delegate);
    owner.centrals.push_back(state);
    tell(state, model_.managerStartNs,
         [this, index](CentralManagerDelegate& d) { d.centralStateChanged(device(index).state); });
    return std::make_unique<SimCentralManager>(weak_from_this(), state);
}

} // namespace merriphonic
