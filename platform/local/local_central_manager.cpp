#include "platform/local/local_central_manager.h"

#include <utility>

#include "platform/local/local_central_core.h"

namespace merriphonic {

LocalCentralManager::LocalCentralManager(RunLoop& main,
                                         std::weak_ptr<CentralManagerDelegate> delegate,
                                         const LocalRadioOptions& options)
    : SharedCentralManager(startedCore<LocalCentralCore>(main, std::move(delegate), options)) {}

LocalCentralManager::~LocalCentralManager() = default;

const std::string& LocalCentralManager::instanceId() const {
    return static_cast<const LocalCentralCore&>(core()).instanceId();
}

} // namespace merriphonic
