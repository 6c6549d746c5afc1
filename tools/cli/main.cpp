// merriphonic-cli: a party without a window, on the app's own model, for headless speakers
// and end-to-end runs. See cliUsage() for the commands.

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "app/app_model.h"
#include "app/system_bluetooth_access.h"
#include "platform/desktop/desktop_device.h"
#include "platform/qt/console_application.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/heard_log_outputs.h"
#include "tools/cli/host_command.h"
#include "tools/cli/join_command.h"
#include "tools/cli/keyboard.h"
#include "tools/cli/live_view.h"

using namespace merriphonic;

namespace {

constexpr const char* program = "merriphonic-cli";

void printError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::fflush(stderr);
}

std::unique_ptr<CliCommand> makeCommand(const CliContext& cli, const CliOptions& options) {
    switch (options.command) {
    case CliOptions::Command::host:
        return std::make_unique<HostCommand>(cli, options);
    case CliOptions::Command::join:
        return std::make_unique<JoinCommand>(cli, options);
    case CliOptions::Command::parties:
        return std::make_unique<PartiesCommand>(cli, options);
    }
    return nullptr;
}

int run(ConsoleApplication& application, const CliOptions& options) {
    DesktopDeviceOptions deviceOptions;
    deviceOptions.logLevel = options.verbose ? LogLevel::info : LogLevel::error;
    DesktopDevice device(deviceOptions);

    std::unique_ptr<HeardLogOutputs> heard;
    if (options.heardLog) {
        auto opened =
            HeardLogOutputs::open(device.audioOutputs(), device.context().main, *options.heardLog);
        if (!opened) {
            printError("cannot write " + options.heardLog->string() + ": " + opened.error());
            return CliOptions::exitFailed;
        }
        heard = std::move(opened).value();
        device.context().audio = heard.get();
    }

    SystemBluetoothAccess access;
    AppModel model(device.context(), access);
    LiveView view(stdout, isatty(STDOUT_FILENO) == 1);
    DeviceContext& context = device.context();
    // The stream thread outlives the device: the program ends only after the stream work
    // queued so far (a closing connection's last reports) has run and reported back here.
    const auto finish = [&context](int code) {
        context.streams.post(
            [&context, code] { context.main.post([code] { ConsoleApplication::exit(code); }); });
    };
    const CliContext cli{model, context, view, printError, finish};
    const std::unique_ptr<CliCommand> command = makeCommand(cli, options);

    const Keyboard keyboard;
    application.watchReadable(Keyboard::fd(), [&] {
        switch (keyboard.read()) {
        case Keyboard::Input::quit:
            command->stop();
            break;
        case Keyboard::Input::ended:
            // Input from /dev/null or a closed pipe: only signals end the command now.
            application.unwatch(Keyboard::fd());
            break;
        case Keyboard::Input::nothing:
            break;
        }
    });
    int interrupts = 0;
    application.setSignalHandler([&](int /*signal*/) {
        // The first asks for a clean end; a second one does not wait for it.
        if (++interrupts == 1) {
            command->stop();
        } else {
            ConsoleApplication::exit(CliOptions::exitInterrupted);
        }
    });

    device.context().main.post([&] { command->start(); });
    int code = application.exec();
    if (heard) {
        heard->flush();
        if (!heard->good()) {
            printError("the heard log " + options.heardLog->string() + " is incomplete");
            code = code == CliOptions::exitOk ? CliOptions::exitFailed : code;
        }
    }
    return code;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // Before any thread exists: it blocks the termination signals for all of them.
    ConsoleApplication application(argc, argv);

    const CliParse parsed = parseCli(arguments);
    if (std::holds_alternative<CliHelp>(parsed)) {
        std::fputs(cliUsage(), stdout);
        return CliOptions::exitOk;
    }
    if (const auto* usage = std::get_if<CliUsageError>(&parsed)) {
        printError(usage->message + " (see " + program + " --help)");
        return CliOptions::exitUsage;
    }
    return run(application, std::get<CliOptions>(parsed));
}
