#pragma once

#include "core/bytes.h"
#include "core/json_value.h"

#include <string>

namespace merriphonic {

// Compact writer: no whitespace, keys in insertion order, number texts unchanged, so the
// bytes are fully determined by the value.
struct JsonWriter {
    // Appends the value's text to out.
    static void write(const JsonValue& value, Bytes& out);
    static Bytes data(const JsonValue& value);
    static std::string string(const JsonValue& value);
    // Shortest digits that read back to the same double: plain decimal (at least one digit
    // after the point) for 0 and magnitudes in [0.0001, 1e16), else exponent form such as
    // "1e-05" or "1.5e+20". Infinity and NaN give "0".
    static std::string format(double value);
};

} // namespace merriphonic
