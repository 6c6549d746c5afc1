#include "platform/sim/sim_run_loop.h"

#include <algorithm>
#include <limits>

#include "platform/sim/sim_clock.h"

namespace merriphonic {

namespace {

using Wide = __int128;

Wide floorDiv(Wide numerator, Wide denominator) {
    Wide quotient = numerator / denominator;
    if ((numerator % denominator != 0) && ((numerator < 0) != (denominator < 0))) {
        --quotient;
    }
    return quotient;
}

} // namespace

bool SimLoopRef::post(Task task) const {
    return world_ != nullptr && postAt(world_->nowNs(), std::move(task));
}

bool SimLoopRef::postAt(int64_t worldNs, Task task) const {
    auto state = state_.lock();
    if (world_ == nullptr || !state || !state->alive) {
        return false;
    }
    world_->scheduleOn(worldNs, std::move(state), std::move(task));
    return true;
}

bool SimLoopRef::isAlive() const {
    auto state = state_.lock();
    return state && state->alive;
}

bool SimLoopRef::isCurrent() const {
    auto state = state_.lock();
    return world_ != nullptr && state && world_->currentLoop() == state.get();
}

struct SimRunLoop::Periodic {
    Task task;
    int64_t baseNs = 0; // on the loop's clock
    int64_t periodNs = 1;
    int64_t index = 0; // of the firing scheduled last
    std::shared_ptr<std::atomic<bool>> cancelled;
};

SimRunLoop::SimRunLoop(SimWorld& world, std::string name, const SimClock* clock)
    : world_(world), clock_(clock),
      state_(std::make_shared<SimLoopState>(SimLoopState{std::move(name), true})) {}

SimRunLoop::~SimRunLoop() {
    state_->alive = false;
}

void SimRunLoop::post(Task task) {
    world_.scheduleOn(world_.nowNs(), state_, std::move(task));
}

void SimRunLoop::postAt(int64_t worldNs, Task task) {
    world_.scheduleOn(worldNs, state_, std::move(task));
}

int64_t SimRunLoop::localNowNs() const {
    return clock_ != nullptr ? clock_->nowNs() : world_.nowNs();
}

int64_t SimRunLoop::worldTimeFor(int64_t localNs) const {
    return clock_ != nullptr ? clock_->worldTimeAt(localNs) : localNs;
}

TimerHandle SimRunLoop::after(int64_t delayNs, Task task) {
    TimerHandle handle = TimerHandle::make();
    int64_t deadline = 0;
    if (__builtin_add_overflow(localNowNs(), std::max<int64_t>(delayNs, 0), &deadline)) {
        // Beyond the end of time: it would never fire.
        return handle;
    }
    world_.scheduleOn(worldTimeFor(deadline), state_, std::move(task), handle.flag());
    return handle;
}

TimerHandle SimRunLoop::every(int64_t periodNs, Task task) {
    TimerHandle handle = TimerHandle::make();
    auto periodic = std::make_shared<Periodic>();
    periodic->task = std::move(task);
    periodic->baseNs = localNowNs();
    periodic->periodNs = std::max<int64_t>(periodNs, 1);
    periodic->cancelled = handle.flag();
    scheduleNext(periodic);
    return handle;
}

void SimRunLoop::scheduleNext(const std::shared_ptr<Periodic>& periodic) {
    // The next firing is the first one whose deadline is still ahead, computed from the base
    // rather than accumulated, so no rounding creeps in. Normally that is the following index.
    const Wide sinceBase = Wide(localNowNs()) - periodic->baseNs;
    const Wide next =
        std::max<Wide>(Wide(periodic->index) + 1, floorDiv(sinceBase, periodic->periodNs) + 1);
    const Wide deadline = Wide(periodic->baseNs) + next * periodic->periodNs;
    if (deadline > std::numeric_limits<int64_t>::max()) {
        return;
    }
    periodic->index = static_cast<int64_t>(next);
    // The event belongs to this loop and is dropped if the loop dies, so `this` is valid
    // whenever it runs.
    world_.scheduleOn(
        worldTimeFor(static_cast<int64_t>(deadline)), state_,
        [this, periodic] {
            periodic->task();
            if (!periodic->cancelled->load(std::memory_order_acquire)) {
                scheduleNext(periodic);
            }
        },
        periodic->cancelled);
}

bool SimRunLoop::isCurrent() const {
    return world_.currentLoop() == state_.get();
}

SimLoopRef SimRunLoop::ref() const {
    return {&world_, state_};
}

} // namespace merriphonic
