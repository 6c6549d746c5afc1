#include "platform/qt/spdlog_log_sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/qt/journal_sink.h"

namespace merriphonic {

namespace {

constexpr std::array<LogCategory, 5> categories = {LogCategory::ble, LogCategory::sync,
                                                   LogCategory::player, LogCategory::transfer,
                                                   LogCategory::app};

spdlog::level::level_enum toSpdlog(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return spdlog::level::debug;
    case LogLevel::info:
        return spdlog::level::info;
    case LogLevel::error:
        return spdlog::level::err;
    }
    return spdlog::level::info;
}

// Under systemd, stderr may already be a journal stream (JOURNAL_STREAM names its device and
// inode); writing there as well would log every line twice.
bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    struct stat info {};
    if (fstat(STDERR_FILENO, &info) != 0) {
        return false;
    }
    const std::string expected =
        std::to_string(info.st_dev) + ":" + std::to_string(static_cast<unsigned long>(info.st_ino));
    return expected == stream;
}

} // namespace

SpdlogLogSink::SpdlogLogSink()
    : SpdlogLogSink(standardSinks(), levelFromText(std::getenv(levelVariable))) {}

SpdlogLogSink::SpdlogLogSink(std::vector<spdlog::sink_ptr> sinks, LogLevel minimum)
    : minimum_(minimum) {
    for (LogCategory category : categories) {
        const std::string_view name = categoryName(category);
        auto logger =
            std::make_shared<spdlog::logger>(std::string(name), sinks.begin(), sinks.end());
        // Filtering happens in enabled(), before any formatting.
        logger->set_level(spdlog::level::trace);
        loggers_.at(static_cast<size_t>(category)) = std::move(logger);
    }
}

void SpdlogLogSink::write(LogCategory category, LogLevel level, std::string_view message) {
    if (!enabled(level)) {
        return;
    }
    loggers_.at(static_cast<size_t>(category))
        ->log(toSpdlog(level), spdlog::string_view_t(message.data(), message.size()));
}

bool SpdlogLogSink::enabled(LogLevel level) const {
    return static_cast<int>(level) >= static_cast<int>(minimum_.load(std::memory_order_relaxed));
}

void SpdlogLogSink::setMinimumLevel(LogLevel level) {
    minimum_.store(level, std::memory_order_relaxed);
}

LogLevel SpdlogLogSink::minimumLevel() const {
    return minimum_.load(std::memory_order_relaxed);
}

void SpdlogLogSink::flush() {
    for (const auto& logger : loggers_) {
        logger->flush();
    }
}

LogLevel SpdlogLogSink::levelFromText(const char* text) {
    if (text == nullptr) {
        return LogLevel::info;
    }
    if (std::strcmp(text, "debug") == 0) {
        return LogLevel::debug;
    }
    if (std::strcmp(text, "error") == 0) {
        return LogLevel::error;
    }
    return LogLevel::info;
}

std::vector<spdlog::sink_ptr> SpdlogLogSink::standardSinks() {
    std::vector<spdlog::sink_ptr> sinks;
    const bool journal = JournalSink::available();
    if (!journal || !stderrIsJournal()) {
        auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        console->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%-5l%$ " + std::string(logSubsystem) +
                             " [%n] %v");
        sinks.push_back(std::move(console));
    }
    if (journal) {
        sinks.push_back(std::make_shared<JournalSink>());
    }
    return sinks;
}

} // namespace merriphonic
