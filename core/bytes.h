#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace merriphonic {

// The byte buffer of the protocol core: frames, payloads, track data.
using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

} // namespace merriphonic
