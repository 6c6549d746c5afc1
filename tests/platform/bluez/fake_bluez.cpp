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

QString devicePath(const QString& adapter, const QString& address) {
    return adapter + "/dev_" + address.toUpper().replace(':', '_');
}

} // namespace

FakeBluez::FakeBluez() : connectionName_(nextConnectionName()), bus_(openBus(connectionName_)) {
    registerTypes();
    bus_.registerVirtualObject("/", this, QDBusConnection::SubPath);
    bus_.registerService(service);
    QObject::connect(&airTimer_, &QTimer::timeout, [this] {
        if (discoveryFilter.value("DuplicateData").toBool()) {
            announce();
        }
    });
    airTimer_.start(50);
}

FakeBluez::~FakeBluez() {
    bus_.unregisterService(service);
    bus_.unregisterObject("/", QDBusConnection::UnregisterTree);
    closeBus(connectionName_);
}

QString FakeBluez::addAdapter(const QString& name, const QString& address, bool powered) {
    QString path = "/org/bluez/" + name;
    addObject(path, {{adapterInterface, {{"Address", address}, {"Powered", powered}}},
                     {gattManagerInterface, {}},
                     {advertisingManagerInterface, {}}});
    return path;
}

void FakeBluez::setPowered(const QString& adapter, bool powered) {
    changeProperties(adapter, adapterInterface, {{"Powered", powered}});
    for (auto it = objects_.cbegin(); !powered && it != objects_.cend(); ++it) {
        if (it.value().value(deviceInterface).value("Connected").toBool() &&
            address(it.key()) == address(adapter)) {
            changeProperties(it.key(), deviceInterface,
                             {{"Connected", false}, {"ServicesResolved", false}});
        }
    }
}

QString FakeBluez::address(const QString& path) const {
    const InterfaceMap& object = objects_.value(path);
    const QString interface =
        object.contains(adapterInterface) ? adapterInterface : deviceInterface;
    return object.value(interface).value("Address").toString();
}

void FakeBluez::announce() {
    if (!advertisement || !discovering || discoveryFilter.value("Transport") != "le") {
        return;
    }
    const QString from = address(advertisement->adapter);
    QVariantMap heard{{"UUIDs", advertisement->properties.value("ServiceUUIDs")},
                      {"RSSI", QVariant::fromValue<qint16>(-50)}};
    if (advertisement->properties.contains("LocalName")) {
        heard.insert("Name", advertisement->properties.value("LocalName"));
    }
    for (const QString& adapter : objects_.keys()) {
        if (adapter == advertisement->adapter ||
            !objects_.value(adapter).value(adapterInterface).value("Powered").toBool()) {
            continue;
        }
        if (const QString device = devicePath(adapter, from); objects_.contains(device)) {
            changeProperties(device, deviceInterface, heard);
        } else {
            heard.insert("AddressType", "random");
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
            interfaces[gattServiceInterface].insert("Device",
                                                    QVariant::fromValue(QDBusObjectPath(device)));
        }
        if (interfaces.contains(gattCharacteristicInterface)) {
            QVariantMap& characteristic = interfaces[gattCharacteristicInterface];
            const QString service = toPath(characteristic.value("Service"));
            characteristic.insert("Service", QVariant::fromValue(QDBusObjectPath(local(service))));
            readFrom_[local(it.key())] = it.key();
        }
        addObject(local(it.key()), interfaces);
    }
}

QString FakeBluez::addDevice(const QString& adapter, const QString& address,
                             QVariantMap properties) {
    QString path = devicePath(adapter, address);
    properties.insert("Address", address);
    properties.insert("Adapter", QVariant::fromValue(QDBusObjectPath(adapter)));
    properties.insert("Connected", false);
    properties.insert("ServicesResolved", false);
    addObject(path, {{deviceInterface, properties}});
    return path;
}

void FakeBluez::addObject(const QString& path, const InterfaceMap& interfaces) {
    objects_[path].insert(interfaces);
    signal("/", objectManagerInterface, "InterfacesAdded",
           {QVariant::fromValue(QDBusObjectPath(path)), QVariant::fromValue(interfaces)});
}

void FakeBluez::removeObject(const QString& path) {
    // Children first, as BlueZ does.
    QStringList paths = objects_.keys();
    std::reverse(paths.begin(), paths.end());
    for (const QString& gone : paths) {
        if (isAtOrBelow(gone, path)) {
            const QStringList interfaces = objects_.take(gone).keys();
            signal("/", objectManagerInterface, "InterfacesRemoved",
                   {QVariant::fromValue(QDBusObjectPath(gone)), interfaces});
        }
    }
}

void FakeBluez::changeProperties(const QString& path, const QString& interface,
                                 const QVariantMap& changed) {
    objects_[path][interface].insert(changed);
    signal(path, propertiesInterface, "PropertiesChanged", {interface, changed, QStringList()});
}

void FakeBluez::failNext(const QString& member, const QString& errorName, const QString& message) {
    failures_[member] = {errorName, message};
}

