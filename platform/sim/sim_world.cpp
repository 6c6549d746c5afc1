#include "platform/sim/sim_world.h"

#include <algorithm>
#include <stdexcept>

#include "platform/sim/sim_run_loop.h"

namespace merriphonic {

namespace {

// Heap order: the event that runs later sorts first, so the heap's front is the earliest.
struct RunsLater {
    template <typename E>
    bool operator()(const E& lhs, const E& rhs) const {
        if (lhs.timeNs != rhs.timeNs) {
            return lhs.timeNs > rhs.timeNs;
        }
        return lhs.sequence > rhs.sequence;
    }
};

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

// Clears the running flag even when a task throws.
class ClearOnExit {
public:
    explicit ClearOnExit(bool& flag) : flag_(flag) {}
    ClearOnExit(const ClearOnExit&) = delete;
    ClearOnExit& operator=(const ClearOnExit&) = delete;
    ~ClearOnExit() { flag_ = false; }

private:
    bool& flag_;
};

} // namespace

SimWorld::SimWorld(uint64_t seed, int64_t startNs) : seed_(seed), rng_(seed), nowNs_(startNs) {}

SimWorld::~SimWorld() {
    // Destroying a task may release objects whose destructors try to schedule more work;
    // that work is refused, and whatever was queued is destroyed outside the queue itself.
    destroying_ = true;
    while (!queue_.empty()) {
        std::vector<Event> events = std::move(queue_);
        queue_.clear();
        events.clear();
    }
}

void SimWorld::schedule(int64_t atNs, const SimRunLoop* owner, Task task) {
    scheduleOn(atNs, owner != nullptr ? owner->state() : nullptr, std::move(task));
}

void SimWorld::schedule(int64_t atNs, const SimRunLoop* owner, Task task,
                        const TimerHandle& timer) {
    auto flag = timer.flag();
    if (!flag) {
        // An empty handle counts as cancelled.
        return;
    }
    scheduleOn(atNs, owner != nullptr ? owner->state() : nullptr, std::move(task), std::move(flag));
}

void SimWorld::scheduleOn(int64_t atNs, std::shared_ptr<SimLoopState> loop, Task task,
                          std::shared_ptr<std::atomic<bool>> cancelled) {
    if (destroying_ || !task) {
        return;
    }
    queue_.push_back(Event{std::max(atNs, nowNs_), nextSequence_++, std::move(loop),
                           std::move(task), std::move(cancelled)});
    std::push_heap(queue_.begin(), queue_.end(), RunsLater{});
}

bool SimWorld::isDead(const Event& event) {
    return (event.cancelled && event.cancelled->load(std::memory_order_acquire)) ||
           (event.loop && !event.loop->alive);
}

SimWorld::Event SimWorld::popTop() {
    std::pop_heap(queue_.begin(), queue_.end(), RunsLater{});
    Event event = std::move(queue_.back());
    queue_.pop_back();
    return event;
}

std::optional<SimWorld::Event> SimWorld::popDue(int64_t limitNs) {
    while (!queue_.empty()) {
        if (isDead(queue_.front())) {
            // Destroyed at the end of this iteration, after it has left the queue.
            Event dead = popTop();
            continue;
        }
        if (queue_.front().timeNs > limitNs) {
            return std::nullopt;
        }
        return popTop();
    }
    return std::nullopt;
}

void SimWorld::execute(Event& event) {
    nowNs_ = std::max(nowNs_, event.timeNs);
    ++executed_;
    const SimLoopState* saved = currentLoop_;
    currentLoop_ = event.loop.get();
    try {
        event.task();
    } catch (...) {
        currentLoop_ = saved;
        throw;
    }
    currentLoop_ = saved;
}

void SimWorld::enterRun() {
    if (running_) {
        throw std::logic_error("SimWorld: the world is already running (called from a task?)");
    }
    running_ = true;
}

bool SimWorld::step() {
    enterRun();
    ClearOnExit clear(running_);
    auto event = popDue(std::numeric_limits<int64_t>::max());
    if (!event) {
        return false;
    }
    execute(*event);
    return true;
}

void SimWorld::runUntil(int64_t tNs) {
    enterRun();
    ClearOnExit clear(running_);
    while (auto event = popDue(tNs)) {
        execute(*event);
    }
    nowNs_ = std::max(nowNs_, tNs);
}

void SimWorld::runFor(int64_t durationNs) {
    runUntil(saturatingAdd(nowNs_, durationNs));
}

bool SimWorld::runUntilIdle(SimIdleLimit limit) {
    enterRun();
    ClearOnExit clear(running_);
    const int64_t deadline = saturatingAdd(nowNs_, std::max<int64_t>(limit.maxDurationNs, 0));
    for (uint64_t count = 0; count < limit.maxEvents; ++count) {
        auto event = popDue(deadline);
        if (!event) {
            if (queue_.empty()) {
                return true;
            }
            nowNs_ = std::max(nowNs_, deadline);
            return false;
        }
        execute(*event);
    }
    // Out of events to spend: idle only if nothing live remains.
    return pendingEvents() == 0;
}

void SimWorld::runOutsideLoops(const Task& task) {
    const SimLoopState* saved = currentLoop_;
    currentLoop_ = nullptr;
    try {
        task();
    } catch (...) {
        currentLoop_ = saved;
        throw;
    }
    currentLoop_ = saved;
}

size_t SimWorld::pendingEvents() const {
    return static_cast<size_t>(
        std::count_if(queue_.begin(), queue_.end(), [](const Event& e) { return !isDead(e); }));
}

std::optional<int64_t> SimWorld::nextEventNs() const {
    std::optional<int64_t> next;
    for (const Event& event : queue_) {
        if (!isDead(event) && (!next || event.timeNs < *next)) {
            next = event.timeNs;
        }
    }
    return next;
}

} // namespace merriphonic
