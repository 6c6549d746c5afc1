#include "platform/bluez/bluez_central_manager.h"

#include <utility>

#include "platform/bluez/bluez_central_core.h"

namespace merriphonic {

BluezCentralManager::BluezCentralManager(RunLoop& main,
                                         std::weak_ptr<CentralManagerDelegate> delegate,
                                         const BluezRadioOptions& options)
    : SharedCentralManager(startedCore<BluezCentralCore>(main, std::move(delegate), options)) {}

BluezCentralManager::~BluezCentralManager() = default;

} // namespace merriphonic