std::vector<QString> FakeBluez::callsTo(const QString& member) const {
    std::vector<QString> paths;
    for (const auto& [called, path] : calls_) {
        if (called == member) {
            paths.push_back(path);
        }
    }
    return paths;
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

void FakeBluez::signal(const QString& path, const QString& interface, const QString& name,
                       const QList<QVariant>& arguments) {
    QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    bus_.send(message);
}

void FakeBluez::replyError(const QDBusMessage& message, const QString& name, const QString& text) {
    bus_.send(message.createErrorReply(name, text));
}

bool FakeBluez::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    const QString path = message.path();
    const QString member = message.member();
    calls_.emplace_back(member, path);
    if (const auto failure = failures_.find(member); failure != failures_.end()) {
        replyError(message, failure->second.first, failure->second.second);
        failures_.erase(failure);
    } else if (member == "GetManagedObjects" && denyAccess) {
        replyError(message, "org.freedesktop.DBus.Error.AccessDenied", "Rejected send message");
    } else if (member == "GetManagedObjects") {
        ManagedObjects objects;
        for (auto it = objects_.cbegin(); it != objects_.cend(); ++it) {
            objects.insert(QDBusObjectPath(it.key()), it.value());
        }
        bus_.send(message.createReply(QVariant::fromValue(objects)));
    } else if (member == "RegisterApplication" || member == "RegisterAdvertisement") {
        registerObject(message);
    } else if (member == "UnregisterApplication" || member == "UnregisterAdvertisement") {
        auto& held = member == "UnregisterApplication" ? application : advertisement;
        if (!held || held->path != toPath(message.arguments().value(0))) {
            replyError(message, "org.bluez.Error.DoesNotExist", "Does Not Exist");
        } else {
            held.reset();
            bus_.send(message.createReply());
        }
    } else if (member == "SetDiscoveryFilter") {
        discoveryFilter = toVariantMap(message.arguments().value(0));
        bus_.send(message.createReply());
    } else if (member == "StartDiscovery" || member == "StopDiscovery") {
        if (discovering == (member == "StartDiscovery")) {
            replyError(message, "org.bluez.Error.Failed", "Discovery is already " + member);
            return true;
        }
        discovering = !discovering;
        bus_.send(message.createReply());
        announce();
    } else if (member == "Connect") {
        connectDevice(message);
    } else if (member == "Disconnect") {
        bus_.send(message.createReply());
        changeProperties(path, deviceInterface,
                         {{"Connected", false}, {"ServicesResolved", false}});
    } else if (member == "ReadValue" && readFrom_.contains(path) && application) {
        QDBusMessage read = QDBusMessage::createMethodCall(application->owner, readFrom_[path],
                                                           message.interface(), member);
        read.setArguments(message.arguments());
        callAsync(bus_, read, this, [this, message](const QDBusMessage& answer) {
            bus_.send(answer.type() == QDBusMessage::ReplyMessage
                          ? message.createReply(answer.arguments())
                          : message.createErrorReply(answer.errorName(), answer.errorMessage()));
        });
    } else {
        return false;
    }
    return true;
}

void FakeBluez::registerObject(const QDBusMessage& message) {
    const bool isApplication = message.member() == "RegisterApplication";
    if (isApplication ? application : advertisement) {
        replyError(message, "org.bluez.Error.AlreadyExists", "Already Exists");
        return;
    }
    Registration registration{
        message.service(), toPath(message.arguments().value(0)), message.path(), {}, {}};
    QDBusMessage read =
        QDBusMessage::createMethodCall(registration.owner, registration.path,
                                       isApplication ? objectManagerInterface : propertiesInterface,
                                       isApplication ? "GetManagedObjects" : "GetAll");
    if (!isApplication) {
        read << QString(advertisementInterface);
    }
    callAsync(bus_, read, this, [=, this](const QDBusMessage& answer) mutable {
        const QVariant value = answer.arguments().value(0);
        bool valid = answer.type() == QDBusMessage::ReplyMessage;
        if (isApplication) {
            registration.objects = toObjectMap(value);
            valid = valid && std::any_of(registration.objects.cbegin(), registration.objects.cend(),
                                         [](const InterfaceMap& interfaces) {
                                             return interfaces.contains(gattServiceInterface);
                                         });
        } else {
            registration.properties = toVariantMap(value);
            valid = valid && registration.properties.value("Type") == "peripheral";
        }
        if (!valid) {
            replyError(message, "org.bluez.Error.InvalidArguments", "Invalid object");
            return;
        }
        (isApplication ? application : advertisement) = registration;
        bus_.send(message.createReply());
        announce();
    });
}

void FakeBluez::connectDevice(const QDBusMessage& message) {
    bus_.send(message.createReply());
    changeProperties(message.path(), deviceInterface, {{"Connected", true}});
    showApplication(message.path());
    changeProperties(message.path(), deviceInterface, {{"ServicesResolved", true}});
}

} // namespace merriphonic::bluez_test
