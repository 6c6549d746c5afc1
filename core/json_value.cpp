#include "core/json_value.h"

#include "core/json_writer.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace merriphonic {

namespace {

// Objects above this many keys keep a hash index; it is dropped again only when an object
// shrinks to half that size, so that alternating edits around the threshold stay cheap.
constexpr size_t indexThreshold = 16;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A whole decimal integer with an optional sign, if it fits.
std::optional<int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end) {
        return std::nullopt;
    }
    return value;
}

// When the conversion overflows or underflows, from_chars leaves the value alone; the decimal
// exponent of the leading digit tells which of the two happened.
double outOfRangeValue(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    int64_t position = 0; // leading digit is about 10^(position - 1)
    bool seenNonzero = false;
    bool afterPoint = false;
    size_t at = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == 'e' || c == 'E') {
            break;
        }
        if (c == '.') {
            afterPoint = true;
        } else if (isDigit(c)) {
            if (c != '0') {
                seenNonzero = true;
            }
            if (seenNonzero && !afterPoint) {
                ++position;
            } else if (!seenNonzero && afterPoint) {
                --position;
            }
        }
    }
    int64_t exponent = 0;
    bool negativeExponent = false;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '-') {
            negativeExponent = true;
        } else if (isDigit(c) && exponent < 1'000'000'000) {
            exponent = exponent * 10 + (c - '0');
        }
    }
    const int64_t magnitude = position - 1 + (negativeExponent ? -exponent : exponent);
    const double value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

std::optional<double> parseDouble(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ptr != end) {
        return std::nullopt;
    }
    if (ec == std::errc::result_out_of_range) {
        return outOfRangeValue(text);
    }
    if (ec != std::errc{}) {
        return std::nullopt;
    }
    return value;
}

std::optional<int64_t> roundedInteger(double value) {
    // 2^63 is exact as a double; the rounded value must lie in [-2^63, 2^63).
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = std::round(value);
    if (rounded < -limit || rounded >= limit) {
        return std::nullopt;
    }
    return static_cast<int64_t>(rounded);
}

} // namespace

// MARK: JsonObject

JsonObject::JsonObject(std::initializer_list<std::pair<std::string, JsonValue>> members) {
    for (const auto& [key, value] : members) {
        set(key, value);
    }
}

JsonObject::JsonObject(std::vector<std::pair<std::string, JsonValue>> members) {
    for (auto& member : members) {
        set(std::move(member.first), std::move(member.second));
    }
}

JsonObject::JsonObject(const JsonObject& other)
    : keys_(other.keys_), values_(other.values_),
      index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}

