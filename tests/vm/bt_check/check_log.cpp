#include "tests/vm/bt_check/check_log.h"

#include <cstdio>

namespace merriphonic {

CheckLog::CheckLog(std::string role, const Clock& clock)
    : role_(std::move(role)), clock_(clock), startNs_(clock.nowNs()) {}

double CheckLog::elapsedS() const {
    return static_cast<double>(clock_.nowNs() - startNs_) / 1e9;
}

void CheckLog::line(std::string_view text) const {
    fmt::print(stdout, "bt-check {} {:8.3f} s: {}\n", role_, elapsedS(), text);
    std::fflush(stdout);
}

} // namespace merriphonic
