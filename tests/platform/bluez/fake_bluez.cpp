#include "fake_bluez.h"

#include <QDBusObjectPath>

#include <algorithm>
#include <atomic>

#include "bluez_radios.h"

namespace merriphonic::bluez_test {

using namespace bluez;

namespace {

QString nextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("fake-bluez-%1").arg(counter.fetch_add(1));
}

QString pathPart(const QString& address) {
    QString part = address.toUpper();
    return part.replace(QLatin1Char(':'), QLatin1Char('_'));
}

} // namespace

FakeBluez::FakeBluez() : connectionName_(nextConnectionName()), bus_(openBus(connectionName_)) {
    registerTypes();
    bus_.registerVirtualObject(QStringLiteral("/"), this, QDBusConnection::SubPath);
    bus_.registerService(service);
    QObject::connect(&airTimer_, &QTimer::timeout, [this] {
        if (discoveryFilter_.value(QStringLiteral("DuplicateData")).toBool()) {
            announce();
        }
    });
    airTimer_.start(50);
}

FakeBluez::~FakeBluez() {
    bus_.unregisterService(service);
    bus_.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
    closeBus(connectionName_);
}

QString FakeBluez::addAdapter(const QString& name, const QString& address, bool powered) {
    QString path = QStringLiteral("/org/bluez/") + name;
    QVariantMap adapter;
    adapter.insert(QStringLiteral("Address"), address);
    adapter.insert(QStringLiteral("AddressType"), QStringLiteral("public"));
    adapter.insert(QStringLiteral("Name"), name);
    adapter.insert(QStringLiteral("Powered"), powered);
    adapter.insert(QStringLiteral("Discovering"), false);
    addObject(path, {{adapterInterface, adapter},
                     {gattManagerInterface, {}},
                     {advertisingManagerInterface, {}}});
    return path;
}

void FakeBluez::setPowered(const QString& adapter, bool powered) {
    changeProperties(adapter, adapterInterface, {{QStringLiteral("Powered"), powered}});
    // Its links drop: the peers' devices that stand for it disconnect.
    for (auto it = objects_.cbegin(); !powered && it != objects_.cend(); ++it) {
        const QVariantMap device = it.value().value(deviceInterface);
        if (device.value(QStringLiteral("Connected")).toBool() &&
            address(it.key()) == address(adapter)) {
            disconnectDevice(it.key());
        }
    }
}

QString FakeBluez::address(const QString& path) const {
    const InterfaceMap& object = objects_.value(path);
    const QString interface =
        object.contains(adapterInterface) ? adapterInterface : deviceInterface;
    return object.value(interface).value(QStringLiteral("Address")).toString();
}

void FakeBluez::announce() {
    if (!advertisement || !discovering_) {
        return;
    }
    const QString from = address(advertisement->adapter);
    QVariantMap heard{
        {QStringLiteral("UUIDs"), advertisement->properties.value(QStringLiteral("ServiceUUIDs"))},
        {QStringLiteral("RSSI"), QVariant::fromValue<qint16>(-50)}};
    if (advertisement->properties.contains(QStringLiteral("LocalName"))) {
        heard.insert(QStringLiteral("Name"),
                     advertisement->properties.value(QStringLiteral("LocalName")));
    }
    for (const QString& adapter : objects_.keys()) {
        const QVariantMap properties = objects_.value(adapter).value(adapterInterface);
        if (adapter == advertisement->adapter ||
            !properties.value(QStringLiteral("Powered")).toBool()) {
            continue;
        }
        const QString device = adapter + QStringLiteral("/dev_") + pathPart(from);
        if (objects_.contains(device)) {
            changeProperties(device, deviceInterface, heard);
        } else {
            heard.insert(QStringLiteral("AddressType"), QStringLiteral("random"));
            addDevice(adapter, from, heard);
        }
    }
}

