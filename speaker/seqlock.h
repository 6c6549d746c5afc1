#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace merriphonic {

// The latest value of a small struct, written by one thread and read by any number without
// locks: a reader retries while a write is under way and never sees a torn value. Neither side
// blocks or allocates, so either may be a real-time thread.
template <typename T>
class Seqlock {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr size_t wordCount = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);

public:
    explicit Seqlock(const T& initial = T{}) noexcept { store(initial); }

    // One writer at a time.
    void store(const T& value) noexcept {
        std::array<uint64_t, wordCount> words{};
        std::memcpy(words.data(), &value, sizeof(T));
        const uint64_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        // Release stores keep the odd sequence ahead of every word.
        for (size_t i = 0; i < wordCount; ++i) {
            words_[i].store(words[i], std::memory_order_release);
        }
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    // Waits out a write in progress. Not for a real-time reader of a lower-priority writer:
    // a writer preempted mid-write would keep it spinning.
    [[nodiscard]] T load() const noexcept {
        T value;
        while (!tryLoad(value)) {
        }
        return value;
    }

    // One attempt: false, leaving value alone, when a write was in progress.
    bool tryLoad(T& value) const noexcept {
        std::array<uint64_t, wordCount> words{};
        const uint64_t before = sequence_.load(std::memory_order_acquire);
        if ((before & 1U) != 0) {
            return false;
        }
        for (size_t i = 0; i < wordCount; ++i) {
            words[i] = words_[i].load(std::memory_order_acquire);
        }
        if (sequence_.load(std::memory_order_relaxed) != before) {
            return false;
        }
        std::memcpy(static_cast<void*>(&value), words.data(), sizeof(T));
        return true;
    }

private:
    std::atomic<uint64_t> sequence_{0};
    std::array<std::atomic<uint64_t>, wordCount> words_{};
};

} // namespace merriphonic
