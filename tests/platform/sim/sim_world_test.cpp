// The simulated world that every simulated test runs in: its loops and the device clocks they
// keep time by.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"

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

constexpr int64_t day = 86'400 * nsPerSecond;

TEST(SimClockTest, DriftsExactlyAsConfigured) {
    SimWorld world;
    SimClock fast(world, 7 * nsPerSecond, 100.0);
    SimClock slow(world, 0, -50.0);
    SimClock fractional(world, 0, 12.5);
    SimClock exact(world);
    EXPECT_EQ(fast.nowNs(), 7 * nsPerSecond);

    world.runFor(1000 * nsPerSecond);
    EXPECT_EQ(fast.nowNs(),
              7 * nsPerSecond + 1000 * nsPerSecond + 100'000'000); // 100 ppm of 1000 s = 100 ms
    EXPECT_EQ(slow.nowNs(), 1000 * nsPerSecond - 50'000'000);
    EXPECT_EQ(exact.nowNs(), world.nowNs());

    // No accumulation of rounding over days of virtual time.
    EXPECT_EQ(fractional.deviceTimeAt(3 * day), 3 * day + 3'240'000'000);
    EXPECT_EQ(fast.deviceTimeAt(100 * day), 7 * nsPerSecond + 100 * day + 864'000'000'000);
    EXPECT_EQ(SimClock(world, 0, 0.001).deviceTimeAt(7 * day), 7 * day + 604'800);
    EXPECT_EQ(fast.offsetNs(), 7 * nsPerSecond + 100'000'000);
}

TEST(SimClockTest, SkewChangesKeepTheClockMonotonicStepsDoNot) {
    SimWorld world;
    SimClock clock(world, 0, 200.0);
    world.runFor(10 * nsPerSecond);
    const int64_t before = clock.nowNs();
    EXPECT_EQ(before, 10 * nsPerSecond + 2'000'000);
    clock.setSkewPpm(-300.0);
    EXPECT_EQ(clock.nowNs(), before); // no jump at the change
    EXPECT_EQ(clock.skewPpm(), -300.0);
    world.runFor(10 * nsPerSecond);
    EXPECT_EQ(clock.nowNs(), before + 10 * nsPerSecond - 3'000'000);
    EXPECT_EQ(clock.worldTimeAt(before + 10 * nsPerSecond - 3'000'000), 20 * nsPerSecond);

    clock.step(-1 * nsPerSecond); // explicitly requested: the one way back
    EXPECT_EQ(clock.nowNs(), before + 9 * nsPerSecond - 3'000'000);
    clock.setOffsetNs(-4 * nsPerSecond);
    EXPECT_EQ(clock.nowNs(), 16 * nsPerSecond);
    world.runFor(1 * nsPerSecond);
    EXPECT_EQ(clock.nowNs(), 17 * nsPerSecond - 300'000); // still at the set skew

    EXPECT_THROW(clock.setSkewPpm(-1e6), std::invalid_argument);
    EXPECT_THROW(SimClock(world, 0, 2e6), std::invalid_argument);
    EXPECT_EQ(clock.skewPpm(), -300.0);
}

} // namespace
} // namespace merriphonic
