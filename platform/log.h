#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace merriphonic {

enum class LogLevel { debug, info, error };

// The five log categories of subsystem "app.merriphonic".
enum class LogCategory { ble, sync, player, transfer, app };

inline constexpr std::string_view logSubsystem = "app.merriphonic";

// "BLE", "Sync", "Player", "Transfer", "App".
std::string_view categoryName(LogCategory category);
std::string_view levelName(LogLevel level);

// Where log lines go: spdlog (stderr and the journal) in the app, a capture in tests.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogCategory category, LogLevel level, std::string_view message) = 0;
    [[nodiscard]] virtual bool enabled(LogLevel level) const {
        (void)level;
        return true;
    }
};

// One device's log. Messages are formatted with fmt ("{}" placeholders) only when the sink
// wants the level.
class Log {
public:
    explicit Log(std::shared_ptr<LogSink> sink) : sink_(std::move(sink)) {}

    template <typename... Args>
    void debug(LogCategory category, fmt::format_string<Args...> format, Args&&... args) const {
        writeFormatted(category, LogLevel::debug, format, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void info(LogCategory category, fmt::format_string<Args...> format, Args&&... args) const {
        writeFormatted(category, LogLevel::info, format, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void error(LogCategory category, fmt::format_string<Args...> format, Args&&... args) const {
        writeFormatted(category, LogLevel::error, format, std::forward<Args>(args)...);
    }

    void write(LogCategory category, LogLevel level, std::string_view message) const {
        if (sink_ && sink_->enabled(level)) {
            sink_->write(category, level, message);
        }
    }
    [[nodiscard]] const std::shared_ptr<LogSink>& sink() const { return sink_; }

private:
    template <typename... Args>
    void writeFormatted(LogCategory category, LogLevel level, fmt::format_string<Args...> format,
                        Args&&... args) const {
        if (sink_ && sink_->enabled(level)) {
            sink_->write(category, level, fmt::format(format, std::forward<Args>(args)...));
        }
    }

    std::shared_ptr<LogSink> sink_;
};

} // namespace merriphonic
