#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace merriphonic::utf8 {

// One encoded character at a position of a byte string. When ill-formed, length is the
// maximal subpart (at least 1 byte), which is replaced by a single U+FFFD.
struct Sequence {
    size_t length;
    bool wellFormed;
};

Sequence sequenceAt(std::string_view bytes, size_t at) noexcept;
bool isWellFormed(std::string_view bytes) noexcept;
// The bytes with every ill-formed sequence replaced by U+FFFD.
std::string repaired(std::string_view bytes);
// Appends a code point (at most 0x10FFFF, not a surrogate) as UTF-8.
void appendCodePoint(std::string& out, char32_t codePoint);

inline constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

} // namespace merriphonic::utf8
