#include "platform/local/local_peripheral_manager.h"

#include <utility>

#include "platform/local/local_peripheral_core.h"

namespace merriphonic {

namespace {

std::shared_ptr<LocalPeripheralCore> startedCore(RunLoop& main,
                                                 std::weak_ptr<PeripheralManagerDelegate> delegate,
                                                 const LocalRadioOptions& options) {
    auto core = std::make_shared<LocalPeripheralCore>(main, std::move(delegate), options);
    core->start();
    return core;
}

} // namespace

LocalPeripheralManager::LocalPeripheralManager(RunLoop& main,
                                               std::weak_ptr<PeripheralManagerDelegate> delegate,
                                               const LocalRadioOptions& options)
    : SharedPeripheralManager(startedCore(main, std::move(delegate), options)) {}

LocalPeripheralManager::~LocalPeripheralManager() = default;

const std::string& LocalPeripheralManager::instanceId() const {
    return static_cast<const LocalPeripheralCore&>(core()).instanceId();
}

} // namespace merriphonic
