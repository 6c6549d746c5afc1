#include "platform/local/local_peripheral_manager.h"

#include <utility>

#include "platform/local/local_peripheral_core.h"

namespace merriphonic {

LocalPeripheralManager::LocalPeripheralManager(RunLoop& main,
                                               std::weak_ptr<PeripheralManagerDelegate> delegate,
                                               const LocalRadioOptions& options)
    : SharedPeripheralManager(
          startedCore<LocalPeripheralCore>(main, std::move(delegate), options)) {}

LocalPeripheralManager::~LocalPeripheralManager() = default;

const std::string& LocalPeripheralManager::instanceId() const {
    return static_cast<const LocalPeripheralCore&>(core()).instanceId();
}

} // namespace merriphonic