void FakeBluez::showApplication(const QString& device) {
    if (!application || address(application->adapter) != address(device)) {
        return;
    }
    const auto local = [&](const QString& path) {
        return device + path.mid(application->path.size());
    };
    for (auto it = application->objects.cbegin(); it != application->objects.cend(); ++it) {
        InterfaceMap interfaces = it.value();
        if (interfaces.contains(gattServiceInterface)) {
            interfaces[gattServiceInterface].insert(QStringLiteral("Device"),
                                                    QVariant::fromValue(QDBusObjectPath(device)));
        }
        if (interfaces.contains(gattCharacteristicInterface)) {
            QVariantMap& characteristic = interfaces[gattCharacteristicInterface];
            const QString service = toPath(characteristic.value(QStringLiteral("Service")));
            characteristic.insert(QStringLiteral("Service"),
                                  QVariant::fromValue(QDBusObjectPath(local(service))));
            readFrom_[local(it.key())] = it.key();
        }
        addObject(local(it.key()), interfaces);
    }
}

QString FakeBluez::addDevice(const QString& adapter, const QString& address,
                             QVariantMap properties) {
    QString path = adapter + QStringLiteral("/dev_") + pathPart(address);
    properties.insert(QStringLiteral("Address"), address);
    if (!properties.contains(QStringLiteral("AddressType"))) {
        properties.insert(QStringLiteral("AddressType"), QStringLiteral("public"));
    }
    properties.insert(QStringLiteral("Adapter"), QVariant::fromValue(QDBusObjectPath(adapter)));
    properties.insert(QStringLiteral("Connected"), false);
    properties.insert(QStringLiteral("ServicesResolved"), false);
    addObject(path, {{deviceInterface, properties}});
    return path;
}

void FakeBluez::addObject(const QString& path, const InterfaceMap& interfaces) {
    InterfaceMap& object = objects_[path];
    for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it) {
        object.insert(it.key(), it.value());
    }
    signal(QStringLiteral("/"), objectManagerInterface, QStringLiteral("InterfacesAdded"),
           {QVariant::fromValue(QDBusObjectPath(path)), QVariant::fromValue(interfaces)});
}

void FakeBluez::removeObject(const QString& path) {
    // Children first, as BlueZ does.
    QStringList paths = objects_.keys();
    std::reverse(paths.begin(), paths.end());
    for (const QString& gone : paths) {
        if (!isAtOrBelow(gone, path)) {
            continue;
        }
        const QStringList interfaces = objects_.value(gone).keys();
        objects_.remove(gone);
        signal(QStringLiteral("/"), objectManagerInterface, QStringLiteral("InterfacesRemoved"),
               {QVariant::fromValue(QDBusObjectPath(gone)), interfaces});
    }
}

void FakeBluez::changeProperties(const QString& path, const QString& interface,
                                 const QVariantMap& changed, const QStringList& invalidated) {
    QVariantMap& properties = objects_[path][interface];
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        properties.insert(it.key(), it.value());
    }
    for (const QString& name : invalidated) {
        properties.remove(name);
    }
    signal(path, propertiesInterface, QStringLiteral("PropertiesChanged"),
           {interface, changed, invalidated});
}

void FakeBluez::failNext(const QString& member, const QString& errorName, const QString& message) {
    failures_[member] = {errorName, message};
}

std::vector<FakeBluez::Call> FakeBluez::callsTo(const QString& member) const {
    std::vector<Call> found;
    for (const Call& call : calls) {
        if (call.member == member) {
            found.push_back(call);
        }
    }
    return found;
}

QDBusMessage FakeBluez::callClient(const QString& owner, const QString& path,
                                   const QString& interface, const QString& member,
                                   const QList<QVariant>& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(owner, path, interface, member);
    call.setArguments(arguments);
    std::optional<QDBusMessage> answer;
    callAsync(bus_, call, this, [&answer](const QDBusMessage& reply) { answer = reply; });
    test::runMainLoopUntil([&answer] { return answer.has_value(); });
    return answer.value_or(QDBusMessage());
}

