#pragma once

#include "core/bytes.h"
#include "core/message.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace merriphonic {

// One whole encoded frame waiting to be written, possibly with a slot for its send time.
struct OutboundFrame {
    Bytes bytes;
    // Where stamp() writes the send time (8 bytes, LE); nothing for frames without one.
    std::optional<std::size_t> stampOffset;
    bool isBulk = false;
    std::string label; // the message's wire name, for logs

    OutboundFrame() = default;
    OutboundFrame(Bytes bytes, std::optional<std::size_t> stampOffset, bool isBulk,
                  std::string label);
    // Never stamped, even for a PING or PONG message: those use ping() and pong(). Texts
    // longer than TextLimits allows are cut first.
    explicit OutboundFrame(const Message& message);

    // A PING whose t1 is written at the moment of sending.
    static OutboundFrame ping(uint32_t seq);
    // A PONG whose t3 is written at the moment of sending.
    static OutboundFrame pong(uint32_t seq, int64_t t1, int64_t t2);

    // Writes t into the stamp slot; does nothing without a slot or if it lies outside bytes.
    void stamp(int64_t t);

    bool operator==(const OutboundFrame&) const = default;
};

} // namespace merriphonic
