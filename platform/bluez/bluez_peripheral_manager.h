#pragma once

#include <QString>

#include <memory>

#include "platform/bluez/bluez_radio_options.h"
#include "platform/radio.h"
#include "platform/shared_radio_managers.h"

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
class BluezPeripheralManager final : public SharedPeripheralManager {
public:
    BluezPeripheralManager(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate,
                           const BluezRadioOptions& options);
    ~BluezPeripheralManager() override;
    BluezPeripheralManager(const BluezPeripheralManager&) = delete;
    BluezPeripheralManager& operator=(const BluezPeripheralManager&) = delete;

    // Where our objects are exported: root/gatt (the application), root/advertisement.
    [[nodiscard]] QString objectRoot() const;
};

} // namespace merriphonic
