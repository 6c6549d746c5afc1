#include "platform/bluez/bluez_peripheral_manager.h"

#include <unistd.h>

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <utility>

#include "platform/bluez/bluez_dbus.h"
#include "platform/bluez/bluez_object_watcher.h"
#include "platform/bluez/gatt_application.h"
#include "platform/bluez/peer_identifier.h"
#include "platform/log.h"
#include "platform/qt/fd_byte_stream.h"

namespace merriphonic {

using namespace bluez;

namespace {

const RadioError notAvailable{"Bluetooth is not available"};
// How long a listener rests after a channel could not be accepted.
constexpr int64_t acceptPauseNs = 100'000'000;

QString nextObjectRoot() {
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("/app/merriphonic/peripheral%1").arg(counter.fetch_add(1));
}

bool isError(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

} // namespace

class BluezPeripheralManager::Core : public std::enable_shared_from_this<Core> {
public:
    Core(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate,
         const BluezRadioOptions& options)
        : main_(main), delegate_(std::move(delegate)), bus_(*options.bus),
          sockets_(options.sockets), streams_(*options.streams), log_(options.log),
          calls_(std::make_unique<QObject>()),
          watcher_(*options.bus, QString::fromStdString(options.adapter.value_or("")), options.log),
          app_(std::make_unique<GattApplication>(nextObjectRoot())) {}

    ~Core() {
        closeListeners();
        // Withdraw what BlueZ holds of ours; nobody waits for the answers.
        if (!adRegisteredOn_.isEmpty()) {
            bus_.send(unregisterAdvertisementCall(adRegisteredOn_));
        }
        if (!appRegisteredOn_.isEmpty()) {
            bus_.send(unregisterApplicationCall(appRegisteredOn_));
        }
        if (exported_) {
            bus_.unregisterObject(app_->rootPath(), QDBusConnection::UnregisterTree);
        }
    }

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void start() {
        app_->onRelease = [this] { released(); };
        exported_ = bus_.isConnected() && bus_.registerVirtualObject(app_->rootPath(), app_.get(),
                                                                     QDBusConnection::SubPath);
        watcher_.onStateChanged = [this] { stateChanged(); };
        watcher_.start();
    }

    [[nodiscard]] RadioState state() const { return watcher_.state(); }
    [[nodiscard]] bool isAdvertising() const { return advertisingWanted_; }
    [[nodiscard]] QString objectRoot() const { return app_->rootPath(); }

    void publishChannel(bool encrypted) {
        const std::optional<LeAddress> address = watcher_.adapterAddress();
        if (!isOn() || !address) {
            notify([](PeripheralManagerDelegate& d) { d.channelPublished(0, notAvailable); });
            return;
        }
        auto result = sockets_->listen(*address, encrypted);
        if (auto* error = std::get_if<RadioError>(&result)) {
            notify(
                [error = *error](PeripheralManagerDelegate& d) { d.channelPublished(0, error); });
            return;
        }
        const L2capListeningSocket socket = std::get<L2capListeningSocket>(result);
        Listener& listener = listeners_[socket.psm];
        listener.fd = socket.fd;
        listener.notifier = std::make_unique<QSocketNotifier>(socket.fd, QSocketNotifier::Read);
        const uint16_t psm = socket.psm;
        QObject::connect(listener.notifier.get(), &QSocketNotifier::activated,
                         listener.notifier.get(), [this, psm] { acceptWaiting(psm); });
        log("bluez: listening on PSM {}", psm);
        notify([psm](PeripheralManagerDelegate& d) { d.channelPublished(psm, std::nullopt); });
    }

    void unpublishChannel(uint16_t psm) {
        auto listener = listeners_.find(psm);
        if (listener == listeners_.end()) {
            notify([psm](PeripheralManagerDelegate& d) {
                d.channelUnpublished(psm, RadioError{"no channel is published on that PSM"});
            });
            return;
        }
        listeners_.erase(listener);
        notify([psm](PeripheralManagerDelegate& d) { d.channelUnpublished(psm, std::nullopt); });
    }

    void removeAllServices() {
        app_->setServices({});
        enqueue([this] { unregisterApplication(); });
    }

