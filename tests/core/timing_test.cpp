#include "core/drift_controller.h"
#include "core/message.h"
#include "core/playback_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace merriphonic {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t leadNs = 120'000'000;

TEST(PlaybackMathTest, SaturatingConversion) {
    const double bound = PlaybackMath::saturationBound;
    const std::vector<std::pair<double, int64_t>> cases = {
        {nan, 0},           {inf, int64Max},
        {-1e19, int64Min},  {bound, int64Max},
        {-bound, int64Min}, {std::nextafter(bound, 0.0), 9'223'372'036'854'773'760},
        {-2.9, -2}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(PlaybackMath::saturating(value), expected) << value;
    }
    EXPECT_EQ((OutputTiming{0, nan, 0}).delayNs(), 0);
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

TEST(PlaybackStartPlanTest, BoundsOfRateLengthPositionAndLead) {
    const OutputTiming none{};
    const PlaySpec at1s{10'000'000'000, 1000};
    for (const double rate : {0.0, -44'100.0, inf, nan}) {
        EXPECT_EQ(PlaybackMath::startPlan(at1s, none, rate, std::nullopt, 0, leadNs), std::nullopt)
            << rate;
    }
    EXPECT_EQ(PlaybackMath::startPlan(at1s, none, 44'100.0, 44'100, 0, leadNs), std::nullopt);
    EXPECT_EQ(PlaybackMath::startPlan(at1s, none, 44'100.0, 44'101, 0, leadNs),
              (StartPlan{44'100, 10'000'000'000, false}));
    // A negative position starts at frame 0, which is heard 250 ms after the start instant.
    EXPECT_EQ(PlaybackMath::startPlan({10'000'000'000, -250}, none, 44'100.0, 1, 0, leadNs),
              (StartPlan{0, 10'250'000'000, false}));

    const PlaySpec play{5'000'000'000, 0};
    const OutputTiming timing{1'000'000'000, -10.0, 30'000'000};
    const auto onTime = PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, 0, leadNs);
    ASSERT_TRUE(onTime);
    EXPECT_EQ(onTime->localStartNs, 3'980'000'000);
    const int64_t lastOnTimeNow = onTime->localStartNs - leadNs;
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, lastOnTimeNow, leadNs),
              onTime);
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, lastOnTimeNow + 1, leadNs),
              (StartPlan{1, onTime->localStartNs + 20'833, true}));
    // 10 s of audio: joining 10 s after the start leaves nothing to play.
    const int64_t tenSecondsLate = lastOnTimeNow + 10'000'000'000;
    EXPECT_EQ(PlaybackMath::startPlan(play, timing, 48'000.0, 480'000, tenSecondsLate, leadNs),
              std::nullopt);
    EXPECT_TRUE(
        PlaybackMath::startPlan(play, timing, 48'000.0, std::nullopt, tenSecondsLate, leadNs));
}

// The rate factor of an action; NaN stands for a resync.
double rateOf(const DriftController::Action& action) {
    const auto* rate = std::get_if<DriftController::Rate>(&action);
    return rate ? rate->factor : nan;
}

TEST(DriftControllerTest, ActionAndUpdateApplyTrimLimitAndResync) {
    const DriftController still = DriftController::forPlayer();
    EXPECT_EQ(rateOf(still.action(0.5)), 1.0); // the dead band
    EXPECT_DOUBLE_EQ(rateOf(still.action(5.0)), 0.9985);
    EXPECT_DOUBLE_EQ(rateOf(still.action(40.0)), 0.997);

    DriftController drift = DriftController::forPlayer();
    // No dead band when learning: a small error already trims and accumulates.
    EXPECT_DOUBLE_EQ(rateOf(drift.update(0.5)), 1.0 - (0.00015 + 0.00005));
    EXPECT_DOUBLE_EQ(drift.integral, 0.00005);
    EXPECT_FALSE(std::isnan(rateOf(drift.update(40.0))));
    const double learned = drift.integral;
    for (const double error : {40.0001, -40.0001, inf, -inf, nan}) {
        EXPECT_TRUE(std::isnan(rateOf(still.action(error)))) << error;
        EXPECT_TRUE(std::isnan(rateOf(drift.update(error)))) << error;
        EXPECT_EQ(drift.integral, learned); // unusable errors teach nothing
    }
}

} // namespace
} // namespace merriphonic
