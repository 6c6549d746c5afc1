#include "platform/bluez/bluez_central_manager.h"

#include <utility>

#include "platform/bluez/bluez_central_core.h"

namespace merriphonic {

namespace {

std::shared_ptr<BluezCentralCore> startedCore(RunLoop& main,
                                              std::weak_ptr<CentralManagerDelegate> delegate,
                                              const BluezRadioOptions& options) {
    auto core = std::make_shared<BluezCentralCore>(main, std::move(delegate), options);
    core->start();
    return core;
}

} // namespace

BluezCentralManager::BluezCentralManager(RunLoop& main,
                                         std::weak_ptr<CentralManagerDelegate> delegate,
                                         const BluezRadioOptions& options)
    : SharedCentralManager(startedCore(main, std::move(delegate), options)) {}

BluezCentralManager::~BluezCentralManager() = default;

} // namespace merriphonic
