#pragma once

#include <cstdint>
#include <optional>

namespace merriphonic {

struct Play;

// Media position positionMs is to be heard at host time startAtHostNs.
struct PlaySpec {
    int64_t startAtHostNs = 0;
    int64_t positionMs = 0;

    // The timing of a PLAY message; its track key is not needed here.
    static PlaySpec from(const Play& play);

    bool operator==(const PlaySpec&) const = default;
};

// How this device's output relates to the host clock.
struct OutputTiming {
    int64_t offsetNs = 0; // host clock minus local clock
    double delayMs = 0.0; // the user's output-delay adjustment
    int64_t outputLatencyNs = 0;

    int64_t delayNs() const;

    bool operator==(const OutputTiming&) const = default;
};

// Which frame to hand to the output first, and at what local time.
struct StartPlan {
    int64_t startFrame = 0;
    int64_t localStartNs = 0;
    bool isLateJoin = false;
    bool operator==(const StartPlan&) const = default;
};

// Relates host time, media position, local time and audio frames. Int64 time sums wrap;
// every Double-to-Int64 conversion saturates.
struct PlaybackMath {
    // The largest double below 2^63: at or beyond it (either sign) the result saturates.
    static constexpr double saturationBound = 9'223'372'036'854'774'784.0;

    // NaN gives 0, out-of-range values the nearest bound, others truncate toward zero.
    static int64_t saturating(double x);

    // The media position heard at host time atHostNs.
    static double mediaPositionMs(int64_t atHostNs, const PlaySpec& play);

    // The local time at which a media position (or the frame at sampleRate) must be handed to
    // the output so that it is heard at its host time.
    static int64_t localHandOffNs(double mediaMs, const PlaySpec& play, const OutputTiming& timing);
    static int64_t localHandOffNs(int64_t frame, double sampleRate, const PlaySpec& play,
                                  const OutputTiming& timing);

    // The inverse of localHandOffNs for media positions: what should be handed off at a local
    // time.
    static double expectedMediaMs(int64_t atLocalHandOffNs, const PlaySpec& play,
                                  const OutputTiming& timing);

    // Where to start so that playback is aligned with the group. When the planned start is
    // less than minLeadNs ahead of nowLocalNs, joins late at the first frame whose hand-off
    // lies at or after nowLocalNs + minLeadNs. Nullopt for an unusable sample rate or a start
    // at or past the end of the track.
    static std::optional<StartPlan> startPlan(const PlaySpec& play, const OutputTiming& timing,
                                              double sampleRate, std::optional<int64_t> totalFrames,
                                              int64_t nowLocalNs, int64_t minLeadNs);
};

} // namespace merriphonic
