#include "tests/vm/bt_check/round_trip_stats.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/clock_sync.h"

namespace merriphonic {

namespace {

double toMs(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

} // namespace

std::optional<std::string> RoundTripStats::add(const Pong& pong, int64_t t4) {
    if (!(pong.t1 > 0 && pong.t1 <= pong.t2 && pong.t2 <= pong.t3 && pong.t3 <= t4)) {
        return fmt::format("PONG {} stamps out of order: t1 {} t2 {} t3 {} t4 {}", pong.seq,
                           pong.t1, pong.t2, pong.t3, t4);
    }
    rttNs_.push_back(ClockSync::compute(pong.t1, pong.t2, pong.t3, t4).rttNs);
    return std::nullopt;
}

double RoundTripStats::minMs() const {
    return rttNs_.empty() ? 0.0 : toMs(*std::min_element(rttNs_.begin(), rttNs_.end()));
}

double RoundTripStats::maxMs() const {
    return rttNs_.empty() ? 0.0 : toMs(*std::max_element(rttNs_.begin(), rttNs_.end()));
}

double RoundTripStats::medianMs() const {
    if (rttNs_.empty()) {
        return 0.0;
    }
    std::vector<int64_t> sorted = rttNs_;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    if (sorted.size() % 2 == 1) {
        return toMs(sorted[middle]);
    }
    return (toMs(sorted[middle - 1]) + toMs(sorted[middle])) / 2.0;
}

} // namespace merriphonic
