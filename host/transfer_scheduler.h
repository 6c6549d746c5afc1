#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/outbound_frame.h"
#include "core/track_key.h"
#include "host/chunk_pump.h"
#include "platform/device_context.h"
#include "transport/bulk_source.h"

namespace merriphonic {

// Sends track files to one speaker: the bulk source of that speaker's connection. Keeps one
// pump per requested track and always feeds from the first; the host's current track goes to
// the front, a prefetch to the back, so a prefetch waits, file and offset kept, while the
// current track is sent.
//
// Made and given onProgress on the main loop; everything else runs on the connection's stream
// loop (the host reaches it through Connection::onStreamThread). Progress reports are posted
// back to the main loop.
class TransferScheduler final : public BulkSource,
                                public std::enable_shared_from_this<TransferScheduler> {
public:
    // Key text, bytes turned into frames so far, size, and whether the transfer has ended.
    using ProgressHandler =
        std::function<void(const std::string& key, int64_t sent, int64_t size, bool finished)>;

    // Every 16th chunk (64 KiB) is reported, besides the start and the end.
    static constexpr int chunksPerReport = 16;

    explicit TransferScheduler(DeviceContext& context);
    TransferScheduler(const TransferScheduler&) = delete;
    TransferScheduler& operator=(const TransferScheduler&) = delete;
    ~TransferScheduler() override = default;

    ProgressHandler onProgress;

    // Begins sending a track from offset (clamped to 0…size), replacing a pump of the same key.
    void start(const TrackKey& key, const std::filesystem::path& url, int64_t size, int64_t offset,
               bool urgent);
    // Drops every pump whose key matches, without a report or a TRACK_DONE.
    void cancel(const std::function<bool(const TrackKey&)>& matches);
    // The next TRACK_CHUNK of the first pump, or its TRACK_DONE once it is complete.
    std::optional<OutboundFrame> nextBulkFrame() override;

    // Stream loop only.
    [[nodiscard]] size_t pumpCount() const { return pumps_.size(); }

private:
    void report(const ChunkPump& pump, bool finished);

    RunLoop& main_;
    const Log& log_;
    std::deque<std::unique_ptr<ChunkPump>> pumps_;
    int chunksSinceReport_ = 0;
};

} // namespace merriphonic
