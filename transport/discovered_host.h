#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merriphonic {

// A party seen by a scan: one advertisement of a host offering the party service.
struct DiscoveredHost {
    std::string id;         // the radio's identifier of the host device, as this speaker sees it
    std::string name;       // the advertised name, trimmed; defaultName when there is none
    int rssi = 0;           // dBm
    int64_t lastSeenNs = 0; // the device clock when the advertisement was received

    static constexpr std::string_view defaultName = "Merriphonic host";
    // What the radio's "not available" (127) is listed as.
    static constexpr int unknownRssi = -100;

    static DiscoveredHost from(std::string id, const std::optional<std::string>& localName,
                               int rssi, int64_t seenNs);
    // The advertised name without surrounding white space or line breaks (Unicode ones too),
    // or defaultName when absent or blank.
    static std::string displayName(const std::optional<std::string>& localName);

    bool operator==(const DiscoveredHost&) const = default;
};

} // namespace merriphonic
