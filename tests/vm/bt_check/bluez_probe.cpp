#include "tests/vm/bt_check/bluez_probe.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include <utility>

#include "platform/bluez/bluez_dbus.h"

namespace merriphonic {

using namespace bluez;

namespace {

constexpr int callTimeoutMs = 5000;

std::optional<QVariant> call(const QDBusMessage& message) {
    const QDBusMessage reply =
        QDBusConnection::systemBus().call(message, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return std::nullopt;
    }
    return reply.arguments().constFirst();
}

std::optional<ObjectMap> managedObjects() {
    registerTypes();
    auto objects = call(QDBusMessage::createMethodCall(
        service, QStringLiteral("/"), objectManagerInterface, QStringLiteral("GetManagedObjects")));
    if (!objects) {
        return std::nullopt;
    }
    return toObjectMap(*objects);
}

} // namespace

BluezProbe::BluezProbe(std::string adapter) : adapter_(std::move(adapter)) {}

std::optional<int> BluezProbe::activeAdvertisements() const {
    QDBusMessage get =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/bluez/") + toQString(adapter_),
                                       propertiesInterface, QStringLiteral("Get"));
    get << QString(advertisingManagerInterface) << QStringLiteral("ActiveInstances");
    const auto value = call(get);
    if (!value) {
        return std::nullopt;
    }
    return value->value<QDBusVariant>().variant().toInt();
}

std::optional<std::vector<std::string>> BluezProbe::connectedDevices() const {
    const auto objects = managedObjects();
    if (!objects) {
        return std::nullopt;
    }
    const QString adapterPath = QStringLiteral("/org/bluez/") + toQString(adapter_);
    std::vector<std::string> connected;
    for (auto it = objects->cbegin(); it != objects->cend(); ++it) {
        const QVariantMap device = it.value().value(deviceInterface);
        if (toPath(device.value(QStringLiteral("Adapter"))) == adapterPath &&
            device.value(QStringLiteral("Connected")).toBool()) {
            connected.push_back(toStd(device.value(QStringLiteral("Address")).toString()));
        }
    }
    return connected;
}

int BluezProbe::disconnectAll() const {
    const auto objects = managedObjects();
    if (!objects) {
        return 0;
    }
    const QString adapterPath = QStringLiteral("/org/bluez/") + toQString(adapter_);
    int asked = 0;
    for (auto it = objects->cbegin(); it != objects->cend(); ++it) {
        const QVariantMap device = it.value().value(deviceInterface);
        if (toPath(device.value(QStringLiteral("Adapter"))) == adapterPath &&
            device.value(QStringLiteral("Connected")).toBool()) {
            call(QDBusMessage::createMethodCall(service, it.key(), deviceInterface,
                                                QStringLiteral("Disconnect")));
            ++asked;
        }
    }
    return asked;
}

std::optional<int> BluezProbe::attMtu(std::string_view characteristicUuid) const {
    const auto objects = managedObjects();
    if (!objects) {
        return std::nullopt;
    }
    const QString adapterPath = QStringLiteral("/org/bluez/") + toQString(adapter_);
    for (auto it = objects->cbegin(); it != objects->cend(); ++it) {
        const QVariantMap characteristic = it.value().value(gattCharacteristicInterface);
        if (isAtOrBelow(it.key(), adapterPath) &&
            sameUuid(characteristic.value(QStringLiteral("UUID")).toString(),
                     std::string(characteristicUuid)) &&
            characteristic.contains(QStringLiteral("MTU"))) {
            return characteristic.value(QStringLiteral("MTU")).toInt();
        }
    }
    return std::nullopt;
}

} // namespace merriphonic
