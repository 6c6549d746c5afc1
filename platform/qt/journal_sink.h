#pragma once

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace merriphonic {

// Writes to the systemd journal, one entry per line, with the logger's name as the category
// field (MERRIPHONIC_CATEGORY=BLE) and the subsystem as the syslog identifier. A journal that
// refuses an entry loses that entry; logging never fails its caller.
class JournalSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    static constexpr std::string_view socketPath = "/run/systemd/journal/socket";

    // Whether journald is listening on this machine.
    static bool available();
    // The fields of one entry ("MESSAGE=...", "PRIORITY=6", ...).
    static std::vector<std::string>
    fields(std::string_view category, spdlog::level::level_enum level, std::string_view message);
    // The syslog priority of a spdlog level (debug 7, info 6, warn 4, err 3, critical 2).
    static int priority(spdlog::level::level_enum level);

protected:
    void sink_it_(const spdlog::details::log_msg& message) override;
    void flush_() override {}
};

} // namespace merriphonic
