#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/bluez/bluez_dbus.h"
#include "platform/bluez/l2cap_sockets.h"
#include "platform/radio.h"

class QDBusMessage;
class QDBusServiceWatcher;

namespace merriphonic {

class DBusSignalRelay;
class Log;

// A mirror of BlueZ's object tree (GetManagedObjects, then InterfacesAdded / InterfacesRemoved /
// PropertiesChanged), the adapter in use and the radio state that follows from them:
// - no connection to the bus, BlueZ not on it, or no adapter: unsupported;
// - the bus or BlueZ refusing us: unauthorized;
// - the adapter's Powered false: poweredOff, true: poweredOn;
// - unknown until BlueZ has first answered.
// The adapter is the one named (its path ends in the name, "hci1"), else the first powered one,
// else the first one; a powered adapter in use is kept while it exists.
// Lives on one thread with a Qt event loop; the callbacks run there.
class BluezObjectWatcher {
public:
    BluezObjectWatcher(QDBusConnection bus, QString adapterName, const Log* log);
    ~BluezObjectWatcher();
    BluezObjectWatcher(const BluezObjectWatcher&) = delete;
    BluezObjectWatcher& operator=(const BluezObjectWatcher&) = delete;

    // Set before start(). Called after the mirror has taken the change in.
    // The state or the adapter in use changed (also once after BlueZ first answered).
    std::function<void()> onStateChanged;
    // A Device1 object appeared (changed: all its properties) or some of its properties changed.
    std::function<void(const QString& path, const QVariantMap& changed)> onDeviceChanged;
    std::function<void(const QString& path)> onDeviceRemoved;

    void start();

    [[nodiscard]] RadioState state() const { return state_; }
    [[nodiscard]] const QDBusConnection& bus() const { return bus_; }
    // Empty when there is no adapter in use.
    [[nodiscard]] const QString& adapterPath() const { return adapterPath_; }
    [[nodiscard]] std::optional<LeAddress> adapterAddress() const;
    [[nodiscard]] const bluez::ObjectMap& objects() const { return objects_; }
    [[nodiscard]] QVariantMap properties(const QString& path, const QString& interface) const;

private:
    void load();
    void loaded(uint64_t generation, const QDBusMessage& reply);
    void ownerChanged(const QString& oldOwner, const QString& newOwner);
    void handleSignal(const QDBusMessage& message);
    void interfacesAdded(const QString& path, const bluez::InterfaceMap& interfaces);
    void interfacesRemoved(const QString& path, const QStringList& interfaces);
    void propertiesChanged(const QString& path, const QString& interface,
                           const QVariantMap& changed, const QStringList& invalidated);
    void forgetAll();
    [[nodiscard]] QString chooseAdapter() const;
    [[nodiscard]] bool isPowered(const QString& adapter) const;
    void update();

    QDBusConnection bus_;
    QString adapterName_;
    const Log* log_;
    std::unique_ptr<QObject> calls_;
    std::unique_ptr<DBusSignalRelay> relay_;
    std::unique_ptr<QDBusServiceWatcher> serviceWatcher_;
    bluez::ObjectMap objects_;
    uint64_t generation_ = 0;
    bool loaded_ = false;
    // Set when BlueZ could not be asked: the state that follows.
    std::optional<RadioState> failure_;
    bool reported_ = false;
    RadioState state_ = RadioState::unknown;
    QString adapterPath_;
};

} // namespace merriphonic
