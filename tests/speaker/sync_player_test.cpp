// The synchronised player in virtual time, heard through a virtual sound card.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/speaker/player_rig.h"
#include "tests/speaker/test_media.h"

namespace merriphonic::speaker_test {
namespace {

double rms(const std::vector<float>& interleaved, size_t fromFrame, size_t frames) {
    double sum = 0;
    for (size_t i = fromFrame; i < fromFrame + frames; ++i) {
        sum += double(interleaved[i * 2]) * interleaved[i * 2];
    }
    return std::sqrt(sum / double(frames));
}

double maxAbs(const std::vector<double>& values) {
    double result = 0;
    for (double v : values) {
        result = std::max(result, std::abs(v));
    }
    return result;
}

TEST(SyncPlayerTimeline, TheFirstFrameIsHeardWithinASampleOfThePlannedInstant) {
    struct Case {
        double cardPpm;
        double clockSkewPpm;
        int periodFrames;
    };
    for (const Case& c :
         {Case{0, 0, 256}, Case{100, 0, 480}, Case{-100, 0, 97}, Case{0, 20, 256}}) {
        SCOPED_TRACE(c.periodFrames);
        PlayerRig rig({.cardPpm = c.cardPpm,
                       .periodFrames = c.periodFrames,
                       .capture = true,
                       .clockSkewPpm = c.clockSkewPpm});
        rig.play("step.wav", 1500 * msNs, 0, false);
        ASSERT_EQ(rig.logLines("play: frame").size(), 1U);
        EXPECT_EQ(rig.logLines("play: frame")[0], "[speaker] play: frame 0 in 1492.7 ms");
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
        if (c.clockSkewPpm == 0) {
            EXPECT_LT(std::abs(heardNs - rig.plannedWorldNs(0)), frameNs);
        }
    }
}

TEST(SyncPlayerTimeline, ALateJoinLandsOnTheGroupTimeline) {
    PlayerRig rig({.capture = true, .clockSkewPpm = 20});
    rig.play("clicks.wav", -3 * secondNs, 0);
    ASSERT_TRUE(rig.player->plan());
    EXPECT_TRUE(rig.player->plan()->isLateJoin);
    EXPECT_EQ(rig.logCount("(late join)"), 1U);
    rig.runFor(5.0);

    // Every click is heard when the timeline wants its frame heard.
    const std::vector<double> clicks = clickFrames(rig.card().capturedAudio(), 2);
    ASSERT_GE(clicks.size(), 15U);
    for (double click : clicks) {
        const double heardNs = *rig.card().heardWorldNsOfFrame(click);
        const double mediaFrame =
            std::round((heardNs - rig.plannedWorldNs(0)) / frameNs / clickSpacingFrames) *
            clickSpacingFrames;
        EXPECT_LT(std::abs(heardNs - rig.plannedWorldNs(mediaFrame)), frameNs) << mediaFrame;
    }
    EXPECT_LT(maxAbs(rig.alignmentsSince(0)), frameNs);
}

TEST(SyncPlayerEnd, APositionPastTheEndEndsTheSongOnceOnTheMainQueue) {
    PlayerRig rig;
    rig.play("short.wav", 500 * msNs, 5000);
    EXPECT_EQ(rig.logCount("[speaker] nothing left to play (position past end)"), 1U);
    EXPECT_EQ(rig.ended, 0);
    rig.runFor(1.0);
    EXPECT_EQ(rig.ended, 1);
    EXPECT_FALSE(rig.player->spec);
    EXPECT_EQ(rig.logCount("[speaker] end of track"), 1U);

    // A late join whose skipped frames pass the end is past the end too.
    rig.player->spec = PlaySpec{rig.world.nowNs() - 900 * msNs, 0};
    rig.player->schedule("play");
    rig.runFor(1.0);
    EXPECT_EQ(rig.ended, 2);
    EXPECT_EQ(rig.logCount("nothing left to play"), 2U);
}

TEST(SyncPlayerEnd, TheEndIsReportedOnlyAfterTheLastFrameHasBeenHeard) {
    PlayerRig rig({.latencyNs = 80 * msNs});
    rig.play("short.wav", 300 * msNs);
    rig.runFor(3.0);
    ASSERT_EQ(rig.ended, 1);
    const double lastHeardNs = rig.plannedWorldNs(44099);
    EXPECT_GE(double(rig.endedAtWorldNs), lastHeardNs);
    EXPECT_LT(double(rig.endedAtWorldNs) - lastHeardNs, 15e6);
    EXPECT_FALSE(rig.player->hasDriftTimer());
}

TEST(SyncPlayerEnd, StoppingAndSchedulingAgainNeverEndsTheStoppedSegment) {
    PlayerRig rig({.latencyNs = 200 * msNs});
    rig.play("short.wav", 200 * msNs);
    // Its last frame is rendered and on its way to the speaker, not yet heard.
    rig.runFor(1.1);
    const auto& heard = rig.card().heardBuffers();
    ASSERT_TRUE(std::any_of(heard.begin(), heard.end(), [](const SimHeardBuffer& b) {
        return b.mediaFrame && *b.mediaFrame + b.frames >= 44099;
    }));
    rig.player->stop();
    rig.timeline = PlaySpec{rig.world.nowNs() + 300 * msNs, 0};
    rig.player->spec = rig.timeline;
    rig.player->schedule("play");
    rig.runFor(0.5);
    EXPECT_EQ(rig.ended, 0);
    EXPECT_EQ(rig.logCount("end of track"), 0U);
    rig.runFor(2.0);
    EXPECT_EQ(rig.ended, 1);
}

TEST(SyncPlayerLoad, TheSameFileKeepsPlayingAnotherStopsAndAFailureChangesNothing) {
    PlayerRig rig;
    rig.play("tone.wav", 200 * msNs);
    EXPECT_EQ(rig.logCount("[speaker] loaded tone.wav 44100.000000 Hz × 2, 264600 frames"), 1U);
    rig.runFor(1.0);
    const uint64_t generation = rig.player->generation();

    EXPECT_TRUE(rig.player->load(mediaFile("tone.wav")));
    EXPECT_FALSE(rig.player->load(rig.device.folders().temp / "missing.m4a"));
    EXPECT_EQ(rig.player->generation(), generation);
    EXPECT_TRUE(rig.player->spec);
    rig.runFor(0.5);
    EXPECT_TRUE(rig.card().heardBuffers().back().mediaFrame);
    EXPECT_EQ(rig.logCount("loaded"), 1U);

    // Another file stops the song; the output keeps running, silent.
    EXPECT_TRUE(rig.player->load(mediaFile("clicks.wav")));
    EXPECT_FALSE(rig.player->spec);
    EXPECT_GT(rig.player->generation(), generation);
    rig.runFor(0.5);
    EXPECT_TRUE(rig.player->isEngineRunning());
    EXPECT_FALSE(rig.card().heardBuffers().back().mediaFrame);

    // One in another format reconnects the graph.
    EXPECT_TRUE(rig.player->load(mediaFile("mono48k.wav")));
    EXPECT_EQ(rig.logCount("[speaker] loaded mono48k.wav 48000.000000 Hz × 1, 144000 frames"), 1U);
    EXPECT_EQ(rig.player->connectedFormat(), (AudioFormat{48000, 1}));
    // The new format plays once scheduled.
    rig.timeline = PlaySpec{rig.world.nowNs() + 200 * msNs, 0};
    rig.player->spec = rig.timeline;
    rig.player->schedule("play");
    rig.runFor(1.0);
    EXPECT_EQ(rig.card().format(), (AudioFormat{48000, 1}));
    EXPECT_TRUE(rig.card().heardBuffers().back().mediaFrame);
}

TEST(SyncPlayerDrift, AFiftyMillisecondErrorReSyncsAtOnce) {
    PlayerRig rig;
    rig.play("tone.wav", 200 * msNs);
    rig.runFor(2.5);
    const uint64_t generation = rig.player->generation();
    rig.extraOffsetNs = 50 * msNs; // the host clock seems to jump 50 ms ahead
    rig.runFor(1.0);

    const std::vector<std::string> lines = rig.device.logSink().messages();
    const auto hard =
        std::find(lines.begin(), lines.end(), "[speaker] error -50.0 ms > 40 → hard re-sync");
    ASSERT_NE(hard, lines.end());
    ASSERT_NE(hard + 1, lines.end());
    EXPECT_EQ((hard + 1)->rfind("[speaker] re-sync: frame ", 0), 0U);
    EXPECT_NE((hard + 1)->find("(late join)"), std::string::npos);
    EXPECT_EQ(rig.player->generation(), generation + 1);

    // The new schedule follows the timeline as the player now sees it: 50 ms early.
    const int64_t after = rig.world.nowNs() + 200 * msNs;
    rig.runFor(1.0);
    for (double alignment : rig.alignmentsSince(after)) {
        EXPECT_NEAR(alignment, -50e6, frameNs);
    }
}

TEST(SyncPlayerDrift, NothingIsMeasuredDuringTheFirstThreeTenthsOfASecond) {
    PlayerRig rig;
    rig.play("tone.wav", 850 * msNs, 0, false);
    rig.player->startDriftTimer();
    rig.runFor(1.001); // the first tick: 0.15 s after the start
    EXPECT_FALSE(rig.player->lastErrorMs());
    EXPECT_EQ(rig.player->varispeedRate(), 1.0F);
    EXPECT_EQ(rig.player->drift().integral, 0.0);
    rig.runFor(1.0);
    EXPECT_TRUE(rig.player->lastErrorMs());

    // The same after any start, measured by hand.
    rig.player->schedule("re-sync");
    const int64_t start = rig.player->plan()->localStartNs - rig.device.clock().nowNs();
    rig.runFor(double(start) / 1e9 + 0.2);
    rig.player->measure();
    EXPECT_FALSE(rig.player->lastErrorMs());
    rig.runFor(0.2);
    rig.player->measure();
    EXPECT_TRUE(rig.player->lastErrorMs());
}

TEST(SyncPlayerEngine, ConfigurationChangesReScheduleOnce300msAfterTheLast) {
    PlayerRig rig;
    rig.play("tone.wav", 200 * msNs);
    rig.runFor(1.0);
    rig.card().changeLatency(30 * msNs);
    rig.runFor(0.1);
    rig.card().changeLatency(25 * msNs);
    rig.runFor(0.29);
    EXPECT_EQ(rig.logCount("[speaker] engine configuration changed → restart + re-sync"), 2U);
    EXPECT_EQ(rig.logCount("config change: frame"), 0U);
    rig.runFor(0.02);
    EXPECT_EQ(rig.logCount("[speaker] config change: frame"), 1U);
    rig.runFor(1.5);
    EXPECT_EQ(rig.logCount("config change: frame"), 1U);
    EXPECT_EQ(rig.logCount("hard re-sync"), 0U);
    EXPECT_LT(maxAbs(rig.alignmentsSince(rig.world.nowNs() - secondNs)), frameNs);

    // A failed stream is restarted and playback resumes on the timeline.
    rig.card().fail();
    rig.runFor(1.0);
    EXPECT_EQ(rig.card().startCount(), 2);
    EXPECT_EQ(rig.logCount("engine started"), 2U);
    EXPECT_EQ(rig.logCount("config change: frame"), 2U);
    EXPECT_LT(maxAbs(rig.alignmentsSince(rig.world.nowNs() - 500 * msNs)), frameNs);
}

TEST(SyncPlayerControls, VolumeIsTheClampedProductAndDelayMovesTheOutputEarlier) {
    PlayerRig rig({.capture = true});
    rig.play("tone.wav", 200 * msNs);
    rig.runFor(1.0);
    const auto& heard = rig.card().capturedAudio();
    auto recentRms = [&] { return rms(heard, heard.size() / 2 - 4410, 4410); };
    const double full = recentRms();
    EXPECT_NEAR(full, 0.5 / std::sqrt(2.0), 0.01);
    for (const auto& [group, local, expected] :
         {std::tuple{0.5, 0.5, 0.25}, std::tuple{2.0, 0.8, 1.0}, std::tuple{-1.0, 0.5, 0.0}}) {
        rig.player->groupVolume = group;
        rig.player->localVolume = local;
        rig.player->applyVolume();
        EXPECT_FLOAT_EQ(rig.player->nodeVolume(), float(expected));
        rig.runFor(0.3);
        EXPECT_NEAR(recentRms(), full * expected, 0.005);
    }

    rig.player->delayMs = 20.0;
    rig.runFor(1.0);
    ASSERT_TRUE(rig.player->lastErrorMs());
    EXPECT_NEAR(*rig.player->lastErrorMs(), -20.0, 0.5);
    rig.player->schedule("delay changed");
    EXPECT_EQ(rig.logCount("[speaker] delay changed: frame "), 1U);
    // Before the first measurement of the new start, while the rate is nominal.
    const int64_t from = rig.world.nowNs() + 200 * msNs;
    rig.runFor(0.4);
    const std::vector<double> early = rig.alignmentsSince(from);
    ASSERT_FALSE(early.empty());
    for (double alignment : early) {
        EXPECT_NEAR(alignment, -20e6, frameNs);
    }
}

// Sound cards and clocks that drift: after the controller has converged the output stays
// within a millisecond of the timeline, with the rate trimmed by at most 0.3 %.
struct DriftCase {
    double cardPpm;
    double clockSkewPpm;
};

// The name is GoogleTest's hook for printing a parameter.
void PrintTo(const DriftCase& c, std::ostream* out) { // NOLINT(readability-identifier-naming)
    *out << "card " << c.cardPpm << " ppm, clock " << c.clockSkewPpm << " ppm";
}

class SyncPlayerDriftControl : public testing::TestWithParam<DriftCase> {};

TEST_P(SyncPlayerDriftControl, StaysWithinAMillisecondAfterConvergence) {
    PlayerRig rig({.cardPpm = GetParam().cardPpm, .clockSkewPpm = GetParam().clockSkewPpm});
    float lowest = 1.0F;
    float highest = 1.0F;
    rig.card().setHeardHandler([&](const SimHeardBuffer&) {
        lowest = std::min(lowest, rig.player->varispeedRate());
        highest = std::max(highest, rig.player->varispeedRate());
    });
    rig.play("song.m4a", 1500 * msNs);
    rig.runFor(55.0);
    EXPECT_EQ(rig.logCount("hard re-sync"), 0U);
    EXPECT_EQ(rig.player->underrunFrames(), 0);
    const std::vector<double> settled = rig.alignmentsSince(30 * secondNs);
    ASSERT_GT(settled.size(), 1000U);
    EXPECT_LT(maxAbs(settled), 1e6);
    EXPECT_GE(lowest, 0.997F);
    EXPECT_LE(highest, 1.003F);
    // The integral has learned the card's drift against the timeline.
    EXPECT_NEAR(rig.player->drift().integral * 1e6, GetParam().cardPpm, 10.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, SyncPlayerDriftControl,
    testing::Values(DriftCase{100, 20}, DriftCase{-100, -20}, DriftCase{0, 20}),
    [](const testing::TestParamInfo<DriftCase>& info) {
        auto ppm = [](double v) {
            return (v < 0 ? "minus" : "plus") + std::to_string(int(std::abs(v))) + "ppm";
        };
        return "card_" + ppm(info.param.cardPpm) + "_clock_" + ppm(info.param.clockSkewPpm);
    });

} // namespace
} // namespace merriphonic::speaker_test
