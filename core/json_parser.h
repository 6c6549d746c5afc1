#pragma once

#include "core/bytes.h"
#include "core/json_error.h"
#include "core/json_value.h"

#include <string_view>

namespace merriphonic {

// Strict JSON parser: whitespace is only space, tab, LF and CR; containers nest at most 64
// deep; string contents that are not well-formed UTF-8 are repaired with U+FFFD.
struct JsonParser {
    // Throws JsonError.
    static JsonValue parse(ByteView bytes);
    static JsonValue parse(std::string_view text);
};

} // namespace merriphonic
