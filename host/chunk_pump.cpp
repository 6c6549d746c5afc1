#include "host/chunk_pump.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "core/message.h"
#include "core/sync_protocol.h"
#include "platform/files.h"

namespace merriphonic {

ChunkPump::ChunkPump(const Log& log, TrackKey key, std::filesystem::path url, int64_t size,
                     int64_t offset)
    : log_(log), key_(key), url_(std::move(url)), size_(std::max<int64_t>(size, 0)),
      offset_(std::clamp<int64_t>(offset, 0, size_)) {}

ChunkPump::~ChunkPump() {
    close();
}

void ChunkPump::close() {
    (void)fd_.close(); // nothing was written, so an error here loses nothing
}

std::optional<OutboundFrame> ChunkPump::nextChunk() {
    if (failed_ || offset_ >= size_) {
        close();
        return std::nullopt;
    }
    if (!fd_) {
        fd_ = UniqueFd(::open(url_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd_) {
            return fail("open", errno);
        }
    }
    const auto want =
        static_cast<size_t>(std::min<int64_t>(size_ - offset_, SyncProtocol::chunkDataSize));
    Bytes data(want);
    ssize_t got = -1;
    do {
        // A positioned read: the seek happens on every call, so a file whose content moved
        // under the pump is still read from the right place.
        got = ::pread(fd_.get(), data.data(), want, static_cast<off_t>(offset_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return fail("read", errno);
    }
    if (got == 0) {
        log_.error(LogCategory::transfer, "pump {}: short read at {}", key_.hex(), offset_);
        failed_ = true;
        close();
        return std::nullopt;
    }
    data.resize(static_cast<size_t>(got));
    // The offset travels as its low 32 bits.
    TrackChunk chunk{key_, static_cast<uint32_t>(offset_), std::move(data)};
    offset_ += got;
    return OutboundFrame(Message(std::move(chunk)));
}

std::optional<OutboundFrame> ChunkPump::fail(const char* what, int code) {
    log_.error(LogCategory::transfer, "pump {}: {} {}: {}", key_.hex(), what, url_.string(),
               errnoText(code));
    failed_ = true;
    close();
    return std::nullopt;
}

} // namespace merriphonic
