#pragma once

#include <QDBusMessage>
#include <QSocketNotifier>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/bluez/bluez_manager_core.h"
#include "platform/bluez/bluez_radio_options.h"
#include "platform/bluez/gatt_application.h"
#include "platform/radio.h"
#include "platform/unique_fd.h"

namespace merriphonic {

// The work of BluezPeripheralManager, kept apart from the manager so that the answers of
// BlueZ and the blocks posted to the main loop can hold it weakly. Main loop's thread only.
class BluezPeripheralCore final : public PeripheralManager,
                                  public BluezManagerCore<PeripheralManagerDelegate> {
public:
    BluezPeripheralCore(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate,
                        const BluezRadioOptions& options);
    ~BluezPeripheralCore() override;
    BluezPeripheralCore(const BluezPeripheralCore&) = delete;
    BluezPeripheralCore& operator=(const BluezPeripheralCore&) = delete;

    // Exports our objects and follows the adapter from now on; once the core is shared.
    void start();
    // Where our objects are exported: root/gatt (the application), root/advertisement.
    [[nodiscard]] QString objectRoot() const { return app_->rootPath(); }

    // ---- PeripheralManager ----

    [[nodiscard]] RadioState state() const override { return watcher_.state(); }
    void publishChannel(bool encrypted) override;
    void unpublishChannel(uint16_t psm) override;
    void removeAllServices() override;
    void addService(const GattServiceSpec& service) override;
    void startAdvertising(const AdvertisingData& data) override;
    void stopAdvertising() override;
    // True from startAdvertising until stopAdvertising, a failure to start, or BlueZ dropping
    // the advertisement, so that a stop while the start is under way still withdraws it.
    [[nodiscard]] bool isAdvertising() const override { return advertisingWanted_; }

private:
    struct Listener {
        Listener() = default;
        Listener(const Listener&) = delete;
        Listener& operator=(const Listener&) = delete;
        Listener(Listener&&) = delete;
        Listener& operator=(Listener&&) = delete;
        ~Listener() = default;
        UniqueFd fd; // first, so that it closes after the notifier watching it is gone
        std::unique_ptr<QSocketNotifier> notifier;
        ScopedTimer resume; // turns the notifier on again after a failed accept
    };

    // ---- BlueZ calls, one at a time ----

    void enqueue(std::function<void()> operation);

    // Ends the running operation (if any) and starts the next.
    void finishOperation();
    [[nodiscard]] QDBusMessage unregisterApplicationCall(const QString& adapter) const;
    [[nodiscard]] QDBusMessage unregisterAdvertisementCall(const QString& adapter) const;

    // Unregisters the application if BlueZ has it, then runs `then` (by default: ends the
    // operation). A failure to unregister is of no consequence: the next registration tells.
    void unregisterApplication(std::function<void()> then = {});
    void registerApplication(const GattServiceSpec& spec);
    void unregisterAdvertisement(std::function<void()> then = {});
    void registerAdvertisement(uint64_t ticket);

    // BlueZ dropped the advertisement on its own (an unregistration of ours has already
    // forgotten it).
    void released();

    // ---- channels ----

    void acceptWaiting(uint16_t psm);
    void closeListeners() { listeners_.clear(); }

    // ---- state ----

    void adapterLost() override;

    std::unique_ptr<GattApplication> app_;
    bool exported_ = false;

    std::map<uint16_t, Listener> listeners_;
    // Where BlueZ holds our application / advertisement; empty when it does not.
    QString appRegisteredOn_;
    QString adRegisteredOn_;
    bool advertisingWanted_ = false;
    // Counts starts and stops of advertising, so that a late answer knows whether it is current.
    uint64_t advertisingTicket_ = 0;
    std::deque<std::function<void()>> operations_;
    bool operationRunning_ = false;
};

} // namespace merriphonic
