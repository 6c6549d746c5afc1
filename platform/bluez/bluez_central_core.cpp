#include "platform/bluez/bluez_central_core.h"

#include <unistd.h>

#include <algorithm>

#include "platform/bluez/bluez_dbus.h"
#include "platform/bluez/peer_identifier.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/shared_radio_managers.h"

namespace merriphonic {

using namespace bluez;

namespace {

const RadioError notAvailable{"Bluetooth is not available"};
const RadioError notConnected{"the device is not connected"};

} // namespace

BluezCentralCore::BluezCentralCore(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
                                   const BluezRadioOptions& options)
    : BluezManagerCore(main, std::move(delegate), options) {}

BluezCentralCore::~BluezCentralCore() {
    channels_.clear();
    // Leave BlueZ as we found it; nobody waits for the answers.
    if (discoveryStarted_) {
        bus_.send(adapterCall(QStringLiteral("StopDiscovery")));
    }
    for (const auto& [id, link] : links_) {
        const auto peripheral = peripherals_.find(id);
        if (link.stage != Stage::idle && peripheral != peripherals_.end()) {
            bus_.send(deviceCall(*peripheral->second, QStringLiteral("Disconnect")));
        }
    }
}

void BluezCentralCore::start() {
    watcher_.onStateChanged = [this] { stateChanged(); };
    watcher_.onDeviceChanged = [this](const QString& path, const QVariantMap& changed) {
        deviceChanged(path, changed);
    };
    watcher_.onDeviceRemoved = [this](const QString& path) { deviceRemoved(path); };
    watcher_.start();
}

void BluezCentralCore::scan(const std::vector<std::string>& serviceUuids, bool allowDuplicates) {
    if (!isOn()) {
        return;
    }
    scanning_ = true;
    scanServices_ = serviceUuids;
    const uint64_t ticket = ++scanTicket_;
    QVariantMap filter;
    filter.insert(QStringLiteral("UUIDs"), toQStringList(serviceUuids));
    filter.insert(QStringLiteral("Transport"), QStringLiteral("le"));
    filter.insert(QStringLiteral("DuplicateData"), allowDuplicates);
    QDBusMessage setFilter = adapterCall(QStringLiteral("SetDiscoveryFilter"));
    setFilter << filter;
    call(setFilter, [this, ticket](const QDBusMessage& reply) {
        if (isError(reply)) {
            log("bluez: SetDiscoveryFilter failed: {}", radioError(QDBusError(reply)).description);
        }
        if (ticket == scanTicket_ && scanning_ && !discoveryStarted_ && !discoveryStarting_) {
            startDiscovery();
        }
    });
}

void BluezCentralCore::stopScan() {
    scanning_ = false;
    ++scanTicket_;
    if (discoveryStarted_) {
        stopDiscovery();
    }
}

std::vector<std::shared_ptr<RemotePeripheral>>
BluezCentralCore::retrievePeripherals(const std::vector<std::string>& identifiers) {
    std::vector<std::shared_ptr<RemotePeripheral>> found;
    for (const std::string& identifier : identifiers) {
        auto known = peripherals_.find(identifier);
        if (known == peripherals_.end()) {
            // BlueZ may know the device from before (an earlier scan or connection).
            const bluez::ObjectMap& objects = watcher_.objects();
            for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
                if (it.value().contains(deviceInterface) &&
                    identifierOf(it.value().value(deviceInterface)) == identifier) {
                    peripheralAt(it.key(), identifier);
                    break;
                }
            }
            known = peripherals_.find(identifier);
        }
        if (known != peripherals_.end()) {
            found.push_back(known->second);
        }
    }
    return found;
}

void BluezCentralCore::connect(std::shared_ptr<RemotePeripheral> remote) {
    const auto peripheral = handedOut(peripherals_, remote);
    if (!peripheral) {
        return;
    }
    if (!isOn() || !watcher_.objects().contains(peripheral->devicePath())) {
        const RadioError error =
            isOn() ? RadioError{"the device is no longer known"} : notAvailable;
        notify([peripheral, error](CentralManagerDelegate& d) {
            d.peripheralFailedToConnect(peripheral, error);
        });
        return;
    }
    Link& link = links_[peripheral->identifier()];
    link.stage = Stage::connecting;
    link.connectAnswered = false;
    const uint64_t attempt = ++link.attempt;
    log("bluez: connecting {}", peripheral->devicePath().toStdString());
    // A connection is not abandoned by time alone: the caller cancels it.
    call(
        deviceCall(*peripheral, QStringLiteral("Connect")),
        [this, peripheral, attempt](const QDBusMessage& reply) {
            connectAnswered(peripheral, attempt, reply);
        },
        infiniteTimeout);
}

