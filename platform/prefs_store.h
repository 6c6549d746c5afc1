#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace merriphonic {

// Persisted key-value preferences. Absent keys read as std::nullopt; a value stored under
// another type reads as absent unless it converts exactly.
class PrefsStore {
public:
    virtual ~PrefsStore() = default;
    [[nodiscard]] virtual std::optional<std::string> text(std::string_view key) const = 0;
    [[nodiscard]] virtual std::optional<int64_t> integer(std::string_view key) const = 0;
    [[nodiscard]] virtual std::optional<double> real(std::string_view key) const = 0;
    virtual void setText(std::string_view key, std::string_view value) = 0;
    virtual void setInteger(std::string_view key, int64_t value) = 0;
    virtual void setReal(std::string_view key, double value) = 0;
    virtual void remove(std::string_view key) = 0;
};

} // namespace merriphonic
