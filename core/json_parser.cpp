#include "core/json_parser.h"

#include "core/hex.h"
#include "core/utf8.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace merriphonic {

namespace {

// Values sit at depths 0...maxDepth, so at most 64 containers nest and the innermost is empty.
// This also bounds the recursion below on hostile input.
constexpr int maxDepth = 63;

bool isDigit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

class Parser {
public:
    explicit Parser(ByteView bytes) : b_(bytes) {}

    JsonValue parseDocument() {
        skipWhitespace();
        JsonValue value = parseValue(0);
        skipWhitespace();
        if (i_ < b_.size()) {
            throw JsonError::trailingData(i_);
        }
        return value;
    }

private:
    bool atEnd() const { return i_ >= b_.size(); }

    void skipWhitespace() {
        while (i_ < b_.size()) {
            const uint8_t byte = b_[i_];
            if (byte != 0x20 && byte != 0x09 && byte != 0x0A && byte != 0x0D) {
                return;
            }
            ++i_;
        }
    }

    JsonValue parseValue(int depth) {
        if (depth > maxDepth) {
            throw JsonError::tooDeep();
        }
        if (atEnd()) {
            throw JsonError::unexpectedEnd();
        }
        const uint8_t byte = b_[i_];
        switch (byte) {
        case '"':
            return JsonValue::string(parseString());
        case '{':
            return parseObject(depth);
        case '[':
            return parseArray(depth);
        case 't':
            return parseLiteral("true", JsonValue::boolean(true));
        case 'f':
            return parseLiteral("false", JsonValue::boolean(false));
        case 'n':
            return parseLiteral("null", JsonValue::null());
        default:
            if (byte == '-' || isDigit(byte)) {
                return parseNumber();
            }
            throw JsonError::unexpectedByte(byte, i_);
        }
    }

    JsonValue parseObject(int depth) {
        ++i_; // '{'
        skipWhitespace();
        if (atEnd()) {
            throw JsonError::unexpectedEnd();
        }
        JsonObject members;
        if (b_[i_] == '}') {
            ++i_;
            return JsonValue::object(std::move(members));
        }
        for (;;) {
            if (atEnd()) {
                throw JsonError::unexpectedEnd();
            }
            if (b_[i_] != '"') {
                throw JsonError::unexpectedByte(b_[i_], i_);
            }
            std::string key = parseString();
            skipWhitespace();
            expect(':');
            skipWhitespace();
            members.set(std::move(key), parseValue(depth + 1));
            skipWhitespace();
            if (atEnd()) {
                throw JsonError::unexpectedEnd();
            }
            const uint8_t byte = b_[i_];
            ++i_;
            if (byte == '}') {
                return JsonValue::object(std::move(members));
            }
            if (byte != ',') {
                throw JsonError::unexpectedByte(byte, i_ - 1);
            }
            skipWhitespace();
        }
    }

    JsonValue parseArray(int depth) {
        ++i_; // '['
        skipWhitespace();
        if (atEnd()) {
            throw JsonError::unexpectedEnd();
        }
        std::vector<JsonValue> elements;
        if (b_[i_] == ']') {
            ++i_;
            return JsonValue::array(std::move(elements));
        }
        for (;;) {
            elements.push_back(parseValue(depth + 1));
            skipWhitespace();
            if (atEnd()) {
                throw JsonError::unexpectedEnd();
            }
            const uint8_t byte = b_[i_];
            ++i_;
            if (byte == ']') {
                return JsonValue::array(std::move(elements));
            }
            if (byte != ',') {
                throw JsonError::unexpectedByte(byte, i_ - 1);
            }
            skipWhitespace();
        }
    }

    void expect(uint8_t wanted) {
        if (atEnd()) {
            throw JsonError::unexpectedEnd();
        }
        if (b_[i_] != wanted) {
            throw JsonError::unexpectedByte(b_[i_], i_);
        }
        ++i_;
    }

    JsonValue parseLiteral(std::string_view word, JsonValue value) {
        for (const char c : word) {
            expect(static_cast<uint8_t>(c));
        }
        return value;
    }

