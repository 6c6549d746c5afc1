#include "host/transfer_scheduler.h"

#include <algorithm>
#include <utility>

#include "core/message.h"

namespace merriphonic {

TransferScheduler::TransferScheduler(DeviceContext& context)
    : main_(context.main), log_(context.log) {}

void TransferScheduler::start(const TrackKey& key, const std::filesystem::path& url, int64_t size,
                              int64_t offset, bool urgent) {
    std::erase_if(pumps_, [&](const auto& pump) { return pump->key() == key; });
    auto pump = std::make_unique<ChunkPump>(log_, key, url, size, offset);
    const ChunkPump& started = *pump;
    if (urgent) {
        pumps_.push_front(std::move(pump));
    } else {
        pumps_.push_back(std::move(pump));
    }
    log_.info(LogCategory::transfer, "send {} from {}/{}{}", key.hex(), started.offset(),
              started.size(), urgent ? " (current)" : " (prefetch)");
    report(started, false);
}

void TransferScheduler::cancel(const std::function<bool(const TrackKey&)>& matches) {
    std::erase_if(pumps_, [&](const auto& pump) { return matches(pump->key()); });
}

std::optional<OutboundFrame> TransferScheduler::nextBulkFrame() {
    while (!pumps_.empty()) {
        ChunkPump& pump = *pumps_.front();
        if (std::optional<OutboundFrame> frame = pump.nextChunk()) {
            if (++chunksSinceReport_ >= chunksPerReport) {
                chunksSinceReport_ = 0;
                report(pump, false);
            }
            return frame;
        }
        const std::unique_ptr<ChunkPump> finished = std::move(pumps_.front());
        pumps_.pop_front();
        report(*finished, true);
        if (!finished->failed()) {
            log_.info(LogCategory::transfer, "done {} ({} B)", finished->key().hex(),
                      finished->size());
            return OutboundFrame(Message(TrackDone{finished->key()}));
        }
    }
    return std::nullopt;
}

void TransferScheduler::report(const ChunkPump& pump, bool finished) {
    main_.post([weak = weak_from_this(), key = pump.key().hex(), sent = pump.offset(),
                size = pump.size(), finished] {
        const std::shared_ptr<TransferScheduler> self = weak.lock();
        if (self && self->onProgress) {
            self->onProgress(key, sent, size, finished);
        }
    });
}

} // namespace merriphonic
