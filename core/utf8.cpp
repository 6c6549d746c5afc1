#include "core/utf8.h"

#include <cstdint>

namespace merriphonic::utf8 {

Sequence sequenceAt(std::string_view bytes, size_t at) noexcept {
    const auto lead = static_cast<uint8_t>(bytes[at]);
    if (lead < 0x80) {
        return {1, true};
    }
    // Well-formed sequences as tabulated by Unicode: the first continuation byte's range
    // depends on the lead byte (this excludes overlong forms, surrogates and values above
    // 0x10FFFF); the others are always 80..BF.
    size_t continuations = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead == 0xE0) {
        continuations = 2;
        low = 0xA0;
    } else if (lead == 0xED) {
        continuations = 2;
        high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
        continuations = 2;
    } else if (lead == 0xF0) {
        continuations = 3;
        low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
        continuations = 3;
    } else if (lead == 0xF4) {
        continuations = 3;
        high = 0x8F;
    } else {
        return {1, false};
    }
    size_t length = 1;
    for (size_t k = 0; k < continuations; ++k) {
        if (at + length >= bytes.size()) {
            return {length, false};
        }
        const auto byte = static_cast<uint8_t>(bytes[at + length]);
        if (byte < low || byte > high) {
            return {length, false};
        }
        ++length;
        low = 0x80;
        high = 0xBF;
    }
    return {length, true};
}

bool isWellFormed(std::string_view bytes) noexcept {
    size_t at = 0;
    while (at < bytes.size()) {
        if (static_cast<uint8_t>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        const Sequence sequence = sequenceAt(bytes, at);
        if (!sequence.wellFormed) {
            return false;
        }
        at += sequence.length;
    }
    return true;
}

std::string repaired(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    size_t at = 0;
    while (at < bytes.size()) {
        const Sequence sequence = sequenceAt(bytes, at);
        if (sequence.wellFormed) {
            out.append(bytes.substr(at, sequence.length));
        } else {
            out.append(replacementCharacter);
        }
        at += sequence.length;
    }
    return out;
}

void appendCodePoint(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

} // namespace merriphonic::utf8
