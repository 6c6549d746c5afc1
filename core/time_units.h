#pragma once

#include <cstdint>

namespace merriphonic {

// Time units. Clocks count whole nanoseconds; where a computation is in floating point, one
// of its operands already is, and these convert exactly.
inline constexpr int64_t nsPerUs = 1'000;
inline constexpr int64_t nsPerMs = 1'000'000;
inline constexpr int64_t nsPerSecond = 1'000'000'000;
inline constexpr int64_t msPerSecond = 1'000;

} // namespace merriphonic
