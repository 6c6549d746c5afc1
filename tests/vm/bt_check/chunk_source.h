#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/clock.h"
#include "tests/vm/bt_check/pattern_track.h"
#include "transport/bulk_source.h"

namespace merriphonic {

// Hands a connection the whole track as TRACK_CHUNK frames, in order, then one TRACK_DONE,
// and notes when the first and the last frame were taken. Pulled on the stream loop; the
// times may be read from any thread.
class ChunkSource final : public BulkSource {
public:
    // The track and the clock outlive the source.
    ChunkSource(const PatternTrack& track, const Clock& clock, size_t chunkSize);

    std::optional<OutboundFrame> nextBulkFrame() override;

    // 0 until the first frame has been taken.
    [[nodiscard]] int64_t firstPullNs() const { return firstPullNs_.load(); }
    // 0 until TRACK_DONE has been taken.
    [[nodiscard]] int64_t donePullNs() const { return donePullNs_.load(); }

private:
    const PatternTrack& track_;
    const Clock& clock_;
    size_t chunkSize_;
    size_t offset_ = 0;
    bool done_ = false;
    std::atomic<int64_t> firstPullNs_{0};
    std::atomic<int64_t> donePullNs_{0};
};

} // namespace merriphonic
