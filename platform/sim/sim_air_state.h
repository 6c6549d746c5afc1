#pragma once

// The state of a simulated air, shared by the files of SimAirCore: the devices, the managers'
// records, connections, channels and the remote peripherals handed to centrals.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/uuid.h"
#include "platform/radio.h"
#include "platform/sim/sim_air_core.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_radio.h"
#include "platform/sim/sim_run_loop.h"

namespace merriphonic {

namespace sim_air {

// Error descriptions, worded as a Linux Bluetooth stack reports them.
inline constexpr std::string_view notOnText = "Bluetooth is not powered on";
inline constexpr std::string_view poweredOffText = "Bluetooth was powered off";
inline constexpr std::string_view remotePoweredOffText = "Remote device powered off";
inline constexpr std::string_view timedOutText = "Connection timed out";
inline constexpr std::string_view notConnectedText = "Not connected";
inline constexpr std::string_view refusedText = "Connection refused";
inline constexpr std::string_view notFoundText = "Attribute not found";
inline constexpr std::string_view notPublishedText = "PSM not published";
inline constexpr std::string_view noPsmText = "No free PSM";

// The LE dynamic PSM range.
inline constexpr uint16_t firstDynamicPsm = 0x0080;
inline constexpr uint16_t lastDynamicPsm = 0x00FF;

inline RadioError error(std::string_view text) {
    return RadioError{std::string(text)};
}

inline bool listed(const std::vector<std::string>& uuids, std::string_view uuid) {
    return std::any_of(uuids.begin(), uuids.end(),
                       [uuid](const std::string& item) { return sameUuid(item, uuid); });
}

// An empty filter lets everything through.
inline bool passes(const std::vector<std::string>& filter,
                   const std::vector<std::string>& offered) {
    return filter.empty() || std::any_of(offered.begin(), offered.end(),
                                         [&](const std::string& u) { return listed(filter, u); });
}

inline std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return text;
}

} // namespace sim_air

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
    uint16_t nextPsm = sim_air::firstDynamicPsm + 1;
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
        const auto found = foundCharacteristics.find(sim_air::upperCase(serviceUuid));
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

} // namespace merriphonic