void BluezCentralCore::cancelConnection(std::shared_ptr<RemotePeripheral> remote) {
    const auto peripheral = handedOut(peripherals_, remote);
    if (!peripheral) {
        return;
    }
    for (auto it = channels_.begin(); it != channels_.end();) {
        it = it->second.peripheral == peripheral ? channels_.erase(it) : std::next(it);
    }
    const auto link = links_.find(peripheral->identifier());
    if (link == links_.end() || link->second.stage == Stage::idle) {
        return;
    }
    link->second.stage = Stage::idle;
    ++link->second.attempt;
    log("bluez: disconnecting {}", peripheral->devicePath().toStdString());
    call(deviceCall(*peripheral, QStringLiteral("Disconnect")), [](const QDBusMessage&) {});
}

void BluezCentralCore::discoverServices(BluezRemotePeripheral& remote,
                                        const std::vector<std::string>& serviceUuids) {
    const auto peripheral = remote.shared_from_this();
    if (!isConnected(*peripheral)) {
        notify([peripheral](CentralManagerDelegate& d) {
            d.servicesDiscovered(peripheral, notConnected);
        });
        return;
    }
    // A fresh look at BlueZ's tree: it holds the GATT objects it resolved.
    call(managedObjectsCall(), [this, peripheral, serviceUuids](const QDBusMessage& reply) {
        if (isError(reply) || reply.arguments().isEmpty()) {
            const RadioError error = radioError(QDBusError(reply));
            notify([peripheral, error](CentralManagerDelegate& d) {
                d.servicesDiscovered(peripheral, error);
            });
            return;
        }
        const bluez::ObjectMap objects = toObjectMap(reply.arguments().constFirst());
        std::vector<BluezRemotePeripheral::Service> services;
        for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
            const QVariantMap properties = it.value().value(gattServiceInterface);
            if (!it.value().contains(gattServiceInterface) ||
                toPath(properties.value(QStringLiteral("Device"))) != peripheral->devicePath()) {
                continue;
            }
            const QString uuid = properties.value(QStringLiteral("UUID")).toString();
            if (serviceUuids.empty() || containsUuid(serviceUuids, uuid)) {
                services.push_back({canonicalUuid(uuid), it.key(), {}});
            }
        }
        peripheral->discovered() = std::move(services);
        notify([peripheral](CentralManagerDelegate& d) {
            d.servicesDiscovered(peripheral, std::nullopt);
        });
    });
}

void BluezCentralCore::discoverCharacteristics(BluezRemotePeripheral& remote,
                                               const std::vector<std::string>& characteristicUuids,
                                               const std::string& serviceUuid) {
    const auto peripheral = remote.shared_from_this();
    const auto* service = peripheral->findService(serviceUuid);
    if (!isConnected(*peripheral) || service == nullptr) {
        const RadioError error =
            service == nullptr ? RadioError{"the service has not been discovered"} : notConnected;
        notify([peripheral, serviceUuid, error](CentralManagerDelegate& d) {
            d.characteristicsDiscovered(peripheral, serviceUuid, error);
        });
        return;
    }
    call(managedObjectsCall(),
         [this, peripheral, characteristicUuids, serviceUuid](const QDBusMessage& reply) {
             auto* service = peripheral->findService(serviceUuid);
             if (isError(reply) || reply.arguments().isEmpty() || service == nullptr) {
                 const RadioError error = service == nullptr
                                              ? RadioError{"the service has not been discovered"}
                                              : radioError(QDBusError(reply));
                 notify([peripheral, serviceUuid, error](CentralManagerDelegate& d) {
                     d.characteristicsDiscovered(peripheral, serviceUuid, error);
                 });
                 return;
             }
             const bluez::ObjectMap objects = toObjectMap(reply.arguments().constFirst());
             std::vector<BluezRemotePeripheral::Characteristic> characteristics;
             for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
                 const QVariantMap properties = it.value().value(gattCharacteristicInterface);
                 if (!it.value().contains(gattCharacteristicInterface) ||
                     toPath(properties.value(QStringLiteral("Service"))) != service->path) {
                     continue;
                 }
                 const QString uuid = properties.value(QStringLiteral("UUID")).toString();
                 if (characteristicUuids.empty() || containsUuid(characteristicUuids, uuid)) {
                     characteristics.push_back({canonicalUuid(uuid), it.key()});
                 }
             }
             service->characteristics = std::move(characteristics);
             notify([peripheral, serviceUuid](CentralManagerDelegate& d) {
                 d.characteristicsDiscovered(peripheral, serviceUuid, std::nullopt);
             });
         });
}

