#include "platform/bluez/bluez_peripheral_manager.h"

#include <utility>

#include "platform/bluez/bluez_peripheral_core.h"

namespace merriphonic {

namespace {

std::shared_ptr<BluezPeripheralCore> startedCore(RunLoop& main,
                                                 std::weak_ptr<PeripheralManagerDelegate> delegate,
                                                 const BluezRadioOptions& options) {
    auto core = std::make_shared<BluezPeripheralCore>(main, std::move(delegate), options);
    core->start();
    return core;
}

} // namespace

BluezPeripheralManager::BluezPeripheralManager(RunLoop& main,
                                               std::weak_ptr<PeripheralManagerDelegate> delegate,
                                               const BluezRadioOptions& options)
    : SharedPeripheralManager(startedCore(main, std::move(delegate), options)) {}

BluezPeripheralManager::~BluezPeripheralManager() = default;

QString BluezPeripheralManager::objectRoot() const {
    return static_cast<const BluezPeripheralCore&>(core()).objectRoot();
}

} // namespace merriphonic
