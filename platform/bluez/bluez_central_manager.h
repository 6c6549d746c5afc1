#pragma once

#include <memory>

#include "platform/bluez/bluez_radio_options.h"
#include "platform/radio.h"
#include "platform/shared_radio_managers.h"

namespace merriphonic {

// The central role over BlueZ: discovery through Adapter1.SetDiscoveryFilter (the services,
// LE only, duplicates as asked) and StartDiscovery, with every Device1 update that carries an
// RSSI counting as an advertisement received (RSSI 127, BlueZ's "unknown", is passed on as
// it is); connections through Device1.Connect, complete once ServicesResolved is true; the GATT
// objects BlueZ found read from its object tree; values read with GattCharacteristic1.ReadValue;
// L2CAP channels as LE sockets connected to the device's address and PSM. A link that drops
// (Connected false, the device gone, the adapter off) is reported as a disconnection, or as a
// failure to connect while the connection was under way. Create, use and destroy on the main
// loop's thread, which runs a Qt event loop.
class BluezCentralManager final : public SharedCentralManager {
public:
    BluezCentralManager(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
                        const BluezRadioOptions& options);
    ~BluezCentralManager() override;
    BluezCentralManager(const BluezCentralManager&) = delete;
    BluezCentralManager& operator=(const BluezCentralManager&) = delete;
};

} // namespace merriphonic
