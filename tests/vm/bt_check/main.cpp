// The Bluetooth check's program: one process per role, each on its own adapter
// (MERRIPHONIC_BT_ADAPTER), talking through BlueZ and the kernel only.
//
//   merriphonic-bt-check host    --results DIR
//   merriphonic-bt-check speaker --results DIR [--expect-rssi N]
//
// DIR is shared by both: the host leaves its PSMs there, the speaker its figures (metrics).
// Exit status 0: every check of the role passed; 1: a check failed; 2: bad usage.
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bluez/bluez_radio_factory.h"
#include "platform/bluez/kernel_l2cap_sockets.h"
#include "platform/qt/real_device.h"
#include "tests/vm/bt_check/bluez_probe.h"
#include "tests/vm/bt_check/check_log.h"
#include "tests/vm/bt_check/checked_l2cap_sockets.h"
#include "tests/vm/bt_check/host_role.h"
#include "tests/vm/bt_check/speaker_role.h"

using namespace merriphonic;

namespace {

struct Arguments {
    std::string role;
    std::filesystem::path results;
    std::optional<int> expectedRssi;
};

int usage() {
    std::fputs("usage: merriphonic-bt-check host|speaker --results DIR [--expect-rssi N]\n",
               stderr);
    return 2;
}

std::optional<Arguments> parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--results" && hasValue) {
            arguments.results = argv[++i];
        } else if (argument == "--expect-rssi" && hasValue) {
            arguments.expectedRssi = std::atoi(argv[++i]);
        } else if (arguments.role.empty() && (argument == "host" || argument == "speaker")) {
            arguments.role = argument;
        } else {
            return std::nullopt;
        }
    }
    if (arguments.role.empty() || arguments.results.empty()) {
        return std::nullopt;
    }
    return arguments;
}

} // namespace

int main(int argc, char** argv) {
    const std::optional<Arguments> arguments = parse(argc, argv);
    if (!arguments) {
        return usage();
    }
    QCoreApplication app(argc, argv);
    std::filesystem::create_directories(arguments->results);

    // Scratch folders of this process only; the user's folders stay untouched.
    const std::filesystem::path home = arguments->results / (arguments->role + "-device");
    RealDeviceOptions deviceOptions;
    deviceOptions.prefsFile = home / "prefs.conf";
    deviceOptions.folders = DeviceFolders{home / "data", home / "cache", home / "temp"};
    RealDevice device(deviceOptions);

    auto sockets = std::make_shared<CheckedL2capSockets>(std::make_shared<KernelL2capSockets>());
    BluezRadioOptions radioOptions;
    radioOptions.log = &device.context().log;
    radioOptions.sockets = sockets;
    BluezRadioFactory radio(radioOptions);
    device.context().radio = &radio;

    const char* adapter = std::getenv("MERRIPHONIC_BT_ADAPTER");
    if (adapter == nullptr || *adapter == '\0') {
        std::fputs("merriphonic-bt-check: set MERRIPHONIC_BT_ADAPTER (hci0, hci1)\n", stderr);
        return 2;
    }
    const CheckLog log(arguments->role + "/" + adapter, device.context().clock);
    const auto quit = [](int status) { QCoreApplication::exit(status); };

    int status = 0;
    if (arguments->role == "host") {
        auto role = HostRole::create(device.context(), log, *sockets, BluezProbe(adapter),
                                     arguments->results);
        role->onFinished = quit;
        role->start();
        status = QCoreApplication::exec();
    } else {
        SpeakerOptions options{arguments->results, arguments->expectedRssi};
        auto role =
            SpeakerRole::create(device.context(), log, *sockets, BluezProbe(adapter), options);
        role->onFinished = quit;
        role->start();
        status = QCoreApplication::exec();
    }
    return status;
}
