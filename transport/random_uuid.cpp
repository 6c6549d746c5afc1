#include "transport/random_uuid.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

namespace merriphonic {

std::string randomUuid() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    std::array<uint8_t, 16> bytes{};
    const uint64_t high = generator();
    const uint64_t low = generator();
    for (size_t i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(high >> (8 * i));
        bytes[8 + i] = static_cast<uint8_t>(low >> (8 * i));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant

    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0f]);
    }
    return text;
}

} // namespace merriphonic
