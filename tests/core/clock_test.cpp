#include "core/clock_sync.h"
#include "core/host_clock.h"
#include "core/time_units.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

namespace merriphonic {
namespace {

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();
constexpr uint64_t uint64Max = std::numeric_limits<uint64_t>::max();

TEST(HostClockTest, ScaleMatchesExactArithmeticAcrossTheRange) {
    constexpr uint32_t u32Max = std::numeric_limits<uint32_t>::max();
    const std::vector<std::pair<uint32_t, uint32_t>> ratios = {
        {125, 3}, {3, 125}, {1, 1}, {u32Max, u32Max - 1}, {u32Max, 1}, {1, u32Max}, {0, 7}};
    std::vector<uint64_t> values = {0, 1, 3, uint64Max, uint64Max / 125 * 3 + 2, uint64_t{1} << 63};
    std::mt19937_64 random(7);
    for (int i = 0; i < 200; ++i) {
        values.push_back(random() >> (random() % 64));
    }
    for (const auto& [numer, denom] : ratios) {
        for (const uint64_t value : values) {
            // floor(value * numer / denom) in 128 bits, saturated at UINT64_MAX.
            const unsigned __int128 exact = static_cast<unsigned __int128>(value) * numer / denom;
            EXPECT_EQ(HostClock::scale(value, numer, denom),
                      exact > uint64Max ? uint64Max : static_cast<uint64_t>(exact))
                << value << " * " << numer << " / " << denom;
        }
    }
    EXPECT_EQ(HostClock::scale(42, 5, 0), 42U); // an unknown ratio must not divide by zero
    EXPECT_EQ(HostClock::nsToTicks(int64Min), 0U);
}

TEST(ClockSyncTest, ComputeTruncatesTowardZeroAndWraps) {
    EXPECT_EQ(ClockSync::compute(0, 1000, 1100, 300), (ClockSync::Estimate{900, 200}));
    EXPECT_EQ(ClockSync::compute(0, 0, 0, 3).offsetNs, -1);
    EXPECT_EQ(ClockSync::compute(0, 3, 0, 0).offsetNs, 1);
    // Host clock near the top of the range: t2 + t3 would overflow 64 bits; the offset is
    // still the exact one.
    EXPECT_EQ(ClockSync::compute(0, int64Max - 50, int64Max - 40, 20),
              (ClockSync::Estimate{int64Max - 55, 10}));
    EXPECT_EQ(ClockSync::compute(int64Min + 20, -50, -40, int64Min + 40),
              (ClockSync::Estimate{int64Max - 74, 10}));
    EXPECT_EQ(ClockSync::compute(int64Max, 0, 0, int64Min), (ClockSync::Estimate{0, 1}));
}

TEST(ClockSyncTest, RejectsNegativeRoundTripAndPrefersLaterOfEqualRtts) {
    ClockSync sync(30 * nsPerSecond, 5);
    ASSERT_TRUE(sync.add(0, 1000, 1100, 300)); // offset 900, rtt 200
    const ClockSync before = sync;
    // The host claims to have held the PING longer than the whole round trip.
    EXPECT_EQ(sync.add(1000, 5000, 7000, 2000), std::nullopt);
    EXPECT_EQ(sync, before);
    EXPECT_EQ(sync.add(1000, 2500, 2500, 1200), (ClockSample{1400, 200, 1200}));
    EXPECT_EQ(sync.add(2000, 2000, 2000, 2500), (ClockSample{-250, 500, 2500}));
    EXPECT_EQ(sync.offsetNs(), 1400);
    EXPECT_DOUBLE_EQ(*sync.bestRttMs(), 0.0002);
    EXPECT_EQ(sync.hostNs(100), 1500);
    EXPECT_EQ(sync.localNs(1500), 100);
}

TEST(ClockSyncTest, LifecycleFromFreshToSyncedToStale) {
    ClockSync sync(30 * nsPerSecond, 5);
    EXPECT_EQ(sync.offsetNs(), std::nullopt);
    EXPECT_EQ(sync.hostNs(77), 77);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_FALSE(sync.isSynced()) << i;
        EXPECT_FALSE(sync.hasSynced()) << i;
        // Best at i = 2 (rtt 1 ms).
        const int64_t rtt = i == 2 ? 1'000'000 : 3'000'000;
        sync.add(i * nsPerSecond, i * nsPerSecond + 10'000 * i, i * nsPerSecond + 10'000 * i,
                 i * nsPerSecond + rtt);
    }
    EXPECT_TRUE(sync.isSynced());
    EXPECT_EQ(sync.offsetNs(), -480'000);

    // A sample exactly windowNs older than the newest arrival stays; one nanosecond more goes.
    const int64_t firstArrival = nsPerSecond + 3'000'000;
    const int64_t t = 31 * nsPerSecond;
    sync.add(t, t, t, firstArrival + 30 * nsPerSecond);
    EXPECT_EQ(sync.samples().size(), 6U);
    sync.add(t, t, t, firstArrival + 30 * nsPerSecond + 1);
    EXPECT_EQ(sync.samples().size(), 6U);
    EXPECT_EQ(sync.samples().front().localNs, 2 * nsPerSecond + 1'000'000);
    EXPECT_EQ(sync.samples().back().offsetNs, -1'500'000);

    // Stale: the window is empty, the last best sample stands in.
    sync.prune(firstArrival + 61 * nsPerSecond);
    EXPECT_TRUE(sync.samples().empty());
    EXPECT_FALSE(sync.isSynced());
    EXPECT_TRUE(sync.hasSynced());
    EXPECT_EQ(sync.offsetNs(), -480'000);
    EXPECT_DOUBLE_EQ(*sync.bestRttMs(), 1.0);
    sync.reset();
    EXPECT_EQ(sync, ClockSync(30 * nsPerSecond, 5));
}

TEST(ClockSyncTest, ConversionsWrapAtTheEdgesOfTheRange) {
    ClockSync sync(30 * nsPerSecond, 1);
    sync.add(0, int64Max - 50, int64Max - 40, 20); // offset int64Max - 55
    EXPECT_EQ(sync.localNs(int64Min + 5), 61);
    EXPECT_EQ(sync.hostNs(int64Min + 5), -51);
    EXPECT_EQ(sync.hostNs(20), int64Max - 35);
    // A window reaching back past INT64_MIN wraps too, and must not be undefined behaviour.
    sync.prune(int64Min + 1);
    EXPECT_TRUE(sync.samples().empty());
}

} // namespace
} // namespace merriphonic
