#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace merriphonic {

// A violation of the wire protocol: a bad frame length or an undecodable payload.
// what() is the fixed description, e.g. "invalid frame length 0" or
// "malformed payload: hello field 'id' missing".
class ProtocolError : public std::exception {
public:
    enum class Kind { invalidLength, malformed };

    static ProtocolError invalidLength(uint32_t length);
    static ProtocolError malformed(std::string detail);

    Kind kind() const noexcept { return kind_; }
    // The announced length; 0 unless kind() is invalidLength.
    uint32_t length() const noexcept { return length_; }
    // The detail text; empty unless kind() is malformed.
    const std::string& detail() const noexcept { return detail_; }

    const char* what() const noexcept override { return description_.c_str(); }
    const std::string& description() const noexcept { return description_; }

    bool operator==(const ProtocolError& other) const noexcept {
        return kind_ == other.kind_ && length_ == other.length_ && detail_ == other.detail_;
    }

private:
    ProtocolError(Kind kind, uint32_t length, std::string detail);

    Kind kind_;
    uint32_t length_;
    std::string detail_;
    std::string description_;
};

} // namespace merriphonic
