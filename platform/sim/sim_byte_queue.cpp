#include "platform/sim/sim_byte_queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace merriphonic {

void SimByteQueue::push(std::vector<uint8_t> chunk) {
    if (chunk.empty()) {
        return;
    }
    size_ += chunk.size();
    chunks_.push_back(std::move(chunk));
}

size_t SimByteQueue::frontRemaining() const {
    return chunks_.empty() ? 0 : chunks_.front().size() - offset_;
}

size_t SimByteQueue::read(uint8_t* out, size_t max, bool oneChunk) {
    size_t done = 0;
    while (done < max && !chunks_.empty()) {
        const std::vector<uint8_t>& front = chunks_.front();
        const size_t count = std::min(max - done, front.size() - offset_);
        std::memcpy(out + done, front.data() + offset_, count);
        done += count;
        consume(count);
        if (oneChunk) {
            break;
        }
    }
    return done;
}

std::vector<uint8_t> SimByteQueue::take(size_t max, bool oneChunk) {
    if (!chunks_.empty() && offset_ == 0 && chunks_.front().size() <= max &&
        (oneChunk || chunks_.front().size() == max || chunks_.size() == 1)) {
        std::vector<uint8_t> chunk = std::move(chunks_.front());
        chunks_.pop_front();
        size_ -= chunk.size();
        return chunk;
    }
    std::vector<uint8_t> bytes(std::min(max, oneChunk ? frontRemaining() : size_));
    bytes.resize(read(bytes.data(), bytes.size(), oneChunk));
    return bytes;
}

size_t SimByteQueue::clear() {
    const size_t dropped = size_;
    chunks_.clear();
    offset_ = 0;
    size_ = 0;
    return dropped;
}

void SimByteQueue::consume(size_t count) {
    offset_ += count;
    size_ -= count;
    if (offset_ == chunks_.front().size()) {
        chunks_.pop_front();
        offset_ = 0;
    }
}

} // namespace merriphonic
