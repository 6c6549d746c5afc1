#pragma once

#include <functional>
#include <string>

#include "app/app_model.h"
#include "platform/device_context.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/live_view.h"

namespace merriphonic {

// What a command works with: the app's model on this computer, the view on standard output,
// and the ways out.
struct CliContext {
    AppModel& model;
    DeviceContext& device;
    LiveView& view;
    // Writes one line to standard error.
    std::function<void(const std::string&)> error;
    // Ends the program with the exit status, once control is back in the main loop.
    std::function<void(int)> finish;
};

// One of merriphonic-cli's commands, run on the main loop.
class CliCommand {
public:
    // How often the live view is brought up to date.
    static constexpr int64_t refreshPeriodNs = 250'000'000;
    // How often a clean exit looks whether the goodbyes are out.
    static constexpr int64_t closeCheckPeriodNs = 50'000'000;

    virtual ~CliCommand() = default;
    CliCommand() = default;
    CliCommand(const CliCommand&) = delete;
    CliCommand& operator=(const CliCommand&) = delete;

    virtual void start() = 0;
    // The user asked to stop (q, Ctrl-C): leave cleanly, then finish with exitOk.
    virtual void stop() = 0;
};

} // namespace merriphonic
