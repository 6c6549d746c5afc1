#include "platform/bluez/bluez_radio_factory.h"

#include <cstdlib>
#include <utility>

#include "platform/bluez/bluez_central_manager.h"
#include "platform/bluez/bluez_peripheral_manager.h"
#include "platform/bluez/kernel_l2cap_sockets.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic {

namespace {

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

BluezRadioFactory::BluezRadioFactory() : BluezRadioFactory(BluezRadioOptions{}) {}

BluezRadioFactory::BluezRadioFactory(BluezRadioOptions options) : options_(std::move(options)) {
    if (!options_.bus) {
        options_.bus = defaultBus();
    }
    if (!options_.adapter) {
        const char* adapter = environment("MERRIPHONIC_BT_ADAPTER");
        options_.adapter = adapter != nullptr ? adapter : "";
    }
    if (!options_.sockets) {
        options_.sockets = std::make_shared<KernelL2capSockets>();
    }
    if (options_.streams == nullptr) {
        options_.streams = &StreamThread::shared();
    }
}

QDBusConnection BluezRadioFactory::defaultBus() {
    if (const char* address = environment("MERRIPHONIC_BT_DBUS_ADDRESS")) {
        return QDBusConnection::connectToBus(QString::fromLocal8Bit(address),
                                             QStringLiteral("merriphonic-bluez"));
    }
    return QDBusConnection::systemBus();
}

std::unique_ptr<PeripheralManager>
BluezRadioFactory::makePeripheralManager(RunLoop& main,
                                         std::weak_ptr<PeripheralManagerDelegate> delegate) {
    return std::make_unique<BluezPeripheralManager>(main, std::move(delegate), options_);
}

std::unique_ptr<CentralManager>
BluezRadioFactory::makeCentralManager(RunLoop& main,
                                      std::weak_ptr<CentralManagerDelegate> delegate) {
    return std::make_unique<BluezCentralManager>(main, std::move(delegate), options_);
}

} // namespace merriphonic
