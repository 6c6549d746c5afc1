#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/outbound_frame.h"
#include "core/track_key.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

namespace merriphonic {

// Reads one track's wire file, 4096 bytes at a time, into TRACK_CHUNK frames for one speaker.
// The file is opened on the first read and stays open until the pump finishes, fails, is
// closed or is destroyed. Stream loop only.
class ChunkPump {
public:
    // The offset is clamped to 0…size.
    ChunkPump(const Log& log, TrackKey key, std::filesystem::path url, int64_t size,
              int64_t offset);
    ~ChunkPump();
    ChunkPump(const ChunkPump&) = delete;
    ChunkPump& operator=(const ChunkPump&) = delete;

    // The next chunk from offset(), or nothing once the track is complete or reading failed
    // (then the file is closed and failed() tells which).
    std::optional<OutboundFrame> nextChunk();
    // Closes the file if it is open; the pump may still be asked again and reopens it.
    void close();

    [[nodiscard]] const TrackKey& key() const { return key_; }
    [[nodiscard]] const std::filesystem::path& url() const { return url_; }
    [[nodiscard]] int64_t size() const { return size_; }
    // The next byte to read: everything before it has been turned into frames.
    [[nodiscard]] int64_t offset() const { return offset_; }
    [[nodiscard]] bool failed() const { return failed_; }
    [[nodiscard]] bool isOpen() const { return static_cast<bool>(fd_); }

private:
    std::optional<OutboundFrame> fail(const char* what, int code);

    const Log& log_;
    const TrackKey key_;
    const std::filesystem::path url_;
    const int64_t size_;
    int64_t offset_;
    UniqueFd fd_;
    bool failed_ = false;
};

} // namespace merriphonic
