#include "platform/local/local_central_manager.h"

#include <utility>

#include "platform/local/local_central_core.h"

namespace merriphonic {

namespace {

std::shared_ptr<LocalCentralCore> startedCore(RunLoop& main,
                                              std::weak_ptr<CentralManagerDelegate> delegate,
                                              const LocalRadioOptions& options) {
    auto core = std::make_shared<LocalCentralCore>(main, std::move(delegate), options);
    core->start();
    return core;
}

} // namespace

LocalCentralManager::LocalCentralManager(RunLoop& main,
                                         std::weak_ptr<CentralManagerDelegate> delegate,
                                         const LocalRadioOptions& options)
    : SharedCentralManager(startedCore(main, std::move(delegate), options)) {}

LocalCentralManager::~LocalCentralManager() = default;

const std::string& LocalCentralManager::instanceId() const {
    return static_cast<const LocalCentralCore&>(core()).instanceId();
}

} // namespace merriphonic
