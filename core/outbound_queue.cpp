#include "core/outbound_queue.h"

#include <utility>

namespace merriphonic {

namespace {
constexpr std::size_t compactionIndex = 256;
} // namespace

void OutboundQueue::enqueue(OutboundFrame frame) {
    (frame.isBulk ? bulk_ : control_).push_back(std::move(frame));
}

OutboundFrame OutboundQueue::take(std::vector<OutboundFrame>& lane, std::size_t& head) {
    const std::size_t index = head++;
    OutboundFrame frame = std::move(lane[index]);
    if (index >= compactionIndex) {
        lane.erase(lane.begin(), lane.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    return frame;
}

std::optional<OutboundFrame> OutboundQueue::next(const PullBulk& pullBulk) {
    if (controlHead_ < control_.size()) {
        return take(control_, controlHead_);
    }
    if (bulkHead_ < bulk_.size()) {
        return take(bulk_, bulkHead_);
    }
    if (!pullBulk) {
        return std::nullopt;
    }
    return pullBulk();
}

void OutboundQueue::removeAllBulk() {
    bulk_.clear();
    bulkHead_ = 0;
}

} // namespace merriphonic
