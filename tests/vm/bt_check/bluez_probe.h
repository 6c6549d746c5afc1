#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace merriphonic {

// Looks at BlueZ's own view of one adapter on the system bus, for what the radio seam does not
// show (advertisements left registered, links left up, the ATT MTU of a link), and drops links
// the way a peer going out of range would. Blocking calls: for the check's main loop only,
// between steps.
class BluezProbe {
public:
    // The adapter's name ("hci0").
    explicit BluezProbe(std::string adapter);

    // LEAdvertisingManager1.ActiveInstances; nothing when BlueZ does not answer.
    [[nodiscard]] std::optional<int> activeAdvertisements() const;
    // Addresses of the adapter's devices that BlueZ reports connected.
    [[nodiscard]] std::optional<std::vector<std::string>> connectedDevices() const;
    // The MTU BlueZ reports for a characteristic of that UUID under the adapter.
    [[nodiscard]] std::optional<int> attMtu(std::string_view characteristicUuid) const;
    // Asks BlueZ to disconnect every connected device of the adapter; how many were asked.
    int disconnectAll() const;

private:
    std::string adapter_;
};

} // namespace merriphonic
