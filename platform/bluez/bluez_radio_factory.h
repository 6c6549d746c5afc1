#pragma once

#include <QDBusConnection>

#include <memory>

#include "platform/bluez/bluez_radio_options.h"
#include "platform/radio.h"

namespace merriphonic {

// Makes BlueZ radio managers. What the options leave absent is taken from the environment:
// - the bus: the one at MERRIPHONIC_BT_DBUS_ADDRESS when set, else the system bus;
// - the adapter: MERRIPHONIC_BT_ADAPTER ("hci1") when set, else the first powered adapter;
// - the sockets: the kernel's L2CAP sockets;
// - the streams' loop: the process-wide stream thread.
// Managers must be made on a thread running a Qt event loop (the main loop given).
class BluezRadioFactory final : public RadioFactory {
public:
    BluezRadioFactory();
    explicit BluezRadioFactory(BluezRadioOptions options);

    std::unique_ptr<PeripheralManager>
    makePeripheralManager(RunLoop& main,
                          std::weak_ptr<PeripheralManagerDelegate> delegate) override;
    std::unique_ptr<CentralManager>
    makeCentralManager(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate) override;

    [[nodiscard]] const BluezRadioOptions& options() const { return options_; }

    // The bus BlueZ is looked for on when none is given.
    static QDBusConnection defaultBus();

private:
    BluezRadioOptions options_;
};

} // namespace merriphonic
