// The Bluetooth check's program: one process per role, each on its own adapter
// (MERRIPHONIC_BT_ADAPTER), talking through BlueZ and the kernel only.
//
//   merriphonic-bt-check host    --results DIR
//   merriphonic-bt-check speaker --results DIR [--expect-rssi N]
//
// Exit status 0: every check of the role passed; 1: a check failed; 2: bad usage.
#include <QCoreApplication>

#include <cstdlib>
#include <string_view>

#include "platform/bluez/bluez_radio_factory.h"
#include "platform/bluez/kernel_l2cap_sockets.h"
#include "platform/qt/real_device.h"
#include "tests/vm/bt_check/bt_check.h"

using namespace merriphonic;

int main(int argc, char** argv) {
    std::string role;
    std::filesystem::path results;
    std::optional<int> expectedRssi;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--results" && i + 1 < argc) {
            results = argv[++i];
        } else if (argument == "--expect-rssi" && i + 1 < argc) {
            expectedRssi = std::atoi(argv[++i]);
        } else if (role.empty() && (argument == "host" || argument == "speaker")) {
            role = argument;
        } else {
            role.clear();
            break;
        }
    }
    const char* adapter = std::getenv("MERRIPHONIC_BT_ADAPTER");
    if (role.empty() || results.empty() || adapter == nullptr || *adapter == '\0') {
        std::fputs("usage: MERRIPHONIC_BT_ADAPTER=hciN merriphonic-bt-check host|speaker "
                   "--results DIR [--expect-rssi N]\n",
                   stderr);
        return 2;
    }
    QCoreApplication app(argc, argv);
    // Scratch folders of this process only; the user's folders stay untouched.
    const std::filesystem::path home = results / (role + "-device");
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

    const RoleSetup setup{device.context(), *sockets, adapter, results, expectedRssi};
    const auto check = role == "host" ? makeHostRole(setup) : makeSpeakerRole(setup);
    check->onFinished = [](int status) { QCoreApplication::exit(status); };
    check->start();
    return QCoreApplication::exec();
}