JsonObject& JsonObject::operator=(const JsonObject& other) {
    if (this != &other) {
        JsonObject copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::optional<size_t> JsonObject::find(std::string_view key) const {
    if (index_) {
        const auto found = index_->find(key);
        if (found == index_->end()) {
            return std::nullopt;
        }
        return found->second;
    }
    for (size_t at = 0; at < keys_.size(); ++at) {
        if (keys_[at] == key) {
            return at;
        }
    }
    return std::nullopt;
}

void JsonObject::rebuildIndex() {
    auto index = std::make_unique<Index>();
    index->reserve(keys_.size());
    for (size_t at = 0; at < keys_.size(); ++at) {
        index->emplace(keys_[at], at);
    }
    index_ = std::move(index);
}

const JsonValue* JsonObject::get(std::string_view key) const {
    const auto at = find(key);
    return at ? &values_[*at] : nullptr;
}

void JsonObject::set(std::string key, JsonValue value) {
    if (const auto at = find(key)) {
        values_[*at] = std::move(value);
        return;
    }
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
    if (index_) {
        index_->emplace(keys_.back(), keys_.size() - 1);
    } else if (keys_.size() > indexThreshold) {
        rebuildIndex();
    }
}

bool JsonObject::operator==(const JsonObject& other) const {
    return keys_ == other.keys_ && values_ == other.values_;
}

// MARK: JsonValue

JsonValue JsonValue::boolean(bool value) {
    return JsonValue(Storage(std::in_place_type<bool>, value));
}

JsonValue JsonValue::number(std::string text) {
    return JsonValue(Storage(std::in_place_type<Number>, Number{std::move(text)}));
}

JsonValue JsonValue::string(std::string value) {
    return JsonValue(Storage(std::in_place_type<std::string>, std::move(value)));
}

JsonValue JsonValue::array(std::vector<JsonValue> elements) {
    return JsonValue(Storage(std::in_place_type<std::vector<JsonValue>>, std::move(elements)));
}

JsonValue JsonValue::object(JsonObject members) {
    return JsonValue(Storage(std::in_place_type<JsonObject>, std::move(members)));
}

JsonValue JsonValue::integer(int64_t value) {
    char buffer[24];
    const auto [end, ec] = std::to_chars(std::begin(buffer), std::end(buffer), value);
    (void)ec; // 20 digits and a sign always fit
    return number(std::string(std::begin(buffer), end));
}

JsonValue JsonValue::real(double value) {
    return number(JsonWriter::format(value));
}

JsonValue::Kind JsonValue::kind() const noexcept {
    return static_cast<Kind>(storage_.index());
}

std::optional<bool> JsonValue::boolValue() const {
    if (const bool* value = std::get_if<bool>(&storage_)) {
        return *value;
    }
    return std::nullopt;
}

const std::string* JsonValue::numberText() const {
    const Number* number = std::get_if<Number>(&storage_);
    return number ? &number->text : nullptr;
}

const std::string* JsonValue::stringValue() const {
    return std::get_if<std::string>(&storage_);
}

const std::vector<JsonValue>* JsonValue::arrayValue() const {
    return std::get_if<std::vector<JsonValue>>(&storage_);
}

const JsonObject* JsonValue::objectValue() const {
    return std::get_if<JsonObject>(&storage_);
}

std::optional<double> JsonValue::doubleValue() const {
    const std::string* text = numberText();
    if (!text) {
        return std::nullopt;
    }
    return parseDouble(*text);
}

std::optional<int64_t> JsonValue::int64Value() const {
    const std::string* textPointer = numberText();
    if (!textPointer) {
        return std::nullopt;
    }
    const std::string_view text = *textPointer;
    if (const auto exact = parseInteger(text)) {
        return exact;
    }
    const size_t point = text.find('.');
    if (point == std::string_view::npos || text.find_first_of("eE") != std::string_view::npos) {
        const auto value = parseDouble(text);
        return value ? roundedInteger(*value) : std::nullopt;
    }
    // Decimal fractions round on their first fraction digit alone, without going through a
    // double, so that large integer parts keep every digit.
    const std::string_view integerText = text.substr(0, point);
    const std::string_view fraction = text.substr(point + 1);
    const auto integerPart = parseInteger(integerText); // "-0" reads as 0
    if (!integerPart) {
        return std::nullopt;
    }
    if (fraction.empty() || fraction.front() < '5') {
        return integerPart;
    }
    if (integerText.front() == '-') {
        if (*integerPart == std::numeric_limits<int64_t>::min()) {
            return std::nullopt;
        }
        return *integerPart - 1;
    }
    if (*integerPart == std::numeric_limits<int64_t>::max()) {
        return std::nullopt;
    }
    return *integerPart + 1;
}

bool JsonValue::isNull() const noexcept {
    return std::holds_alternative<Null>(storage_);
}

const JsonValue* JsonValue::operator[](std::string_view key) const {
    const JsonObject* object = objectValue();
    return object ? object->get(key) : nullptr;
}

bool JsonValue::semanticallyEquals(const JsonValue& other) const {
    if (kind() != other.kind()) {
        return false;
    }
    switch (kind()) {
    case Kind::number: {
        // Identical texts are equal even when they do not convert.
        if (*numberText() == *other.numberText()) {
            return true;
        }
        const auto integer = int64Value();
        const auto otherInteger = other.int64Value();
        if (integer && otherInteger) {
            return *integer == *otherInteger;
        }
        const auto real = doubleValue();
        const auto otherReal = other.doubleValue();
        return real && otherReal && *real == *otherReal;
    }
    case Kind::array: {
        const auto& elements = *arrayValue();
        const auto& otherElements = *other.arrayValue();
        if (elements.size() != otherElements.size()) {
            return false;
        }
        for (size_t at = 0; at < elements.size(); ++at) {
            if (!elements[at].semanticallyEquals(otherElements[at])) {
                return false;
            }
        }
        return true;
    }
    case Kind::object: {
        const JsonObject& members = *objectValue();
        const JsonObject& otherMembers = *other.objectValue();
        if (members.count() != otherMembers.count()) {
            return false;
        }
        for (const std::string& key : members.keys()) {
            const JsonValue* otherValue = otherMembers.get(key);
            if (!otherValue || !members.get(key)->semanticallyEquals(*otherValue)) {
                return false;
            }
        }
        return true;
    }
    case Kind::boolean:
    case Kind::string:
    case Kind::null:
        return *this == other;
    }
    return false;
}

bool JsonValue::operator==(const JsonValue& other) const {
    return storage_ == other.storage_;
}

} // namespace merriphonic
