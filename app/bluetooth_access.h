#pragma once

namespace merriphonic {

// Whether this user may use Bluetooth at all, as the system tells before any radio is touched.
enum class BluetoothAuthorization { notDetermined, allowed, denied, restricted };

// The system's word on Bluetooth access and the way to its settings. The app asks before it
// hosts or joins; tests stand in for the system.
class BluetoothAccess {
public:
    virtual ~BluetoothAccess() = default;
    [[nodiscard]] virtual BluetoothAuthorization authorization() const = 0;
    // Opens the desktop's Bluetooth settings; does nothing when there are none.
    virtual void openSettings() = 0;
};

} // namespace merriphonic
