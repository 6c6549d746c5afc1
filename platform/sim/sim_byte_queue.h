#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace merriphonic {

// Bytes held as chunks (one write, one segment or one message each), consumed from the front.
class SimByteQueue {
public:
    void push(std::vector<uint8_t> chunk);
    [[nodiscard]] size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }
    [[nodiscard]] size_t frontRemaining() const;

    // Copies up to max bytes to out; with oneChunk, only from the front chunk.
    size_t read(uint8_t* out, size_t max, bool oneChunk);

    // Takes up to max bytes as one chunk; with oneChunk, only from the front chunk.
    std::vector<uint8_t> take(size_t max, bool oneChunk);

    // Empties the queue, returning how many bytes it held.
    size_t clear();

private:
    void consume(size_t count);

    std::deque<std::vector<uint8_t>> chunks_;
    size_t offset_ = 0;
    size_t size_ = 0;
};

} // namespace merriphonic
