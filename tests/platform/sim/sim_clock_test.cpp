#include "platform/sim/sim_clock.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/time_units.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

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

TEST(SimClockTest, WorldTimeAtIsTheExactInverse) {
    SimWorld world(1, 3 * nsPerSecond);
    for (double skew : {0.0, 100.0, -100.0, 33.333, -0.7, 999'999.0, -999'000.0}) {
        SimClock clock(world, -5 * nsPerSecond, skew);
        for (int64_t device : {int64_t{0}, int64_t{1}, 3 * nsPerSecond, 3 * nsPerSecond + 1,
                               10 * day + 12'345, -2 * nsPerSecond - 7}) {
            const int64_t worldNs = clock.worldTimeAt(device);
            // The earliest world nanosecond at which the clock shows the reading.
            EXPECT_GE(clock.deviceTimeAt(worldNs), device) << skew << " " << device;
            EXPECT_LT(clock.deviceTimeAt(worldNs - 1), device) << skew << " " << device;
        }
    }
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
