#pragma once

#include <memory>

#include "platform/local/local_radio_options.h"
#include "platform/radio.h"

namespace merriphonic {

// Radio managers for parties between processes of one computer (MERRIPHONIC_RADIO=local):
// each app instance runs with its own XDG config, data and cache folders and the same
// XDG_RUNTIME_DIR.
class LocalRadioFactory final : public RadioFactory {
public:
    explicit LocalRadioFactory(LocalRadioOptions options = {});

    std::unique_ptr<PeripheralManager>
    makePeripheralManager(RunLoop& main,
                          std::weak_ptr<PeripheralManagerDelegate> delegate) override;
    std::unique_ptr<CentralManager>
    makeCentralManager(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate) override;

private:
    LocalRadioOptions options_;
};

} // namespace merriphonic
