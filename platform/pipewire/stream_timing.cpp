#include "platform/pipewire/stream_timing.h"

#include "core/time_units.h"

namespace merriphonic {

RenderInfo StreamTiming::next(const StreamClockSnapshot& snapshot, int64_t fallbackNowNs,
                              uint32_t& changes) {
    const int64_t cycleNs = snapshot.nowNs != 0 ? snapshot.nowNs : fallbackNowNs;
    const auto aheadFrames = static_cast<int64_t>(snapshot.queuedFrames + snapshot.bufferedFrames);
    const int64_t handOffNs = cycleNs + aheadFrames * nsPerSecond / sampleRate_;
    if (snapshot.rateNum == 0 || snapshot.rateDenom == 0) {
        return RenderInfo{handOffNs, latencyNs_};
    }
    const auto delayNs = static_cast<int64_t>(static_cast<__int128>(snapshot.delayTicks) *
                                              snapshot.rateNum * nsPerSecond / snapshot.rateDenom);
    if (!known_) {
        known_ = true;
        latencyNs_ = delayNs;
        changes |= firstTiming;
    } else {
        const int64_t moved = delayNs - latencyNs_;
        if (moved > toleranceNs_ || moved < -toleranceNs_) {
            latencyNs_ = delayNs;
            changes |= latencyChanged;
        }
        if (snapshot.rateDenom != rateDenom_ || snapshot.rateNum != rateNum_) {
            changes |= rateChanged;
        }
    }
    rateNum_ = snapshot.rateNum;
    rateDenom_ = snapshot.rateDenom;
    return RenderInfo{handOffNs + (delayNs - latencyNs_), latencyNs_};
}

} // namespace merriphonic
