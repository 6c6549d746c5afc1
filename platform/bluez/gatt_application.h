#pragma once

#include <QDBusVirtualObject>
#include <QString>

#include <functional>
#include <vector>

#include "platform/bluez/bluez_dbus.h"
#include "platform/radio.h"

namespace merriphonic {

// Our side of BlueZ's GATT server and advertising APIs: one object tree exported below a root
// path, holding
// - the GATT application (root/gatt, an ObjectManager) with one org.bluez.GattService1 object
//   per service (root/gatt/serviceN) and one read-only org.bluez.GattCharacteristic1 per
//   characteristic (root/gatt/serviceN/charM), whose ReadValue serves the fixed value from the
//   requested offset (long reads);
// - the advertisement (root/advertisement, org.bluez.LEAdvertisement1, type "peripheral").
// Register it on the bus with QDBusConnection::SubPath. Used on the thread it lives on.
class GattApplication final : public QDBusVirtualObject {
public:
    explicit GattApplication(QString rootPath);

    [[nodiscard]] const QString& rootPath() const { return rootPath_; }
    [[nodiscard]] QString applicationPath() const;
    [[nodiscard]] QString advertisementPath() const;

    void setServices(std::vector<GattServiceSpec> services);
    [[nodiscard]] const std::vector<GattServiceSpec>& services() const { return services_; }
    void setAdvertisement(AdvertisingData data);

    // BlueZ released the advertisement (it stopped advertising it on its own).
    std::function<void()> onRelease;

    // What GetManagedObjects answers for the application.
    [[nodiscard]] bluez::ManagedObjects applicationObjects() const;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    [[nodiscard]] QString introspect(const QString& path) const override;

private:
    struct Node {
        QString interface;
        QVariantMap properties;
        const Bytes* value = nullptr; // characteristics only
    };

    [[nodiscard]] QString servicePath(size_t service) const;
    [[nodiscard]] QString characteristicPath(size_t service, size_t characteristic) const;
    [[nodiscard]] QVariantMap advertisementProperties() const;
    // The object at a path, if there is one.
    [[nodiscard]] bool find(const QString& path, Node& node) const;
    [[nodiscard]] QDBusMessage handleProperties(const QDBusMessage& message) const;
    [[nodiscard]] QDBusMessage readValue(const QDBusMessage& message, const Node& node) const;

    QString rootPath_;
    std::vector<GattServiceSpec> services_;
    AdvertisingData advertisement_;
};

} // namespace merriphonic
