#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include <array>
#include <atomic>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace merriphonic {

// The log of the real app: one spdlog logger per category ("BLE", "Sync", "Player",
// "Transfer", "App"), all writing to the same sinks. Safe from any thread.
class SpdlogLogSink final : public LogSink {
public:
    // "debug", "info" or "error": the lowest level written (info when unset or unknown).
    static constexpr const char* levelVariable = "MERRIPHONIC_LOG";

    // stderr, plus the journal when it is reachable; the level from MERRIPHONIC_LOG.
    SpdlogLogSink();
    // The given sinks (tests, tools) and level.
    SpdlogLogSink(std::vector<spdlog::sink_ptr> sinks, LogLevel minimum);

    void write(LogCategory category, LogLevel level, std::string_view message) override;
    [[nodiscard]] bool enabled(LogLevel level) const override;

    void setMinimumLevel(LogLevel level);
    [[nodiscard]] LogLevel minimumLevel() const;
    void flush();

    // The level a MERRIPHONIC_LOG value asks for; nullptr and unknown texts give info.
    static LogLevel levelFromText(const char* text);
    // stderr (unless stderr already is the journal) and the journal when journald listens.
    static std::vector<spdlog::sink_ptr> standardSinks();

private:
    static constexpr size_t categoryCount = 5;

    std::array<std::shared_ptr<spdlog::logger>, categoryCount> loggers_;
    std::atomic<LogLevel> minimum_;
};

} // namespace merriphonic
