#include "speaker/frame_block_ring.h"

#include <algorithm>
#include <cstddef>

namespace merriphonic {

FrameBlockRing::FrameBlockRing(int blockCount, int blockFrames, int channels)
    : blockFrames_(std::max(blockFrames, 1)), channels_(std::max(channels, 1)) {
    const auto count = static_cast<size_t>(std::max(blockCount, 1));
    const size_t blockSamples = static_cast<size_t>(blockFrames_) * static_cast<size_t>(channels_);
    samples_.assign(count * blockSamples, 0.0F);
    blocks_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        blocks_[i].samples = samples_.data() + i * blockSamples;
    }
}

FrameBlockRing::Block* FrameBlockRing::writable() noexcept {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= blocks_.size()) {
        return nullptr;
    }
    return &blocks_[tail % blocks_.size()];
}

void FrameBlockRing::commit() noexcept {
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

const FrameBlockRing::Block* FrameBlockRing::readable() const noexcept {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return &blocks_[head % blocks_.size()];
}

void FrameBlockRing::pop() noexcept {
    head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

} // namespace merriphonic
