#include "platform/sim/capture_log_sink.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace merriphonic {

namespace {

int rank(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return 0;
    case LogLevel::info:
        return 1;
    case LogLevel::error:
        return 2;
    }
    return 1;
}

} // namespace

CaptureLogSink::CaptureLogSink(std::string deviceName, std::function<int64_t()> timeNs)
    : deviceName_(std::move(deviceName)), timeNs_(std::move(timeNs)),
      echo_(echoLevelFromEnvironment()) {}

std::optional<LogLevel> CaptureLogSink::echoLevelFromEnvironment() {
    const char* value = std::getenv("MERRIPHONIC_SIM_LOG");
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::string_view setting(value);
    if (setting == "1" || setting == "debug") {
        return LogLevel::debug;
    }
    if (setting == "info") {
        return LogLevel::info;
    }
    if (setting == "error") {
        return LogLevel::error;
    }
    return std::nullopt;
}

void CaptureLogSink::write(LogCategory category, LogLevel level, std::string_view message) {
    std::string echoed;
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(CapturedLogLine{category, level, std::string(message)});
        if (!echo_ || rank(level) < rank(*echo_)) {
            return;
        }
        const std::string device = deviceName_.empty() ? std::string("-") : deviceName_;
        if (timeNs_) {
            const int64_t now = timeNs_();
            const uint64_t magnitude =
                now < 0 ? 0 - static_cast<uint64_t>(now) : static_cast<uint64_t>(now);
            echoed = fmt::format("{}{:>6}.{:06} {} {} {}: {}\n", now < 0 ? "-" : "",
                                 magnitude / 1'000'000'000, magnitude % 1'000'000'000 / 1000,
                                 device, categoryName(category), levelName(level), message);
        } else {
            echoed = fmt::format("{} {} {}: {}\n", device, categoryName(category), levelName(level),
                                 message);
        }
    }
    std::fputs(echoed.c_str(), stderr);
}

bool CaptureLogSink::enabled(LogLevel level) const {
    (void)level;
    return true;
}

std::vector<CapturedLogLine> CaptureLogSink::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> CaptureLogSink::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(lines_.size());
    for (const auto& line : lines_) {
        result.push_back(line.message);
    }
    return result;
}

bool CaptureLogSink::contains(std::string_view substring) const {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(), [substring](const CapturedLogLine& line) {
        return line.message.find(substring) != std::string::npos;
    });
}

size_t CaptureLogSink::count(std::string_view substring) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(lines_.begin(), lines_.end(), [substring](const CapturedLogLine& line) {
            return line.message.find(substring) != std::string::npos;
        }));
}

size_t CaptureLogSink::size() const {
    std::lock_guard lock(mutex_);
    return lines_.size();
}

void CaptureLogSink::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void CaptureLogSink::setEcho(std::optional<LogLevel> minimum) {
    std::lock_guard lock(mutex_);
    echo_ = minimum;
}

} // namespace merriphonic
