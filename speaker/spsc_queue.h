#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

namespace merriphonic {

// A bounded queue between exactly one producer thread and one consumer thread, without locks
// or allocation: safe on a real-time thread at either end.
template <typename T, size_t Capacity>
class SpscQueue {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(Capacity > 0 && (Capacity & (Capacity - 1)) == 0, "a power of two");

public:
    // Producer side. False, dropping the value, when the queue is full.
    bool push(const T& value) noexcept {
        const uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) >= Capacity) {
            return false;
        }
        slots_[tail & (Capacity - 1)] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer side.
    std::optional<T> pop() noexcept {
        const uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        T value = slots_[head & (Capacity - 1)];
        head_.store(head + 1, std::memory_order_release);
        return value;
    }

private:
    std::array<T, Capacity> slots_{};
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
};

} // namespace merriphonic
