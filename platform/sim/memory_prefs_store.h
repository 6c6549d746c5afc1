#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/prefs_store.h"

namespace merriphonic {

// Preferences held in memory, for tests and simulated devices. Values keep the type they were
// stored with; a read under another type succeeds only when the value converts exactly:
// integers and finite reals read as text in their shortest exact decimal form, text reads as
// an integer or real when the whole text is one, a real reads as an integer when it is
// integral and in range, an integer reads as a real when the double holds it exactly.
class MemoryPrefsStore final : public PrefsStore {
public:
    [[nodiscard]] std::optional<std::string> text(std::string_view key) const override;
    [[nodiscard]] std::optional<int64_t> integer(std::string_view key) const override;
    [[nodiscard]] std::optional<double> real(std::string_view key) const override;
    void setText(std::string_view key, std::string_view value) override;
    void setInteger(std::string_view key, int64_t value) override;
    void setReal(std::string_view key, double value) override;
    void remove(std::string_view key) override;

    [[nodiscard]] bool contains(std::string_view key) const;
    [[nodiscard]] size_t size() const { return values_.size(); }
    void clear() { values_.clear(); }

private:
    using Value = std::variant<std::string, int64_t, double>;

    [[nodiscard]] const Value* find(std::string_view key) const;
    void store(std::string_view key, Value value);

    std::map<std::string, Value, std::less<>> values_;
};

} // namespace merriphonic
