#pragma once

#include <QString>

#include <memory>

#include "platform/bluez/bluez_radio_options.h"
#include "platform/radio.h"

namespace merriphonic {

// The peripheral role over BlueZ: the GATT service through GattManager1.RegisterApplication
// with an object tree of our own, advertising through LEAdvertisingManager1, and L2CAP channels
// published as listening LE sockets on a PSM the kernel picks. BlueZ takes an application's
// services once, at registration, so adding a service registers the application again; all
// BlueZ calls are made one after another, none blocking (BlueZ calls back into our tree while
// registering). Leaving the powered-on state closes published channels and withdraws the
// service and the advertisement. An addService or startAdvertising that removeAllServices,
// stopAdvertising (or another start) or a power loss overtakes before BlueZ has answered is
// void: it gets no answer, and what BlueZ registered for it is withdrawn. Create, use and destroy
// on the main loop's thread, which runs a Qt event loop.
class BluezPeripheralManager final : public PeripheralManager {
public:
    BluezPeripheralManager(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate,
                           const BluezRadioOptions& options);
    ~BluezPeripheralManager() override;
    BluezPeripheralManager(const BluezPeripheralManager&) = delete;
    BluezPeripheralManager& operator=(const BluezPeripheralManager&) = delete;

    [[nodiscard]] RadioState state() const override;
    void publishChannel(bool encrypted) override;
    void unpublishChannel(uint16_t psm) override;
    void removeAllServices() override;
    void addService(const GattServiceSpec& service) override;
    void startAdvertising(const AdvertisingData& data) override;
    void stopAdvertising() override;
    // True from startAdvertising until stopAdvertising, a failure to start, or BlueZ dropping
    // the advertisement, so that a stop while the start is under way still withdraws it.
    [[nodiscard]] bool isAdvertising() const override;

    // Where our objects are exported: root/gatt (the application), root/advertisement.
    [[nodiscard]] QString objectRoot() const;

private:
    class Core;
    std::shared_ptr<Core> core_;
};

} // namespace merriphonic
