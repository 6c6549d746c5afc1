#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/log.h"
#include "platform/run_loop.h"

namespace merriphonic {

struct LocalRadioOptions {
    // The rendezvous folder; by default $XDG_RUNTIME_DIR/merriphonic-local.
    std::optional<std::filesystem::path> folder;
    // The loop on which opened channels deliver their stream events; by default the process's
    // stream thread. Must be a Qt event loop.
    RunLoop* streams = nullptr;
    // Where the radio reports why it is unavailable and what goes wrong with channels
    // (category BLE); silent by default.
    Log log{std::shared_ptr<LogSink>{}};
};

} // namespace merriphonic
