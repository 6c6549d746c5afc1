#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace merriphonic {

using Task = std::function<void()>;

// A cancellable reference to a scheduled timer. Copies share the same timer; cancelling any
// copy cancels it. Cancelling on the loop that runs the timer guarantees it never fires
// again; from another thread it stops every firing that has not yet begun.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}

    void cancel() {
        if (cancelled_) {
            cancelled_->store(true, std::memory_order_release);
        }
    }
    // True for an empty handle and for a cancelled one.
    [[nodiscard]] bool isCancelled() const {
        return !cancelled_ || cancelled_->load(std::memory_order_acquire);
    }
    [[nodiscard]] bool isActive() const { return !isCancelled(); }

    // The flag the loop consults before each firing.
    [[nodiscard]] const std::shared_ptr<std::atomic<bool>>& flag() const { return cancelled_; }

    static TimerHandle make() { return TimerHandle(std::make_shared<std::atomic<bool>>(false)); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// One thread of execution with a FIFO of tasks and timers: the main loop or the stream loop of
// a device. Tasks posted from one thread run in the order posted.
class RunLoop {
public:
    virtual ~RunLoop() = default;

    // Queues a task to run on this loop.
    virtual void post(Task task) = 0;
    // Runs a task once, delayNs from now (clamped to 0).
    virtual TimerHandle after(int64_t delayNs, Task task) = 0;
    // Runs a task every periodNs (first run one period from now) until cancelled.
    virtual TimerHandle every(int64_t periodNs, Task task) = 0;
    // Whether the calling code is running on this loop.
    [[nodiscard]] virtual bool isCurrent() const = 0;

    // Runs the task inline when already on this loop, else posts it.
    void runOrPost(Task task) {
        if (isCurrent()) {
            task();
        } else {
            post(std::move(task));
        }
    }
};

// Cancels its timer when it goes out of scope or is given a new one; for timer fields of
// objects that must not outlive their timers.
class ScopedTimer {
public:
    ScopedTimer() = default;
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;
    ScopedTimer(ScopedTimer&& other) noexcept : handle_(std::move(other.handle_)) {
        other.handle_ = {};
    }
    ScopedTimer& operator=(ScopedTimer&& other) noexcept {
        if (this != &other) {
            handle_.cancel();
            handle_ = std::move(other.handle_);
            other.handle_ = {};
        }
        return *this;
    }
    ~ScopedTimer() { handle_.cancel(); }

    ScopedTimer& operator=(TimerHandle handle) {
        handle_.cancel();
        handle_ = std::move(handle);
        return *this;
    }
    void cancel() {
        handle_.cancel();
        handle_ = {};
    }
    [[nodiscard]] bool isActive() const { return handle_.isActive(); }

private:
    TimerHandle handle_;
};

} // namespace merriphonic
