#include "platform/qt/thread_pool_background_work.h"

#include <algorithm>

#include "platform/qt/thread_name.h"

namespace merriphonic {

namespace {

constexpr size_t minDefaultWorkers = 4;
constexpr std::string_view idleName = "app.merriphonic.background";

thread_local std::string runningLabel;

} // namespace

ThreadPoolBackgroundWork::ThreadPoolBackgroundWork(RunLoop& main, size_t workers)
    : BackgroundWork(main) {
    if (workers == 0) {
        workers = std::max<size_t>(minDefaultWorkers, std::thread::hardware_concurrency());
    }
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

ThreadPoolBackgroundWork::~ThreadPoolBackgroundWork() {
    std::deque<std::pair<std::string, Task>> dropped;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(queue_);
    }
    wake_.notify_all();
    for (auto& worker : workers_) {
        worker.join();
    }
}

void ThreadPoolBackgroundWork::execute(std::string label, Task task) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        queue_.emplace_back(std::move(label), std::move(task));
    }
    wake_.notify_one();
}

std::string_view ThreadPoolBackgroundWork::currentLabel() {
    return runningLabel;
}

void ThreadPoolBackgroundWork::work() {
    setCurrentThreadName(idleName);
    while (true) {
        std::pair<std::string, Task> item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        runningLabel = item.first;
        setCurrentThreadName(runningLabel);
        item.second();
        // The task's captures are released before the worker looks idle again.
        item = {};
        runningLabel.clear();
        setCurrentThreadName(idleName);
    }
}

} // namespace merriphonic
