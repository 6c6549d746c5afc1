#include "core/heard_timeline.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace merriphonic {

void HeardTimeline::add(double mediaFrame, double heardNs, bool carriesOn) {
    if (!carriesOn || stretches_.empty()) {
        stretches_.emplace_back();
    }
    stretches_.back().push_back(Point{mediaFrame, heardNs});
}

std::optional<double> HeardTimeline::heardNs(double mediaFrame, double nearNs) const {
    std::optional<double> best;
    for (const std::vector<Point>& points : stretches_) {
        if (points.size() < 2 || mediaFrame < points.front().mediaFrame ||
            mediaFrame > points.back().mediaFrame) {
            continue;
        }
        auto after = std::upper_bound(
            points.begin(), points.end(), mediaFrame,
            [](double frame, const Point& point) { return frame < point.mediaFrame; });
        after = after == points.end() ? std::prev(after) : after;
        const Point& a = *std::prev(after);
        const Point& b = *after;
        const double span = b.mediaFrame - a.mediaFrame;
        const double at =
            span > 0.0 ? a.ns + (mediaFrame - a.mediaFrame) / span * (b.ns - a.ns) : a.ns;
        if (!best || std::abs(at - nearNs) < std::abs(*best - nearNs)) {
            best = at;
        }
    }
    return best;
}

double percentileAbs(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    for (double& value : values) {
        value = std::abs(value);
    }
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(p, 0.0, 100.0) / 100.0 * static_cast<double>(values.size() - 1);
    const auto below = static_cast<size_t>(std::floor(rank));
    const size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (rank - static_cast<double>(below)) * (values[above] - values[below]);
}

} // namespace merriphonic
