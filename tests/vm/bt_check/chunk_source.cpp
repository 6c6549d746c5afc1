#include "tests/vm/bt_check/chunk_source.h"

#include <algorithm>

#include "core/message.h"

namespace merriphonic {

ChunkSource::ChunkSource(const PatternTrack& track, const Clock& clock, size_t chunkSize)
    : track_(track), clock_(clock), chunkSize_(std::max<size_t>(chunkSize, 1)) {}

std::optional<OutboundFrame> ChunkSource::nextBulkFrame() {
    if (done_) {
        return std::nullopt;
    }
    const int64_t now = clock_.nowNs();
    if (firstPullNs_.load() == 0) {
        firstPullNs_.store(now);
    }
    const size_t size = track_.data.size();
    if (offset_ < size) {
        const size_t count = std::min(chunkSize_, size - offset_);
        TrackChunk chunk;
        chunk.key = track_.key;
        chunk.offset = static_cast<uint32_t>(offset_);
        const auto begin = track_.data.begin() + static_cast<std::ptrdiff_t>(offset_);
        chunk.data.assign(begin, begin + static_cast<std::ptrdiff_t>(count));
        offset_ += count;
        return OutboundFrame(Message(std::move(chunk)));
    }
    done_ = true;
    donePullNs_.store(now);
    return OutboundFrame(Message(TrackDone{track_.key}));
}

} // namespace merriphonic
