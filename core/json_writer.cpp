#include "core/json_writer.h"

#include "core/hex.h"
#include "core/utf8.h"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace merriphonic {

namespace {

// Writes into a byte vector or a std::string alike.
template <typename Out>
class Writer {
public:
    explicit Writer(Out& out) : out_(out) {}

    void value(const JsonValue& value) {
        switch (value.kind()) {
        case JsonValue::Kind::boolean:
            raw(*value.boolValue() ? "true" : "false");
            break;
        case JsonValue::Kind::number:
            raw(*value.numberText());
            break;
        case JsonValue::Kind::string:
            string(*value.stringValue());
            break;
        case JsonValue::Kind::array: {
            out_.push_back('[');
            bool first = true;
            for (const JsonValue& element : *value.arrayValue()) {
                if (!first) {
                    out_.push_back(',');
                }
                first = false;
                this->value(element);
            }
            out_.push_back(']');
            break;
        }
        case JsonValue::Kind::object: {
            const JsonObject& members = *value.objectValue();
            out_.push_back('{');
            bool first = true;
            for (const std::string& key : members.keys()) {
                if (!first) {
                    out_.push_back(',');
                }
                first = false;
                string(key);
                out_.push_back(':');
                this->value(*members.get(key));
            }
            out_.push_back('}');
            break;
        }
        case JsonValue::Kind::null:
            raw("null");
            break;
        }
    }

private:
    void raw(std::string_view text) { out_.insert(out_.end(), text.begin(), text.end()); }

    void string(std::string_view text) {
        out_.push_back('"');
        size_t runStart = 0;
        size_t at = 0;
        const auto flush = [&] { raw(text.substr(runStart, at - runStart)); };
        while (at < text.size()) {
            const auto byte = static_cast<uint8_t>(text[at]);
            if (byte >= 0x80) {
                // Strings built in memory may hold any bytes; the text on the wire is always
                // well-formed UTF-8.
                const utf8::Sequence sequence = utf8::sequenceAt(text, at);
                if (sequence.wellFormed) {
                    at += sequence.length;
                    continue;
                }
                flush();
                raw(utf8::replacementCharacter);
                at += sequence.length;
                runStart = at;
                continue;
            }
            if (byte >= 0x20 && byte != '"' && byte != '\\') {
                ++at;
                continue;
            }
            flush();
            switch (byte) {
            case '"':
                raw("\\\"");
                break;
            case '\\':
                raw("\\\\");
                break;
            case 0x08:
                raw("\\b");
                break;
            case 0x09:
                raw("\\t");
                break;
            case 0x0A:
                raw("\\n");
                break;
            case 0x0C:
                raw("\\f");
                break;
            case 0x0D:
                raw("\\r");
                break;
            default:
                std::string escape = "\\u00";
                appendHex(escape, byte);
                raw(escape);
                break;
            }
            ++at;
            runStart = at;
        }
        flush();
        out_.push_back('"');
    }

    Out& out_;
};

} // namespace

void JsonWriter::write(const JsonValue& value, Bytes& out) {
    Writer<Bytes>(out).value(value);
}

Bytes JsonWriter::data(const JsonValue& value) {
    Bytes out;
    write(value, out);
    return out;
}

std::string JsonWriter::string(const JsonValue& value) {
    std::string out;
    Writer<std::string>(out).value(value);
    return out;
}

std::string JsonWriter::format(double value) {
    if (!std::isfinite(value)) {
        return "0";
    }
    if (value == 0) {
        return std::signbit(value) ? "-0.0" : "0.0";
    }
    // Shortest round-trip digits, as d[.ddd]e±XX with at least two exponent digits.
    char buffer[32];
    const auto [end, ec] =
        std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::scientific);
    (void)ec; // 17 digits, a sign, a point and a four-character exponent always fit
    const std::string_view scientific(buffer, static_cast<size_t>(end - buffer));
    const double magnitude = std::fabs(value);
    if (magnitude < 1e-4 || magnitude >= 1e16) {
        return std::string(scientific);
    }

    const size_t e = scientific.find('e');
    const bool negative = scientific.front() == '-';
    std::string digits;
    for (const char c : scientific.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    int exponent = 0;
    std::string_view exponentText = scientific.substr(e + 1);
    if (exponentText.front() == '+') {
        exponentText.remove_prefix(1);
    }
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);

    // The leading digit stands for 10^exponent, with exponent in [-4, 15].
    std::string out;
    if (negative) {
        out.push_back('-');
    }
    if (exponent < 0) {
        out.append("0.");
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out.append(digits);
        return out;
    }
    const auto integerDigits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= integerDigits) {
        out.append(digits);
        out.append(integerDigits - digits.size(), '0');
        out.append(".0");
    } else {
        out.append(digits, 0, integerDigits);
        out.push_back('.');
        out.append(digits, integerDigits);
    }
    return out;
}

} // namespace merriphonic
