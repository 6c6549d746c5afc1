#include "core/hex.h"

namespace merriphonic {

std::optional<uint8_t> hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint8_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

void appendHex(std::string& text, uint8_t byte, HexCase letters) {
    const std::string_view digits =
        letters == HexCase::lower ? "0123456789abcdef" : "0123456789ABCDEF";
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
}

std::string toHex(ByteView bytes, HexCase letters) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t byte : bytes) {
        appendHex(text, byte, letters);
    }
    return text;
}

std::optional<Bytes> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::optional<uint8_t> high = hexDigitValue(text[i]);
        const std::optional<uint8_t> low = hexDigitValue(text[i + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>((*high << 4) | *low));
    }
    return bytes;
}

} // namespace merriphonic