    void addService(const GattServiceSpec& service) {
        if (!isOn()) {
            notify(
                [service](PeripheralManagerDelegate& d) { d.serviceAdded(service, notAvailable); });
            return;
        }
        std::vector<GattServiceSpec> services = app_->services();
        services.push_back(service);
        app_->setServices(std::move(services));
        enqueue([this, service] {
            // BlueZ reads an application's services once, when it is registered.
            unregisterApplication([this, service] { registerApplication(service); });
        });
    }

    void startAdvertising(const AdvertisingData& data) {
        if (!isOn()) {
            notify([](PeripheralManagerDelegate& d) { d.advertisingStarted(notAvailable); });
            return;
        }
        advertisingWanted_ = true;
        const uint64_t ticket = ++advertisingTicket_;
        enqueue([this, data, ticket] {
            if (ticket != advertisingTicket_) {
                // Stopped, restarted or powered off meanwhile: this start is void.
                finishOperation();
                return;
            }
            app_->setAdvertisement(data);
            unregisterAdvertisement([this, ticket] { registerAdvertisement(ticket); });
        });
    }

    void stopAdvertising() {
        advertisingWanted_ = false;
        ++advertisingTicket_;
        enqueue([this] { unregisterAdvertisement(); });
    }

private:
    struct Listener {
        Listener() = default;
        Listener(const Listener&) = delete;
        Listener& operator=(const Listener&) = delete;
        Listener(Listener&&) = delete;
        Listener& operator=(Listener&&) = delete;
        ~Listener() {
            notifier.reset();
            if (fd >= 0) {
                ::close(fd);
            }
        }
        int fd = -1;
        std::unique_ptr<QSocketNotifier> notifier;
        ScopedTimer resume; // turns the notifier on again after a failed accept
    };

    template <typename Fn>
    void notify(Fn fn) {
        main_.post([weak = weak_from_this(), fn = std::move(fn)] {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            if (const auto delegate = self->delegate_.lock()) {
                fn(*delegate);
            }
        });
    }

    template <typename... Args>
    void log(fmt::format_string<Args...> format, Args&&... args) const {
        if (log_ != nullptr) {
            log_->debug(LogCategory::ble, format, std::forward<Args>(args)...);
        }
    }

    [[nodiscard]] bool isOn() const { return !onAdapter_.isEmpty(); }

    // ---- BlueZ calls, one at a time ----

    void enqueue(std::function<void()> operation) {
        operations_.push_back(std::move(operation));
        if (!operationRunning_) {
            finishOperation();
        }
    }

    // Ends the running operation (if any) and starts the next.
    void finishOperation() {
        if (operations_.empty()) {
            operationRunning_ = false;
            return;
        }
        operationRunning_ = true;
        std::function<void()> next = std::move(operations_.front());
        operations_.pop_front();
        next();
    }

    void call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> then) {
        callAsync(bus_, message, calls_.get(),
                  [weak = weak_from_this(), then = std::move(then)](const QDBusMessage& reply) {
                      if (weak.lock()) {
                          then(reply);
                      }
                  });
    }

    [[nodiscard]] QDBusMessage unregisterApplicationCall(const QString& adapter) const {
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, adapter, gattManagerInterface, QStringLiteral("UnregisterApplication"));
        message << QVariant::fromValue(QDBusObjectPath(app_->applicationPath()));
        return message;
    }

    [[nodiscard]] QDBusMessage unregisterAdvertisementCall(const QString& adapter) const {
        QDBusMessage message =
            QDBusMessage::createMethodCall(service, adapter, advertisingManagerInterface,
                                           QStringLiteral("UnregisterAdvertisement"));
        message << QVariant::fromValue(QDBusObjectPath(app_->advertisementPath()));
        return message;
    }

    // Unregisters the application if BlueZ has it, then runs `then` (by default: ends the
    // operation). A failure to unregister is of no consequence: the next registration tells.
    void unregisterApplication(std::function<void()> then = {}) {
        if (!then) {
            then = [this] { finishOperation(); };
        }
        if (appRegisteredOn_.isEmpty()) {
            then();
            return;
        }
        const QString adapter = std::exchange(appRegisteredOn_, QString());
        call(unregisterApplicationCall(adapter),
             [then = std::move(then)](const QDBusMessage&) { then(); });
    }

