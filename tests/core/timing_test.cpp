#include "core/message.h"
#include "core/playback_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace merriphonic {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t leadNs = 120'000'000;

TEST(PlaybackMathTest, SaturatingConversion) {
    const double bound = PlaybackMath::saturationBound;
    EXPECT_EQ(PlaybackMath::saturating(nan), 0);
    EXPECT_EQ(PlaybackMath::saturating(1e19), int64Max);
    EXPECT_EQ(PlaybackMath::saturating(-1e19), int64Min);
    EXPECT_EQ(PlaybackMath::saturating(inf), int64Max);
    EXPECT_EQ(PlaybackMath::saturating(-inf), int64Min);
    EXPECT_EQ(PlaybackMath::saturating(bound), int64Max);
    EXPECT_EQ(PlaybackMath::saturating(-bound), int64Min);
    EXPECT_EQ(PlaybackMath::saturating(std::nextafter(bound, 0.0)), 9'223'372'036'854'773'760);
    EXPECT_EQ(PlaybackMath::saturating(2.9), 2);
    EXPECT_EQ(PlaybackMath::saturating(-2.9), -2);
    EXPECT_EQ((OutputTiming{0, 1.5, 0}).delayNs(), 1'500'000);
    EXPECT_EQ((OutputTiming{0, nan, 0}).delayNs(), 0);
}

