#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QLatin1String>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/radio.h"

// Names and value conversions shared by the BlueZ radio's D-Bus code.
namespace merriphonic::bluez {

inline constexpr QLatin1String service("org.bluez");
inline constexpr QLatin1String adapterInterface("org.bluez.Adapter1");
inline constexpr QLatin1String deviceInterface("org.bluez.Device1");
inline constexpr QLatin1String gattManagerInterface("org.bluez.GattManager1");
inline constexpr QLatin1String advertisingManagerInterface("org.bluez.LEAdvertisingManager1");
inline constexpr QLatin1String gattServiceInterface("org.bluez.GattService1");
inline constexpr QLatin1String gattCharacteristicInterface("org.bluez.GattCharacteristic1");
inline constexpr QLatin1String advertisementInterface("org.bluez.LEAdvertisement1");
inline constexpr QLatin1String objectManagerInterface("org.freedesktop.DBus.ObjectManager");
inline constexpr QLatin1String propertiesInterface("org.freedesktop.DBus.Properties");

// BlueZ's error for a read past the end of a value.
inline constexpr QLatin1String invalidOffsetError("org.bluez.Error.InvalidOffset");

// interface name → properties (a{sa{sv}})
using InterfaceMap = QMap<QString, QVariantMap>;
// object path → interfaces (a{oa{sa{sv}}}), as GetManagedObjects answers
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;
// The same, keyed by the path's text, for lookups.
using ObjectMap = QMap<QString, InterfaceMap>;

// Makes InterfaceMap and ManagedObjects known to QtDBus. Idempotent, any thread.
void registerTypes();

// Values as QtDBus hands them over: nested containers arrive as QDBusArgument.
QVariantMap toVariantMap(const QVariant& value);
InterfaceMap toInterfaceMap(const QVariant& value);
ObjectMap toObjectMap(const QVariant& value);
QStringList toStringList(const QVariant& value);
QString toPath(const QVariant& value);

std::string toStd(const QString& text);
QString toQString(const std::string& text);
std::vector<std::string> toStdList(const QStringList& list);
QStringList toQStringList(const std::vector<std::string>& list);

// UUIDs in the radio seam's form (upper case) and compared regardless of case.
std::string canonicalUuid(const QString& uuid);
bool sameUuid(const QString& a, const std::string& b);
bool containsUuid(const std::vector<std::string>& uuids, const QString& uuid);

// Whether a reply is an error rather than the method's return.
bool isError(const QDBusMessage& reply);

// A D-Bus failure as the radio reports it: BlueZ's own message, else the error's name.
RadioError radioError(const QDBusError& error);

// Sends a method call without blocking; `done` gets the reply (or the error message) on the
// calling thread's event loop, never from inside this call, and is dropped when `context` is
// destroyed first. timeoutMs -1: the bus's default (25 s); infiniteTimeout: none.
inline constexpr int infiniteTimeout = 0x7fffffff;
void callAsync(const QDBusConnection& bus, const QDBusMessage& call, QObject* context,
               std::function<void(const QDBusMessage& reply)> done, int timeoutMs = -1);

// Whether a path is the given object or lies below it.
bool isAtOrBelow(const QString& path, const QString& ancestor);

} // namespace merriphonic::bluez
