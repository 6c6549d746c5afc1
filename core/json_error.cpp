#include "core/json_error.h"

#include <cstdio>

namespace merriphonic {

JsonError::JsonError(Kind kind, uint8_t byte, size_t position) noexcept
    : kind_(kind), byte_(byte), position_(position) {
    char* text = text_.data();
    const size_t size = text_.size();
    switch (kind) {
    case Kind::unexpectedByte:
        std::snprintf(text, size, "unexpected byte 0x%x at %zu", static_cast<unsigned>(byte),
                      position);
        break;
    case Kind::invalidNumber:
        std::snprintf(text, size, "invalid number at %zu", position);
        break;
    case Kind::invalidEscape:
        std::snprintf(text, size, "invalid escape at %zu", position);
        break;
    case Kind::trailingData:
        std::snprintf(text, size, "trailing data at %zu", position);
        break;
    case Kind::unexpectedEnd:
        std::snprintf(text, size, "unexpected end of JSON");
        break;
    case Kind::tooDeep:
        std::snprintf(text, size, "JSON nested too deeply");
        break;
    }
}

JsonError JsonError::unexpectedByte(uint8_t byte, size_t at) {
    return {Kind::unexpectedByte, byte, at};
}

JsonError JsonError::invalidNumber(size_t at) {
    return {Kind::invalidNumber, 0, at};
}

JsonError JsonError::invalidEscape(size_t at) {
    return {Kind::invalidEscape, 0, at};
}

JsonError JsonError::trailingData(size_t at) {
    return {Kind::trailingData, 0, at};
}

JsonError JsonError::unexpectedEnd() {
    return {Kind::unexpectedEnd, 0, 0};
}

JsonError JsonError::tooDeep() {
    return {Kind::tooDeep, 0, 0};
}

} // namespace merriphonic
