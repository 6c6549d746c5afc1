// A speaker session against a host played by the test: clock bursts, commands and the
// reported state, playback on the group timeline heard through its virtual sound card, the
// end of a party; and discovery over the simulated air.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/prefs.h"
#include "platform/sim/sim_air.h"
#include "tests/speaker/session_rig.h"
#include "transport/host_peripheral.h"

namespace merriphonic::speaker_test {
namespace {

// Heard minus planned world time of the media in every buffer heard from worldNs on, in ms. The
// plan: media position p is heard when the host clock reads start + p.
std::vector<double> alignmentMs(const SessionRig& rig, const Play& play, int64_t fromWorldNs) {
    // The host clock runs at world rate from 0, so host time is world time.
    std::vector<double> errors;
    for (const SimHeardBuffer& buffer : rig.cards.output()->heardBuffers()) {
        if (buffer.heardWorldNs >= fromWorldNs && buffer.mediaFrame) {
            const double planned =
                double(play.startAtHostNs) +
                (*buffer.mediaFrame / 44'100.0 * 1e3 - double(play.positionMs)) * 1e6;
            errors.push_back((double(buffer.heardWorldNs) - planned) / 1e6);
        }
    }
    return errors;
}

double worst(const std::vector<double>& values) {
    double result = 0;
    for (double value : values) {
        result = std::max(result, std::abs(value));
    }
    return result;
}

class SpeakerSessionTest : public ::testing::Test {
protected:
    SpeakerSessionTest() {
        rig.speaker.prefs().setText("name", "  Den  ");
        song = fileBytes(testmedia::media().get("chirp.m4a"));
        key = TrackKey::of(ByteView(song)).hex();
    }
    void deliverSong(int64_t upTo = -1) {
        rig.offer(key, int64_t(song.size()));
        rig.chunks(song, 0, upTo < 0 ? int64_t(song.size()) : upTo);
    }

    SessionRig rig;
    Bytes song;
    std::string key;
};

TEST_F(SpeakerSessionTest, SyncsPlaysOnTheTimelineAndFollowsTheHostsCommands) {
    rig.connect();
    EXPECT_EQ(*rig.session->phase(), SpeakerSession::Phase::syncing());
    rig.run(1.2);
    ASSERT_GE(rig.received.size(), 2u);
    const Hello hello = *rig.received[0].as<Hello>();
    EXPECT_EQ(hello.name, "Den");
    EXPECT_EQ(hello.platform, "linux");
    EXPECT_EQ(hello.id, Prefs::deviceId(rig.speaker.prefs()));
    EXPECT_EQ(rig.received[1].as<Status>()->state, "syncing");
    // Twenty PINGs in the first second, then five every two seconds.
    EXPECT_EQ(rig.session->clock().samples().size(), 20u);
    EXPECT_EQ(*rig.session->phase(), SpeakerSession::Phase::connected());
    rig.run(2);
    EXPECT_EQ(rig.session->clock().samples().size(), 25u);
    EXPECT_LT(std::abs(*rig.session->clock().offsetNs() - rig.trueOffsetNs()), sessionMsNs / 2);
    EXPECT_EQ(*rig.session->partyName(), "Kitchen");

    deliverSong();
    rig.run(1);
    ASSERT_EQ(*rig.session->state(), SpeakerState::ready);
    EXPECT_EQ(rig.lastStatus()->bytes, int64_t(song.size()));
    EXPECT_EQ(*rig.session->title(), "Song");

    const Play play{key, rig.hostNowNs() + 1'500 * sessionMsNs, 0};
    rig.send(play);
    rig.run(0.5);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);
    EXPECT_EQ(rig.lastStatus()->state, "playing");
    const uint64_t generation = rig.session->player().generation();
    rig.send(play); // a repeat
    rig.send(Pause{"not hex", 10});
    rig.send(Play{"xyz", play.startAtHostNs, 0});
    rig.run(2);
    EXPECT_EQ(rig.session->player().generation(), generation);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);
    EXPECT_LT(worst(alignmentMs(rig, play, play.startAtHostNs)), 1.0);
    EXPECT_NEAR(double(*rig.session->positionMs()), 1'000, 300);

    // The same PLAY counts again after a PAUSE, and after a STOP.
    rig.send(Pause{key, 1'000});
    rig.run(0.1);
    EXPECT_EQ(*rig.session->state(), SpeakerState::paused);
    EXPECT_EQ(*rig.session->positionMs(), 1'000);
    rig.send(play);
    rig.run(0.1);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);
    rig.send(Stop{});
    rig.run(0.1);
    EXPECT_EQ(*rig.session->state(), SpeakerState::idle);
    rig.send(play);
    rig.run(0.1);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);

    rig.send(Volume{1.7});
    rig.run(0.1);
    EXPECT_EQ(rig.session->groupVolume(), 1.0);
    rig.send(Volume{-0.2});
    rig.run(0.1);
    EXPECT_EQ(rig.session->groupVolume(), 0.0);
    EXPECT_EQ(rig.session->player().nodeVolume(), 0.0F);
    rig.session->setDelayMs(800);
    EXPECT_EQ(*rig.session->delayMs(), 500);
    EXPECT_EQ(Prefs::delayMs(rig.speaker.prefs()), 500);
    rig.run(0.5);
    EXPECT_EQ(rig.lastStatus()->delayMs, 500);

    rig.send(Bye{});
    rig.run(0.5);
    EXPECT_EQ(*rig.session->phase(),
              SpeakerSession::Phase::disconnected("The host ended the party"));
    const size_t sent = rig.received.size();
    rig.run(5);
    EXPECT_EQ(rig.received.size(), sent);
    EXPECT_EQ(rig.session->connection(), nullptr);
}

TEST_F(SpeakerSessionTest, APlayBeforeTheSongIsWholeJoinsMidSongOnTheTimeline) {
    rig.connect();
    rig.run(1.5);
    deliverSong(int64_t(song.size()) / 2);
    rig.run(0.5);
    const Play play{key, rig.hostNowNs() + 200 * sessionMsNs, 0};
    rig.send(play);
    rig.run(1);
    EXPECT_EQ(*rig.session->state(), SpeakerState::loading);
    EXPECT_EQ(rig.logCount("before it finished downloading → will join mid-song"), 1u);
    rig.chunks(song, int64_t(song.size()) / 2, int64_t(song.size()));
    rig.run(1);
    EXPECT_EQ(*rig.session->state(), SpeakerState::playing);
    ASSERT_TRUE(rig.session->player().plan().has_value());
    EXPECT_TRUE(rig.session->player().plan()->isLateJoin);
    const std::vector<double> errors = alignmentMs(rig, play, play.startAtHostNs);
    ASSERT_FALSE(errors.empty());
    EXPECT_LT(worst(errors), 1.0);

    // The link fails: the speaker says so and stops talking.
    rig.link->fail(SimLinkSide::b, "Connection reset by peer");
    rig.run(0.5);
    EXPECT_EQ(*rig.session->phase(), SpeakerSession::Phase::disconnected("Disconnected from host"));
    EXPECT_EQ(*rig.session->state(), SpeakerState::syncing);
}

TEST(SpeakerDiscovery, PartiesComeAndGoAndAJoinWithTheRadioOffFailsClearly) {
    SimWorld world(4);
    SimAir air(world);
    SimDevice hostDevice(world, "host");
    SimDevice speakerDevice(world, "spk");
    air.attach(hostDevice, {0, 0});
    SimRadio& radio = air.attach(speakerDevice, {2, 0});
    auto peripheral = HostPeripheral::create(hostDevice.context());
    peripheral->start("Kitchen");
    auto session = SpeakerSession::create(speakerDevice.context());
    session->startScanning();
    world.runFor(sessionSecNs);
    ASSERT_EQ(session->discovered()->size(), 1u);
    EXPECT_EQ(session->discovered()->front().name, "Kitchen");
    const DiscoveredHost kitchen = session->discovered()->front();

    // Seen for the last time now: gone within 10 to 12 s.
    peripheral->stop();
    const int64_t lastSeenNs = world.nowNs();
    while (!session->discovered()->empty() && world.nowNs() - lastSeenNs < 20 * sessionSecNs) {
        world.runFor(100 * sessionMsNs);
    }
    const int64_t goneAfterNs = world.nowNs() - lastSeenNs;
    EXPECT_GE(goneAfterNs, 10 * sessionSecNs);
    EXPECT_LE(goneAfterNs, 12 * sessionSecNs + 100 * sessionMsNs);

    radio.setState(RadioState::poweredOff);
    world.runFor(100 * sessionMsNs);
    session->join(kitchen);
    EXPECT_EQ(session->phase()->kind, SpeakerSession::Phase::Kind::failed);
    EXPECT_EQ(session->phase()->text, "Bluetooth is off. Turn it on to join a party.");
}

} // namespace
} // namespace merriphonic::speaker_test
