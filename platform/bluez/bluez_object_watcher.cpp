#include "platform/bluez/bluez_object_watcher.h"

#include <QDBusMessage>
#include <QDBusServiceWatcher>

#include "platform/bluez/dbus_signal_relay.h"
#include "platform/log.h"

namespace merriphonic {

using namespace bluez;

namespace {

RadioState stateForError(const QDBusError& error) {
    return error.type() == QDBusError::AccessDenied ? RadioState::unauthorized
                                                    : RadioState::unsupported;
}

QString lastSegment(const QString& path) {
    return path.section(QLatin1Char('/'), -1);
}

} // namespace

BluezObjectWatcher::BluezObjectWatcher(QDBusConnection bus, QString adapterName, const Log* log)
    : bus_(std::move(bus)), adapterName_(std::move(adapterName)), log_(log),
      calls_(std::make_unique<QObject>()) {
    registerTypes();
}

BluezObjectWatcher::~BluezObjectWatcher() {
    if (relay_) {
        const QString any;
        bus_.disconnect(service, QStringLiteral("/"), objectManagerInterface,
                        QStringLiteral("InterfacesAdded"), relay_.get(), SLOT(relay(QDBusMessage)));
        bus_.disconnect(service, QStringLiteral("/"), objectManagerInterface,
                        QStringLiteral("InterfacesRemoved"), relay_.get(),
                        SLOT(relay(QDBusMessage)));
        bus_.disconnect(service, any, propertiesInterface, QStringLiteral("PropertiesChanged"),
                        relay_.get(), SLOT(relay(QDBusMessage)));
    }
}

void BluezObjectWatcher::start() {
    if (!bus_.isConnected()) {
        failure_ = stateForError(bus_.lastError());
        loaded_ = true;
        if (log_ != nullptr) {
            log_->debug(LogCategory::ble, "bluez: no D-Bus connection: {}",
                        bus_.lastError().message().toStdString());
        }
        update();
        return;
    }
    relay_ = std::make_unique<DBusSignalRelay>(
        [this](const QDBusMessage& message) { handleSignal(message); });
    const QString any;
    bus_.connect(service, QStringLiteral("/"), objectManagerInterface,
                 QStringLiteral("InterfacesAdded"), relay_.get(), SLOT(relay(QDBusMessage)));
    bus_.connect(service, QStringLiteral("/"), objectManagerInterface,
                 QStringLiteral("InterfacesRemoved"), relay_.get(), SLOT(relay(QDBusMessage)));
    bus_.connect(service, any, propertiesInterface, QStringLiteral("PropertiesChanged"),
                 relay_.get(), SLOT(relay(QDBusMessage)));

    serviceWatcher_ = std::make_unique<QDBusServiceWatcher>(
        service, bus_, QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(serviceWatcher_.get(), &QDBusServiceWatcher::serviceOwnerChanged,
                     serviceWatcher_.get(),
                     [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                         ownerChanged(oldOwner, newOwner);
                     });
    load();
}

void BluezObjectWatcher::load() {
    const uint64_t generation = ++generation_;
    const QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/"), objectManagerInterface, QStringLiteral("GetManagedObjects"));
    callAsync(bus_, call, calls_.get(),
              [this, generation](const QDBusMessage& reply) { loaded(generation, reply); });
}

void BluezObjectWatcher::loaded(uint64_t generation, const QDBusMessage& reply) {
    if (generation != generation_) {
        return;
    }
    loaded_ = true;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        const QDBusError error(reply);
        forgetAll();
        failure_ = stateForError(error);
        if (log_ != nullptr) {
            log_->debug(LogCategory::ble, "bluez: not available: {}",
                        radioError(error).description);
        }
    } else {
        failure_.reset();
        objects_ = toObjectMap(reply.arguments().constFirst());
    }
    update();
}

void BluezObjectWatcher::ownerChanged(const QString& oldOwner, const QString& newOwner) {
    if (!oldOwner.isEmpty()) {
        // BlueZ went away (or was replaced): everything it had is gone with it.
        forgetAll();
        failure_ = RadioState::unsupported;
        loaded_ = true;
        ++generation_;
        update();
    }
    if (!newOwner.isEmpty()) {
        load();
    }
}

void BluezObjectWatcher::forgetAll() {
    const bluez::ObjectMap previous = std::exchange(objects_, {});
    if (!loaded_ || !onDeviceRemoved) {
        return;
    }
    for (auto it = previous.cbegin(); it != previous.cend(); ++it) {
        if (it.value().contains(deviceInterface)) {
            onDeviceRemoved(it.key());
        }
    }
}

void BluezObjectWatcher::handleSignal(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    const QString member = message.member();
    if (member == QLatin1String("InterfacesAdded") && arguments.size() >= 2) {
        interfacesAdded(toPath(arguments.at(0)), toInterfaceMap(arguments.at(1)));
    } else if (member == QLatin1String("InterfacesRemoved") && arguments.size() >= 2) {
        interfacesRemoved(toPath(arguments.at(0)), toStringList(arguments.at(1)));
    } else if (member == QLatin1String("PropertiesChanged") && arguments.size() >= 2) {
        propertiesChanged(message.path(), arguments.at(0).toString(), toVariantMap(arguments.at(1)),
                          arguments.size() >= 3 ? toStringList(arguments.at(2)) : QStringList());
    }
}

void BluezObjectWatcher::interfacesAdded(const QString& path, const InterfaceMap& interfaces) {
    if (failure_) {
        return;
    }
    InterfaceMap& object = objects_[path];
    for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it) {
        object.insert(it.key(), it.value());
    }
    if (!loaded_) {
        return;
    }
    if (interfaces.contains(adapterInterface)) {
        update();
    }
    if (interfaces.contains(deviceInterface) && onDeviceChanged) {
        onDeviceChanged(path, object.value(deviceInterface));
    }
}

