#include "platform/bluez/bluez_peripheral_core.h"

#include <unistd.h>

#include <QDBusObjectPath>

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/bluez/bluez_dbus.h"
#include "platform/bluez/peer_identifier.h"
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

} // namespace

BluezPeripheralCore::BluezPeripheralCore(RunLoop& main,
                                         std::weak_ptr<PeripheralManagerDelegate> delegate,
                                         const BluezRadioOptions& options)
    : BluezManagerCore(main, std::move(delegate), options),
      app_(std::make_unique<GattApplication>(nextObjectRoot())) {}

BluezPeripheralCore::~BluezPeripheralCore() {
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

void BluezPeripheralCore::start() {
    app_->onRelease = [this] { released(); };
    exported_ = bus_.isConnected() &&
                bus_.registerVirtualObject(app_->rootPath(), app_.get(), QDBusConnection::SubPath);
    watcher_.onStateChanged = [this] { stateChanged(); };
    watcher_.start();
}

void BluezPeripheralCore::publishChannel(bool encrypted) {
    const std::optional<LeAddress> address = watcher_.adapterAddress();
    if (!isOn() || !address) {
        notify([](PeripheralManagerDelegate& d) { d.channelPublished(0, notAvailable); });
        return;
    }
    auto result = sockets_->listen(*address, encrypted);
    if (!result) {
        notify([error = result.error()](PeripheralManagerDelegate& d) {
            d.channelPublished(0, error);
        });
        return;
    }
    const L2capListeningSocket socket = *result;
    Listener& listener = listeners_[socket.psm];
    listener.fd = UniqueFd(socket.fd);
    listener.notifier = std::make_unique<QSocketNotifier>(socket.fd, QSocketNotifier::Read);
    const uint16_t psm = socket.psm;
    QObject::connect(listener.notifier.get(), &QSocketNotifier::activated, listener.notifier.get(),
                     [this, psm] { acceptWaiting(psm); });
    log("bluez: listening on PSM {}", psm);
    notify([psm](PeripheralManagerDelegate& d) { d.channelPublished(psm, std::nullopt); });
}

void BluezPeripheralCore::unpublishChannel(uint16_t psm) {
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

void BluezPeripheralCore::removeAllServices() {
    app_->setServices({});
    enqueue([this] { unregisterApplication(); });
}

void BluezPeripheralCore::addService(const GattServiceSpec& service) {
    if (!isOn()) {
        notify([service](PeripheralManagerDelegate& d) { d.serviceAdded(service, notAvailable); });
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

void BluezPeripheralCore::startAdvertising(const AdvertisingData& data) {
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

void BluezPeripheralCore::stopAdvertising() {
    advertisingWanted_ = false;
    ++advertisingTicket_;
    enqueue([this] { unregisterAdvertisement(); });
}

void BluezPeripheralCore::enqueue(std::function<void()> operation) {
    operations_.push_back(std::move(operation));
    if (!operationRunning_) {
        finishOperation();
    }
}

void BluezPeripheralCore::finishOperation() {
    if (operations_.empty()) {
        operationRunning_ = false;
        return;
    }
    operationRunning_ = true;
    std::function<void()> next = std::move(operations_.front());
    operations_.pop_front();
    next();
}

QDBusMessage BluezPeripheralCore::unregisterApplicationCall(const QString& adapter) const {
    QDBusMessage message = QDBusMessage::createMethodCall(service, adapter, gattManagerInterface,
                                                          QStringLiteral("UnregisterApplication"));
    message << QVariant::fromValue(QDBusObjectPath(app_->applicationPath()));
    return message;
}

QDBusMessage BluezPeripheralCore::unregisterAdvertisementCall(const QString& adapter) const {
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, adapter, advertisingManagerInterface, QStringLiteral("UnregisterAdvertisement"));
    message << QVariant::fromValue(QDBusObjectPath(app_->advertisementPath()));
    return message;
}

void BluezPeripheralCore::unregisterApplication(std::function<void()> then) {
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

void BluezPeripheralCore::registerApplication(const GattServiceSpec& spec) {
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
    QDBusMessage message = QDBusMessage::createMethodCall(service, adapter, gattManagerInterface,
                                                          QStringLiteral("RegisterApplication"));
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
                notify(
                    [spec, error](PeripheralManagerDelegate& d) { d.serviceAdded(spec, error); });
            }
        } else {
            appRegisteredOn_ = adapter;
            if (current) {
                notify(
                    [spec](PeripheralManagerDelegate& d) { d.serviceAdded(spec, std::nullopt); });
            }
        }
        finishOperation();
    });
}

void BluezPeripheralCore::unregisterAdvertisement(std::function<void()> then) {
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

void BluezPeripheralCore::registerAdvertisement(uint64_t ticket) {
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
                notify([](PeripheralManagerDelegate& d) { d.advertisingStarted(std::nullopt); });
            }
        }
        finishOperation();
    });
}

void BluezPeripheralCore::released() {
    if (adRegisteredOn_.isEmpty()) {
        return;
    }
    log("bluez: advertisement released");
    adRegisteredOn_.clear();
    advertisingWanted_ = false;
    ++advertisingTicket_;
}

void BluezPeripheralCore::acceptWaiting(uint16_t psm) {
    const auto listener = listeners_.find(psm);
    if (listener == listeners_.end()) {
        return;
    }
    const std::optional<LeAddress> adapter = watcher_.adapterAddress();
    while (true) {
        auto result = sockets_->accept(listener->second.fd.get());
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
        channel->streams = makeFdStreamPair(
            accepted->fd, streams_, FdStreamOptions{true, accepted->sendMtu, accepted->receiveMtu});
        log("bluez: channel on PSM {} from {} (MTU out {}, in {})", psm, accepted->peerAddress,
            accepted->sendMtu, accepted->receiveMtu);
        notify([channel](PeripheralManagerDelegate& d) { d.channelOpened(channel, std::nullopt); });
    }
}

void BluezPeripheralCore::adapterLost() {
    // What we set up on the adapter is no more.
    closeListeners();
    app_->setServices({});
    advertisingWanted_ = false;
    ++advertisingTicket_;
    enqueue([this] { unregisterAdvertisement(); });
    enqueue([this] { unregisterApplication(); });
}

} // namespace merriphonic
