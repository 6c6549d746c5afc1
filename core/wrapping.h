#pragma once

#include <cstdint>

namespace merriphonic {

// Clock times are Int64 nanoseconds whose sums and differences wrap like two's complement
// hardware. Signed overflow is undefined in C++, so the arithmetic runs on the unsigned
// representation and converts back (modular since C++20).
constexpr int64_t wrappingAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

constexpr int64_t wrappingSub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

} // namespace merriphonic
