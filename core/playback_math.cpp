#include "core/playback_math.h"

#include "core/message.h"
#include "core/time_units.h"
#include "core/wrapping.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace merriphonic {

namespace {

// Frame counts are not clock times: they must not wrap into negative frames.
int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

} // namespace

PlaySpec PlaySpec::from(const Play& play) {
    return {play.startAtHostNs, play.positionMs};
}

int64_t OutputTiming::delayNs() const {
    return PlaybackMath::saturating(delayMs * nsPerMs);
}

int64_t PlaybackMath::saturating(double x) {
    if (std::isnan(x)) {
        return 0;
    }
    if (x >= saturationBound) {
        return std::numeric_limits<int64_t>::max();
    }
    if (x <= -saturationBound) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(x);
}

double PlaybackMath::mediaPositionMs(int64_t atHostNs, const PlaySpec& play) {
    return static_cast<double>(wrappingSub(atHostNs, play.startAtHostNs)) / nsPerMs +
           static_cast<double>(play.positionMs);
}

int64_t PlaybackMath::localHandOffNs(double mediaMs, const PlaySpec& play,
                                     const OutputTiming& timing) {
    const int64_t relativeNs =
        saturating(std::round((mediaMs - static_cast<double>(play.positionMs)) * nsPerMs));
    const int64_t outputPath =
        wrappingAdd(wrappingAdd(timing.offsetNs, timing.outputLatencyNs), timing.delayNs());
    return wrappingSub(wrappingAdd(relativeNs, play.startAtHostNs), outputPath);
}

int64_t PlaybackMath::localHandOffNs(int64_t frame, double sampleRate, const PlaySpec& play,
                                     const OutputTiming& timing) {
    const double relativeNs = static_cast<double>(frame) / sampleRate * nsPerSecond -
                              static_cast<double>(play.positionMs) * nsPerMs;
    const int64_t outputPath =
        wrappingAdd(wrappingAdd(timing.offsetNs, timing.outputLatencyNs), timing.delayNs());
    return wrappingSub(wrappingAdd(saturating(std::round(relativeNs)), play.startAtHostNs),
                       outputPath);
}

double PlaybackMath::expectedMediaMs(int64_t atLocalHandOffNs, const PlaySpec& play,
                                     const OutputTiming& timing) {
    const int64_t hostNs =
        wrappingAdd(wrappingAdd(wrappingSub(atLocalHandOffNs, play.startAtHostNs),
                                wrappingAdd(timing.offsetNs, timing.outputLatencyNs)),
                    timing.delayNs());
    return static_cast<double>(hostNs) / nsPerMs + static_cast<double>(play.positionMs);
}

std::optional<StartPlan> PlaybackMath::startPlan(const PlaySpec& play, const OutputTiming& timing,
                                                 double sampleRate,
                                                 std::optional<int64_t> totalFrames,
                                                 int64_t nowLocalNs, int64_t minLeadNs) {
    if (!(sampleRate > 0.0) || std::isinf(sampleRate)) {
        return std::nullopt;
    }
    const int64_t frame0 = std::max<int64_t>(
        0, saturating(std::round(static_cast<double>(play.positionMs) / msPerSecond * sampleRate)));
    if (totalFrames && frame0 >= *totalFrames) {
        return std::nullopt;
    }
    const int64_t start0 = localHandOffNs(frame0, sampleRate, play, timing);
    const int64_t behind = wrappingSub(wrappingAdd(nowLocalNs, minLeadNs), start0);
    if (behind <= 0) {
        return StartPlan{frame0, start0, false};
    }
    // Skip whole frames until the hand-off is at least the lead ahead; the frames keep their
    // group times, so the late joiner is aligned with everyone else.
    const int64_t skip =
        saturating(std::ceil(static_cast<double>(behind) * sampleRate / nsPerSecond));
    const int64_t frame = saturatingAdd(frame0, skip);
    if (totalFrames && frame >= *totalFrames) {
        return std::nullopt;
    }
    return StartPlan{frame, localHandOffNs(frame, sampleRate, play, timing), true};
}

} // namespace merriphonic
