#include "platform/bluez/bluez_remote_peripheral.h"

#include <algorithm>
#include <utility>

#include "platform/bluez/bluez_dbus.h"

namespace merriphonic {

BluezRemotePeripheral::BluezRemotePeripheral(std::weak_ptr<BluezPeripheralOperations> operations,
                                             std::string identifier, QString devicePath)
    : operations_(std::move(operations)), identifier_(std::move(identifier)),
      devicePath_(std::move(devicePath)) {}

void BluezRemotePeripheral::discoverServices(const std::vector<std::string>& serviceUuids) {
    if (const auto operations = operations_.lock()) {
        operations->discoverServices(*this, serviceUuids);
    }
}

std::vector<std::string> BluezRemotePeripheral::services() const {
    std::vector<std::string> uuids;
    uuids.reserve(services_.size());
    for (const Service& service : services_) {
        uuids.push_back(service.uuid);
    }
    return uuids;
}

void BluezRemotePeripheral::discoverCharacteristics(
    const std::vector<std::string>& characteristicUuids, const std::string& serviceUuid) {
    if (const auto operations = operations_.lock()) {
        operations->discoverCharacteristics(*this, characteristicUuids, serviceUuid);
    }
}

std::vector<std::string>
BluezRemotePeripheral::characteristics(const std::string& serviceUuid) const {
    std::vector<std::string> uuids;
    if (const Service* service = findService(serviceUuid)) {
        for (const Characteristic& characteristic : service->characteristics) {
            uuids.push_back(characteristic.uuid);
        }
    }
    return uuids;
}

void BluezRemotePeripheral::readValue(const std::string& serviceUuid,
                                      const std::string& characteristicUuid) {
    if (const auto operations = operations_.lock()) {
        operations->readValue(*this, serviceUuid, characteristicUuid);
    }
}

void BluezRemotePeripheral::openL2capChannel(uint16_t psm) {
    if (const auto operations = operations_.lock()) {
        operations->openL2capChannel(*this, psm);
    }
}

const BluezRemotePeripheral::Service*
BluezRemotePeripheral::findService(const std::string& uuid) const {
    const auto found = std::find_if(services_.begin(), services_.end(), [&uuid](const Service& s) {
        return bluez::sameUuid(QString::fromStdString(s.uuid), uuid);
    });
    return found == services_.end() ? nullptr : &*found;
}

BluezRemotePeripheral::Service* BluezRemotePeripheral::findService(const std::string& uuid) {
    const auto* service = static_cast<const BluezRemotePeripheral*>(this)->findService(uuid);
    return const_cast<Service*>(service);
}

} // namespace merriphonic
