#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/background_work.h"

namespace merriphonic {

// A small pool of worker threads. Tasks run in the order given as workers come free; each runs
// under its label (the thread's name while it runs). Results reach the main loop through
// BackgroundWork::run.
class ThreadPoolBackgroundWork final : public BackgroundWork {
public:
    // workers 0: max(4, hardware threads), so long conversions cannot hold up short tasks
    // such as hashing a file.
    explicit ThreadPoolBackgroundWork(RunLoop& main, size_t workers = 0);
    // Waits for the tasks already running; tasks not yet started are dropped.
    ~ThreadPoolBackgroundWork() override;
    ThreadPoolBackgroundWork(const ThreadPoolBackgroundWork&) = delete;
    ThreadPoolBackgroundWork& operator=(const ThreadPoolBackgroundWork&) = delete;

    void execute(std::string label, Task task) override;

    [[nodiscard]] size_t workerCount() const { return workers_.size(); }
    // The label of the task running on the calling thread; empty outside pool tasks.
    static std::string_view currentLabel();

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::string, Task>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace merriphonic
