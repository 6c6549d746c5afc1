#include "platform/shared_radio_managers.h"

#include <utility>

namespace merriphonic {

SharedCentralManager::SharedCentralManager(std::shared_ptr<CentralManager> core)
    : core_(std::move(core)) {}

RadioState SharedCentralManager::state() const {
    return core_->state();
}

void SharedCentralManager::scan(const std::vector<std::string>& serviceUuids,
                                bool allowDuplicates) {
    core_->scan(serviceUuids, allowDuplicates);
}

void SharedCentralManager::stopScan() {
    core_->stopScan();
}

bool SharedCentralManager::isScanning() const {
    return core_->isScanning();
}

std::vector<std::shared_ptr<RemotePeripheral>>
SharedCentralManager::retrievePeripherals(const std::vector<std::string>& identifiers) {
    return core_->retrievePeripherals(identifiers);
}

void SharedCentralManager::connect(std::shared_ptr<RemotePeripheral> peripheral) {
    core_->connect(std::move(peripheral));
}

void SharedCentralManager::cancelConnection(std::shared_ptr<RemotePeripheral> peripheral) {
    core_->cancelConnection(std::move(peripheral));
}

SharedPeripheralManager::SharedPeripheralManager(std::shared_ptr<PeripheralManager> core)
    : core_(std::move(core)) {}

RadioState SharedPeripheralManager::state() const {
    return core_->state();
}

void SharedPeripheralManager::publishChannel(bool encrypted) {
    core_->publishChannel(encrypted);
}

void SharedPeripheralManager::unpublishChannel(uint16_t psm) {
    core_->unpublishChannel(psm);
}

void SharedPeripheralManager::removeAllServices() {
    core_->removeAllServices();
}

void SharedPeripheralManager::addService(const GattServiceSpec& service) {
    core_->addService(service);
}

void SharedPeripheralManager::startAdvertising(const AdvertisingData& data) {
    core_->startAdvertising(data);
}

void SharedPeripheralManager::stopAdvertising() {
    core_->stopAdvertising();
}

bool SharedPeripheralManager::isAdvertising() const {
    return core_->isAdvertising();
}

} // namespace merriphonic