void BluezObjectWatcher::interfacesRemoved(const QString& path, const QStringList& interfaces) {
    auto object = objects_.find(path);
    if (object == objects_.end()) {
        return;
    }
    for (const QString& interface : interfaces) {
        object->remove(interface);
    }
    if (object->isEmpty()) {
        objects_.erase(object);
    }
    if (!loaded_) {
        return;
    }
    if (interfaces.contains(deviceInterface) && onDeviceRemoved) {
        onDeviceRemoved(path);
    }
    if (interfaces.contains(adapterInterface)) {
        update();
    }
}

void BluezObjectWatcher::propertiesChanged(const QString& path, const QString& interface,
                                           const QVariantMap& changed,
                                           const QStringList& invalidated) {
    auto object = objects_.find(path);
    if (object == objects_.end() || !object->contains(interface)) {
        return;
    }
    QVariantMap& properties = (*object)[interface];
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        properties.insert(it.key(), it.value());
    }
    for (const QString& name : invalidated) {
        properties.remove(name);
    }
    if (!loaded_) {
        return;
    }
    if (interface == adapterInterface) {
        update();
    } else if (interface == deviceInterface && onDeviceChanged) {
        onDeviceChanged(path, changed);
    }
}

std::optional<LeAddress> BluezObjectWatcher::adapterAddress() const {
    const QVariantMap adapter = properties(adapterPath_, adapterInterface);
    const QString address = adapter.value(QStringLiteral("Address")).toString();
    if (address.isEmpty()) {
        return std::nullopt;
    }
    const bool random =
        adapter.value(QStringLiteral("AddressType")).toString() == QLatin1String("random");
    return LeAddress{address.toUpper().toStdString(), random};
}

QVariantMap BluezObjectWatcher::properties(const QString& path, const QString& interface) const {
    const auto object = objects_.constFind(path);
    if (object == objects_.cend()) {
        return {};
    }
    return object->value(interface);
}

bool BluezObjectWatcher::isPowered(const QString& adapter) const {
    return properties(adapter, adapterInterface).value(QStringLiteral("Powered")).toBool();
}

QString BluezObjectWatcher::chooseAdapter() const {
    QStringList adapters;
    for (auto it = objects_.cbegin(); it != objects_.cend(); ++it) {
        if (it.value().contains(adapterInterface)) {
            adapters.append(it.key());
        }
    }
    if (!adapterName_.isEmpty()) {
        for (const QString& adapter : adapters) {
            if (lastSegment(adapter) == adapterName_) {
                return adapter;
            }
        }
        return {};
    }
    if (adapters.contains(adapterPath_) && isPowered(adapterPath_)) {
        return adapterPath_;
    }
    for (const QString& adapter : adapters) {
        if (isPowered(adapter)) {
            return adapter;
        }
    }
    if (adapters.contains(adapterPath_)) {
        return adapterPath_;
    }
    return adapters.isEmpty() ? QString() : adapters.constFirst();
}

void BluezObjectWatcher::update() {
    RadioState state = RadioState::unknown;
    QString adapter;
    if (!loaded_) {
        return;
    }
    if (failure_) {
        state = *failure_;
    } else {
        adapter = chooseAdapter();
        if (adapter.isEmpty()) {
            state = RadioState::unsupported;
        } else {
            state = isPowered(adapter) ? RadioState::poweredOn : RadioState::poweredOff;
        }
    }
    if (reported_ && state == state_ && adapter == adapterPath_) {
        return;
    }
    reported_ = true;
    state_ = state;
    adapterPath_ = adapter;
    if (log_ != nullptr) {
        log_->debug(LogCategory::ble, "bluez: adapter {} state {}",
                    adapter.isEmpty() ? std::string("-") : adapter.toStdString(),
                    radioStateName(state));
    }
    if (onStateChanged) {
        onStateChanged();
    }
}

} // namespace merriphonic
