#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace merriphonic {

// A parse failure of JsonParser. Positions are 0-based byte offsets into the parsed input.
class JsonError : public std::exception {
public:
    enum class Kind {
        unexpectedByte,
        invalidNumber,
        invalidEscape,
        trailingData,
        unexpectedEnd,
        tooDeep
    };

    static JsonError unexpectedByte(uint8_t byte, size_t at);
    static JsonError invalidNumber(size_t at);
    static JsonError invalidEscape(size_t at);
    static JsonError trailingData(size_t at);
    static JsonError unexpectedEnd();
    static JsonError tooDeep();

    Kind kind() const noexcept { return kind_; }
    // The offending byte; 0 unless kind() is unexpectedByte.
    uint8_t byte() const noexcept { return byte_; }
    // The byte position; 0 for unexpectedEnd and tooDeep.
    size_t position() const noexcept { return position_; }

    // The fixed description, e.g. "unexpected byte 0x7d at 12".
    const char* what() const noexcept override { return text_.data(); }
    std::string description() const { return text_.data(); }

    bool operator==(const JsonError& other) const noexcept {
        return kind_ == other.kind_ && byte_ == other.byte_ && position_ == other.position_;
    }

private:
    JsonError(Kind kind, uint8_t byte, size_t position) noexcept;

    Kind kind_;
    uint8_t byte_;
    size_t position_;
    // Held inline so that copying the error cannot throw.
    std::array<char, 64> text_{};
};

} // namespace merriphonic
