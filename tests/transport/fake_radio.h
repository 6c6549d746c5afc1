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
    void addService(const GattServiceSpec& service) override {
        calls.emplace_back("addService");
        services.push_back(service);
    }
    void startAdvertising(const AdvertisingData& data) override {
        calls.push_back("startAdvertising " + data.localName);
        advertisements.push_back(data);
        advertising = true;
    }
    void stopAdvertising() override {
        calls.emplace_back("stopAdvertising");
        advertising = false;
    }
    [[nodiscard]] bool isAdvertising() const override { return advertising; }

    RadioState radioState = RadioState::unknown;
    bool advertising = false;
    std::vector<std::string> calls;
    std::vector<GattServiceSpec> services;
    std::vector<AdvertisingData> advertisements;
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
        const auto found = characteristicLists.find(serviceUuid);
        return found == characteristicLists.end() ? std::vector<std::string>{} : found->second;
    }
    void readValue(const std::string& /*serviceUuid*/, const std::string& uuid) override {
        calls.push_back("read " + uuid);
    }
    void openL2capChannel(uint16_t psm) override { calls.push_back("open " + std::to_string(psm)); }

    std::vector<std::string> serviceList;
    std::map<std::string, std::vector<std::string>> characteristicLists;
    std::vector<std::string> calls;

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
        std::copy_if(known.begin(), known.end(), std::back_inserter(found), [&](const auto& p) {
            return std::find(ids.begin(), ids.end(), p->identifier()) != ids.end();
        });
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
    std::vector<std::string> calls;
    std::vector<std::shared_ptr<RemotePeripheral>> known; // what retrievePeripherals finds
};

// Hands out fakes and keeps a view of the last ones made (the caller owns them).
class FakeRadio final : public RadioFactory {
public:
    std::unique_ptr<PeripheralManager>
    makePeripheralManager(RunLoop& /*main*/,
                          std::weak_ptr<PeripheralManagerDelegate> /*delegate*/) override {
        auto manager = std::make_unique<FakePeripheralManager>();
        peripheral = manager.get();
        ++managersMade;
        return manager;
    }
    std::unique_ptr<CentralManager>
    makeCentralManager(RunLoop& /*main*/,
                       std::weak_ptr<CentralManagerDelegate> /*delegate*/) override {
        auto manager = std::make_unique<FakeCentralManager>();
        central = manager.get();
        ++managersMade;
        return manager;
    }

    FakePeripheralManager* peripheral = nullptr;
    FakeCentralManager* central = nullptr;
    int managersMade = 0;
};

} // namespace merriphonic::transport_test
