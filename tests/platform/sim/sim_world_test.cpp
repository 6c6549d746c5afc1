#include "platform/sim/sim_world.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_run_loop.h"

namespace merriphonic {
namespace {

TEST(SimWorldTest, RunsEventsByTimeThenInsertionOrderUpToItsLimits) {
    SimWorld world(1, 1000);
    SimRunLoop a(world, "a");
    SimRunLoop b(world, "b");
    std::vector<std::string> order;
    world.schedule(3000, &a, [&] { order.emplace_back("a@3000"); });
    b.post([&] { order.emplace_back("b-post1"); });
    world.schedule(2000, &b, [&] { order.emplace_back("b@2000"); });
    a.post([&] {
        order.emplace_back("a-post");
        // Queued behind what is already due now; an instant in the past means now.
        world.schedule(0, &b,
                       [&] { order.emplace_back("b-past@" + std::to_string(world.nowNs())); });
    });
    world.schedule(2000, nullptr, [&] { order.emplace_back("world@2000"); });
    world.schedule(3001, &b, [&] { order.emplace_back("b@3001"); });

    // runUntil includes its limit and never goes back.
    world.runUntil(3000);
    EXPECT_EQ(order, (std::vector<std::string>{"b-post1", "a-post", "b-past@1000", "b@2000",
                                               "world@2000", "a@3000"}));
    EXPECT_EQ(world.executedEvents(), 6U);
    world.runUntil(5);
    EXPECT_EQ(world.nowNs(), 3000);
    world.runFor(0);
    EXPECT_EQ(order.size(), 6U);
    world.runFor(1);
    EXPECT_EQ(order.back(), "b@3001");
    world.runFor(100);
    EXPECT_EQ(world.nowNs(), 3101);
    EXPECT_FALSE(world.step());
    a.after(7, [] {});
    EXPECT_EQ(world.nextEventNs(), 3108);
    EXPECT_TRUE(world.step());
    EXPECT_EQ(world.nowNs(), 3108);

    // runUntilIdle stops at either of its limits.
    TimerHandle forever = a.every(10 * nsPerMs, [] {});
    EXPECT_FALSE(world.runUntilIdle({.maxDurationNs = 1 * nsPerSecond}));
    EXPECT_EQ(world.nowNs(), 3108 + 1 * nsPerSecond);
    const uint64_t executed = world.executedEvents();
    EXPECT_FALSE(world.runUntilIdle({.maxEvents = 5}));
    EXPECT_EQ(world.executedEvents(), executed + 5);
    EXPECT_EQ(world.pendingEvents(), 1U);
    forever.cancel();
    EXPECT_EQ(world.pendingEvents(), 0U);
    const int64_t before = world.nowNs();
    EXPECT_TRUE(world.runUntilIdle());
    EXPECT_EQ(world.nowNs(), before);
}

TEST(SimWorldTest, CancelledTimersNeverFire) {
    SimWorld world;
    SimRunLoop loop(world, "main");
    std::vector<std::string> fired;
    loop.after(5 * nsPerMs, [&] { fired.emplace_back("early"); }).cancel();
    // Two timers due at the same instant: the first cancels the second.
    TimerHandle second;
    loop.after(10 * nsPerMs, [&] {
        fired.emplace_back("first");
        second.cancel();
    });
    second = loop.after(10 * nsPerMs, [&] { fired.emplace_back("second"); });
    // A repeating timer cancelled from its own task, and one cancelled by another timer.
    int selfCount = 0;
    TimerHandle self;
    self = loop.every(3 * nsPerMs, [&] {
        if (++selfCount == 3) {
            self.cancel();
        }
    });
    int otherCount = 0;
    TimerHandle other = loop.every(4 * nsPerMs, [&] { ++otherCount; });
    // Due at the same instant as the 5th firing, and queued first.
    loop.after(20 * nsPerMs, [&] { other.cancel(); });
    // An empty handle never schedules anything.
    world.schedule(
        1 * nsPerMs, &loop, [&] { fired.emplace_back("empty"); }, TimerHandle());

    EXPECT_TRUE(world.runUntilIdle());
    EXPECT_EQ(fired, (std::vector<std::string>{"first"}));
    EXPECT_EQ(selfCount, 3);
    EXPECT_EQ(otherCount, 4);
    // Discarded timers neither advance the time nor count as executed events.
    EXPECT_EQ(world.nowNs(), 20 * nsPerMs);
}

TEST(SimWorldTest, LoopTimersRunOnTheDeviceClock) {
    SimWorld world;
    SimClock clock(world, 5 * nsPerSecond, 100.0); // runs 100 ppm fast
    SimRunLoop loop(world, "dev.main", &clock);

    int64_t afterWorld = -1;
    loop.after(1 * nsPerSecond, [&] { afterWorld = world.nowNs(); });
    std::vector<int64_t> readings;
    const int64_t base = clock.nowNs();
    TimerHandle tick = loop.every(250 * nsPerMs, [&] { readings.push_back(clock.nowNs()); });
    world.runFor(10 * nsPerSecond);
    tick.cancel();

    // 1 s of a clock running 1.0001 times as fast: 999,900,009.999 ns of world time, rounded up.
    EXPECT_EQ(afterWorld, 999'900'010);
    ASSERT_EQ(readings.size(), 40U);
    for (size_t k = 0; k < readings.size(); ++k) {
        const int64_t deadline = base + static_cast<int64_t>(k + 1) * 250 * nsPerMs;
        // Fired at the first world nanosecond at which the device clock had reached it, with
        // no rounding carried from one period to the next.
        EXPECT_GE(readings[k], deadline);
        EXPECT_LE(readings[k], deadline + 1);
    }

    // A step forward skips the missed firings instead of bunching them.
    std::vector<int64_t> after;
    const int64_t base2 = clock.nowNs();
    TimerHandle tick2 = loop.every(100 * nsPerMs, [&] { after.push_back(clock.nowNs() - base2); });
    world.runFor(150 * nsPerMs); // fires once, at +100 ms
    clock.step(1 * nsPerSecond); // device now at about +1150 ms
    world.runFor(100 * nsPerMs);
    tick2.cancel();
    ASSERT_EQ(after.size(), 2U);
    EXPECT_NEAR(static_cast<double>(after[1]), 1200.0 * nsPerMs, 2.0);
}

TEST(SimWorldTest, KnowsWhichLoopRunsAndRefusesToRunFromInsideATask) {
    SimWorld world;
    SimRunLoop main(world, "dev1.main");
    SimRunLoop streams(world, "dev1.streams");
    EXPECT_FALSE(main.isCurrent());
    std::vector<std::string> log;
    main.post([&] {
        log.emplace_back(std::string("main:") + (main.isCurrent() ? "main" : "") +
                         (streams.isCurrent() ? "streams" : ""));
        streams.runOrPost([&] { log.emplace_back(streams.isCurrent() ? "posted" : "wrong"); });
        main.runOrPost([&] { log.emplace_back("inline"); });
        world.runOutsideLoops([&] {
            log.emplace_back(main.isCurrent() || streams.isCurrent() ? "wrong" : "outside");
        });
        log.emplace_back(main.isCurrent() ? "restored" : "wrong");
        EXPECT_THROW(world.runFor(1), std::logic_error);
    });
    world.runUntilIdle();
    EXPECT_EQ(log,
              (std::vector<std::string>{"main:main", "inline", "outside", "restored", "posted"}));
    EXPECT_EQ(world.currentLoop(), nullptr);

    // A task that throws leaves the world usable.
    main.post([] { throw std::runtime_error("task failed"); });
    EXPECT_THROW(world.runUntilIdle(), std::runtime_error);
    EXPECT_EQ(world.currentLoop(), nullptr);
    bool later = false;
    main.post([&] { later = true; });
    EXPECT_TRUE(world.runUntilIdle());
    EXPECT_TRUE(later);
}

TEST(SimWorldTest, DestroyedLoopDropsItsEventsAndRefs) {
    SimWorld world;
    SimRunLoop survivor(world, "survivor");
    auto doomed = std::make_unique<SimRunLoop>(world, "doomed");
    auto captured = std::make_shared<int>(0);
    int ran = 0;
    survivor.post([&] { doomed.reset(); });
    // Queued while the loop exists, due after it is gone: never run.
    doomed->post([&ran, captured] { ++ran; });
    doomed->every(1 * nsPerMs, [&ran] { ++ran; });
    SimLoopRef ref = doomed->ref();
    EXPECT_TRUE(ref.isAlive());
    world.schedule(0, nullptr, [&ref, &ran] { ref.post([&ran] { ++ran; }); });
    EXPECT_TRUE(world.runUntilIdle({.maxDurationNs = 1 * nsPerSecond}));
    EXPECT_EQ(ran, 0);
    EXPECT_FALSE(ref.isAlive());
    EXPECT_FALSE(ref.post([] {}));
    EXPECT_EQ(captured.use_count(), 1); // the dropped task was destroyed
}

// A small scenario with random link delays, recorded event by event.
std::vector<std::string> tracedRun(uint64_t seed) {
    SimWorld world(seed);
    std::vector<std::string> trace;
    world.setTraceHook([&trace](const SimTraceEntry& entry) {
        trace.push_back(std::to_string(entry.timeNs) + " " + std::string(entry.loop));
    });
    SimRunLoop a(world, "a.streams");
    SimRunLoop b(world, "b.streams");
    SimLink link(world, a, b, SimLinkConfig{.latencyNs = 2 * nsPerMs, .jitterNs = 3 * nsPerMs});
    StreamPair sideA = link.sideA();
    StreamPair sideB = link.sideB();
    sideB.input->setEventHandler([&sideB](StreamEvent) {
        uint8_t buffer[64];
        while (sideB.input->read(buffer, sizeof buffer) > 0) {
        }
    });
    sideA.output->open();
    sideB.input->open();
    a.every(1 * nsPerMs, [&] {
        const uint8_t byte = 7;
        sideA.output->write(&byte, 1);
    });
    world.runFor(50 * nsPerMs);
    return trace;
}

TEST(SimWorldTest, SameSeedSameRunDifferentSeedDifferentJitter) {
    const auto first = tracedRun(42);
    EXPECT_GT(first.size(), 100U);
    EXPECT_EQ(first, tracedRun(42));
    EXPECT_NE(first, tracedRun(43));
}

} // namespace
} // namespace merriphonic
