#include "platform/sim/memory_prefs_store.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace merriphonic {

namespace {

// 2^63: the first double beyond the int64 range.
constexpr double int64Bound = 9223372036854775808.0;

template <typename T>
std::optional<T> parseWhole(std::string_view text) {
    T value{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace

const MemoryPrefsStore::Value* MemoryPrefsStore::find(std::string_view key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

void MemoryPrefsStore::store(std::string_view key, Value value) {
    auto it = values_.find(key);
    if (it == values_.end()) {
        values_.emplace(std::string(key), std::move(value));
    } else {
        it->second = std::move(value);
    }
}

std::optional<std::string> MemoryPrefsStore::text(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(value)) {
        return *text;
    }
    if (const auto* integer = std::get_if<int64_t>(value)) {
        return std::to_string(*integer);
    }
    const double real = std::get<double>(*value);
    if (!std::isfinite(real)) {
        return std::nullopt;
    }
    // The shortest text that reads back as the same double.
    std::array<char, 64> buffer{};
    auto [stop, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), real);
    if (error != std::errc()) {
        return std::nullopt;
    }
    return std::string(buffer.data(), stop);
}

std::optional<int64_t> MemoryPrefsStore::integer(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto* integer = std::get_if<int64_t>(value)) {
        return *integer;
    }
    if (const auto* text = std::get_if<std::string>(value)) {
        return parseWhole<int64_t>(*text);
    }
    const double real = std::get<double>(*value);
    if (!std::isfinite(real) || std::trunc(real) != real || real < -int64Bound ||
        real >= int64Bound) {
        return std::nullopt;
    }
    return static_cast<int64_t>(real);
}

std::optional<double> MemoryPrefsStore::real(std::string_view key) const {
    const Value* value = find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto* real = std::get_if<double>(value)) {
        return *real;
    }
    if (const auto* text = std::get_if<std::string>(value)) {
        auto parsed = parseWhole<double>(*text);
        if (!parsed || !std::isfinite(*parsed)) {
            return std::nullopt;
        }
        return parsed;
    }
    const int64_t integer = std::get<int64_t>(*value);
    const auto converted = static_cast<double>(integer);
    if (converted >= int64Bound || static_cast<int64_t>(converted) != integer) {
        return std::nullopt;
    }
    return converted;
}

void MemoryPrefsStore::setText(std::string_view key, std::string_view value) {
    store(key, std::string(value));
}

void MemoryPrefsStore::setInteger(std::string_view key, int64_t value) {
    store(key, value);
}

void MemoryPrefsStore::setReal(std::string_view key, double value) {
    store(key, value);
}

void MemoryPrefsStore::remove(std::string_view key) {
    auto it = values_.find(key);
    if (it != values_.end()) {
        values_.erase(it);
    }
}

bool MemoryPrefsStore::contains(std::string_view key) const {
    return find(key) != nullptr;
}

} // namespace merriphonic
