#pragma once

#include <cstdint>
#include <random>

#include "core/bytes.h"

namespace merriphonic::test {

// Bytes that differ for every seed and repeat for the same one.
inline Bytes randomBytes(size_t size, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(rng());
    }
    return bytes;
}

} // namespace merriphonic::test
