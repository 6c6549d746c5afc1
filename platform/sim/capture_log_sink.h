#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace merriphonic {

struct CapturedLogLine {
    LogCategory category = LogCategory::app;
    LogLevel level = LogLevel::info;
    std::string message;

    bool operator==(const CapturedLogLine&) const = default;
};

// Records every log line of a device, in order, for tests to assert on; all levels are
// captured. Lines can also be echoed to stderr, prefixed with the device's name and the
// time: the environment variable MERRIPHONIC_SIM_LOG turns that on ("1" or "debug": every
// line, "info": info and errors, "error": errors only). Safe to use from several threads.
class CaptureLogSink final : public LogSink {
public:
    // timeNs, when given, supplies the time shown in echoed lines (the world's time in a
    // simulation).
    explicit CaptureLogSink(std::string deviceName = {}, std::function<int64_t()> timeNs = {});

    void write(LogCategory category, LogLevel level, std::string_view message) override;
    [[nodiscard]] bool enabled(LogLevel level) const override;

    [[nodiscard]] std::vector<CapturedLogLine> lines() const;
    [[nodiscard]] std::vector<std::string> messages() const;
    // Whether, and in how many lines, the message contains the text.
    [[nodiscard]] bool contains(std::string_view substring) const;
    [[nodiscard]] size_t count(std::string_view substring) const;
    [[nodiscard]] size_t size() const;
    void clear();

    // Echo lines at or above the level to stderr; nullopt stops echoing.
    void setEcho(std::optional<LogLevel> minimum);
    [[nodiscard]] const std::string& deviceName() const { return deviceName_; }

    // The echo level MERRIPHONIC_SIM_LOG asks for, if any.
    static std::optional<LogLevel> echoLevelFromEnvironment();

private:
    const std::string deviceName_;
    const std::function<int64_t()> timeNs_;
    mutable std::mutex mutex_;
    std::vector<CapturedLogLine> lines_;
    std::optional<LogLevel> echo_;
};

} // namespace merriphonic
