#include "platform/bluez/bluez_dbus.h"

#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>

#include <algorithm>
#include <mutex>

namespace merriphonic::bluez {

void registerTypes() {
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<InterfaceMap>();
        qDBusRegisterMetaType<ManagedObjects>();
    });
}

QVariantMap toVariantMap(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        QVariantMap map;
        value.value<QDBusArgument>() >> map;
        return map;
    }
    return value.toMap();
}

InterfaceMap toInterfaceMap(const QVariant& value) {
    InterfaceMap interfaces;
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        value.value<QDBusArgument>() >> interfaces;
    } else if (value.metaType() == QMetaType::fromType<InterfaceMap>()) {
        interfaces = value.value<InterfaceMap>();
    }
    return interfaces;
}

ObjectMap toObjectMap(const QVariant& value) {
    ManagedObjects objects;
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        value.value<QDBusArgument>() >> objects;
    } else if (value.metaType() == QMetaType::fromType<ManagedObjects>()) {
        objects = value.value<ManagedObjects>();
    }
    ObjectMap byPath;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        byPath.insert(it.key().path(), it.value());
    }
    return byPath;
}

QStringList toStringList(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        QStringList list;
        value.value<QDBusArgument>() >> list;
        return list;
    }
    return value.toStringList();
}

QString toPath(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>()) {
        return value.value<QDBusObjectPath>().path();
    }
    return value.toString();
}

std::string toStd(const QString& text) {
    return text.toStdString();
}

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

std::vector<std::string> toStdList(const QStringList& list) {
    std::vector<std::string> result;
    result.reserve(static_cast<size_t>(list.size()));
    for (const QString& item : list) {
        result.push_back(item.toStdString());
    }
    return result;
}

QStringList toQStringList(const std::vector<std::string>& list) {
    QStringList result;
    result.reserve(static_cast<qsizetype>(list.size()));
    for (const std::string& item : list) {
        result.append(QString::fromStdString(item));
    }
    return result;
}

std::string canonicalUuid(const QString& uuid) {
    return uuid.toUpper().toStdString();
}

bool sameUuid(const QString& a, const std::string& b) {
    return a.compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

bool containsUuid(const std::vector<std::string>& uuids, const QString& uuid) {
    return std::any_of(uuids.begin(), uuids.end(),
                       [&uuid](const std::string& item) { return sameUuid(uuid, item); });
}

RadioError radioError(const QDBusError& error) {
    const QString text = error.message().isEmpty() ? error.name() : error.message();
    return RadioError{text.isEmpty() ? std::string("D-Bus call failed") : text.toStdString()};
}

bool isError(const QDBusMessage& reply) {
    return reply.type() != QDBusMessage::ReplyMessage;
}

void callAsync(const QDBusConnection& bus, const QDBusMessage& call, QObject* context,
               std::function<void(const QDBusMessage& reply)> done, int timeoutMs) {
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         if (done) {
                             done(finished->reply());
                         }
                     });
}

bool isAtOrBelow(const QString& path, const QString& ancestor) {
    if (ancestor.isEmpty()) {
        return false;
    }
    return path == ancestor || path.startsWith(ancestor + QLatin1Char('/'));
}

} // namespace merriphonic::bluez
