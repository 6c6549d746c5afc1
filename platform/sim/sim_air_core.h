#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "platform/radio.h"
#include "platform/sim/sim_airtime.h"
#include "platform/sim/sim_radio_model.h"
#include "platform/sim/sim_run_loop.h"

namespace merriphonic {

class SimDevice;
class SimLink;
class SimRadio;
class SimWorld;

// The engine behind SimAir and SimRadio: every device, manager, connection and channel of one
// simulated air. Internal to the simulated radio; everything runs on the world's thread.
// Its state is in sim_air_state.h; its work in sim_air_core.cpp (devices, power, faults),
// sim_air_managers.cpp, sim_air_peripheral.cpp and sim_air_central.cpp.
class SimAirCore : public std::enable_shared_from_this<SimAirCore> {
public:
    struct PeripheralState;
    struct CentralState;
    class Remote;

    SimAirCore(SimWorld& world, const SimRadioModel& model);
    ~SimAirCore();
    SimAirCore(const SimAirCore&) = delete;
    SimAirCore& operator=(const SimAirCore&) = delete;

    [[nodiscard]] const SimRadioModel& model() const { return model_; }
    SimRadio& attach(SimDevice& device, SimPosition position);
    [[nodiscard]] size_t deviceCount() const { return devices_.size(); }

    // ---- a device's radio (SimRadio) ----
    [[nodiscard]] const std::string& name(int index) const;
    [[nodiscard]] SimPosition position(int index) const;
    void setPosition(int index, SimPosition position);
    [[nodiscard]] RadioState state(int index) const;
    void setState(int index, RadioState state);
    void refuseConnections(int index, std::optional<std::string> errorText);
    void refuseChannels(int index, std::optional<std::string> errorText);
    // Every connection and channel of the device (with `other` only, when given).
    void loseLinks(int index, std::optional<int> other);
    [[nodiscard]] std::string identifier(int observer, int observed) const;
    [[nodiscard]] std::vector<std::shared_ptr<SimLink>> channels(int index) const;
    // The managers answer on the device's own main loop, the one its context holds.
    std::unique_ptr<PeripheralManager>
    makePeripheralManager(int index, std::weak_ptr<PeripheralManagerDelegate> delegate);
    std::unique_ptr<CentralManager>
    makeCentralManager(int index, std::weak_ptr<CentralManagerDelegate> delegate);

    // ---- peripheral managers ----
    void publish(const std::shared_ptr<PeripheralState>& state);
    void unpublish(const std::shared_ptr<PeripheralState>& state, uint16_t psm);
    void addService(const std::shared_ptr<PeripheralState>& state, const GattServiceSpec& service);
    void startAdvertising(const std::shared_ptr<PeripheralState>& state,
                          const AdvertisingData& data);
    void retire(PeripheralState& state);

    // ---- central managers and their peripherals ----
    void scan(CentralState& state, const std::vector<std::string>& serviceUuids,
              bool allowDuplicates);
    std::vector<std::shared_ptr<RemotePeripheral>>
    retrieve(const std::shared_ptr<CentralState>& state, const std::vector<std::string>& ids);
    void connect(const std::shared_ptr<CentralState>& state, const std::shared_ptr<Remote>& remote);
    void cancelConnection(const CentralState& state, const Remote& remote);
    void retire(CentralState& state);
    void discoverServices(const std::shared_ptr<Remote>& remote,
                          const std::vector<std::string>& serviceUuids);
    void discoverCharacteristics(const std::shared_ptr<Remote>& remote,
                                 const std::vector<std::string>& characteristicUuids,
                                 const std::string& serviceUuid);
    void readValue(const std::shared_ptr<Remote>& remote, const std::string& serviceUuid,
                   const std::string& characteristicUuid);
    void openChannel(const std::shared_ptr<Remote>& remote, uint16_t psm);

private:
    struct Device;
    struct Connection;
    struct Channel;

    using PeripheralEvent = std::function<void(PeripheralManagerDelegate&)>;
    using CentralEvent = std::function<void(CentralManagerDelegate&)>;

    Device& device(int index) const;
    // Runs the task on a device loop after the delay, unless the air is gone by then.
    void onLoop(const SimLoopRef& loop, int64_t delayNs, std::function<void(SimAirCore&)> task);
    // Delivers an event to a manager's delegate after the delay, unless the manager or its
    // delegate is gone by then, or (with a generation) the device has been off meanwhile.
    void tell(const std::shared_ptr<PeripheralState>& state, int64_t delayNs,
              std::optional<uint64_t> generation, PeripheralEvent event);
    void tell(const std::shared_ptr<CentralState>& state, int64_t delayNs, CentralEvent event);

    std::shared_ptr<Remote> remoteFor(const std::shared_ptr<CentralState>& state, int index);
    std::shared_ptr<Connection> connectionOf(const Remote& remote, bool established) const;
    void dropConnection(const std::shared_ptr<Connection>& connection);
    // When an ATT exchange of this many requests, queued behind earlier ones, is answered.
    int64_t attDoneNs(Connection& connection, int requests);
    [[nodiscard]] int64_t nextEventNs(int64_t fromNs, int64_t offsetNs) const;
    [[nodiscard]] int64_t freeOffsetNs(const Connection& connection) const;
    [[nodiscard]] uint16_t allocatePsm(Device& owner) const;
    [[nodiscard]] const GattServiceSpec* findService(int index, const std::string& uuid) const;

    void advertisingEvent(const std::weak_ptr<PeripheralState>& weak, uint64_t run);
    void heard(int receiver, const PeripheralState& advertiser, int rssi);
    void establish(const std::weak_ptr<Connection>& weak);
    void openChannelNow(const std::weak_ptr<Connection>& weak,
                        const std::shared_ptr<Remote>& remote, uint16_t psm);

    double uniform();
    // One pass through a host stack, app to controller or back.
    int64_t stackLatency();
    double gaussian();

    SimWorld& world_;
    const SimRadioModel model_;
    SimAirtime airtime_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<Channel> channels_;
    // The air's own events (advertising, link faults); they die with it.
    SimRunLoop loop_;
};

} // namespace merriphonic
