#include "platform/qt/system_clock.h"

#include "core/host_clock.h"

namespace merriphonic {

int64_t SystemClock::nowNs() const {
    return HostClock::nowNs();
}

} // namespace merriphonic
