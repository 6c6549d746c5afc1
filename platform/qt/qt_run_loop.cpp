#include "platform/qt/qt_run_loop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <QTimerEvent>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "core/host_clock.h"
#include "core/time_units.h"

namespace merriphonic {

namespace {

constexpr size_t minSweepSize = 64;

QEvent::Type wakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// Qt timers count whole milliseconds; rounding up keeps a timer from firing before its time.
int toTimerMs(int64_t ns) {
    if (ns <= 0) {
        return 0;
    }
    const int64_t ms = (ns + nsPerMs - 1) / nsPerMs;
    return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

struct TimerEntry {
    TimerHandle handle;
    Task task;
    bool repeating = false;
    int64_t periodNs = 0;
};

} // namespace

// Lives on the loop's thread: receives the wake-up events that drain the task queue and the
// timer events. The queue is guarded by a std::mutex rather than carried inside Qt events so
// that every hand-over between threads is visible to ThreadSanitizer.
class QtRunLoopContext final : public QObject {
public:
    void bindToCurrentThread() {
        threadId_.store(QThread::currentThreadId(), std::memory_order_relaxed);
    }
    [[nodiscard]] bool isCurrent() const {
        return threadId_.load(std::memory_order_relaxed) == QThread::currentThreadId();
    }

    // The wake-up is posted under the lock as well: Qt's own event list is guarded by a lock
    // the sanitizer cannot see, so ordering the posts by this one keeps its view complete.
    void enqueue(Task task) {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
        if (!wakePending_) {
            wakePending_ = true;
            QCoreApplication::postEvent(this, new QEvent(wakeEventType()));
        }
    }

    void addTimer(const std::shared_ptr<TimerEntry>& entry, int64_t deadlineNs) {
        if (entry->handle.isCancelled()) {
            return;
        }
        // A repeating timer keeps its period from here on; a one-shot keeps its deadline even
        // when it was asked for from another thread a moment ago.
        const int64_t intervalNs =
            entry->repeating ? entry->periodNs : deadlineNs - HostClock::nowNs();
        const int id =
            startTimer(std::chrono::milliseconds(toTimerMs(intervalNs)), Qt::PreciseTimer);
        if (id == 0) {
            return;
        }
        timers_.emplace(id, entry);
        if (timers_.size() >= sweepAt_) {
            sweep();
        }
    }

    [[nodiscard]] size_t timerCount() const { return timers_.size(); }

protected:
    void customEvent(QEvent* /*event*/) override { drain(); }

    void timerEvent(QTimerEvent* event) override {
        const int id = event->timerId();
        auto it = timers_.find(id);
        if (it == timers_.end()) {
            return;
        }
        const std::shared_ptr<TimerEntry> entry = it->second;
        if (entry->handle.isCancelled() || !entry->repeating) {
            removeTimer(id);
        }
        if (entry->handle.isCancelled()) {
            return;
        }
        entry->task();
        // The task may have cancelled its own timer, and a sweep may already have released it
        // and handed its id to a new timer: only release the id if it is still this one's.
        if (entry->repeating && entry->handle.isCancelled()) {
            const auto again = timers_.find(id);
            if (again != timers_.end() && again->second == entry) {
                removeTimer(id);
            }
        }
    }

private:
    // Runs the tasks queued when the drain starts. Tasks posted meanwhile wait for the next
    // wake-up, so a task that re-posts itself cannot starve timers and sockets; clearing the
    // pending flag first lets a nested event loop inside a task keep draining in order.
    void drain() {
        size_t budget = 0;
        {
            const std::lock_guard lock(mutex_);
            wakePending_ = false;
            budget = queue_.size();
        }
        for (; budget > 0; --budget) {
            Task task;
            {
                const std::lock_guard lock(mutex_);
                if (queue_.empty()) {
                    return;
                }
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();
        }
    }

    void removeTimer(int id) {
        if (timers_.erase(id) > 0) {
            killTimer(id);
        }
    }

    // Cancelled timers are only seen when they fire; a sweep now and then releases those with
    // distant deadlines, so many cancelled one-shots do not pile up.
    void sweep() {
        for (auto it = timers_.begin(); it != timers_.end();) {
            if (it->second->handle.isCancelled()) {
                killTimer(it->first);
                it = timers_.erase(it);
            } else {
                ++it;
            }
        }
        sweepAt_ = std::max(minSweepSize, timers_.size() * 2);
    }

    std::atomic<Qt::HANDLE> threadId_{nullptr};
    std::mutex mutex_;
    std::deque<Task> queue_;
    bool wakePending_ = false;
    std::unordered_map<int, std::shared_ptr<TimerEntry>> timers_;
    size_t sweepAt_ = minSweepSize;
};

QtRunLoop::QtRunLoop() : thread_(QThread::currentThread()), context_(new QtRunLoopContext) {
    context_->bindToCurrentThread();
}

QtRunLoop::QtRunLoop(QThread& thread) : thread_(&thread), context_(new QtRunLoopContext) {
    if (&thread == QThread::currentThread()) {
        context_->bindToCurrentThread();
        return;
    }
    context_->moveToThread(&thread);
    // The first task of the loop: nothing runs on the thread through this loop before it.
    QtRunLoopContext* context = context_;
    context_->enqueue([context] { context->bindToCurrentThread(); });
}

QtRunLoop::~QtRunLoop() {
    if (isCurrent() || !thread_->isRunning()) {
        delete context_;
    } else {
        context_->deleteLater();
    }
}

void QtRunLoop::post(Task task) {
    context_->enqueue(std::move(task));
}

TimerHandle QtRunLoop::after(int64_t delayNs, Task task) {
    return schedule(delayNs, std::move(task), false);
}

TimerHandle QtRunLoop::every(int64_t periodNs, Task task) {
    return schedule(periodNs, std::move(task), true);
}

bool QtRunLoop::isCurrent() const {
    return context_->isCurrent();
}

size_t QtRunLoop::timerCount() const {
    return context_->timerCount();
}

TimerHandle QtRunLoop::schedule(int64_t delayNs, Task task, bool repeating) {
    auto entry = std::make_shared<TimerEntry>();
    entry->handle = TimerHandle::make();
    entry->task = std::move(task);
    entry->repeating = repeating;
    // Sub-millisecond periods would spin the loop: a period is at least one timer tick.
    entry->periodNs = std::max<int64_t>(delayNs, nsPerMs);
    TimerHandle handle = entry->handle;
    const int64_t nowNs = HostClock::nowNs();
    const int64_t deadlineNs =
        nowNs + std::clamp<int64_t>(delayNs, 0, std::numeric_limits<int64_t>::max() - nowNs);
    if (isCurrent()) {
        context_->addTimer(entry, deadlineNs);
    } else {
        QtRunLoopContext* context = context_;
        context_->enqueue([context, entry, deadlineNs] { context->addTimer(entry, deadlineNs); });
    }
    return handle;
}

} // namespace merriphonic