void BluezCentralCore::readValue(BluezRemotePeripheral& remote, const std::string& serviceUuid,
                                 const std::string& characteristicUuid) {
    const auto peripheral = remote.shared_from_this();
    QString path;
    if (const auto* service = peripheral->findService(serviceUuid)) {
        for (const auto& characteristic : service->characteristics) {
            if (sameUuid(QString::fromStdString(characteristic.uuid), characteristicUuid)) {
                path = characteristic.path;
            }
        }
    }
    if (path.isEmpty() || !isConnected(*peripheral)) {
        const RadioError error = path.isEmpty()
                                     ? RadioError{"the characteristic has not been discovered"}
                                     : notConnected;
        notify([peripheral, characteristicUuid, error](CentralManagerDelegate& d) {
            d.valueUpdated(peripheral, characteristicUuid, std::nullopt, error);
        });
        return;
    }
    QDBusMessage read = QDBusMessage::createMethodCall(service, path, gattCharacteristicInterface,
                                                       QStringLiteral("ReadValue"));
    read << QVariantMap();
    call(read, [this, peripheral, characteristicUuid](const QDBusMessage& reply) {
        if (isError(reply) || reply.arguments().isEmpty()) {
            const RadioError error = radioError(QDBusError(reply));
            notify([peripheral, characteristicUuid, error](CentralManagerDelegate& d) {
                d.valueUpdated(peripheral, characteristicUuid, std::nullopt, error);
            });
            return;
        }
        const QByteArray bytes = reply.arguments().constFirst().toByteArray();
        std::optional<Bytes> value;
        if (!bytes.isEmpty()) {
            value = Bytes(bytes.begin(), bytes.end());
        }
        notify([peripheral, characteristicUuid, value](CentralManagerDelegate& d) {
            d.valueUpdated(peripheral, characteristicUuid, value, std::nullopt);
        });
    });
}

void BluezCentralCore::openL2capChannel(BluezRemotePeripheral& remote, uint16_t psm) {
    const auto peripheral = remote.shared_from_this();
    const std::optional<LeAddress> adapter = watcher_.adapterAddress();
    const QVariantMap device = watcher_.properties(peripheral->devicePath(), deviceInterface);
    const QString address = device.value(QStringLiteral("Address")).toString();
    if (!isOn() || !adapter || address.isEmpty()) {
        const RadioError error =
            isOn() ? RadioError{"the device is no longer known"} : notAvailable;
        notifyChannel(peripheral, nullptr, error);
        return;
    }
    const LeAddress peer{address.toUpper().toStdString(),
                         device.value(QStringLiteral("AddressType")).toString() ==
                             QLatin1String("random")};
    auto result = sockets_->connect(*adapter, peer, psm);
    if (!result) {
        notifyChannel(peripheral, nullptr, result.error());
        return;
    }
    const uint64_t key = ++channelCount_;
    PendingChannel& pending = channels_[key];
    pending.fd = UniqueFd(*result);
    pending.peripheral = peripheral;
    pending.notifier = std::make_unique<QSocketNotifier>(pending.fd.get(), QSocketNotifier::Write);
    QObject::connect(pending.notifier.get(), &QSocketNotifier::activated, pending.notifier.get(),
                     [this, key] { channelConnected(key); });
    log("bluez: opening L2CAP channel to {} PSM {}", peer.address, psm);
}

void BluezCentralCore::notifyChannel(const std::shared_ptr<BluezRemotePeripheral>& peripheral,
                                     std::shared_ptr<L2capChannel> channel,
                                     const std::optional<RadioError>& error) {
    notify([peripheral, channel = std::move(channel), error](CentralManagerDelegate& d) {
        d.channelOpened(peripheral, channel, error);
    });
}

QDBusMessage BluezCentralCore::adapterCall(const QString& method) const {
    return QDBusMessage::createMethodCall(service, onAdapter_, adapterInterface, method);
}

QDBusMessage BluezCentralCore::deviceCall(const BluezRemotePeripheral& peripheral,
                                          const QString& method) {
    return QDBusMessage::createMethodCall(service, peripheral.devicePath(), deviceInterface,
                                          method);
}

