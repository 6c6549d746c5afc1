#include "platform/bluez/bluez_peripheral_manager.h"

#include <utility>

#include "platform/bluez/bluez_peripheral_core.h"

namespace merriphonic {

BluezPeripheralManager::BluezPeripheralManager(RunLoop& main,
                                               std::weak_ptr<PeripheralManagerDelegate> delegate,
                                               const BluezRadioOptions& options)
    : SharedPeripheralManager(
          startedCore<BluezPeripheralCore>(main, std::move(delegate), options)) {}

BluezPeripheralManager::~BluezPeripheralManager() = default;

QString BluezPeripheralManager::objectRoot() const {
    return static_cast<const BluezPeripheralCore&>(core()).objectRoot();
}

} // namespace merriphonic
