#include "core/drift_controller.h"
#include "core/playback_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

namespace merriphonic {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The rate factor of an action; NaN stands for a resync.
double rateOf(const DriftController::Action& action) {
    const auto* rate = std::get_if<DriftController::Rate>(&action);
    return rate ? rate->factor : nan;
}

bool isResync(const DriftController::Action& action) {
    return std::holds_alternative<DriftController::Resync>(action);
}

TEST(DriftControllerTest, ActionAppliesDeadbandTrimLimitAndResync) {
    const DriftController drift = DriftController::forPlayer();
    EXPECT_EQ(drift.action(0.5), DriftController::Action{DriftController::Rate{1.0}});
    EXPECT_EQ(drift.action(-1.0), DriftController::Action{DriftController::Rate{1.0}});
    EXPECT_DOUBLE_EQ(rateOf(drift.action(5.0)), 0.9985);
    EXPECT_DOUBLE_EQ(rateOf(drift.action(10.0)), 0.997);
    EXPECT_DOUBLE_EQ(rateOf(drift.action(-30.0)), 1.003);
    EXPECT_DOUBLE_EQ(rateOf(drift.action(40.0)), 0.997);
    for (const double error : {40.0001, -40.0001, inf, -inf, nan}) {
        EXPECT_TRUE(isResync(drift.action(error))) << error;
    }
    EXPECT_EQ(drift, DriftController::forPlayer());
}

TEST(DriftControllerTest, UpdateLearnsFromEveryUsableError) {
    DriftController drift = DriftController::forPlayer();
    // No dead band: a small error already trims and accumulates.
    EXPECT_DOUBLE_EQ(rateOf(drift.update(0.5)), 1.0 - (0.00015 + 0.00005));
    EXPECT_DOUBLE_EQ(drift.integral, 0.00005);
    EXPECT_FALSE(isResync(drift.update(40.0)));
    const double learned = drift.integral;
    for (const double error : {40.0001, inf, -inf, nan}) {
        EXPECT_TRUE(isResync(drift.update(error))) << error;
        EXPECT_EQ(drift.integral, learned);
    }
    drift.reset();
    EXPECT_EQ(drift, DriftController::forPlayer());
}

TEST(DriftControllerTest, IntegralAndRateStayWithinTheTrimLimit) {
    DriftController drift = DriftController::forPlayer();
    for (int i = 0; i < 1000; ++i) {
        drift.update(40.0);
    }
    EXPECT_EQ(drift.integral, 0.003);
    // The integral alone saturates the trim, so even a small opposite error stays at the limit.
    EXPECT_DOUBLE_EQ(rateOf(drift.update(-1.0)), 0.997 + 0.0003 + 0.0001);
    for (int i = 0; i < 1000; ++i) {
        drift.update(-40.0);
    }
    EXPECT_EQ(drift.integral, -0.003);

    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> error(-40.0, 40.0);
    for (int i = 0; i < 10'000; ++i) {
        const double rate = rateOf(drift.update(error(random)));
        ASSERT_GE(rate, 0.997);
        ASSERT_LE(rate, 1.003);
        ASSERT_LE(std::fabs(drift.integral), 0.003);
    }
}

// An output whose crystal runs 100 ppm fast, measured once a second against the group timeline:
// the integral must learn the drift so the error settles at zero with a steady trimmed rate.
TEST(DriftControllerTest, ConvergesOnAnOutputRunning100PpmFast) {
    constexpr double crystal = 1.0 + 100e-6;
    constexpr int64_t secondNs = 1'000'000'000;
    const PlaySpec play{0, 0};
    const OutputTiming timing{250'000'000, 12.0, 40'000'000};
    DriftController drift = DriftController::forPlayer();
    double rate = 1.0;
    double renderedMs = PlaybackMath::expectedMediaMs(0, play, timing);
    int64_t localNs = 0;
    for (int tick = 0; tick < 300; ++tick) {
        localNs += secondNs;
        renderedMs += 1000.0 * rate * crystal;
        const double errorMs = renderedMs - PlaybackMath::expectedMediaMs(localNs, play, timing);
        const DriftController::Action action = drift.update(errorMs);
        ASSERT_FALSE(isResync(action)) << tick;
        rate = rateOf(action);
        ASSERT_GE(rate, 0.997);
        ASSERT_LE(rate, 1.003);
    }
    const double errorMs = renderedMs - PlaybackMath::expectedMediaMs(localNs, play, timing);
    EXPECT_NEAR(errorMs, 0.0, 1e-3);
    EXPECT_NEAR(drift.integral, 100e-6, 1e-6);
    EXPECT_NEAR(rate * crystal, 1.0, 1e-7);
}

} // namespace
} // namespace merriphonic
