#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/clock.h"

namespace merriphonic {

// The check's own progress lines on stdout, each with the role and the seconds since start,
// flushed at once so that two processes' lines interleave in the order they happened.
class CheckLog {
public:
    CheckLog(std::string role, const Clock& clock);

    template <typename... Args>
    void say(fmt::format_string<Args...> format, Args&&... args) const {
        line(fmt::format(format, std::forward<Args>(args)...));
    }

    [[nodiscard]] double elapsedS() const;

private:
    void line(std::string_view text) const;

    std::string role_;
    const Clock& clock_;
    int64_t startNs_;
};

} // namespace merriphonic
