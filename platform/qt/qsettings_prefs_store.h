#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/prefs_store.h"

class QSettings;

namespace merriphonic {

// Preferences over QSettings, kept as text (as the INI file keeps them) so that a value reads
// the same before and after a restart: an integer or a real reads back as its number and as
// its decimal text; text reads as a number only when all of it is one (integers: an optional
// '-' and digits; reals: a finite decimal). Used on one thread (the main loop); changes reach
// the file when the event loop runs, on sync() and on destruction.
class QSettingsPrefsStore final : public PrefsStore {
public:
    static constexpr std::string_view organization = "Merriphonic";
    static constexpr std::string_view application = "Merriphonic";

    // The user's store: ~/.config/Merriphonic/Merriphonic.conf.
    QSettingsPrefsStore();
    // An INI file of one's own (tests, side-by-side instances).
    explicit QSettingsPrefsStore(const std::filesystem::path& file);
    ~QSettingsPrefsStore() override;
    QSettingsPrefsStore(const QSettingsPrefsStore&) = delete;
    QSettingsPrefsStore& operator=(const QSettingsPrefsStore&) = delete;

    [[nodiscard]] std::optional<std::string> text(std::string_view key) const override;
    [[nodiscard]] std::optional<int64_t> integer(std::string_view key) const override;
    [[nodiscard]] std::optional<double> real(std::string_view key) const override;
    void setText(std::string_view key, std::string_view value) override;
    void setInteger(std::string_view key, int64_t value) override;
    void setReal(std::string_view key, double value) override;
    void remove(std::string_view key) override;

    // Writes pending changes to the file and reads changes others made.
    void sync();
    [[nodiscard]] std::filesystem::path filePath() const;

    // The conversions, exposed for tests: whole-text parses only.
    static std::optional<int64_t> parseInteger(std::string_view text);
    static std::optional<double> parseReal(std::string_view text);

private:
    std::unique_ptr<QSettings> settings_;
};

} // namespace merriphonic
