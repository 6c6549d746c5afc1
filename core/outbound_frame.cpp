#include "core/outbound_frame.h"

#include "core/frame_codec.h"
#include "core/le.h"
#include "core/text_limits.h"

#include <utility>

namespace merriphonic {

OutboundFrame::OutboundFrame(Bytes bytes, std::optional<std::size_t> stampOffset, bool isBulk,
                             std::string label)
    : bytes(std::move(bytes)), stampOffset(stampOffset), isBulk(isBulk), label(std::move(label)) {}

namespace {

Bytes encodeWithinLimits(const Message& message) {
    if (message.isBulk()) {
        return FrameCodec::encode(message); // no texts, and a copy of the data would cost
    }
    Message bounded = message;
    TextLimits::apply(bounded);
    return FrameCodec::encode(bounded);
}

} // namespace

OutboundFrame::OutboundFrame(const Message& message)
    : bytes(encodeWithinLimits(message)), isBulk(message.isBulk()), label(message.name()) {}

OutboundFrame OutboundFrame::ping(uint32_t seq) {
    return {FrameCodec::encode(Ping{seq, 0}), FrameCodec::pingT1Offset, false, "PING"};
}

OutboundFrame OutboundFrame::pong(uint32_t seq, int64_t t1, int64_t t2) {
    return {FrameCodec::encode(Pong{seq, t1, t2, 0}), FrameCodec::pongT3Offset, false, "PONG"};
}

void OutboundFrame::stamp(int64_t t) {
    if (!stampOffset || *stampOffset > bytes.size() || bytes.size() - *stampOffset < 8) {
        return;
    }
    LE::write(t, bytes, *stampOffset);
}

} // namespace merriphonic
