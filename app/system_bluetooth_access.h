#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/bluetooth_access.h"

namespace merriphonic {

// Bluetooth access as a Linux desktop grants it: BlueZ refusing this user on the system bus
// means denied; every Bluetooth radio held off by a hardware switch (an rfkill hard block)
// means restricted. Anything else is left for the radio itself to report.
//
// The bus is never waited on: BlueZ is asked in the background at start and again after each
// question, and the last answer stands (not determined until the first one arrives). Main
// loop only.
class SystemBluetoothAccess final : public BluetoothAccess {
public:
    static constexpr std::string_view rfkillFolder = "/sys/class/rfkill";

    SystemBluetoothAccess();
    ~SystemBluetoothAccess() override;
    SystemBluetoothAccess(const SystemBluetoothAccess&) = delete;
    SystemBluetoothAccess& operator=(const SystemBluetoothAccess&) = delete;

    [[nodiscard]] BluetoothAuthorization authorization() const override;
    void openSettings() override;

    // True when the folder lists Bluetooth switches and each of them is hard-blocked.
    static bool hardBlocked(const std::filesystem::path& folder);
    // What a failed call to BlueZ says about access: denied for an access error, else not
    // determined.
    static BluetoothAuthorization fromBusError(std::string_view errorName);

    // A program and its arguments that opens a desktop's Bluetooth settings.
    struct SettingsCommand {
        std::string program;
        std::vector<std::string> arguments;
        bool operator==(const SettingsCommand&) const = default;
    };
    // GNOME Settings, KDE System Settings, Blueman: in this order of preference.
    static const std::vector<SettingsCommand>& settingsCommands();

private:
    // Asks BlueZ again unless a question is on its way.
    void refresh() const;

    struct Bus;
    std::unique_ptr<Bus> bus_;
};

} // namespace merriphonic
