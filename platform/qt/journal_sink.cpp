#include "platform/qt/journal_sink.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <filesystem>
#include <system_error>

#include "platform/log.h"

namespace merriphonic {

bool JournalSink::available() {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::path(socketPath), error);
}

int JournalSink::priority(spdlog::level::level_enum level) {
    switch (level) {
    case spdlog::level::trace:
    case spdlog::level::debug:
        return LOG_DEBUG;
    case spdlog::level::warn:
        return LOG_WARNING;
    case spdlog::level::err:
        return LOG_ERR;
    case spdlog::level::critical:
        return LOG_CRIT;
    default:
        return LOG_INFO;
    }
}

std::vector<std::string> JournalSink::fields(std::string_view category,
                                             spdlog::level::level_enum level,
                                             std::string_view message) {
    std::vector<std::string> result;
    result.reserve(4);
    result.push_back("MESSAGE=" + std::string(message));
    result.push_back("PRIORITY=" + std::to_string(priority(level)));
    result.push_back("SYSLOG_IDENTIFIER=" + std::string(logSubsystem));
    result.push_back("MERRIPHONIC_CATEGORY=" + std::string(category));
    return result;
}

void JournalSink::sink_it_(const spdlog::details::log_msg& message) {
    // Fields are sent as binary-safe iovecs: a message may hold any text, '%' included.
    const auto entry =
        fields(std::string_view(message.logger_name.data(), message.logger_name.size()),
               message.level, std::string_view(message.payload.data(), message.payload.size()));
    std::vector<iovec> vectors;
    vectors.reserve(entry.size());
    for (const auto& field : entry) {
        vectors.push_back(iovec{const_cast<char*>(field.data()), field.size()});
    }
    (void)sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
}

} // namespace merriphonic
