#pragma once

#include "core/bytes.h"
#include "core/raw_frame.h"

#include <cstddef>
#include <vector>

namespace merriphonic {

// Cuts a received byte stream into frames. One per connection.
class FrameReassembler {
public:
    // Returns the frames these bytes complete, in arrival order. Throws ProtocolError
    // (invalidLength) on a header announcing 0 or more than SyncProtocol::maxFrameLength bytes;
    // the frames completed in the same call are dropped with it, and the reassembler is not
    // to be used further.
    std::vector<RawFrame> push(ByteView bytes);

    // Bytes received but not yet returned as a frame.
    std::size_t pendingByteCount() const { return buffer_.size() - start_; }
    // The storage and the index of its first unconsumed byte: consumed bytes are only dropped
    // once all are consumed or more than 64 KiB have piled up, so that a stream of small
    // frames doesn't shift the buffer on every frame.
    const Bytes& buffer() const { return buffer_; }
    std::size_t start() const { return start_; }

private:
    Bytes buffer_;
    std::size_t start_ = 0;
};

} // namespace merriphonic
