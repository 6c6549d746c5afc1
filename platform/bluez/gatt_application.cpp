#include "platform/bluez/gatt_application.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <algorithm>
#include <utility>

namespace merriphonic {

using namespace bluez;

namespace {

QByteArray toByteArray(const Bytes& bytes, size_t offset) {
    const size_t count = bytes.size() - offset;
    return {reinterpret_cast<const char*>(bytes.data() + offset), static_cast<qsizetype>(count)};
}

QString interfaceXml(const QString& interface) {
    if (interface == QLatin1String(gattServiceInterface)) {
        return QStringLiteral("<interface name=\"org.bluez.GattService1\">"
                              "<property name=\"UUID\" type=\"s\" access=\"read\"/>"
                              "<property name=\"Primary\" type=\"b\" access=\"read\"/>"
                              "</interface>");
    }
    if (interface == QLatin1String(gattCharacteristicInterface)) {
        return QStringLiteral(
            "<interface name=\"org.bluez.GattCharacteristic1\">"
            "<method name=\"ReadValue\"><arg name=\"options\" type=\"a{sv}\" direction=\"in\"/>"
            "<arg name=\"value\" type=\"ay\" direction=\"out\"/></method>"
            "<property name=\"UUID\" type=\"s\" access=\"read\"/>"
            "<property name=\"Service\" type=\"o\" access=\"read\"/>"
            "<property name=\"Flags\" type=\"as\" access=\"read\"/>"
            "</interface>");
    }
    if (interface == QLatin1String(advertisementInterface)) {
        return QStringLiteral("<interface name=\"org.bluez.LEAdvertisement1\">"
                              "<method name=\"Release\"/>"
                              "<property name=\"Type\" type=\"s\" access=\"read\"/>"
                              "<property name=\"ServiceUUIDs\" type=\"as\" access=\"read\"/>"
                              "<property name=\"LocalName\" type=\"s\" access=\"read\"/>"
                              "</interface>");
    }
    return QStringLiteral(
        "<interface name=\"org.freedesktop.DBus.ObjectManager\">"
        "<method name=\"GetManagedObjects\">"
        "<arg name=\"objects\" type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method>"
        "</interface>");
}

} // namespace

GattApplication::GattApplication(QString rootPath) : rootPath_(std::move(rootPath)) {
    registerTypes();
}

QString GattApplication::applicationPath() const {
    return rootPath_ + QStringLiteral("/gatt");
}

QString GattApplication::advertisementPath() const {
    return rootPath_ + QStringLiteral("/advertisement");
}

QString GattApplication::servicePath(size_t service) const {
    return applicationPath() + QStringLiteral("/service%1").arg(service);
}

QString GattApplication::characteristicPath(size_t service, size_t characteristic) const {
    return servicePath(service) + QStringLiteral("/char%1").arg(characteristic);
}

void GattApplication::setServices(std::vector<GattServiceSpec> services) {
    services_ = std::move(services);
}

void GattApplication::setAdvertisement(AdvertisingData data) {
    advertisement_ = std::move(data);
}

QVariantMap GattApplication::advertisementProperties() const {
    QVariantMap properties;
    properties.insert(QStringLiteral("Type"), QStringLiteral("peripheral"));
    properties.insert(QStringLiteral("ServiceUUIDs"), toQStringList(advertisement_.serviceUuids));
    if (!advertisement_.localName.empty()) {
        properties.insert(QStringLiteral("LocalName"), toQString(advertisement_.localName));
    }
    return properties;
}

bool GattApplication::find(const QString& path, Node& node) const {
    if (path == advertisementPath()) {
        node = Node{advertisementInterface, advertisementProperties(), nullptr};
        return true;
    }
    for (size_t s = 0; s < services_.size(); ++s) {
        const GattServiceSpec& service = services_[s];
        if (path == servicePath(s)) {
            QVariantMap properties;
            properties.insert(QStringLiteral("UUID"), toQString(service.uuid));
            properties.insert(QStringLiteral("Primary"), service.primary);
            node = Node{gattServiceInterface, properties, nullptr};
            return true;
        }
        for (size_t c = 0; c < service.characteristics.size(); ++c) {
            if (path != characteristicPath(s, c)) {
                continue;
            }
            const GattCharacteristicSpec& characteristic = service.characteristics[c];
            QVariantMap properties;
            properties.insert(QStringLiteral("UUID"), toQString(characteristic.uuid));
            properties.insert(QStringLiteral("Service"),
                              QVariant::fromValue(QDBusObjectPath(servicePath(s))));
            properties.insert(QStringLiteral("Flags"), QStringList{QStringLiteral("read")});
            node = Node{gattCharacteristicInterface, properties, &characteristic.value};
            return true;
        }
    }
    return false;
}

ManagedObjects GattApplication::applicationObjects() const {
    ManagedObjects objects;
    Node node;
    for (size_t s = 0; s < services_.size(); ++s) {
        if (find(servicePath(s), node)) {
            objects.insert(QDBusObjectPath(servicePath(s)), {{node.interface, node.properties}});
        }
        for (size_t c = 0; c < services_[s].characteristics.size(); ++c) {
            if (find(characteristicPath(s, c), node)) {
                objects.insert(QDBusObjectPath(characteristicPath(s, c)),
                               {{node.interface, node.properties}});
            }
        }
    }
    return objects;
}

bool GattApplication::handleMessage(const QDBusMessage& message,
                                    const QDBusConnection& connection) {
    const QString path = message.path();
    const QString interface = message.interface();
    const QString member = message.member();
    QDBusMessage reply;

    if (interface == QLatin1String(objectManagerInterface) &&
        member == QLatin1String("GetManagedObjects")) {
        if (path == applicationPath()) {
            reply = message.createReply(QVariant::fromValue(applicationObjects()));
        } else if (path == advertisementPath()) {
            ManagedObjects objects;
            objects.insert(QDBusObjectPath(path),
                           {{QString(advertisementInterface), advertisementProperties()}});
            reply = message.createReply(QVariant::fromValue(objects));
        } else {
            return false;
        }
    } else if (interface == QLatin1String(propertiesInterface)) {
        reply = handleProperties(message);
    } else {
        Node node;
        if (!find(path, node)) {
            return false;
        }
        if (node.interface == QLatin1String(gattCharacteristicInterface) &&
            interface == node.interface && member == QLatin1String("ReadValue")) {
            reply = readValue(message, node);
        } else if (node.interface == QLatin1String(advertisementInterface) &&
                   interface == node.interface && member == QLatin1String("Release")) {
            reply = message.createReply();
            if (onRelease) {
                onRelease();
            }
        } else if (interface == QLatin1String(gattCharacteristicInterface)) {
            reply = message.createErrorReply(QStringLiteral("org.bluez.Error.NotSupported"),
                                             QStringLiteral("Operation is not supported"));
        } else {
            return false;
        }
    }
    if (message.isReplyRequired()) {
        connection.send(reply);
    }
    return true;
}

QDBusMessage GattApplication::handleProperties(const QDBusMessage& message) const {
    Node node;
    const QList<QVariant> arguments = message.arguments();
    if (!find(message.path(), node) || arguments.isEmpty() ||
        arguments.constFirst().toString() != node.interface) {
        return message.createErrorReply(QDBusError::InvalidArgs,
                                        QStringLiteral("No such interface"));
    }
    if (message.member() == QLatin1String("GetAll")) {
        return message.createReply(node.properties);
    }
    if (message.member() == QLatin1String("Get") && arguments.size() >= 2) {
        const QString name = arguments.at(1).toString();
        if (!node.properties.contains(name)) {
            return message.createErrorReply(QDBusError::InvalidArgs,
                                            QStringLiteral("No such property"));
        }
        return message.createReply(QVariant::fromValue(QDBusVariant(node.properties.value(name))));
    }
    return message.createErrorReply(QDBusError::PropertyReadOnly,
                                    QStringLiteral("Properties are read-only"));
}

QDBusMessage GattApplication::readValue(const QDBusMessage& message, const Node& node) const {
    const QList<QVariant> arguments = message.arguments();
    const QVariantMap options =
        arguments.isEmpty() ? QVariantMap() : toVariantMap(arguments.constFirst());
    const size_t offset = options.value(QStringLiteral("offset"), 0U).toUInt();
    if (offset > node.value->size()) {
        return message.createErrorReply(invalidOffsetError, QStringLiteral("Invalid offset"));
    }
    return message.createReply(toByteArray(*node.value, offset));
}

QString GattApplication::introspect(const QString& path) const {
    Node node;
    if (path == applicationPath()) {
        return interfaceXml(objectManagerInterface);
    }
    if (find(path, node)) {
        return interfaceXml(node.interface);
    }
    return {};
}

} // namespace merriphonic