void FakeBluez::releaseAdvertisement() {
    if (!advertisement) {
        return;
    }
    QDBusMessage release =
        QDBusMessage::createMethodCall(advertisement->owner, advertisement->path,
                                       advertisementInterface, QStringLiteral("Release"));
    release.setAutoStartService(false);
    bus_.send(release);
    advertisement.reset();
}

void FakeBluez::signal(const QString& path, const QString& interface, const QString& name,
                       const QList<QVariant>& arguments) {
    QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    bus_.send(message);
}

void FakeBluez::reply(const QDBusMessage& message, const QList<QVariant>& arguments) {
    bus_.send(message.createReply(arguments));
}

void FakeBluez::replyError(const QDBusMessage& message, const QString& name, const QString& text) {
    bus_.send(message.createErrorReply(name, text));
}

bool FakeBluez::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    const QString path = message.path();
    const QString interface = message.interface();
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    calls.push_back({path, interface, member, arguments});

    if (const auto failure = failures_.find(member); failure != failures_.end()) {
        replyError(message, failure->second.first, failure->second.second);
        failures_.erase(failure);
        return true;
    }
    if (interface == objectManagerInterface && member == QLatin1String("GetManagedObjects")) {
        if (denyAccess) {
            replyError(message, QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                       QStringLiteral("Rejected send message"));
            return true;
        }
        ManagedObjects objects;
        for (auto it = objects_.cbegin(); it != objects_.cend(); ++it) {
            objects.insert(QDBusObjectPath(it.key()), it.value());
        }
        reply(message, {QVariant::fromValue(objects)});
    } else if (interface == gattManagerInterface) {
        if (member == QLatin1String("RegisterApplication")) {
            registerApplication(message);
        } else if (!application || application->path != toPath(arguments.value(0))) {
            replyError(message, QStringLiteral("org.bluez.Error.DoesNotExist"),
                       QStringLiteral("Does Not Exist"));
        } else {
            application.reset();
            reply(message);
        }
    } else if (interface == advertisingManagerInterface) {
        if (member == QLatin1String("RegisterAdvertisement")) {
            registerAdvertisement(message);
        } else if (!advertisement || advertisement->path != toPath(arguments.value(0))) {
            replyError(message, QStringLiteral("org.bluez.Error.DoesNotExist"),
                       QStringLiteral("Does Not Exist"));
        } else {
            advertisement.reset();
            reply(message);
        }
    } else if (interface == adapterInterface) {
        if (member == QLatin1String("SetDiscoveryFilter")) {
            discoveryFilter_ = toVariantMap(arguments.value(0));
            reply(message);
        } else if (member == QLatin1String("StartDiscovery")) {
            if (discovering_) {
                replyError(message, QStringLiteral("org.bluez.Error.InProgress"),
                           QStringLiteral("Operation already in progress"));
                return true;
            }
            discovering_ = true;
            reply(message);
            changeProperties(path, adapterInterface, {{QStringLiteral("Discovering"), true}});
            announce();
        } else if (member == QLatin1String("StopDiscovery")) {
            if (!discovering_) {
                replyError(message, QStringLiteral("org.bluez.Error.Failed"),
                           QStringLiteral("No discovery started"));
                return true;
            }
            discovering_ = false;
            reply(message);
            changeProperties(path, adapterInterface, {{QStringLiteral("Discovering"), false}});
        } else {
            return false;
        }
    } else if (interface == deviceInterface && member == QLatin1String("Connect")) {
        connectDevice(message);
    } else if (interface == deviceInterface && member == QLatin1String("Disconnect")) {
        reply(message);
        disconnectDevice(path);
    } else if (interface == gattCharacteristicInterface && member == QLatin1String("ReadValue") &&
               readFrom_.contains(path) && application) {
        QDBusMessage read =
            QDBusMessage::createMethodCall(application->owner, readFrom_[path], interface, member);
        read.setArguments(arguments);
        callAsync(bus_, read, this, [this, message](const QDBusMessage& answer) {
            bus_.send(answer.type() == QDBusMessage::ReplyMessage
                          ? message.createReply(answer.arguments())
                          : message.createErrorReply(answer.errorName(), answer.errorMessage()));
        });
    } else if (interface == gattCharacteristicInterface && member == QLatin1String("ReadValue")) {
        reply(message, {objects_.value(path)
                            .value(gattCharacteristicInterface)
                            .value(QStringLiteral("Value"))
                            .toByteArray()});
    } else {
        return false;
    }
    return true;
}

