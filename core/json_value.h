#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace merriphonic {

class JsonValue;

// A JSON object whose keys keep their insertion order (the written bytes depend on it).
// Copies are deep.
class JsonObject {
public:
    JsonObject() = default;
    // A repeated key replaces the earlier value and keeps its first position.
    JsonObject(std::initializer_list<std::pair<std::string, JsonValue>> members);
    explicit JsonObject(std::vector<std::pair<std::string, JsonValue>> members);

    JsonObject(const JsonObject& other);
    JsonObject& operator=(const JsonObject& other);
    JsonObject(JsonObject&& other) noexcept = default;
    JsonObject& operator=(JsonObject&& other) noexcept = default;
    ~JsonObject() = default;

    const std::vector<std::string>& keys() const noexcept { return keys_; }
    size_t count() const noexcept { return keys_.size(); }
    // nullptr when the key is absent.
    const JsonValue* get(std::string_view key) const;
    // A new key is appended; an existing key keeps its position and gets the new value.
    void set(std::string key, JsonValue value);

    // Same keys in the same order, and equal values.
    bool operator==(const JsonObject& other) const;

private:
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(std::string_view key) const noexcept {
            return std::hash<std::string_view>{}(key);
        }
    };
    using Index = std::unordered_map<std::string, size_t, KeyHash, std::equal_to<>>;

    std::optional<size_t> find(std::string_view key) const;
    void rebuildIndex();

    // Parallel: values_[n] belongs to keys_[n].
    std::vector<std::string> keys_;
    std::vector<JsonValue> values_;
    // Key to position, kept only for objects large enough that a linear scan would be slow.
    std::unique_ptr<Index> index_;
};

// A JSON value. Numbers keep their text exactly as parsed or constructed and are converted
// only on demand. Default-constructed is null.
class JsonValue {
public:
    enum class Kind { boolean, number, string, array, object, null };

    JsonValue() = default;

    static JsonValue boolean(bool value);
    // The text is kept verbatim; it is not checked.
    static JsonValue number(std::string text);
    static JsonValue string(std::string value);
    static JsonValue array(std::vector<JsonValue> elements);
    static JsonValue object(JsonObject members);
    static JsonValue null() { return {}; }
    // A number with the decimal text of the integer.
    static JsonValue integer(int64_t value);
    // A number with the text of JsonWriter::format.
    static JsonValue real(double value);

    Kind kind() const noexcept;

    std::optional<bool> boolValue() const;
    const std::string* numberText() const;
    const std::string* stringValue() const;
    const std::vector<JsonValue>* arrayValue() const;
    const JsonObject* objectValue() const;
    // The whole number text converted to a double; nullopt if it does not convert.
    std::optional<double> doubleValue() const;
    // The number as an integer, rounded half away from zero; nullopt when out of range.
    std::optional<int64_t> int64Value() const;
    bool isNull() const noexcept;

    // The member of an object; nullptr when this is not an object or the key is absent.
    const JsonValue* operator[](std::string_view key) const;

    // Like ==, but numbers compare by value ("1" equals "1.0") and object key order is
    // ignored.
    bool semanticallyEquals(const JsonValue& other) const;

    // Exact: same case, same number texts, same key order.
    bool operator==(const JsonValue& other) const;

private:
    struct Number {
        std::string text;
        bool operator==(const Number&) const = default;
    };
    struct Null {
        bool operator==(const Null&) const = default;
    };
    // Alternatives in the order of Kind.
    using Storage =
        std::variant<bool, Number, std::string, std::vector<JsonValue>, JsonObject, Null>;

    explicit JsonValue(Storage storage) : storage_(std::move(storage)) {}

    Storage storage_{Null{}};
};

} // namespace merriphonic
