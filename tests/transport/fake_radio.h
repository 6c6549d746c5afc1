#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/radio.h"

namespace merriphonic::transport_test {

// Test doubles of the radio seam: every operation is recorded as a line of text, and the test
// plays the radio's part by calling the delegate itself.
using Calls = std::vector<std::string>;

inline std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ",") + item;
    }
    return text;
}

class FakePeripheralManager final : public PeripheralManager {
public:
    [[nodiscard]] RadioState state() const override { return radioState; }
    void publishChannel(bool encrypted) override {
        calls.emplace_back(encrypted ? "publish encrypted" : "publish");
    }
    void unpublishChannel(uint16_t psm) override {
        calls.push_back("unpublish " + std::to_string(psm));
    }
    void removeAllServices() override { calls.emplace_back("removeAllServices"); }
    void addService(const GattServiceSpec& spec) override {
        calls.emplace_back("addService");
        service = spec;
    }
    void startAdvertising(const AdvertisingData& data) override {
        calls.push_back("startAdvertising " + data.localName + " " + joined(data.serviceUuids));
        advertising = true;
    }
    void stopAdvertising() override {
        calls.emplace_back("stopAdvertising");
        advertising = false;
    }
    [[nodiscard]] bool isAdvertising() const override { return advertising; }

    RadioState radioState = RadioState::unknown;
    bool advertising = false;
    Calls calls;
    GattServiceSpec service; // the last one added
};

class FakePeripheral final : public RemotePeripheral {
public:
    explicit FakePeripheral(std::string id) : id_(std::move(id)) {}

    [[nodiscard]] std::string identifier() const override { return id_; }
    void discoverServices(const std::vector<std::string>& uuids) override {
        calls.push_back("discoverServices " + joined(uuids));
    }
    [[nodiscard]] std::vector<std::string> services() const override { return serviceList; }
    void discoverCharacteristics(const std::vector<std::string>& uuids,
                                 const std::string& serviceUuid) override {
        calls.push_back("discoverCharacteristics " + joined(uuids) + " of " + serviceUuid);
    }
    [[nodiscard]] std::vector<std::string>
    characteristics(const std::string& serviceUuid) const override {
        return serviceUuid == serviceList.at(0) ? characteristicList : Calls{};
    }
    void readValue(const std::string& /*serviceUuid*/, const std::string& uuid) override {
        calls.push_back("read " + uuid);
    }
    void openL2capChannel(uint16_t psm) override { calls.push_back("open " + std::to_string(psm)); }

    std::vector<std::string> serviceList;
    std::vector<std::string> characteristicList; // of the first service
    Calls calls;

private:
    std::string id_;
};

class FakeCentralManager final : public CentralManager {
public:
    [[nodiscard]] RadioState state() const override { return radioState; }
    void scan(const std::vector<std::string>& uuids, bool allowDuplicates) override {
        calls.push_back("scan " + joined(uuids) + (allowDuplicates ? " duplicates" : ""));
        scanning = true;
    }
    void stopScan() override {
        calls.emplace_back("stopScan");
        scanning = false;
    }
    [[nodiscard]] bool isScanning() const override { return scanning; }
    std::vector<std::shared_ptr<RemotePeripheral>>
    retrievePeripherals(const std::vector<std::string>& ids) override {
        std::vector<std::shared_ptr<RemotePeripheral>> found;
        for (const auto& peripheral : known) {
            if (std::find(ids.begin(), ids.end(), peripheral->identifier()) != ids.end()) {
                found.push_back(peripheral);
            }
        }
        return found;
    }
    void connect(std::shared_ptr<RemotePeripheral> peripheral) override {
        calls.push_back("connect " + peripheral->identifier());
    }
    void cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) override {
        calls.push_back("cancel " + peripheral->identifier());
    }

    RadioState radioState = RadioState::unknown;
    bool scanning = false;
    Calls calls;
    std::vector<std::shared_ptr<RemotePeripheral>> known; // what retrievePeripherals finds
};

// Hands out fakes and keeps a view of the last ones made (the caller owns them).
class FakeRadio final : public RadioFactory {
public:
    std::unique_ptr<PeripheralManager>
    makePeripheralManager(RunLoop& /*main*/,
                          std::weak_ptr<PeripheralManagerDelegate> /*delegate*/) override {
        ++managersMade;
        auto manager = std::make_unique<FakePeripheralManager>();
        peripheral = manager.get();
        return manager;
    }
    std::unique_ptr<CentralManager>
    makeCentralManager(RunLoop& /*main*/,
                       std::weak_ptr<CentralManagerDelegate> /*delegate*/) override {
        auto manager = std::make_unique<FakeCentralManager>();
        central = manager.get();
        return manager;
    }

    FakePeripheralManager* peripheral = nullptr;
    FakeCentralManager* central = nullptr;
    int managersMade = 0; // peripheral managers
};

} // namespace merriphonic::transport_test
