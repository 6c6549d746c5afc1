// The synchronised player in virtual time, heard through a virtual sound card.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

#include "core/time_units.h"
#include "tests/speaker/player_rig.h"

namespace merriphonic::speaker_test {
namespace {

double maxAbs(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0,
                           [](double m, double v) { return std::max(m, std::abs(v)); });
}

TEST(SyncPlayerTimeline, TheFirstFrameIsHeardWithinASampleOfThePlannedInstant) {
    for (const auto& [cardPpm, skewPpm, period] :
         {std::tuple{-100.0, 0.0, 97}, std::tuple{0.0, 20.0, 256}}) {
        SCOPED_TRACE(period);
        PlayerRig rig({.crystalPpm = cardPpm,
                       .outputLatencyNs = defaultLatencyNs,
                       .periodFrames = period,
                       .captureAudio = true},
                      skewPpm);
        rig.play("step.wav", 1500 * nsPerMs, 0, false);
        rig.runFor(2.0);

        // The file is a step from silence to 0.5 at frame 0. Band-limited, a step between
        // samples -1 and 0 crosses half its height half a frame before frame 0.
        const std::vector<float>& heard = rig.card().capturedAudio();
        size_t i = 1;
        while (i * 2 < heard.size() && heard[i * 2] <= 0.25F) {
            ++i;
        }
        ASSERT_LT(i * 2, heard.size());
        const double crossing =
            double(i - 1) + (0.25 - heard[(i - 1) * 2]) / (heard[i * 2] - heard[(i - 1) * 2]);
        const double heardNs = *rig.card().heardWorldNsOfFrame(crossing + 0.5);
        // Where the player meant it: the plan's local hand-off plus the output's latency.
        const auto meantNs = double(rig.device.clock().worldTimeAt(
            rig.player->plan()->localStartNs + rig.player->outputLatencyNs()));
        // Placed at its fraction of a frame, not just at the nearest one.
        EXPECT_LT(std::abs(heardNs - meantNs), 0.25 * frameNs);
        // Without clock skew that is the timeline itself. (A skewed clock slides against the
        // host's while the start approaches; the drift loop takes that up later.)
        if (skewPpm == 0) {
            EXPECT_LT(std::abs(heardNs - rig.plannedWorldNs(0)), frameNs);
        }
    }
}

TEST(SyncPlayerEnd, TheEndIsReportedOnceAfterTheLastFrameAndNeverForAStoppedSegment) {
    PlayerRig rig({.outputLatencyNs = 200 * nsPerMs});
    rig.play("short.wav", 500 * nsPerMs, 5000);
    EXPECT_EQ(rig.ended, 0); // on the main queue, not from inside schedule()
    rig.runFor(1.0);
    EXPECT_EQ(rig.ended, 1);
    EXPECT_FALSE(rig.player->spec);

    // Stopped while its last frame is on its way to the speaker, not yet heard.
    rig.play("", 200 * nsPerMs);
    rig.runFor(1.1);
    const auto& heard = rig.card().heardBuffers();
    ASSERT_TRUE(std::any_of(heard.begin(), heard.end(), [](const SimHeardBuffer& b) {
        return b.mediaFrame && *b.mediaFrame + b.frames >= 44099;
    }));
    rig.player->stop();
    rig.play("", 300 * nsPerMs);
    rig.runFor(0.5);
    EXPECT_EQ(rig.ended, 1);
    rig.runFor(2.0);
    ASSERT_EQ(rig.ended, 2);
    const double lastHeardNs = rig.plannedWorldNs(44099);
    EXPECT_GE(double(rig.endedAtWorldNs), lastHeardNs - 1.0); // world time is whole ns
    EXPECT_LT(double(rig.endedAtWorldNs) - lastHeardNs, 15e6);
    EXPECT_FALSE(rig.player->hasDriftTimer());
}

TEST(SyncPlayerDrift, NothingIsMeasuredInTheFirst300msAndA50msErrorReSyncsAtOnce) {
    PlayerRig rig;
    rig.play("tone.wav", 500 * nsPerMs, 0, false);
    rig.runFor(0.7);
    rig.player->measure();
    EXPECT_FALSE(rig.player->lastErrorMs());
    EXPECT_EQ(rig.player->varispeedRate(), 1.0F);
    EXPECT_EQ(rig.player->drift().integral, 0.0);
    rig.runFor(0.2);
    rig.player->measure();
    ASSERT_TRUE(rig.player->lastErrorMs());
    EXPECT_NEAR(*rig.player->lastErrorMs(), 0.0, 0.5);

    rig.player->startDriftTimer();
    rig.runFor(1.5);
    const uint64_t generation = rig.player->generation();
    rig.extraOffsetNs = 50 * nsPerMs; // the host clock seems to jump 50 ms ahead
    rig.runFor(1.0);
    EXPECT_EQ(rig.player->generation(), generation + 1);
    EXPECT_TRUE(rig.player->plan()->isLateJoin);
}

TEST(SyncPlayerEngine, ConfigurationChangesReScheduleOnce300msAfterTheLast) {
    PlayerRig rig;
    rig.play("tone.wav", 200 * nsPerMs);
    rig.runFor(1.0);
    rig.card().changeLatency(30 * nsPerMs);
    rig.runFor(0.1);
    rig.card().changeLatency(25 * nsPerMs);
    rig.runFor(0.29);
    EXPECT_EQ(rig.logCount("[speaker] engine configuration changed → restart + re-sync"), 2U);
    EXPECT_EQ(rig.logCount("config change: frame"), 0U);
    rig.runFor(0.02);
    EXPECT_EQ(rig.logCount("[speaker] config change: frame"), 1U);
    rig.runFor(1.5);
    EXPECT_EQ(rig.logCount("config change: frame"), 1U);
    EXPECT_EQ(rig.logCount("hard re-sync"), 0U);
    EXPECT_LT(maxAbs(rig.alignmentsSince(rig.world.nowNs() - nsPerSecond)), frameNs);

    // A failed stream is restarted and playback resumes on the timeline.
    rig.card().fail();
    rig.runFor(1.0);
    EXPECT_EQ(rig.card().startCount(), 2);
    EXPECT_EQ(rig.logCount("engine started"), 2U);
    EXPECT_EQ(rig.logCount("config change: frame"), 2U);
    EXPECT_LT(maxAbs(rig.alignmentsSince(rig.world.nowNs() - 500 * nsPerMs)), frameNs);
}

TEST(SyncPlayerControls, VolumeIsTheClampedProductAndDelayMovesTheOutputEarlier) {
    PlayerRig rig({.captureAudio = true});
    rig.play("tone.wav", 200 * nsPerMs);
    rig.runFor(1.0);
    const auto& heard = rig.card().capturedAudio();
    auto recentRms = [&] { // of the last 0.1 s of channel 0
        double sum = 0;
        for (size_t i = heard.size() / 2 - 4410; i < heard.size() / 2; ++i) {
            sum += double(heard[i * 2]) * heard[i * 2];
        }
        return std::sqrt(sum / 4410);
    };
    const double full = recentRms();
    EXPECT_NEAR(full, 0.5 / std::sqrt(2.0), 0.01);
    for (const auto& [group, local, expected] :
         {std::tuple{0.5, 0.5, 0.25}, std::tuple{2.0, 0.8, 1.0}}) {
        rig.player->setGroupVolume(group);
        rig.player->setLocalVolume(local);
        EXPECT_FLOAT_EQ(rig.player->nodeVolume(), float(expected));
        rig.runFor(0.3);
        EXPECT_NEAR(recentRms(), full * expected, 0.005);
    }

    rig.player->setDelayMs(20.0);
    rig.runFor(1.0);
    ASSERT_TRUE(rig.player->lastErrorMs());
    EXPECT_NEAR(*rig.player->lastErrorMs(), -20.0, 0.5);
    rig.player->schedule("delay changed");
    // Before the first measurement of the new start, while the rate is nominal.
    const int64_t from = rig.world.nowNs() + 200 * nsPerMs;
    rig.runFor(0.4);
    const std::vector<double> early = rig.alignmentsSince(from);
    ASSERT_FALSE(early.empty());
    for (double alignment : early) {
        EXPECT_NEAR(alignment, -20e6, frameNs);
    }
}

} // namespace
} // namespace merriphonic::speaker_test