TEST(PlaybackMathTest, HandOffMovesHostTimeOntoTheLocalOutput) {
    const PlaySpec play = PlaySpec::from(Play{"00112233aabbccdd", 10'000'000'000, 2000});
    EXPECT_EQ(play, (PlaySpec{10'000'000'000, 2000}));
    const OutputTiming timing{3'000'000'000, 5.0, 20'000'000};
    EXPECT_DOUBLE_EQ(PlaybackMath::mediaPositionMs(10'500'000'000, play), 2500.0);
    EXPECT_DOUBLE_EQ(PlaybackMath::mediaPositionMs(9'999'999'000, play), 1999.999);
    EXPECT_EQ(PlaybackMath::localHandOffNs(2000.0, play, timing), 6'975'000'000);
    EXPECT_EQ(PlaybackMath::localHandOffNs(2000.25, play, timing), 6'975'250'000);
    // Frame 132,300 at 44.1 kHz is 3000 ms: 1 s after the planned position.
    EXPECT_EQ(PlaybackMath::localHandOffNs(int64_t{132'300}, 44'100.0, play, timing),
              7'975'000'000);
    for (const double mediaMs : {-50.0, 0.0, 1234.5, 2000.0, 86'400'000.0}) {
        const int64_t local = PlaybackMath::localHandOffNs(mediaMs, play, timing);
        EXPECT_DOUBLE_EQ(PlaybackMath::expectedMediaMs(local, play, timing), mediaMs);
    }
}

TEST(PlaybackMathTest, TimeSumsWrapInsteadOfOverflowing) {
    const PlaySpec play{int64Max - 1000, 0};
    const OutputTiming timing{-2000, 0.0, 0};
    const int64_t local = PlaybackMath::localHandOffNs(0.0, play, timing);
    EXPECT_EQ(local, int64Min + 999);
    EXPECT_EQ(PlaybackMath::localHandOffNs(int64_t{0}, 48'000.0, play, timing), local);
    EXPECT_DOUBLE_EQ(PlaybackMath::expectedMediaMs(local, play, timing), 0.0);
    EXPECT_DOUBLE_EQ(PlaybackMath::mediaPositionMs(int64Min, PlaySpec{int64Max, 0}), 1e-6);
}

TEST(PlaybackStartPlanTest, RejectsUnusableRatesAndPositionsPastTheEnd) {
    const OutputTiming timing{};
    const PlaySpec play{10'000'000'000, 1000};
    for (const double rate : {0.0, -44'100.0, inf, nan}) {
        EXPECT_EQ(PlaybackMath::startPlan(play, timing, rate, std::nullopt, 0, leadNs),
                  std::nullopt)
            << rate;
    }
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 44'100.0, 44'100, 0, leadNs), std::nullopt);
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 44'100.0, 44'101, 0, leadNs),
              (StartPlan{44'100, 10'000'000'000, false}));
    EXPECT_EQ(PlaybackMath::startPlan({10'000'000'000, 10}, timing, 44'100.0, 44'101, 0, leadNs)
                  ->startFrame,
              441);
    // A negative position starts at frame 0, which is heard 250 ms after the start instant.
    EXPECT_EQ(PlaybackMath::startPlan({10'000'000'000, -250}, timing, 44'100.0, 1, 0, leadNs),
              (StartPlan{0, 10'250'000'000, false}));
}

TEST(PlaybackStartPlanTest, LeadBoundaryAndLateJoinPastTheEnd) {
    const PlaySpec play{5'000'000'000, 0};
    const OutputTiming timing{1'000'000'000, -10.0, 30'000'000};
    const auto onTime = PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, 0, leadNs);
    ASSERT_TRUE(onTime);
    EXPECT_EQ(onTime->localStartNs, 3'980'000'000);
    const int64_t lastOnTimeNow = onTime->localStartNs - leadNs;
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, lastOnTimeNow, leadNs),
              onTime);
    const auto late =
        PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, lastOnTimeNow + 1, leadNs);
    EXPECT_EQ(late, (StartPlan{1, onTime->localStartNs + 20'833, true}));
    // 10 s of audio: joining 10 s after the start leaves nothing to play.
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 48'000.0, 480'000,
                                      lastOnTimeNow + 10'000'000'000, leadNs),
              std::nullopt);
    EXPECT_TRUE(PlaybackMath::startPlan(play, timing, 48'000.0, std::nullopt,
                                        lastOnTimeNow + 10'000'000'000, leadNs));
}

TEST(PlaybackStartPlanTest, LateJoinsLandOnTheGroupTimeline) {
    std::mt19937_64 random(42);
    std::uniform_int_distribution<int64_t> hostStart(0, int64_t{1} << 50);
    std::uniform_int_distribution<int64_t> position(-5000, 600'000);
    std::uniform_int_distribution<int64_t> offset(-(int64_t{1} << 45), int64_t{1} << 45);
    std::uniform_real_distribution<double> delayMs(-200.0, 500.0);
    std::uniform_int_distribution<int64_t> latency(0, 200'000'000);
    std::uniform_int_distribution<int64_t> joinAfter(-leadNs, 300'000'000'000);
    for (const double rate : {44'100.0, 48'000.0, 22'050.0}) {
        for (int i = 0; i < 2000; ++i) {
            const PlaySpec play{hostStart(random), position(random)};
            const OutputTiming timing{offset(random), delayMs(random), latency(random)};
            const auto onTime =
                PlaybackMath::startPlan(play, timing, rate, std::nullopt, int64Min / 2, leadNs);
            ASSERT_TRUE(onTime && !onTime->isLateJoin);
            const int64_t now = onTime->localStartNs - leadNs + joinAfter(random);
            const auto plan =
                PlaybackMath::startPlan(play, timing, rate, std::nullopt, now, leadNs);
            ASSERT_TRUE(plan);
            EXPECT_EQ(plan->isLateJoin, now + leadNs > onTime->localStartNs);
            if (!plan->isLateJoin) {
                EXPECT_EQ(plan, onTime);
                continue;
            }
            const int64_t skipped = plan->startFrame - onTime->startFrame;
            const double skippedNs = static_cast<double>(skipped) / rate * 1e9;
            EXPECT_NEAR(static_cast<double>(plan->localStartNs - onTime->localStartNs), skippedNs,
                        1.0);
            EXPECT_GE(plan->localStartNs, now + leadNs);
            // The first frame that makes it, not a later one.
            EXPECT_LT(PlaybackMath::localHandOffNs(plan->startFrame - 1, rate, play, timing),
                      now + leadNs);
            EXPECT_EQ(PlaybackMath::localHandOffNs(plan->startFrame, rate, play, timing),
                      plan->localStartNs);
        }
    }
}

} // namespace
} // namespace merriphonic
