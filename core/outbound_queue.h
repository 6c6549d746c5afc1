#pragma once

#include "core/outbound_frame.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace merriphonic {

// The send queue of one connection: control frames always go first, then queued bulk frames,
// then bulk frames pulled from the caller's source one at a time, so that a whole track is
// never held in memory.
class OutboundQueue {
public:
    using PullBulk = std::function<std::optional<OutboundFrame>()>;

    // Bulk frames go to the bulk lane, all others to the control lane; FIFO within each.
    void enqueue(OutboundFrame frame);
    // The next frame to write. pullBulk is asked only when both lanes are empty, and what it
    // returns is handed out directly; an empty pullBulk counts as having nothing.
    std::optional<OutboundFrame> next(const PullBulk& pullBulk);
    // Drops the queued bulk frames; control frames stay.
    void removeAllBulk();

    std::size_t controlCount() const { return control_.size() - controlHead_; }
    std::size_t bulkCount() const { return bulk_.size() - bulkHead_; }
    bool isEmpty() const { return controlCount() == 0 && bulkCount() == 0; }

    // Frames before a head index have been handed out; they are dropped in one go once 256
    // have piled up, rather than shifting the lane on every frame.
    std::size_t controlHead() const { return controlHead_; }
    std::size_t bulkHead() const { return bulkHead_; }

private:
    static OutboundFrame take(std::vector<OutboundFrame>& lane, std::size_t& head);

    std::vector<OutboundFrame> control_;
    std::size_t controlHead_ = 0;
    std::vector<OutboundFrame> bulk_;
    std::size_t bulkHead_ = 0;
};

} // namespace merriphonic
