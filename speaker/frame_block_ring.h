#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace merriphonic {

// Decoded audio on its way from the decoding thread to the render thread: a ring of blocks of
// interleaved float frames, one producer and one consumer, without locks. Each block says which
// schedule it belongs to and where in that schedule's segment it starts, so the consumer can
// drop what a newer schedule has made stale and skip what it no longer needs. All memory is
// allocated up front.
class FrameBlockRing {
public:
    struct Block {
        uint64_t generation = 0; // the schedule the frames belong to
        int64_t firstFrame = 0;  // index of the first frame within that schedule's segment
        int frames = 0;          // frames held, up to blockFrames()
        float* samples = nullptr;
    };

    FrameBlockRing(int blockCount, int blockFrames, int channels);

    [[nodiscard]] int blockCount() const { return static_cast<int>(blocks_.size()); }
    [[nodiscard]] int blockFrames() const { return blockFrames_; }
    [[nodiscard]] int channels() const { return channels_; }

    // Producer: the block to fill next, or null when the ring is full. commit() hands it over.
    [[nodiscard]] Block* writable() noexcept;
    void commit() noexcept;

    // Consumer: the oldest block, or null when the ring is empty. pop() frees it.
    [[nodiscard]] const Block* readable() const noexcept;
    void pop() noexcept;

private:
    int blockFrames_;
    int channels_;
    std::vector<float> samples_;
    std::vector<Block> blocks_;
    alignas(64) std::atomic<uint64_t> head_{0}; // next block to read
    alignas(64) std::atomic<uint64_t> tail_{0}; // next block to write
};

} // namespace merriphonic