    void registerApplication(const GattServiceSpec& spec) {
        const std::vector<GattServiceSpec>& services = app_->services();
        if (std::find(services.begin(), services.end(), spec) == services.end()) {
            // Removed (or powered off) before BlueZ could take it: this addition is void.
            finishOperation();
            return;
        }
        if (!isOn()) {
            notify([spec](PeripheralManagerDelegate& d) { d.serviceAdded(spec, notAvailable); });
            finishOperation();
            return;
        }
        const QString adapter = onAdapter_;
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, adapter, gattManagerInterface, QStringLiteral("RegisterApplication"));
        message << QVariant::fromValue(QDBusObjectPath(app_->applicationPath())) << QVariantMap();
        log("bluez: registering GATT application {} on {}", app_->applicationPath().toStdString(),
            adapter.toStdString());
        call(message, [this, spec, adapter](const QDBusMessage& reply) {
            std::vector<GattServiceSpec> services = app_->services();
            const auto added = std::find(services.begin(), services.end(), spec);
            // Removed while BlueZ was registering it (BlueZ may then have found nothing to
            // register): the addition is void either way.
            const bool current = added != services.end();
            if (isError(reply)) {
                const RadioError error = radioError(QDBusError(reply));
                log("bluez: RegisterApplication failed: {}", error.description);
                if (current) {
                    services.erase(added);
                    app_->setServices(std::move(services));
                    notify([spec, error](PeripheralManagerDelegate& d) {
                        d.serviceAdded(spec, error);
                    });
                }
            } else {
                appRegisteredOn_ = adapter;
                if (current) {
                    notify([spec](PeripheralManagerDelegate& d) {
                        d.serviceAdded(spec, std::nullopt);
                    });
                }
            }
            finishOperation();
        });
    }

    void unregisterAdvertisement(std::function<void()> then = {}) {
        if (!then) {
            then = [this] { finishOperation(); };
        }
        if (adRegisteredOn_.isEmpty()) {
            then();
            return;
        }
        const QString adapter = std::exchange(adRegisteredOn_, QString());
        call(unregisterAdvertisementCall(adapter),
             [then = std::move(then)](const QDBusMessage&) { then(); });
    }

    void registerAdvertisement(uint64_t ticket) {
        const QString adapter = onAdapter_;
        QDBusMessage message = QDBusMessage::createMethodCall(
            service, adapter, advertisingManagerInterface, QStringLiteral("RegisterAdvertisement"));
        message << QVariant::fromValue(QDBusObjectPath(app_->advertisementPath())) << QVariantMap();
        call(message, [this, ticket, adapter](const QDBusMessage& reply) {
            // Stopped or restarted while BlueZ was registering it: the start is void.
            const bool current = ticket == advertisingTicket_;
            if (isError(reply)) {
                const RadioError error = radioError(QDBusError(reply));
                log("bluez: RegisterAdvertisement failed: {}", error.description);
                if (current) {
                    advertisingWanted_ = false;
                    notify([error](PeripheralManagerDelegate& d) { d.advertisingStarted(error); });
                }
            } else {
                adRegisteredOn_ = adapter;
                if (current) {
                    notify(
                        [](PeripheralManagerDelegate& d) { d.advertisingStarted(std::nullopt); });
                }
            }
            finishOperation();
        });
    }

    // BlueZ dropped the advertisement on its own (an unregistration of ours has already
    // forgotten it).
    void released() {
        if (adRegisteredOn_.isEmpty()) {
            return;
        }
        log("bluez: advertisement released");
        adRegisteredOn_.clear();
        advertisingWanted_ = false;
        ++advertisingTicket_;
    }

    // ---- channels ----

    void acceptWaiting(uint16_t psm) {
        const auto listener = listeners_.find(psm);
        if (listener == listeners_.end()) {
            return;
        }
        const std::optional<LeAddress> adapter = watcher_.adapterAddress();
        while (true) {
            auto result = sockets_->accept(listener->second.fd);
            if (auto* failure = std::get_if<L2capAcceptFailure>(&result)) {
                // One channel lost; the listener stays. Its notifier rests for a moment, so that
                // a channel left waiting (no descriptor free) is not retried in a tight loop.
                log("bluez: a channel on PSM {} could not be accepted: {}", psm,
                    failure->error.description);
                listener->second.notifier->setEnabled(false);
                listener->second.resume = main_.after(acceptPauseNs, [this, psm] {
                    if (auto again = listeners_.find(psm); again != listeners_.end()) {
                        again->second.notifier->setEnabled(true);
                        acceptWaiting(psm);
                    }
                });
                return;
            }
            if (auto* error = std::get_if<RadioError>(&result)) {
                // A listening socket that fails stays broken: stop watching it.
                listener->second.notifier->setEnabled(false);
                notify([error = *error](PeripheralManagerDelegate& d) {
                    d.channelOpened(nullptr, error);
                });
                return;
            }
            const auto& accepted = std::get<std::optional<L2capChannelSocket>>(result);
            if (!accepted) {
                return;
            }
            auto channel = std::make_shared<L2capChannel>();
            channel->peerId =
                peerIdentifier(adapter ? adapter->address : std::string(), accepted->peerAddress);
            channel->streams =
                makeFdStreamPair(accepted->fd, streams_,
                                 FdStreamOptions{true, accepted->sendMtu, accepted->receiveMtu});
            log("bluez: channel on PSM {} from {} (MTU out {}, in {})", psm, accepted->peerAddress,
                accepted->sendMtu, accepted->receiveMtu);
            notify([channel](PeripheralManagerDelegate& d) {
                d.channelOpened(channel, std::nullopt);
            });
        }
    }

    void closeListeners() { listeners_.clear(); }

    // ---- state ----

    void stateChanged() {
        const RadioState state = watcher_.state();
        const QString onAdapter =
            state == RadioState::poweredOn ? watcher_.adapterPath() : QString();
        if (isOn() && onAdapter != onAdapter_) {
            // Off, gone or replaced: what we set up on the adapter is no more.
            closeListeners();
            app_->setServices({});
            advertisingWanted_ = false;
            ++advertisingTicket_;
            enqueue([this] { unregisterAdvertisement(); });
            enqueue([this] { unregisterApplication(); });
            if (!onAdapter.isEmpty()) {
                notify([](PeripheralManagerDelegate& d) {
                    d.peripheralStateChanged(RadioState::resetting);
                });
            }
        }
        onAdapter_ = onAdapter;
        notify([state](PeripheralManagerDelegate& d) { d.peripheralStateChanged(state); });
    }

    RunLoop& main_;
    std::weak_ptr<PeripheralManagerDelegate> delegate_;
    QDBusConnection bus_;
    std::shared_ptr<L2capSockets> sockets_;
    RunLoop& streams_;
    const Log* log_;
    std::unique_ptr<QObject> calls_;
    BluezObjectWatcher watcher_;
    std::unique_ptr<GattApplication> app_;
    bool exported_ = false;

    // The adapter while it is powered on; empty otherwise.
    QString onAdapter_;
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

