#include "tools/cli/heard_log.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

namespace merriphonic {

namespace {

// Whether the buffer carries on from the previous one: same output run, its media advanced by
// about the previous buffer's length (the rate trim stays far below 5 %).
bool continues(const HeardBuffer& previous, const HeardBuffer& buffer) {
    if (buffer.stream != previous.stream || buffer.sampleRate != previous.sampleRate ||
        previous.sampleRate <= 0) {
        return false;
    }
    const double expectedNs = previous.frames * 1e9 / previous.sampleRate;
    const auto gapNs = static_cast<double>(buffer.heardNs - previous.heardNs);
    const double advanced = buffer.mediaFrame - previous.mediaFrame;
    return std::abs(gapNs - expectedNs) <= 0.05 * expectedNs &&
           std::abs(advanced - previous.frames) <= 0.05 * previous.frames;
}

// Where a device heard its media frames: runs of buffers whose media advanced with the output,
// each a list of (media frame, time heard) points in order.
class HeardTimeline {
public:
    explicit HeardTimeline(const std::vector<HeardBuffer>& log) {
        const HeardBuffer* previous = nullptr;
        for (const HeardBuffer& buffer : log) {
            if (previous == nullptr || !continues(*previous, buffer)) {
                segments_.emplace_back();
            }
            segments_.back().push_back(
                Point{buffer.mediaFrame, static_cast<double>(buffer.heardNs)});
            previous = &buffer;
        }
    }

    // When the media frame was heard, of its hearings the nearest to nearNs.
    [[nodiscard]] std::optional<double> heardNs(double mediaFrame, double nearNs) const {
        std::optional<double> best;
        for (const std::vector<Point>& points : segments_) {
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

private:
    struct Point {
        double mediaFrame = 0.0;
        double ns = 0.0;
    };
    std::vector<std::vector<Point>> segments_;
};

} // namespace

std::string HeardLog::line(const HeardBuffer& buffer) {
    return fmt::format("{} {:.3f} {} {} {}\n", buffer.heardNs, buffer.mediaFrame, buffer.frames,
                       buffer.sampleRate, buffer.stream);
}

std::optional<std::vector<HeardBuffer>> HeardLog::read(const std::filesystem::path& file,
                                                       std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot open " + file.string();
        return std::nullopt;
    }
    std::vector<HeardBuffer> buffers;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (text.empty() || text.starts_with("#")) {
            continue;
        }
        std::istringstream fields(text);
        HeardBuffer buffer;
        std::string rest;
        if (!(fields >> buffer.heardNs >> buffer.mediaFrame >> buffer.frames >> buffer.sampleRate >>
              buffer.stream) ||
            (fields >> rest) || buffer.frames <= 0 || buffer.sampleRate <= 0) {
            error = fmt::format("{}:{}: not a heard buffer: {}", file.string(), number, text);
            return std::nullopt;
        }
        buffers.push_back(buffer);
    }
    return buffers;
}

std::vector<double> alignmentErrorsMs(const std::vector<HeardBuffer>& host,
                                      const std::vector<HeardBuffer>& speaker, int64_t fromNs) {
    const HeardTimeline timeline(host);
    std::vector<double> errors;
    for (const HeardBuffer& buffer : speaker) {
        if (buffer.heardNs < fromNs) {
            continue;
        }
        const auto heardNs = static_cast<double>(buffer.heardNs);
        if (const std::optional<double> hostNs = timeline.heardNs(buffer.mediaFrame, heardNs)) {
            errors.push_back((heardNs - *hostNs) / 1e6);
        }
    }
    return errors;
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

int breaksAfter(const std::vector<HeardBuffer>& log, int64_t fromNs) {
    int breaks = 0;
    for (size_t i = 1; i < log.size(); ++i) {
        breaks += log[i].heardNs >= fromNs && !continues(log[i - 1], log[i]) ? 1 : 0;
    }
    return breaks;
}

std::optional<int64_t> firstHeardNs(const std::vector<HeardBuffer>& log) {
    if (log.empty()) {
        return std::nullopt;
    }
    return log.front().heardNs;
}

} // namespace merriphonic
