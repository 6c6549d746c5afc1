#include "platform/local/local_uuid.h"

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <random>

namespace merriphonic {

namespace {

constexpr size_t uuidLength = 36;
constexpr std::array<size_t, 4> dashPositions{8, 13, 18, 23};

bool isDash(size_t position) {
    for (const size_t dash : dashPositions) {
        if (dash == position) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string localRandomUuid() {
    std::random_device device;
    std::array<uint8_t, 16> bytes{};
    for (size_t i = 0; i < bytes.size(); i += 4) {
        const uint32_t word = device();
        for (size_t j = 0; j < 4; ++j) {
            bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
        }
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr std::string_view digits = "0123456789ABCDEF";
    std::string text;
    text.reserve(uuidLength);
    for (const uint8_t byte : bytes) {
        if (isDash(text.size())) {
            text.push_back('-');
        }
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

std::optional<std::string> canonicalUuid(std::string_view text) {
    if (text.size() != uuidLength) {
        return std::nullopt;
    }
    std::string canonical(text);
    for (size_t i = 0; i < canonical.size(); ++i) {
        const auto c = static_cast<unsigned char>(canonical[i]);
        if (isDash(i)) {
            if (c != '-') {
                return std::nullopt;
            }
        } else if (std::isxdigit(c) == 0) {
            return std::nullopt;
        } else {
            canonical[i] = static_cast<char>(std::toupper(c));
        }
    }
    return canonical;
}

bool sameUuid(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace merriphonic
