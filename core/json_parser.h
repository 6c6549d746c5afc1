#pragma once

#include "core/bytes.h"
#include "core/json_error.h"
#include "core/json_value.h"

#include <string_view>

namespace merriphonic {

// Strict JSON parser: whitespace is only space, tab, LF and CR; containers nest at most 64
// deep; string contents that are not well-formed UTF-8 are repaired with U+FFFD.
struct JSONParser {
    // Throws JSONError.
    static JSONValue parse(ByteView bytes);
    static JSONValue parse(std::string_view text);
};

} // namespace merriphonic
