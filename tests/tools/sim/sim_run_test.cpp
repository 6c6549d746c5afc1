// The simulator's engine: its script language, that events happen when asked, and that a seed
// gives the same party again.
#include "core/time_units.h"
#include "tools/sim/sim_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace merriphonic {
namespace {

TEST(SimEvents, ParseTimesActionsAndSpeakersAndRefuseTheRest) {
    const auto pause = parseSimEvent("60s:pause");
    ASSERT_TRUE(pause) << pause.error();
    EXPECT_EQ(pause->atNs, 60'000'000'000);
    EXPECT_EQ(pause->kind, SimEvent::Kind::pause);
    const auto seek = parseSimEvent("1.5m:seek:90s");
    ASSERT_TRUE(seek) << seek.error();
    EXPECT_EQ(seek->atNs, 90'000'000'000);
    EXPECT_EQ(seek->seekMs, 90'000);
    const auto drop = parseSimEvent("12:drop:spk3");
    ASSERT_TRUE(drop) << drop.error();
    EXPECT_EQ(drop->atNs, 12'000'000'000);
    EXPECT_EQ(drop->speaker, 2);

    for (const char* bad :
         {"pause", "60s", "-1s:pause", "10s:dance", "10s:seek", "10s:seek:x", "10s:drop",
          "10s:drop:spk0", "10s:drop:host", "10s:next:now", "s:end", "10q:end"}) {
        const auto refused = parseSimEvent(bad);
        ASSERT_FALSE(refused) << bad;
        EXPECT_FALSE(refused.error().empty()) << bad;
    }

    EXPECT_EQ(*parseSimDelay("spk2:-200"), (SimDelay{1, -200}));
    for (const char* bad : {"spk2", "spk2:", "spk2:501", "spk2:1.5", "host:10", "spk0:10"}) {
        const auto refused = parseSimDelay(bad);
        ASSERT_FALSE(refused) << bad;
        EXPECT_FALSE(refused.error().empty()) << bad;
    }
}

// A small party, with a pause, a resume and a seek.
SimRunOptions scripted(uint64_t seed) {
    SimRunOptions options;
    options.party.speakers = 2;
    options.party.seed = seed;
    options.songSeconds = 14.0;
    options.settleSeconds = 2.0;
    for (const char* text : {"8s:pause", "9s:play", "12s:seek:3s"}) {
        options.events.push_back(*parseSimEvent(text));
    }
    return options;
}

TEST(SimRun, EventsHappenWhenAskedAndASeedGivesThePartyAgain) {
    const SimRunReport report = runSimParty(scripted(5));
    ASSERT_TRUE(report.ok) << report.failure;
    ASSERT_TRUE(report.firstSoundS && report.allReadyS);
    ASSERT_LT(*report.firstSoundS, 8.0) << "the script assumes the song plays by then";
    ASSERT_EQ(report.eventsDone.size(), 3u);
    EXPECT_NEAR(report.eventsDone[0].second, 8.0, 0.1);
    EXPECT_NEAR(report.eventsDone[2].second, 12.0, 0.1);

    // What the host's sound card did: the first start, the resume (0.8 s of lead after the
    // PLAY, where the pause left it) and the seek to 3 s.
    ASSERT_EQ(report.hostStarts.size(), 3u);
    EXPECT_NEAR(report.hostStarts[1].first, 9.8, 0.15);
    EXPECT_NEAR(report.hostStarts[1].second, (8.0 - *report.firstSoundS) * 1000.0, 150.0);
    EXPECT_NEAR(report.hostStarts[2].first, 12.8, 0.15);
    EXPECT_NEAR(report.hostStarts[2].second, 3'000.0, 10.0);
    for (const auto& speaker : report.speakers) {
        EXPECT_GT(speaker.buffers, 100u) << speaker.name;
        EXPECT_LT(speaker.maxMs, 1.0) << speaker.name;
    }
    const std::string json = simReportJson(report);
    EXPECT_NE(json.find("\"sim.align_p99_ms\":"), std::string::npos);
    EXPECT_NE(simReportSvg(report).find("<polyline"), std::string::npos);

    // The same seed: the same party, to the nanosecond.
    const SimRunReport again = runSimParty(scripted(5));
    EXPECT_EQ(again.hostStarts, report.hostStarts);
    EXPECT_EQ(again.speakers.front().series, report.speakers.front().series);
}

} // namespace
} // namespace merriphonic
