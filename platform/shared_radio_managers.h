#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/radio.h"

namespace merriphonic {

// The peripheral a central handed out under this one's identifier, if it is that very object;
// null for a peripheral of another manager or none at all.
template <class Peripheral>
[[nodiscard]] std::shared_ptr<Peripheral>
handedOut(const std::map<std::string, std::shared_ptr<Peripheral>>& table,
          const std::shared_ptr<RemotePeripheral>& peripheral) {
    if (!peripheral) {
        return nullptr;
    }
    const auto known = table.find(peripheral->identifier());
    return known != table.end() && known->second == peripheral ? known->second : nullptr;
}

// Radio managers that own their implementation through a shared pointer and hand every call on
// to it, so that the implementation's callbacks and the blocks it posts can hold it weakly and
// do nothing once the manager is gone.
class SharedCentralManager : public CentralManager {
public:
    explicit SharedCentralManager(std::shared_ptr<CentralManager> core);

    [[nodiscard]] RadioState state() const override;
    void scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) override;
    void stopScan() override;
    [[nodiscard]] bool isScanning() const override;
    std::vector<std::shared_ptr<RemotePeripheral>>
    retrievePeripherals(const std::vector<std::string>& identifiers) override;
    void connect(std::shared_ptr<RemotePeripheral> peripheral) override;
    void cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) override;

protected:
    [[nodiscard]] const CentralManager& core() const { return *core_; }

private:
    std::shared_ptr<CentralManager> core_;
};

class SharedPeripheralManager : public PeripheralManager {
public:
    explicit SharedPeripheralManager(std::shared_ptr<PeripheralManager> core);

    [[nodiscard]] RadioState state() const override;
    void publishChannel(bool encrypted) override;
    void unpublishChannel(uint16_t psm) override;
    void removeAllServices() override;
    void addService(const GattServiceSpec& service) override;
    void startAdvertising(const AdvertisingData& data) override;
    void stopAdvertising() override;
    [[nodiscard]] bool isAdvertising() const override;

protected:
    [[nodiscard]] const PeripheralManager& core() const { return *core_; }

private:
    std::shared_ptr<PeripheralManager> core_;
};

// Makes a manager's core and starts it, now that it is shared and may hand out weak references
// to itself.
template <typename Core, typename... Args>
std::shared_ptr<Core> startedCore(Args&&... args) {
    auto core = std::make_shared<Core>(std::forward<Args>(args)...);
    core->start();
    return core;
}

} // namespace merriphonic
