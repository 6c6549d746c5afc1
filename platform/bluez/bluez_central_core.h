#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bluez/bluez_manager_core.h"
#include "platform/bluez/bluez_radio_options.h"
#include "platform/bluez/bluez_remote_peripheral.h"
#include "platform/radio.h"
#include "platform/unique_fd.h"

namespace merriphonic {

// The work of BluezCentralManager, kept apart from the manager so that the answers of BlueZ
// and the blocks posted to the main loop can hold it weakly. Main loop's thread only.
class BluezCentralCore final : public CentralManager,
                               public BluezPeripheralOperations,
                               public BluezManagerCore<CentralManagerDelegate> {
public:
    BluezCentralCore(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
                     const BluezRadioOptions& options);
    ~BluezCentralCore() override;
    BluezCentralCore(const BluezCentralCore&) = delete;
    BluezCentralCore& operator=(const BluezCentralCore&) = delete;

    // Follows the adapter from now on; once the core is shared.
    void start();

    // ---- CentralManager ----

    [[nodiscard]] RadioState state() const override { return watcher_.state(); }
    void scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) override;
    void stopScan() override;
    [[nodiscard]] bool isScanning() const override { return scanning_; }
    std::vector<std::shared_ptr<RemotePeripheral>>
    retrievePeripherals(const std::vector<std::string>& identifiers) override;
    void connect(std::shared_ptr<RemotePeripheral> remote) override;
    void cancelConnection(std::shared_ptr<RemotePeripheral> remote) override;

    // ---- BluezPeripheralOperations ----

    void discoverServices(BluezRemotePeripheral& remote,
                          const std::vector<std::string>& serviceUuids) override;
    void discoverCharacteristics(BluezRemotePeripheral& remote,
                                 const std::vector<std::string>& characteristicUuids,
                                 const std::string& serviceUuid) override;
    void readValue(BluezRemotePeripheral& remote, const std::string& serviceUuid,
                   const std::string& characteristicUuid) override;
    void openL2capChannel(BluezRemotePeripheral& remote, uint16_t psm) override;

private:
    enum class Stage { idle, connecting, connected };

    struct Link {
        Stage stage = Stage::idle;
        bool connectAnswered = false;
        // Counts connection attempts, so that a late answer knows whether it is current.
        uint64_t attempt = 0;
    };

    struct PendingChannel {
        PendingChannel() = default;
        PendingChannel(const PendingChannel&) = delete;
        PendingChannel& operator=(const PendingChannel&) = delete;
        PendingChannel(PendingChannel&&) = delete;
        PendingChannel& operator=(PendingChannel&&) = delete;
        ~PendingChannel() = default;
        UniqueFd fd; // first, so that it closes after the notifier watching it is gone
        std::shared_ptr<BluezRemotePeripheral> peripheral;
        std::unique_ptr<QSocketNotifier> notifier;
    };

    void notifyChannel(const std::shared_ptr<BluezRemotePeripheral>& peripheral,
                       std::shared_ptr<L2capChannel> channel,
                       const std::optional<RadioError>& error);

    [[nodiscard]] QDBusMessage adapterCall(const QString& method) const;
    static QDBusMessage deviceCall(const BluezRemotePeripheral& peripheral, const QString& method);
    static QDBusMessage managedObjectsCall();

    [[nodiscard]] bool isConnected(const BluezRemotePeripheral& peripheral) const;

    // ---- discovery ----

    void startDiscovery();
    void stopDiscovery();
    [[nodiscard]] std::string identifierOf(const QVariantMap& device) const;
    std::shared_ptr<BluezRemotePeripheral> peripheralAt(const QString& path,
                                                        const std::string& identifier);
    std::shared_ptr<BluezRemotePeripheral> knownPeripheralAt(const QString& path);
    void deviceChanged(const QString& path, const QVariantMap& changed);
    void followLink(const QString& path, const std::string& identifier, const QVariantMap& device,
                    const QVariantMap& changed);

    // The link to a peripheral ended without our asking.
    void linkLost(std::pair<const std::string, Link>& entry,
                  const std::shared_ptr<BluezRemotePeripheral>& peripheral,
                  const RadioError& error);
    void connectAnswered(const std::shared_ptr<BluezRemotePeripheral>& peripheral, uint64_t attempt,
                         const QDBusMessage& reply);
    void deviceRemoved(const QString& path);
    void channelConnected(uint64_t key);

    // ---- state ----

    void adapterLost() override;

    std::map<std::string, std::shared_ptr<BluezRemotePeripheral>> peripherals_;
    std::map<std::string, Link> links_;
    std::map<uint64_t, PendingChannel> channels_;
    uint64_t channelCount_ = 0;
    bool scanning_ = false;
    std::vector<std::string> scanServices_;
    uint64_t scanTicket_ = 0;
    bool discoveryStarting_ = false;
    bool discoveryStarted_ = false;
};

} // namespace merriphonic
