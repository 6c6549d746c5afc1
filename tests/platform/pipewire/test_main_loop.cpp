#include "tests/platform/pipewire/test_main_loop.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace merriphonic::test {

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000 + ts.tv_nsec;
}

void TestMainLoop::post(Task task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

TimerHandle TestMainLoop::after(int64_t delayNs, Task task) {
    TimerHandle handle = TimerHandle::make();
    {
        const std::lock_guard lock(mutex_);
        timers_.push_back(
            {monotonicNs() + std::max<int64_t>(delayNs, 0), 0, std::move(task), handle});
    }
    wake_.notify_all();
    return handle;
}

TimerHandle TestMainLoop::every(int64_t periodNs, Task task) {
    TimerHandle handle = TimerHandle::make();
    const int64_t period = std::max<int64_t>(periodNs, 1);
    {
        const std::lock_guard lock(mutex_);
        timers_.push_back({monotonicNs() + period, period, std::move(task), handle});
    }
    wake_.notify_all();
    return handle;
}

bool TestMainLoop::runUntil(const std::function<bool()>& done, int64_t timeoutNs) {
    const int64_t deadline = monotonicNs() + timeoutNs;
    while (!done()) {
        const int64_t now = monotonicNs();
        if (now >= deadline) {
            return false;
        }
        Task next;
        {
            std::unique_lock lock(mutex_);
            std::erase_if(timers_, [](const Timer& t) { return t.handle.isCancelled(); });
            auto due =
                std::min_element(timers_.begin(), timers_.end(),
                                 [](const Timer& a, const Timer& b) { return a.dueNs < b.dueNs; });
            if (!tasks_.empty()) {
                next = std::move(tasks_.front());
                tasks_.pop_front();
            } else if (due != timers_.end() && due->dueNs <= now) {
                next = due->task;
                if (due->periodNs > 0) {
                    due->dueNs += due->periodNs;
                } else {
                    timers_.erase(due);
                }
            } else {
                // done() may watch state that other threads change without posting, so it is
                // polled as well.
                constexpr int64_t pollNs = 1'000'000;
                int64_t until = std::min(deadline, now + pollNs);
                if (due != timers_.end()) {
                    until = std::min(until, due->dueNs);
                }
                wake_.wait_for(lock, std::chrono::nanoseconds(until - now));
                continue;
            }
        }
        next();
    }
    return true;
}

void TestMainLoop::runFor(int64_t ns) {
    runUntil([] { return false; }, ns);
}

} // namespace merriphonic::test
