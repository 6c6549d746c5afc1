#pragma once

#include <cstddef>
#include <string_view>

#include "core/sync_protocol.h"

namespace merriphonic {

// The party service and its two characteristics, as the radios name them.
struct BLEIDs {
    static constexpr std::string_view service = SyncProtocol::serviceUuid;
    static constexpr std::string_view psm = SyncProtocol::psmCharacteristicUuid;
    static constexpr std::string_view info = SyncProtocol::infoCharacteristicUuid;

    // Radios may report UUIDs in either case.
    static constexpr bool same(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (size_t i = 0; i < a.size(); ++i) {
            if (lower(a[i]) != lower(b[i])) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
};

} // namespace merriphonic