QDBusMessage BluezCentralCore::managedObjectsCall() {
    return QDBusMessage::createMethodCall(service, QStringLiteral("/"), objectManagerInterface,
                                          QStringLiteral("GetManagedObjects"));
}

bool BluezCentralCore::isConnected(const BluezRemotePeripheral& peripheral) const {
    const auto link = links_.find(peripheral.identifier());
    return link != links_.end() && link->second.stage == Stage::connected;
}

void BluezCentralCore::startDiscovery() {
    discoveryStarting_ = true;
    call(adapterCall(QStringLiteral("StartDiscovery")), [this](const QDBusMessage& reply) {
        discoveryStarting_ = false;
        // "In progress": our session is already running.
        if (isError(reply) &&
            QDBusError(reply).name() != QLatin1String("org.bluez.Error.InProgress")) {
            log("bluez: StartDiscovery failed: {}", radioError(QDBusError(reply)).description);
            return;
        }
        discoveryStarted_ = true;
        if (!scanning_) {
            stopDiscovery();
        }
    });
}

void BluezCentralCore::stopDiscovery() {
    discoveryStarted_ = false;
    call(adapterCall(QStringLiteral("StopDiscovery")), [](const QDBusMessage&) {});
}

std::string BluezCentralCore::identifierOf(const QVariantMap& device) const {
    const std::optional<LeAddress> adapter = watcher_.adapterAddress();
    const QString address = device.value(QStringLiteral("Address")).toString();
    if (!adapter || address.isEmpty() ||
        toPath(device.value(QStringLiteral("Adapter"))) != watcher_.adapterPath()) {
        return {};
    }
    return peerIdentifier(adapter->address, address.toStdString());
}

std::shared_ptr<BluezRemotePeripheral>
BluezCentralCore::peripheralAt(const QString& path, const std::string& identifier) {
    auto& peripheral = peripherals_[identifier];
    if (!peripheral) {
        peripheral = std::make_shared<BluezRemotePeripheral>(
            std::static_pointer_cast<BluezCentralCore>(shared_from_this()), identifier, path);
    } else {
        peripheral->setDevicePath(path);
    }
    return peripheral;
}

std::shared_ptr<BluezRemotePeripheral> BluezCentralCore::knownPeripheralAt(const QString& path) {
    for (const auto& [id, peripheral] : peripherals_) {
        if (peripheral->devicePath() == path) {
            return peripheral;
        }
    }
    return nullptr;
}

void BluezCentralCore::deviceChanged(const QString& path, const QVariantMap& changed) {
    if (!isOn()) {
        return;
    }
    const QVariantMap device = watcher_.properties(path, deviceInterface);
    const std::string identifier = identifierOf(device);
    if (identifier.empty()) {
        return;
    }
    followLink(path, identifier, device, changed);
    if (!scanning_ || !changed.contains(QStringLiteral("RSSI"))) {
        return;
    }
    const QStringList uuids = toStringList(device.value(QStringLiteral("UUIDs")));
    const bool offers =
        scanServices_.empty() || std::any_of(uuids.begin(), uuids.end(), [this](const QString& u) {
            return containsUuid(scanServices_, u);
        });
    if (!offers) {
        return;
    }
    Advertisement advertisement;
    if (device.contains(QStringLiteral("Name"))) {
        advertisement.localName = device.value(QStringLiteral("Name")).toString().toStdString();
    }
    for (const QString& uuid : uuids) {
        advertisement.serviceUuids.push_back(canonicalUuid(uuid));
    }
    const QVariant rssiValue = device.value(QStringLiteral("RSSI"));
    const int rssi = rssiValue.isValid() ? rssiValue.toInt() : rssiUnavailable;
    const auto peripheral = peripheralAt(path, identifier);
    notify([peripheral, advertisement, rssi](CentralManagerDelegate& d) {
        d.peripheralDiscovered(peripheral, advertisement, rssi);
    });
}

void BluezCentralCore::followLink(const QString& path, const std::string& identifier,
                                  const QVariantMap& device, const QVariantMap& changed) {
    const auto link = links_.find(identifier);
    if (link == links_.end() || link->second.stage == Stage::idle) {
        return;
    }
    const auto peripheral = peripheralAt(path, identifier);
    if (link->second.stage == Stage::connecting &&
        device.value(QStringLiteral("ServicesResolved")).toBool() &&
        changed.contains(QStringLiteral("ServicesResolved"))) {
        link->second.stage = Stage::connected;
        notify([peripheral](CentralManagerDelegate& d) { d.peripheralConnected(peripheral); });
        return;
    }
    if (changed.contains(QStringLiteral("Connected")) &&
        !changed.value(QStringLiteral("Connected")).toBool()) {
        linkLost(*link, peripheral, RadioError{"the link was closed"});
    }
}

