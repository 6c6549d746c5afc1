#include "core/protocol_error.h"

#include <utility>

namespace merriphonic {

ProtocolError::ProtocolError(Kind kind, uint32_t length, std::string detail)
    : kind_(kind), length_(length), detail_(std::move(detail)) {
    description_ = kind_ == Kind::invalidLength ? "invalid frame length " + std::to_string(length_)
                                                : "malformed payload: " + detail_;
}

ProtocolError ProtocolError::invalidLength(uint32_t length) {
    return {Kind::invalidLength, length, {}};
}

ProtocolError ProtocolError::malformed(std::string detail) {
    return {Kind::malformed, 0, std::move(detail)};
}

} // namespace merriphonic
