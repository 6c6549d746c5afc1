#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/bluez/bluez_dbus.h"

namespace merriphonic::bluez_test {

// A stand-in for BlueZ on the private bus: it owns org.bluez and serves an object tree with
// adapters, devices and their GATT objects. It records the calls it gets and answers them the
// way BlueZ does, calling back into the client's application and advertisement objects while
// registering them. Its adapters share one air: while an adapter discovers, the advertisement
// registered on another one is heard as a device with that adapter's address (again and again
// when the discovery filter asks for duplicates), and connecting to that device shows the GATT
// application registered there, whose values are read from the application. Everything runs
// on the test's main loop.
class FakeBluez final : public QDBusVirtualObject {
public:
    // What a registered application or advertisement looked like to us.
    struct Registration {
        QString owner;
        QString path;
        QString adapter;          // where it was registered
        bluez::ObjectMap objects; // applications: GetManagedObjects
        QVariantMap properties;   // advertisements: LEAdvertisement1 properties
    };

    FakeBluez();
    ~FakeBluez() override;
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    // ---- the object tree (changes are signalled like BlueZ does) ----
    QString addAdapter(const QString& name, const QString& address, bool powered);
    // Powering off drops the adapter's links: the peers' devices that stand for it disconnect.
    void setPowered(const QString& adapter, bool powered);
    // A device under an adapter; returns its path.
    QString addDevice(const QString& adapter, const QString& address, QVariantMap properties);
    void removeObject(const QString& path);
    void changeProperties(const QString& path, const QString& interface,
                          const QVariantMap& changed);

    // ---- behaviour ----
    // Answers the next call of a method (by member name) with this error.
    void failNext(const QString& member, const QString& errorName, const QString& message);
    // Answers GetManagedObjects with AccessDenied.
    bool denyAccess = false;

    // ---- what happened ----
    // The object paths of the calls of a method, in order.
    [[nodiscard]] std::vector<QString> callsTo(const QString& member) const;
    std::optional<Registration> application;
    std::optional<Registration> advertisement;
    QVariantMap discoveryFilter;
    bool discovering = false;

    // Calls a method of the client (the code under test) and waits for the answer.
    QDBusMessage callClient(const QString& owner, const QString& path, const QString& interface,
                            const QString& member, const QList<QVariant>& arguments = {});

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    [[nodiscard]] QString introspect(const QString& /*path*/) const override { return {}; }

private:
    void replyError(const QDBusMessage& message, const QString& name, const QString& text);
    // Register{Application,Advertisement}: like BlueZ, reads the object before answering.
    void registerObject(const QDBusMessage& message);
    void connectDevice(const QDBusMessage& message);
    // The air: the advertisement heard by every other powered adapter that discovers.
    void announce();
    // The registered application as the GATT objects of the device that stands for its adapter.
    void showApplication(const QString& device);
    void addObject(const QString& path, const bluez::InterfaceMap& interfaces);
    [[nodiscard]] QString address(const QString& path) const;
    void signal(const QString& path, const QString& interface, const QString& name,
                const QList<QVariant>& arguments);

    QString connectionName_;
    QDBusConnection bus_;
    bluez::ObjectMap objects_;
    std::vector<std::pair<QString, QString>> calls_; // member, path
    std::map<QString, std::pair<QString, QString>> failures_;
    QTimer airTimer_;
    // Characteristics shown for a device, by path: the application's object that serves them.
    std::map<QString, QString> readFrom_;
};

} // namespace merriphonic::bluez_test
