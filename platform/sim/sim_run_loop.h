#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/run_loop.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

class SimClock;

// A weak reference to a loop, for objects that may outlive it (streams, radio links): posting
// through it once the loop is gone does nothing. The world must still exist.
class SimLoopRef {
public:
    SimLoopRef() = default;

    // Both return false, dropping the task, when the loop no longer exists.
    bool post(Task task) const;
    bool postAt(int64_t worldNs, Task task) const;
    [[nodiscard]] bool isAlive() const;
    [[nodiscard]] bool isCurrent() const;

private:
    friend class SimRunLoop;
    SimLoopRef(SimWorld* world, std::weak_ptr<SimLoopState> state)
        : world_(world), state_(std::move(state)) {}

    SimWorld* world_ = nullptr;
    std::weak_ptr<SimLoopState> state_;
};

// One simulated thread of execution ("host.main", "spk1.streams"): its tasks and timers are
// events of the world. Work "posted from another thread" is simply another event.
//
// With a clock, delays and periods are measured on that device clock (a timer of a fast
// clock fires early in world time, as a real device's would); a deadline is converted to
// world time when it is scheduled. The clock, like the world, must outlive the loop.
// Destroying the loop drops its queued events unrun.
class SimRunLoop final : public RunLoop {
public:
    SimRunLoop(SimWorld& world, std::string name, const SimClock* clock = nullptr);
    ~SimRunLoop() override;
    SimRunLoop(const SimRunLoop&) = delete;
    SimRunLoop& operator=(const SimRunLoop&) = delete;

    void post(Task task) override;
    TimerHandle after(int64_t delayNs, Task task) override;
    // Fires at base + k × period (k = 1, 2, ...) with no drift. Periods below 1 ns count as
    // 1 ns. Firings missed because the clock was stepped forward are skipped, not bunched.
    TimerHandle every(int64_t periodNs, Task task) override;
    [[nodiscard]] bool isCurrent() const override;

    // Queues a task at a world instant (an instant in the past means now).
    void postAt(int64_t worldNs, Task task);

    [[nodiscard]] SimLoopRef ref() const;
    [[nodiscard]] const std::string& name() const { return state_->name; }
    [[nodiscard]] SimWorld& world() const { return world_; }
    [[nodiscard]] const SimClock* clock() const { return clock_; }
    [[nodiscard]] const std::shared_ptr<SimLoopState>& state() const { return state_; }

private:
    struct Periodic;

    // The loop's own reading of "now" (the device clock, or the world time without one).
    [[nodiscard]] int64_t localNowNs() const;
    // The world instant at which the loop's clock reads localNs.
    [[nodiscard]] int64_t worldTimeFor(int64_t localNs) const;
    void scheduleNext(const std::shared_ptr<Periodic>& periodic);

    SimWorld& world_;
    const SimClock* clock_;
    std::shared_ptr<SimLoopState> state_;
};

} // namespace merriphonic
