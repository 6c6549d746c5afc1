#pragma once

#include <optional>

#include "core/outbound_frame.h"

namespace merriphonic {

// Where a connection pulls bulk frames (track chunks) from, one at a time and only when its
// output has room, so that a whole track is never queued in memory. Held weakly by the
// connection and called on the stream loop only; an implementation shared with the main loop
// changes its state through Connection::onStreamThread.
class BulkSource {
public:
    virtual ~BulkSource() = default;

    // The next frame to send, or nothing when there is nothing to offer right now.
    virtual std::optional<OutboundFrame> nextBulkFrame() = 0;
};

} // namespace merriphonic
