#include "core/uuid.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

#include "core/hex.h"

namespace merriphonic {

namespace {

constexpr size_t uuidTextLength = 36;

bool isHyphenPosition(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

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
        bytes.at(i) = static_cast<uint8_t>(high >> (8 * i));
        bytes.at(8 + i) = static_cast<uint8_t>(low >> (8 * i));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant

    std::string text;
    text.reserve(uuidTextLength);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        appendHex(text, bytes.at(i), HexCase::upper);
    }
    return text;
}

std::optional<std::string> canonicalUuid(std::string_view text) {
    if (text.size() != uuidTextLength) {
        return std::nullopt;
    }
    std::string canonical;
    canonical.reserve(uuidTextLength);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (isHyphenPosition(i) ? c != '-' : !isHexDigit(c)) {
            return std::nullopt;
        }
        canonical.push_back(upper(c));
    }
    return canonical;
}

bool sameUuid(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return upper(x) == upper(y); });
}

} // namespace merriphonic
