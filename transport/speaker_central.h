#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/device_context.h"
#include "platform/radio.h"
#include "platform/run_loop.h"
#include "transport/discovered_host.h"

namespace merriphonic {

// The speaker's side of discovery and connection: scans for parties, reports every
// advertisement as a DiscoveredHost, and joins a chosen host (GATT connection, service and
// characteristic discovery, PSM and info reads, L2CAP open) within a deadline. Every failed
// join ends in one user-facing sentence through onConnectFailed.
//
// Main loop only. Owned by a std::shared_ptr (the radio holds it weakly as its delegate).
class SpeakerCentral final : public CentralManagerDelegate,
                             public std::enable_shared_from_this<SpeakerCentral> {
    struct Private {};

public:
    // From connect() to the channel's opening.
    static constexpr int64_t connectTimeoutNs = 15'000'000'000;

    static std::shared_ptr<SpeakerCentral> create(DeviceContext& context);
    SpeakerCentral(Private, DeviceContext& context);
    ~SpeakerCentral() override;
    SpeakerCentral(const SpeakerCentral&) = delete;
    SpeakerCentral& operator=(const SpeakerCentral&) = delete;

    // Set by the owner before use; they should capture the owner weakly.
    std::function<void(RadioState)> onState;
    std::function<void(const DiscoveredHost&)> onDiscovered;
    // The end of a successful join: the open channel and the party name from the host's
    // info record, when it had one.
    std::function<void(std::shared_ptr<L2capChannel>, const std::optional<std::string>&)> onChannel;
    std::function<void(const std::string&)> onConnectFailed;
    // The GATT link of an established join was lost: the radio's description.
    std::function<void(const std::string&)> onDisconnected;

    // Begins (or resumes) scanning; wanted until stopScan() or connect(), across power cycles.
    void startScan();
    // Scanning is no longer wanted; stops the radio's scan if it runs.
    void stopScan();
    // Joins the host with this identifier (a DiscoveredHost's id). Asked while the radio is not
    // yet on, the join starts when it is.
    void connect(const std::string& id);
    // Abandons any join or link.
    void disconnect();

    [[nodiscard]] bool wantScan() const { return wantScan_; }
    [[nodiscard]] CentralManager* manager() const { return manager_.get(); }
    [[nodiscard]] std::optional<std::string> targetId() const;
    [[nodiscard]] const std::optional<std::string>& pendingConnect() const {
        return pendingConnect_;
    }
    [[nodiscard]] std::optional<uint16_t> psm() const { return psm_; }
    [[nodiscard]] const std::optional<std::string>& infoName() const { return infoName_; }
    [[nodiscard]] bool channelOpened() const { return channelOpened_; }

    // CentralManagerDelegate.
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

private:
    void makeManager();
    [[nodiscard]] bool poweredOn() const;
    [[nodiscard]] bool isTarget(const std::shared_ptr<RemotePeripheral>& peripheral) const;
    void readPsm(const std::optional<Bytes>& value, const std::optional<RadioError>& error);
    void readInfo(const std::optional<Bytes>& value, const std::optional<RadioError>& error);
    void openChannelIfReady();
    void timedOut(const std::shared_ptr<RemotePeripheral>& peripheral);
    void fail(const std::string& message);
    void reportFailure(const std::string& message);
    void discard(const std::shared_ptr<L2capChannel>& channel);

    DeviceContext& context_;
    std::unique_ptr<CentralManager> manager_;
    // Every peripheral a scan has seen, by upper-case identifier.
    std::map<std::string, std::shared_ptr<RemotePeripheral>> peripherals_;
    std::shared_ptr<RemotePeripheral> target_;
    bool wantScan_ = false;
    std::optional<std::string> pendingConnect_;
    std::optional<uint16_t> psm_;
    std::optional<std::string> infoName_;
    bool infoDone_ = false;
    bool channelRequested_ = false;
    bool channelOpened_ = false;
    ScopedTimer connectTimeout_;
};

} // namespace merriphonic
