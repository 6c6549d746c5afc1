#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/run_loop.h"

namespace merriphonic {

class SimRunLoop;

// A simulated loop as the world knows it. Queued events share it, so a loop may be destroyed
// while some of its events are still queued: they are then dropped unrun.
struct SimLoopState {
    std::string name;
    bool alive = true;
};

// Bounds for SimWorld::runUntilIdle, so a repeating timer cannot keep a test running forever.
struct SimIdleLimit {
    int64_t maxDurationNs = std::numeric_limits<int64_t>::max(); // virtual time from the call
    uint64_t maxEvents = 50'000'000;
};

// A discrete-event scheduler: one virtual time in nanoseconds and one queue of events ordered
// by (time, insertion order). Every simulated loop, clock, link and device of a test or of the
// simulator shares one world, and everything runs on the thread that drives it, so a run is a
// function of its seed alone. The world must outlive every object created on it.
class SimWorld {
public:
    explicit SimWorld(uint64_t seed = 1, int64_t startNs = 0);
    ~SimWorld();
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    [[nodiscard]] int64_t nowNs() const { return nowNs_; }
    [[nodiscard]] uint64_t seed() const { return seed_; }
    // The world's only source of randomness: draw from it in event order to stay reproducible.
    std::mt19937_64& rng() { return rng_; }

    // Queues a task at atNs (an instant in the past means now) on behalf of a loop, or of the
    // world itself when owner is null. Tasks queued for the same instant run in queue order.
    void schedule(int64_t atNs, const SimRunLoop* owner, Task task);
    // The same, but the event is discarded unrun if the timer is cancelled first.
    void schedule(int64_t atNs, const SimRunLoop* owner, Task task, const TimerHandle& timer);
    // The form the loops use; a null loop state is the world itself, a null flag never cancels.
    void scheduleOn(int64_t atNs, std::shared_ptr<SimLoopState> loop, Task task,
                    std::shared_ptr<std::atomic<bool>> cancelled = {});

    // Runs the next event, advancing time to it. Returns false when nothing is queued.
    bool step();
    // Runs every event due at or before tNs (including those queued meanwhile), then sets the
    // time to tNs. Time never goes backwards: a limit in the past runs only what is due now.
    void runUntil(int64_t tNs);
    void runFor(int64_t durationNs);
    // Runs events until none is left. Returns true when the queue went empty, false when a
    // limit stopped it first (after the duration limit the time is the limit's end).
    bool runUntilIdle(SimIdleLimit limit = {});

    // Runs a task at once but outside every loop, as a worker thread would: no loop reports
    // isCurrent() while it runs.
    void runOutsideLoops(const Task& task);
    // The loop whose event is running, or null (between events, or in a world event).
    [[nodiscard]] const SimLoopState* currentLoop() const { return currentLoop_; }

    // Events that will still run (cancelled ones and those of destroyed loops excluded).
    [[nodiscard]] size_t pendingEvents() const;
    [[nodiscard]] std::optional<int64_t> nextEventNs() const;
    [[nodiscard]] uint64_t executedEvents() const { return executed_; }

private:
    struct Event {
        int64_t timeNs = 0;
        uint64_t sequence = 0;
        std::shared_ptr<SimLoopState> loop;
        Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };

    static bool isDead(const Event& event);
    Event popTop();
    // The next live event due at or before limitNs, discarding dead ones on the way.
    std::optional<Event> popDue(int64_t limitNs);
    void execute(Event& event);
    void enterRun();

    uint64_t seed_;
    std::mt19937_64 rng_;
    int64_t nowNs_;
    uint64_t nextSequence_ = 0;
    uint64_t executed_ = 0;
    std::vector<Event> queue_; // a binary heap, earliest event at the front
    const SimLoopState* currentLoop_ = nullptr;
    bool running_ = false;
    bool destroying_ = false;
};

} // namespace merriphonic