BluezPeripheralManager::BluezPeripheralManager(RunLoop& main,
                                               std::weak_ptr<PeripheralManagerDelegate> delegate,
                                               const BluezRadioOptions& options)
    : core_(std::make_shared<Core>(main, std::move(delegate), options)) {
    core_->start();
}

BluezPeripheralManager::~BluezPeripheralManager() = default;

RadioState BluezPeripheralManager::state() const {
    return core_->state();
}

void BluezPeripheralManager::publishChannel(bool encrypted) {
    core_->publishChannel(encrypted);
}

void BluezPeripheralManager::unpublishChannel(uint16_t psm) {
    core_->unpublishChannel(psm);
}

void BluezPeripheralManager::removeAllServices() {
    core_->removeAllServices();
}

void BluezPeripheralManager::addService(const GattServiceSpec& service) {
    core_->addService(service);
}

void BluezPeripheralManager::startAdvertising(const AdvertisingData& data) {
    core_->startAdvertising(data);
}

void BluezPeripheralManager::stopAdvertising() {
    core_->stopAdvertising();
}

bool BluezPeripheralManager::isAdvertising() const {
    return core_->isAdvertising();
}

QString BluezPeripheralManager::objectRoot() const {
    return core_->objectRoot();
}

} // namespace merriphonic
