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

} // namespace

std::string HeardLog::line(const HeardBuffer& buffer) {
    return fmt::format("{} {:.3f} {} {} {}\n", buffer.heardNs, buffer.mediaFrame, buffer.frames,
                       buffer.sampleRate, buffer.stream);
}

Result<std::vector<HeardBuffer>, std::string> HeardLog::read(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        return "cannot open " + file.string();
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
            return fmt::format("{}:{}: not a heard buffer: {}", file.string(), number, text);
        }
        buffers.push_back(buffer);
    }
    return buffers;
}

std::vector<double> alignmentErrorsMs(const std::vector<HeardBuffer>& host,
                                      const std::vector<HeardBuffer>& speaker, int64_t fromNs) {
    HeardTimeline timeline;
    const HeardBuffer* previous = nullptr;
    for (const HeardBuffer& buffer : host) {
        timeline.add(buffer.mediaFrame, static_cast<double>(buffer.heardNs),
                     previous != nullptr && continues(*previous, buffer));
        previous = &buffer;
    }
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
