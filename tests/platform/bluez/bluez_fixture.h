#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bluez_test_support.h"
#include "fake_bluez.h"
#include "platform/bluez/bluez_radio_factory.h"
#include "platform/radio.h"
#include "unix_l2cap_sockets.h"

namespace merriphonic::bluez_test {

// Delegate events as lines of text, in the order they arrived.
class EventLog {
public:
    std::vector<std::string> events;

    [[nodiscard]] bool saw(const std::string& event) const {
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    [[nodiscard]] size_t count(const std::string& event) const {
        return static_cast<size_t>(std::count(events.begin(), events.end(), event));
    }
    [[nodiscard]] bool sawPrefix(const std::string& prefix) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    }
    // Waits on the main loop until the event has arrived.
    bool waitFor(const std::string& event) {
        return runUntil([&] { return saw(event); });
    }
};

class RecordingPeripheralDelegate final : public PeripheralManagerDelegate, public EventLog {
public:
    std::vector<std::shared_ptr<L2capChannel>> channels;

    void peripheralStateChanged(RadioState state) override;
    void channelPublished(uint16_t psm, const std::optional<RadioError>& error) override;
    void serviceAdded(const GattServiceSpec& service,
                      const std::optional<RadioError>& error) override;
    void advertisingStarted(const std::optional<RadioError>& error) override;
    void channelOpened(std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>& error) override;
    void channelUnpublished(uint16_t psm, const std::optional<RadioError>& error) override;
};

class RecordingCentralDelegate final : public CentralManagerDelegate, public EventLog {
public:
    std::map<std::string, std::shared_ptr<RemotePeripheral>> peripherals;
    std::vector<std::shared_ptr<L2capChannel>> channels;

    void centralStateChanged(RadioState state) override;
    void peripheralDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                              const Advertisement& advertisement, int rssi) override;
    void peripheralConnected(std::shared_ptr<RemotePeripheral> peripheral) override;
    void peripheralFailedToConnect(std::shared_ptr<RemotePeripheral> peripheral,
                                   const std::optional<RadioError>& error) override;
    void peripheralDisconnected(std::shared_ptr<RemotePeripheral> peripheral,
                                const std::optional<RadioError>& error) override;
    void servicesDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                            const std::optional<RadioError>& error) override;
    void characteristicsDiscovered(std::shared_ptr<RemotePeripheral> peripheral,
                                   const std::string& serviceUuid,
                                   const std::optional<RadioError>& error) override;
    void valueUpdated(std::shared_ptr<RemotePeripheral> peripheral,
                      const std::string& characteristicUuid, const std::optional<Bytes>& value,
                      const std::optional<RadioError>& error) override;
    void channelOpened(std::shared_ptr<RemotePeripheral> peripheral,
                       std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>& error) override;
};

// Each test: a fake BlueZ on the private bus (adapter hci0 at hostAddress, powered, unless the
// test changes that), Unix sockets for channels, and the code under test on a connection of
// its own.
class BluezTest : public ::testing::Test {
protected:
    static constexpr const char* hostAddress = "00:AA:01:00:00:00";
    static constexpr const char* speakerAddress = "00:AA:01:01:00:01";
    static constexpr const char* serviceUuid = "7D2EA4A0-5C3B-4F1E-9A51-3B6C2F0E1A00";
    static constexpr const char* psmUuid = "7D2EA4A1-5C3B-4F1E-9A51-3B6C2F0E1A00";
    static constexpr const char* infoUuid = "7D2EA4A2-5C3B-4F1E-9A51-3B6C2F0E1A00";

    BluezTest();
    ~BluezTest() override;

    // The radio, on a new connection; adapter "" picks the first powered one.
    std::unique_ptr<BluezRadioFactory> makeRadio(const std::string& adapter = "");
    std::unique_ptr<PeripheralManager>
    makePeripheral(const std::shared_ptr<RecordingPeripheralDelegate>& delegate,
                   const std::string& adapter = "");
    std::unique_ptr<CentralManager>
    makeCentral(const std::shared_ptr<RecordingCentralDelegate>& delegate,
                const std::string& adapter = "");

    std::unique_ptr<FakeBluez> bluez = std::make_unique<FakeBluez>();
    std::shared_ptr<UnixL2capSockets> sockets;
    std::vector<std::unique_ptr<BluezRadioFactory>> radios;

private:
    std::vector<QString> connections_;
};

} // namespace merriphonic::bluez_test