void BluezCentralCore::linkLost(std::pair<const std::string, Link>& entry,
                                const std::shared_ptr<BluezRemotePeripheral>& peripheral,
                                const RadioError& error) {
    Link& link = entry.second;
    if (link.stage == Stage::connected) {
        link.stage = Stage::idle;
        ++link.attempt;
        log("bluez: {} disconnected", peripheral->devicePath().toStdString());
        notify([peripheral](CentralManagerDelegate& d) {
            d.peripheralDisconnected(peripheral, std::nullopt);
        });
    } else if (link.stage == Stage::connecting && link.connectAnswered) {
        // Before Connect has answered, its answer tells.
        link.stage = Stage::idle;
        ++link.attempt;
        notify([peripheral, error](CentralManagerDelegate& d) {
            d.peripheralFailedToConnect(peripheral, error);
        });
    }
}

void BluezCentralCore::connectAnswered(const std::shared_ptr<BluezRemotePeripheral>& peripheral,
                                       uint64_t attempt, const QDBusMessage& reply) {
    const auto link = links_.find(peripheral->identifier());
    if (link == links_.end() || link->second.attempt != attempt ||
        link->second.stage != Stage::connecting) {
        return;
    }
    if (isError(reply) &&
        QDBusError(reply).name() != QLatin1String("org.bluez.Error.AlreadyConnected")) {
        const RadioError error = radioError(QDBusError(reply));
        log("bluez: Connect failed: {}", error.description);
        link->second.stage = Stage::idle;
        notify([peripheral, error](CentralManagerDelegate& d) {
            d.peripheralFailedToConnect(peripheral, error);
        });
        return;
    }
    link->second.connectAnswered = true;
    const QVariantMap device = watcher_.properties(peripheral->devicePath(), deviceInterface);
    if (device.value(QStringLiteral("ServicesResolved")).toBool()) {
        link->second.stage = Stage::connected;
        notify([peripheral](CentralManagerDelegate& d) { d.peripheralConnected(peripheral); });
    }
}

void BluezCentralCore::deviceRemoved(const QString& path) {
    const auto peripheral = knownPeripheralAt(path);
    if (!peripheral) {
        return;
    }
    const auto link = links_.find(peripheral->identifier());
    if (link != links_.end()) {
        link->second.connectAnswered = true;
        linkLost(*link, peripheral, RadioError{"the device is gone"});
    }
}

void BluezCentralCore::channelConnected(uint64_t key) {
    const auto pending = channels_.find(key);
    if (pending == channels_.end()) {
        return;
    }
    // The notifier is the one being handled: it goes once its signal is done.
    pending->second.notifier->setEnabled(false);
    pending->second.notifier.release()->deleteLater();
    UniqueFd fd = std::move(pending->second.fd);
    const auto peripheral = pending->second.peripheral;
    channels_.erase(pending);

    auto result = sockets_->finishConnect(fd.get());
    if (!result) {
        fd.close();
        log("bluez: L2CAP connect failed: {}", result.error().description);
        notifyChannel(peripheral, nullptr, result.error());
        return;
    }
    const L2capChannelSocket& socket = *result;
    auto channel = std::make_shared<L2capChannel>();
    channel->peerId = peripheral->identifier();
    channel->streams = makeFdStreamPair(fd.release(), streams_,
                                        FdStreamOptions{true, socket.sendMtu, socket.receiveMtu});
    log("bluez: L2CAP channel open (MTU out {}, in {})", socket.sendMtu, socket.receiveMtu);
    notifyChannel(peripheral, std::move(channel), std::nullopt);
}

void BluezCentralCore::adapterLost() {
    // Every link and the scan end with the adapter.
    for (auto& entry : links_) {
        const auto peripheral = peripherals_.find(entry.first);
        if (peripheral != peripherals_.end()) {
            entry.second.connectAnswered = true;
            linkLost(entry, peripheral->second, notAvailable);
        }
    }
    scanning_ = false;
    discoveryStarted_ = false;
    ++scanTicket_;
}

} // namespace merriphonic