    JsonValue parseNumber() {
        const size_t start = i_;
        const auto digitHere = [this] { return !atEnd() && isDigit(b_[i_]); };
        const auto skipDigits = [this] {
            while (!atEnd() && isDigit(b_[i_])) {
                ++i_;
            }
        };
        if (b_[i_] == '-') {
            ++i_;
        }
        if (!digitHere()) {
            throw JsonError::invalidNumber(start);
        }
        if (b_[i_] == '0') {
            ++i_;
        } else {
            skipDigits();
        }
        if (!atEnd() && b_[i_] == '.') {
            ++i_;
            if (!digitHere()) {
                throw JsonError::invalidNumber(start);
            }
            skipDigits();
        }
        if (!atEnd() && (b_[i_] == 'e' || b_[i_] == 'E')) {
            ++i_;
            if (!atEnd() && (b_[i_] == '+' || b_[i_] == '-')) {
                ++i_;
            }
            if (!digitHere()) {
                throw JsonError::invalidNumber(start);
            }
            skipDigits();
        }
        return JsonValue::number(std::string(b_.begin() + static_cast<std::ptrdiff_t>(start),
                                             b_.begin() + static_cast<std::ptrdiff_t>(i_)));
    }

    std::string parseString() {
        ++i_; // opening quotation mark
        std::string out;
        for (;;) {
            const size_t runStart = i_;
            while (i_ < b_.size() && b_[i_] != '"' && b_[i_] != '\\' && b_[i_] >= 0x20) {
                ++i_;
            }
            out.append(b_.begin() + static_cast<std::ptrdiff_t>(runStart),
                       b_.begin() + static_cast<std::ptrdiff_t>(i_));
            if (atEnd()) {
                throw JsonError::unexpectedEnd();
            }
            const uint8_t byte = b_[i_];
            if (byte == '"') {
                ++i_;
                break;
            }
            if (byte < 0x20) {
                throw JsonError::unexpectedByte(byte, i_);
            }
            ++i_; // backslash
            parseEscape(out);
        }
        if (!utf8::isWellFormed(out)) {
            return utf8::repaired(out);
        }
        return out;
    }

    void parseEscape(std::string& out) {
        if (atEnd()) {
            throw JsonError::unexpectedEnd();
        }
        const uint8_t byte = b_[i_];
        char plain = 0;
        switch (byte) {
        case '"':
        case '\\':
        case '/':
            plain = static_cast<char>(byte);
            break;
        case 'b':
            plain = '\b';
            break;
        case 'f':
            plain = '\f';
            break;
        case 'n':
            plain = '\n';
            break;
        case 'r':
            plain = '\r';
            break;
        case 't':
            plain = '\t';
            break;
        case 'u':
            ++i_;
            parseUnicodeEscape(out);
            return;
        default:
            throw JsonError::invalidEscape(i_);
        }
        out.push_back(plain);
        ++i_;
    }

    // The four hex digits of a \u escape, starting at i_.
    char32_t readCodeUnit() {
        if (b_.size() - i_ < 4) {
            throw JsonError::unexpectedEnd();
        }
        char32_t unit = 0;
        for (size_t k = 0; k < 4; ++k) {
            const std::optional<uint8_t> digit = hexDigitValue(static_cast<char>(b_[i_ + k]));
            if (!digit) {
                throw JsonError::invalidEscape(i_ + k);
            }
            unit = unit * 16 + *digit;
        }
        i_ += 4;
        return unit;
    }

    void parseUnicodeEscape(std::string& out) {
        const char32_t unit = readCodeUnit();
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (b_.size() - i_ >= 2 && b_[i_] == '\\' && b_[i_ + 1] == 'u') {
                const size_t next = i_;
                i_ += 2;
                const char32_t low = readCodeUnit();
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    utf8::appendCodePoint(out, 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00));
                    return;
                }
                // Not a pair: that escape is read again on its own.
                i_ = next;
            }
            out.append(utf8::replacementCharacter);
            return;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            out.append(utf8::replacementCharacter);
            return;
        }
        utf8::appendCodePoint(out, unit);
    }

    ByteView b_;
    size_t i_ = 0;
};

} // namespace

JsonValue JsonParser::parse(ByteView bytes) {
    return Parser(bytes).parseDocument();
}

JsonValue JsonParser::parse(std::string_view text) {
    return parse(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

} // namespace merriphonic
