#pragma once

#include <optional>
#include <vector>

namespace merriphonic {

// Where a device heard its media frames: stretches of buffers whose media advanced with the
// output, each a list of (media frame, time heard) points in order. What makes a buffer carry
// on from the one before is the caller's to judge (a start, a re-planned start, a seek or a new
// song begins a new stretch).
class HeardTimeline {
public:
    // Adds the next buffer heard; it begins a new stretch unless it carries on.
    void add(double mediaFrame, double heardNs, bool carriesOn);

    // When the media frame was heard, of its hearings the nearest to nearNs; nothing when no
    // stretch of two buffers or more spans it.
    [[nodiscard]] std::optional<double> heardNs(double mediaFrame, double nearNs) const;

private:
    struct Point {
        double mediaFrame = 0.0;
        double ns = 0.0;
    };

    std::vector<std::vector<Point>> stretches_;
};

// The p-th percentile (0…100, interpolated) of the absolute values; 0 for none.
double percentileAbs(std::vector<double> values, double p);

} // namespace merriphonic