void FakeBluez::registerApplication(const QDBusMessage& message) {
    if (application) {
        replyError(message, QStringLiteral("org.bluez.Error.AlreadyExists"),
                   QStringLiteral("Already Exists"));
        return;
    }
    const QString owner = message.service();
    const QString path = toPath(message.arguments().value(0));
    // Like BlueZ: read the application's objects before answering.
    const QDBusMessage read = QDBusMessage::createMethodCall(owner, path, objectManagerInterface,
                                                             QStringLiteral("GetManagedObjects"));
    callAsync(bus_, read, this, [this, message, owner, path](const QDBusMessage& answer) {
        if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) {
            replyError(message, QStringLiteral("org.bluez.Error.Failed"),
                       QStringLiteral("Failed to read the application"));
            return;
        }
        const ObjectMap objects = toObjectMap(answer.arguments().constFirst());
        bool anyService = false;
        for (const InterfaceMap& interfaces : objects) {
            anyService = anyService || interfaces.contains(gattServiceInterface);
        }
        if (!anyService) {
            replyError(message, QStringLiteral("org.bluez.Error.Failed"),
                       QStringLiteral("No valid service object found"));
            return;
        }
        application = Registration{owner, path, message.path(), objects, {}};
        reply(message);
    });
}

void FakeBluez::registerAdvertisement(const QDBusMessage& message) {
    if (advertisement) {
        replyError(message, QStringLiteral("org.bluez.Error.AlreadyExists"),
                   QStringLiteral("Already Exists"));
        return;
    }
    const QString owner = message.service();
    const QString path = toPath(message.arguments().value(0));
    QDBusMessage read =
        QDBusMessage::createMethodCall(owner, path, propertiesInterface, QStringLiteral("GetAll"));
    read << QString(advertisementInterface);
    callAsync(bus_, read, this, [this, message, owner, path](const QDBusMessage& answer) {
        const QVariantMap properties = answer.type() == QDBusMessage::ReplyMessage
                                           ? toVariantMap(answer.arguments().value(0))
                                           : QVariantMap();
        if (!properties.contains(QStringLiteral("Type"))) {
            replyError(message, QStringLiteral("org.bluez.Error.InvalidArguments"),
                       QStringLiteral("Invalid arguments in method call"));
            return;
        }
        advertisement = Registration{owner, path, message.path(), {}, properties};
        reply(message);
        announce();
    });
}

void FakeBluez::connectDevice(const QDBusMessage& message) {
    if (holdConnect) {
        return;
    }
    const QString device = message.path();
    auto resolve = [this, device] {
        changeProperties(device, deviceInterface, {{QStringLiteral("Connected"), true}});
        showApplication(device);
        changeProperties(device, deviceInterface, {{QStringLiteral("ServicesResolved"), true}});
    };
    if (resolveBeforeConnectReply) {
        resolve();
        reply(message);
    } else {
        reply(message);
        resolve();
    }
}

void FakeBluez::disconnectDevice(const QString& path) {
    changeProperties(
        path, deviceInterface,
        {{QStringLiteral("Connected"), false}, {QStringLiteral("ServicesResolved"), false}});
}

QString FakeBluez::introspect(const QString&) const {
    return {};
}

} // namespace merriphonic::bluez_test
