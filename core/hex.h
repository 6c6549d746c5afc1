#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace merriphonic {

enum class HexCase { lower, upper };

// The value of one hexadecimal digit of either case; nothing for any other character.
std::optional<uint8_t> hexDigitValue(char c);

// Appends the byte as two hexadecimal digits.
void appendHex(std::string& text, uint8_t byte, HexCase letters = HexCase::lower);

// Two digits a byte.
std::string toHex(ByteView bytes, HexCase letters = HexCase::lower);

// The bytes an even number of hexadecimal digits of either case stand for; nothing for any
// other text.
std::optional<Bytes> fromHex(std::string_view text);

} // namespace merriphonic
