#include "core/frame_reassembler.h"

#include "core/le.h"
#include "core/protocol_error.h"
#include "core/sync_protocol.h"

namespace merriphonic {

namespace {
constexpr std::size_t lengthFieldSize = 4;
constexpr std::size_t compactionThreshold = 65'536;
} // namespace

std::vector<RawFrame> FrameReassembler::push(ByteView bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());

    std::vector<RawFrame> frames;
    while (buffer_.size() - start_ >= lengthFieldSize) {
        const std::size_t available = buffer_.size() - start_;
        const uint32_t length = LE::u32(buffer_, start_);
        if (length == 0 || length > SyncProtocol::maxFrameLength) {
            throw ProtocolError::invalidLength(length);
        }
        if (available < lengthFieldSize + length) {
            break;
        }
        const auto payloadBegin = buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + 5);
        const auto payloadEnd = payloadBegin + static_cast<std::ptrdiff_t>(length - 1);
        frames.push_back(RawFrame{buffer_[start_ + 4], Bytes(payloadBegin, payloadEnd)});
        start_ += lengthFieldSize + length;
    }

    if (start_ >= 1 && (start_ > compactionThreshold || start_ == buffer_.size())) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    return frames;
}

} // namespace merriphonic
