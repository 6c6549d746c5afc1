#include "platform/local/local_radio_factory.h"

#include <utility>

#include "platform/local/local_central_manager.h"
#include "platform/local/local_peripheral_manager.h"

namespace merriphonic {

LocalRadioFactory::LocalRadioFactory(LocalRadioOptions options) : options_(std::move(options)) {}

std::unique_ptr<PeripheralManager>
LocalRadioFactory::makePeripheralManager(RunLoop& main,
                                         std::weak_ptr<PeripheralManagerDelegate> delegate) {
    return std::make_unique<LocalPeripheralManager>(main, std::move(delegate), options_);
}

std::unique_ptr<CentralManager>
LocalRadioFactory::makeCentralManager(RunLoop& main,
                                      std::weak_ptr<CentralManagerDelegate> delegate) {
    return std::make_unique<LocalCentralManager>(main, std::move(delegate), options_);
}

} // namespace merriphonic
