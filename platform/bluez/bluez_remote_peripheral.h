#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/radio.h"

namespace merriphonic {

class BluezRemotePeripheral;

// What a remote peripheral asks of the central manager that found it.
class BluezPeripheralOperations {
public:
    virtual ~BluezPeripheralOperations() = default;
    virtual void discoverServices(BluezRemotePeripheral& peripheral,
                                  const std::vector<std::string>& serviceUuids) = 0;
    virtual void discoverCharacteristics(BluezRemotePeripheral& peripheral,
                                         const std::vector<std::string>& characteristicUuids,
                                         const std::string& serviceUuid) = 0;
    virtual void readValue(BluezRemotePeripheral& peripheral, const std::string& serviceUuid,
                           const std::string& characteristicUuid) = 0;
    virtual void openL2capChannel(BluezRemotePeripheral& peripheral, uint16_t psm) = 0;
};

// A device BlueZ knows (an org.bluez.Device1 object) as the central role sees it. Its
// operations go to the central manager; once that is gone they do nothing.
class BluezRemotePeripheral final : public RemotePeripheral,
                                    public std::enable_shared_from_this<BluezRemotePeripheral> {
public:
    struct Characteristic {
        std::string uuid;
        QString path;
    };
    struct Service {
        std::string uuid;
        QString path;
        std::vector<Characteristic> characteristics;
    };

    BluezRemotePeripheral(std::weak_ptr<BluezPeripheralOperations> operations,
                          std::string identifier, QString devicePath);

    [[nodiscard]] std::string identifier() const override { return identifier_; }
    void discoverServices(const std::vector<std::string>& serviceUuids) override;
    [[nodiscard]] std::vector<std::string> services() const override;
    void discoverCharacteristics(const std::vector<std::string>& characteristicUuids,
                                 const std::string& serviceUuid) override;
    [[nodiscard]] std::vector<std::string>
    characteristics(const std::string& serviceUuid) const override;
    void readValue(const std::string& serviceUuid, const std::string& characteristicUuid) override;
    void openL2capChannel(uint16_t psm) override;

    // The BlueZ object of the device.
    [[nodiscard]] const QString& devicePath() const { return devicePath_; }
    void setDevicePath(QString path) { devicePath_ = std::move(path); }

    // What the last discoveries found; kept by the central manager.
    [[nodiscard]] std::vector<Service>& discovered() { return services_; }
    [[nodiscard]] const Service* findService(const std::string& uuid) const;
    [[nodiscard]] Service* findService(const std::string& uuid);

private:
    std::weak_ptr<BluezPeripheralOperations> operations_;
    std::string identifier_;
    QString devicePath_;
    std::vector<Service> services_;
};

} // namespace merriphonic
