#pragma once

#include <QFileSystemWatcher>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/uuid.h"
#include "platform/local/local_manager_core.h"
#include "platform/local/local_radio_options.h"
#include "platform/local/local_record.h"
#include "platform/radio.h"

namespace merriphonic {

class LocalCentralCore;

// A host as a speaker's manager knows it: its identifier is the host's instance identifier.
class LocalRemotePeripheral final : public RemotePeripheral,
                                    public std::enable_shared_from_this<LocalRemotePeripheral> {
public:
    enum class Link { disconnected, connecting, connected };

    LocalRemotePeripheral(std::weak_ptr<LocalCentralCore> core, std::string id)
        : core_(std::move(core)), id_(std::move(id)) {}

    [[nodiscard]] std::string identifier() const override { return id_; }
    void discoverServices(const std::vector<std::string>& serviceUuids) override;
    [[nodiscard]] std::vector<std::string> services() const override { return discoveredServices; }
    void discoverCharacteristics(const std::vector<std::string>& characteristicUuids,
                                 const std::string& serviceUuid) override;
    [[nodiscard]] std::vector<std::string>
    characteristics(const std::string& serviceUuid) const override {
        for (const auto& [service, uuids] : discoveredCharacteristics) {
            if (sameUuid(service, serviceUuid)) {
                return uuids;
            }
        }
        return {};
    }
    void readValue(const std::string& serviceUuid, const std::string& characteristicUuid) override;
    void openL2capChannel(uint16_t psm) override;

    // Main loop only, kept by the core.
    Link link = Link::disconnected;
    // Advanced by every connect and cancel, so that work begun for an earlier link is dropped.
    uint64_t generation = 0;
    std::vector<std::string> discoveredServices;
    std::map<std::string, std::vector<std::string>> discoveredCharacteristics;

private:
    std::weak_ptr<LocalCentralCore> core_;
    const std::string id_;
};

// The work of LocalCentralManager, kept apart from the manager so that the blocks it posts to
// the main loop can hold it weakly. Main loop's thread only.
class LocalCentralCore final : public CentralManager,
                               public LocalManagerCore,
                               public std::enable_shared_from_this<LocalCentralCore> {
public:
    LocalCentralCore(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
                     const LocalRadioOptions& options);
    LocalCentralCore(const LocalCentralCore&) = delete;
    LocalCentralCore& operator=(const LocalCentralCore&) = delete;
    ~LocalCentralCore() override = default;

    // Tells the delegate the state; once the core is shared.
    void start();

    // ---- CentralManager ----

    [[nodiscard]] RadioState state() const override { return state_; }
    void scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) override;
    void stopScan() override;
    [[nodiscard]] bool isScanning() const override { return scanning_; }
    std::vector<std::shared_ptr<RemotePeripheral>>
    retrievePeripherals(const std::vector<std::string>& identifiers) override;
    void connect(std::shared_ptr<RemotePeripheral> peripheral) override;
    void cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) override;

    // ---- for the peripherals handed out ----

    // The record of the target's host, while that host is live.
    std::optional<LocalRecord> recordOf(const LocalRemotePeripheral& target) const;
    [[nodiscard]] std::string unreachableText() const;

    // Runs fn on the main loop later, with this core and the delegate, if both still exist.
    template <typename Fn>
    void post(Fn fn) {
        main_.post([weak = weak_from_this(), fn = std::move(fn)]() mutable {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            if (const auto delegate = self->delegate_.lock()) {
                fn(*self, *delegate);
            }
        });
    }

    // One attempt at opening a channel for the link of the given generation.
    void openChannel(const std::shared_ptr<LocalRemotePeripheral>& target, uint64_t generation,
                     uint16_t psm, int attempt);

private:
    std::shared_ptr<LocalRemotePeripheral> peripheral(const std::string& id);
    void requestRescan();

    // The 100 ms beat runs while scanning or while any link is up.
    void updateBeat();
    void rescan();
    void report(const LocalRecord& record);

    RunLoop& main_;
    std::weak_ptr<CentralManagerDelegate> delegate_;

    bool scanning_ = false;
    std::vector<std::string> filter_;
    bool allowDuplicates_ = false;
    std::set<std::string> reported_;
    std::unique_ptr<QFileSystemWatcher> watcher_;
    bool rescanQueued_ = false;
    ScopedTimer beat_;
    std::map<std::string, std::shared_ptr<LocalRemotePeripheral>> known_;
};

} // namespace merriphonic
