#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/run_loop.h"

namespace merriphonic::test {

// A main loop for tests with real threads: tasks posted from any thread run on the test's
// own thread, inside runUntil().
class TestMainLoop final : public RunLoop {
public:
    void post(Task task) override;
    TimerHandle after(int64_t delayNs, Task task) override;
    TimerHandle every(int64_t periodNs, Task task) override;
    [[nodiscard]] bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

    // Runs tasks and timers until done() holds (checked after each task, and every
    // millisecond) or timeoutNs passes.
    // Returns done().
    bool runUntil(const std::function<bool()>& done, int64_t timeoutNs);
    // Runs tasks and timers for this long.
    void runFor(int64_t ns);

private:
    struct Timer {
        int64_t dueNs;
        int64_t periodNs;
        Task task;
        TimerHandle handle;
    };

    std::thread::id owner_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    std::vector<Timer> timers_;
};

int64_t monotonicNs();

} // namespace merriphonic::test
