#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "platform/radio.h"

namespace merriphonic {

// A listening socket standing in for a published L2CAP channel.
struct LocalChannelRecord {
    uint16_t psm = 0;
    std::string socketPath;
    bool operator==(const LocalChannelRecord&) const = default;
};

// What one host's peripheral manager shows the other processes of this computer: its
// advertisement, its GATT services with their fixed values, its listening sockets, and which
// process it lives in, so that the leftovers of a dead host can be told from a live one.
struct LocalRecord {
    // Also the host's identifier as every speaker sees it.
    std::string instanceId;
    int64_t pid = 0;
    // The process's start time (clock ticks after boot): a recycled pid does not revive a
    // dead host's record.
    uint64_t processStart = 0;
    bool advertising = false;
    AdvertisingData advertisement;
    std::vector<GattServiceSpec> services;
    std::vector<LocalChannelRecord> channels;

    bool operator==(const LocalRecord&) const = default;

    // Compact JSON; characteristic values as lower-case hex.
    [[nodiscard]] Bytes toJson() const;
    // Nothing for bytes that are not a well-formed record.
    static std::optional<LocalRecord> fromJson(ByteView bytes);

    // Lookups by value; UUIDs compared ignoring case. nullptr when absent.
    [[nodiscard]] const LocalChannelRecord* channel(uint16_t psm) const;
    [[nodiscard]] const GattServiceSpec* service(std::string_view uuid) const;
    [[nodiscard]] const GattCharacteristicSpec* characteristic(std::string_view serviceUuid,
                                                               std::string_view uuid) const;
    // Advertising and offering one of the services (any service when the list is empty).
    [[nodiscard]] bool advertises(const std::vector<std::string>& serviceUuids) const;
};

} // namespace merriphonic
