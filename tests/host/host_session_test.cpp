// A host session in virtual time against speakers played by the test: what each speaker
// receives, and what the host publishes. Admission, transfers, and the playback decisions:
// start, late speakers, prefetch, pause, seek, resume, end of song, volume, delay.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/time_units.h"
#include "platform/prefs.h"
#include "tests/host/host_rig.h"

namespace merriphonic::host_test {
namespace {

using Names = std::vector<std::string>;

TEST(HostSession, AdmitsSevenAnswersHellosFollowsStatusAndEndsTheParty) {
    HostRig rig;
    const LibraryTrack song = addReadyTrack(*rig.library, "Song", randomBytes(10'000, 1), 180'000);
    rig.session->start("Kitchen", false);
    rig.session->select(song);

    for (int i = 0; i < 6; ++i) {
        rig.join("spk" + std::to_string(i));
    }
    ScriptedSpeaker& quiet = rig.join("quiet", false);
    ScriptedSpeaker& first = *rig.speakers[0];
    EXPECT_EQ(first.names(), (Names{"WELCOME", "VOLUME", "TRACK_OFFER"}));
    EXPECT_EQ(first.all<Welcome>()[0], (Welcome{1, rig.session->hostId(), "Kitchen"}));
    EXPECT_EQ(first.all<Volume>()[0].volume, 1.0);
    EXPECT_EQ(first.all<TrackOffer>()[0],
              (TrackOffer{*song.trackKey, "Song", "The Band", "m4a", 10'000, 180'000}));
    first.hello();
    rig.run(0.1);
    EXPECT_EQ(first.names(),
              (Names{"WELCOME", "VOLUME", "TRACK_OFFER", "WELCOME", "VOLUME", "TRACK_OFFER"}));

    // The eighth is turned away, whether or not the others have said HELLO.
    ScriptedSpeaker& eighth = rig.join("eighth");
    rig.run(2);
    EXPECT_EQ(eighth.names(), Names{"BYE"});
    EXPECT_TRUE(eighth.closeReason.has_value());
    ASSERT_EQ(rig.session->rows()->size(), 8u);
    EXPECT_EQ(rig.row("eighth"), nullptr);

    // Chips follow what each speaker reports.
    const std::string& key = *song.trackKey;
    rig.speakers[0]->status("loading", key, 500, 1'000);
    rig.speakers[1]->status("loading", key, 500, 0);
    rig.speakers[4]->status("ready", key, 10'000, 10'000);
    rig.run(0.1);
    EXPECT_EQ(rig.row("spk0")->chip, "Loading 50%");
    EXPECT_EQ(rig.row("spk1")->chip, "Loading 0%");
    EXPECT_EQ(rig.row("spk0")->rttMs, 12.5);
    EXPECT_EQ(rig.row("spk0")->delayMs, 30);

    // A speaker's BYE removes its row.
    rig.speakers[5]->send(Bye{});
    rig.run(0.1);
    EXPECT_EQ(rig.row("spk5"), nullptr);

    rig.session->endParty();
    rig.session->endParty();
    rig.run(2);
    EXPECT_EQ(rig.speakers[0]->names().back(), "BYE");
    EXPECT_EQ(quiet.names().size(), 0u);
    for (const auto& speaker : rig.speakers) {
        EXPECT_TRUE(speaker->closeReason.has_value()) << speaker->device.name();
    }
    EXPECT_FALSE(*rig.session->isRunning());
    EXPECT_EQ(rig.session->rows()->size(), 1u);
    EXPECT_EQ(*rig.session->currentTrackId(), song.id);
}

TEST(HostSession, SendsRequestedTracksAndReportsProgress) {
    HostRig rig;
    const Bytes content = randomBytes(10'000, 2);
    const LibraryTrack song = addReadyTrack(*rig.library, "Song", content, 60'000);
    const std::string& key = *song.trackKey;
    rig.session->start("Kitchen", false);
    rig.session->select(song);
    EXPECT_EQ(*rig.session->sendProgress(), 1.0); // nobody to send to
    ScriptedSpeaker& a = rig.join("a");
    ScriptedSpeaker& b = rig.join("b");
    b.status("loading", key, 0, 10'000);
    rig.run(0.1);
    EXPECT_EQ(*rig.session->sendProgress(), 0.0);

    a.send(TrackHave{key, 0});
    b.send(TrackHave{"not a key", 0});
    rig.run(1);
    EXPECT_EQ(a.names(), (Names{"WELCOME", "VOLUME", "TRACK_OFFER", "TRACK_DONE"}));
    EXPECT_EQ(a.files[key], content);
    EXPECT_EQ(b.all<TrackChunk>().size(), 0u);
    EXPECT_EQ(*rig.session->sendProgress(), 0.5); // all sent to a, nothing to b

    // Progress counts what a speaker reports having, and a speaker that has the track whole.
    a.status("ready", key, 10'000, 10'000);
    b.status("loading", key, 5'000, 10'000);
    rig.run(0.1);
    EXPECT_EQ(*rig.session->sendProgress(), 0.75);

    // Asking from the end gets TRACK_DONE at once; an offset past the end restarts.
    const size_t before = b.all<TrackChunk>().size();
    b.send(TrackHave{key, 10'000});
    rig.run(0.5);
    EXPECT_EQ(b.all<TrackChunk>().size(), before);
    EXPECT_EQ(b.names().back(), "TRACK_DONE");
    b.send(TrackHave{key, 10'001});
    rig.run(0.5);
    EXPECT_EQ(b.files[key], content);
}

int64_t untilStartMs(const Play& play, const HostRig& rig) {
    return (play.startAtHostNs - rig.world.nowNs()) / nsPerMs;
}

TEST(HostPlayback, StartsWhenReadyCatchesUpLateSpeakersAndFollowsTheSong) {
    HostRig rig;
    const LibraryTrack one = addReadyTrack(*rig.library, "One", randomBytes(10'000, 4), 180'000);
    const LibraryTrack two = addReadyTrack(*rig.library, "Two", randomBytes(6'000, 5), 20'000);
    addReadyTrack(*rig.library, "Unready", randomBytes(100, 6), 1'000);
    rig.library->tracks.modify([](auto& list) { list.back().state = LibraryTrack::State::failed; });
    const std::string& k1 = *one.trackKey;
    const std::string& k2 = *two.trackKey;
    rig.session->start("Kitchen", false);
    ScriptedSpeaker& a = rig.join("a");
    ScriptedSpeaker& b = rig.join("b");
    a.willing = true;
    // Both have reported, so both are waited for.
    a.status("idle");
    b.status("idle");
    rig.run(0.1);

    rig.session->select(one);
    rig.run(1);
    EXPECT_EQ(*rig.session->playback(), HostPlayback::waiting);
    EXPECT_TRUE(a.all<Play>().empty());
    // Back to synchronising its clock, b is no longer waited for.
    b.status("syncing");
    rig.run(0.02);
    ASSERT_EQ(*rig.session->playback(), HostPlayback::playing);
    const Play play = a.all<Play>().at(0);
    EXPECT_EQ(play.trackKey, k1);
    EXPECT_EQ(play.positionMs, 0);
    EXPECT_NEAR(untilStartMs(play, rig), 1'500, 20);
    EXPECT_EQ(b.all<Play>(), std::vector<Play>{play});

    // b gets the whole track and then the same PLAY once more, and only once.
    b.send(TrackHave{k1, 0});
    rig.run(1);
    b.status("ready", k1, 10'000, 10'000);
    b.status("ready", k1, 10'000, 10'000);
    rig.run(0.1);
    EXPECT_EQ(b.all<Play>(), (std::vector<Play>{play, play}));

    // Paused, every speaker is told where.
    rig.run(3);
    const int64_t pausedAt = (rig.world.nowNs() - play.startAtHostNs) / nsPerMs;
    rig.session->pause();
    rig.run(0.1);
    EXPECT_EQ(*rig.session->positionMs(), pausedAt);
    EXPECT_EQ(a.all<Pause>(), (std::vector<Pause>{{k1, pausedAt}}));

    // A seek while paused moves the position only; resuming plays from there with 0.8 s lead.
    const size_t sentToA = a.received.size();
    rig.session->seek(200'000);
    rig.run(0.1);
    EXPECT_EQ(a.received.size(), sentToA);
    EXPECT_EQ(rig.session->pausedAtMs(), 179'500);
    rig.session->togglePlayPause();
    const Play resumed = *rig.session->currentPlay();
    EXPECT_EQ(resumed.positionMs, 179'500);
    EXPECT_EQ(untilStartMs(resumed, rig), 800);
    rig.run(0.1);
    EXPECT_EQ(a.all<Play>().back(), resumed);

    // Past the duration the position stays at it; 400 ms later the next track is chosen.
    const size_t stops = b.all<Stop>().size();
    rig.run(1.5);
    EXPECT_EQ(*rig.session->positionMs(), 180'000);
    EXPECT_EQ(*rig.session->currentTrackId(), one.id);
    rig.run(0.4);
    EXPECT_EQ(*rig.session->currentTrackId(), two.id);
    EXPECT_EQ(b.all<TrackOffer>().back().trackKey, k2);
    EXPECT_EQ(b.all<Stop>().size(), stops + 1);
    EXPECT_EQ(*rig.session->playback(), HostPlayback::waiting); // b lacks it

    // Play/pause while waiting starts at once; after the last playable song all stops.
    rig.session->togglePlayPause();
    EXPECT_EQ(untilStartMs(*rig.session->currentPlay(), rig), 1'500);
    rig.run(1.5 + 20 + 0.7); // the grace, and a tick of the 250 ms timer
    EXPECT_EQ(*rig.session->playback(), HostPlayback::idle);
    EXPECT_EQ(*rig.session->currentTrackId(), two.id);
    EXPECT_EQ(b.all<Stop>().size(), stops + 2);
    EXPECT_EQ(*rig.session->positionMs(), 0);
}

TEST(HostPlayback, SeekClampsVolumeIsDebouncedAndDelayIsClamped) {
    HostRig rig;
    const LibraryTrack song = addReadyTrack(*rig.library, "Song", randomBytes(1'000, 7), 180'000);
    const LibraryTrack unknownLength =
        addReadyTrack(*rig.library, "Unknown", randomBytes(1'000, 8), 0);
    rig.session->start("Kitchen", false);
    ScriptedSpeaker& a = rig.join("a");

    // Nobody reported yet: nobody is waited for.
    rig.session->select(unknownLength);
    EXPECT_EQ(*rig.session->playback(), HostPlayback::playing);
    rig.session->seek(5'000);
    EXPECT_EQ(rig.session->currentPlay()->positionMs, 0);
    rig.session->select(song);
    rig.session->seek(200'000);
    EXPECT_EQ(rig.session->currentPlay()->positionMs, 179'500);
    rig.session->seek(-20);
    EXPECT_EQ(rig.session->currentPlay()->positionMs, 0);

    for (int i = 1; i <= 5; ++i) {
        rig.session->setGroupVolume(0.1 * i);
        rig.run(0.05);
    }
    rig.run(0.2);
    // One at HELLO, one for the five changes.
    EXPECT_EQ(a.all<Volume>(), (std::vector<Volume>{{1.0}, {0.5}}));
    EXPECT_DOUBLE_EQ(Prefs::groupVolume(rig.host.prefs()), 0.5);
    rig.session->setGroupVolume(7.0);
    EXPECT_EQ(*rig.session->groupVolume(), 1.0);

    rig.session->setDelayMs(900);
    EXPECT_EQ(*rig.session->delayMs(), 500);
    EXPECT_EQ(Prefs::delayMs(rig.host.prefs()), 500);
    EXPECT_EQ(rig.session->rows()->front().delayMs, 500);
}

} // namespace
} // namespace merriphonic::host_test
