#include <gtest/gtest.h>

#include "core/time_units.h"
#include "tests/vm/bt_check/round_trip_stats.h"

namespace merriphonic {
namespace {

// A PING sent at t1 that spent `wayMs` on the air each way and `turnMs` at the far end.
Pong exchange(uint32_t seq, int64_t t1, int64_t wayMs, int64_t turnMs, int64_t& t4) {
    const int64_t t2 = t1 + wayMs * nsPerMs;
    const int64_t t3 = t2 + turnMs * nsPerMs;
    t4 = t3 + wayMs * nsPerMs;
    return Pong{seq, t1, t2, t3};
}

TEST(RoundTripStatsTest, LeavesOutTheFarEndsTurnaroundAndTakesTheMiddleSample) {
    RoundTripStats stats;
    EXPECT_EQ(stats.medianMs(), 0.0);
    int64_t t4 = 0;
    const int64_t oneWayMs[] = {5, 1, 3};
    uint32_t seq = 0;
    for (const int64_t way : oneWayMs) {
        ++seq;
        const Pong pong = exchange(seq, 1000 * nsPerMs * seq, way, 40, t4);
        EXPECT_EQ(stats.add(pong, t4), std::nullopt);
    }
    EXPECT_EQ(stats.count(), 3U);
    EXPECT_DOUBLE_EQ(stats.minMs(), 2.0);
    EXPECT_DOUBLE_EQ(stats.medianMs(), 6.0);
    EXPECT_DOUBLE_EQ(stats.maxMs(), 10.0);

    // An even count: the mean of the two middle samples.
    const Pong fourth = exchange(++seq, 9000 * nsPerMs, 4, 0, t4);
    EXPECT_EQ(stats.add(fourth, t4), std::nullopt);
    EXPECT_DOUBLE_EQ(stats.medianMs(), 7.0);
}

TEST(RoundTripStatsTest, RejectsStampsOutOfOrderOnASharedClock) {
    RoundTripStats stats;
    int64_t t4 = 0;
    Pong pong = exchange(1, 100 * nsPerMs, 2, 1, t4);

    Pong unstamped = pong;
    unstamped.t1 = 0;
    EXPECT_NE(stats.add(unstamped, t4), std::nullopt);

    Pong answeredBeforeAsked = pong;
    answeredBeforeAsked.t2 = pong.t1 - 1;
    EXPECT_NE(stats.add(answeredBeforeAsked, t4), std::nullopt);

    Pong sentBeforeReceived = pong;
    sentBeforeReceived.t3 = pong.t2 - 1;
    EXPECT_NE(stats.add(sentBeforeReceived, t4), std::nullopt);

    EXPECT_NE(stats.add(pong, pong.t3 - 1), std::nullopt);
    EXPECT_EQ(stats.count(), 0U);
    EXPECT_EQ(stats.add(pong, t4), std::nullopt);
    EXPECT_EQ(stats.count(), 1U);
}

} // namespace
} // namespace merriphonic
