#pragma once

#include "core/bytes.h"

#include <cstdint>

namespace merriphonic {

// One frame as it came off the wire: its type byte and a copy of its payload.
struct RawFrame {
    uint8_t type = 0;
    Bytes payload;
    bool operator==(const RawFrame&) const = default;
};

} // namespace merriphonic
