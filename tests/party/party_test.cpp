// Whole parties in virtual time: a host and real speaker sessions on simulated computers with
// clocks seconds apart, skewed clocks and sound-card crystals, judged from what their virtual
// sound cards heard and when.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_link.h"
#include "speaker/track_cache.h"
#include "tests/party/fixture/sim_party.h"

namespace merriphonic::party_test {
namespace {

constexpr int64_t ms = SimParty::msNs;
constexpr int64_t sec = SimParty::secNs;
constexpr double framesPerMs = SimParty::mediaRate / 1000.0;
// Buffers of 256 frames a card plays in a second.
constexpr double buffersPerSecond = SimParty::mediaRate / 256.0;

using Kind = SpeakerSession::Phase::Kind;

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::filesystem::path cachedFile(const SimPartySpeaker& speaker, const LibraryTrack& entry) {
    return TrackCache::file(speaker.session->cacheFolder(), *entry.trackKey, *entry.ext);
}

// What the host has written towards the speaker on its newest channel.
uint64_t hostBytesOnNewestChannel(const SimPartySpeaker& speaker) {
    const auto channels = speaker.device.radio->channels();
    return channels.empty() ? 0 : channels.back()->stats(SimLinkSide::b).bytesWritten;
}

std::vector<SimPartyDevice*> everyDevice(SimParty& party) {
    std::vector<SimPartyDevice*> devices{&party.host()};
    for (int i = 0; i < party.speakerCount(); ++i) {
        devices.push_back(&party.speaker(i).device);
    }
    return devices;
}

// A speaker that comes in while the song plays starts on the round-trip clock estimate, up to
// half a connection interval off: its link has carried song chunks since it joined, and only
// quiet exchanges show the event grid. When they do, the speaker starts the song there again.
constexpr double joinBoundMs = 15.0;

// The speaker heard the same media frames as the host within boundMs, over at least `seconds`
// of buffers in [from, to).
void expectAligned(const SimParty& party, int speaker, int64_t from, int64_t to, double seconds,
                   const std::string& step, double boundMs = 1.0) {
    const std::vector<double> errors = party.alignmentErrorsMs(speaker, from, to);
    const std::string& name = party.speaker(speaker).device.name();
    EXPECT_GE(static_cast<double>(errors.size()), seconds * buffersPerSecond)
        << step << ": " << name;
    EXPECT_LT(SimParty::percentileAbs(errors, 100), boundMs)
        << step << ": " << name << " p50 " << SimParty::percentileAbs(errors, 50) << " ms";
}

// How long after the world time the device still heard media, in ms (0 when none).
double stillHeardMs(const SimParty& party, const SimPartyDevice& device, int64_t from) {
    const std::vector<SimHeardBuffer> heard = party.mediaHeard(device, from);
    return heard.empty() ? 0.0 : static_cast<double>(heard.back().heardWorldNs - from) / 1e6;
}

// Where in the song the device's first stretch of media after the world time began, in ms
// (-1 when it heard none).
double startPositionMs(const SimParty& party, const SimPartyDevice& device, int64_t from) {
    const std::vector<SimHeardBuffer> starts = party.mediaStarts(device, from);
    return starts.empty() ? -1.0 : *starts.front().mediaFrame / framesPerMs;
}

TEST(Party, SevenSpeakersHearTheSongWithinAMillisecondOfTheHostAndGoQuietWhenThePartyEnds) {
    SimParty party({.speakers = 7, .seed = 7});
    const std::optional<LibraryTrack> song = party.addSong(30.0);
    ASSERT_TRUE(song && song->state == LibraryTrack::State::ready);
    ASSERT_TRUE(party.joinAll());
    EXPECT_EQ(party.session().rows()->size(), 8u); // the host's own row and seven speakers

    party.select(*song);
    ASSERT_TRUE(party.runUntil(
        [&] {
            for (SimPartyDevice* device : everyDevice(party)) {
                if (!party.firstMediaHeard(*device, *party.selectedAtWorldNs())) {
                    return false;
                }
            }
            return true;
        },
        120 * sec, 100 * ms));
    const int64_t start =
        party.firstMediaHeard(party.host(), *party.selectedAtWorldNs())->heardWorldNs;
    party.runFor(start + 28 * sec - party.nowNs());

    const SimPartyFigures figures = party.figures(start + 5 * sec);
    std::printf("%s\n", figures.line().c_str());
    for (int i = 0; i < party.speakerCount(); ++i) {
        expectAligned(party, i, start + 5 * sec, party.nowNs(), 20.0, "after 5 s");
        // Everybody starts together: the first sound is the song's beginning, at the host's.
        EXPECT_NEAR(*figures.speakers[size_t(i)].firstSoundS, *figures.hostFirstSoundS, 0.001);
        EXPECT_NEAR(startPositionMs(party, party.speaker(i).device, start), 0.0, 10.0);
        ASSERT_TRUE(figures.speakers[size_t(i)].offsetErrorNs);
        EXPECT_LT(std::abs(*figures.speakers[size_t(i)].offsetErrorNs), 1'000'000);
    }

    // Each speaker got the song once, whole, and keeps it in its cache.
    const std::string wire = contents(party.wireFile(*song));
    for (int i = 0; i < party.speakerCount(); ++i) {
        const SimPartySpeaker& speaker = party.speaker(i);
        EXPECT_EQ(contents(cachedFile(speaker, *song)), wire) << speaker.device.name();
        const uint64_t sent = hostBytesOnNewestChannel(speaker);
        EXPECT_GE(sent, wire.size());
        EXPECT_LT(sent, wire.size() + wire.size() / 20 + 16'384) << speaker.device.name();
    }

    // The song plays to its end everywhere, then every card falls silent.
    const int64_t end = start + song->durationMs * ms;
    party.runFor(end + 2 * sec - party.nowNs());
    EXPECT_EQ(*party.session().playback(), HostPlayback::idle);
    for (SimPartyDevice* device : everyDevice(party)) {
        const std::vector<SimHeardBuffer> tail = party.mediaHeard(*device, end - sec);
        ASSERT_FALSE(tail.empty()) << device->name();
        EXPECT_GT(*tail.back().mediaFrame / framesPerMs, double(song->durationMs - 50));
        EXPECT_LT(tail.back().heardWorldNs, end + 50 * ms) << device->name();
    }

    // Chosen again, the cached song starts without a second transfer; the host ends the party
    // while it plays and every card falls silent.
    std::vector<uint64_t> sentBefore;
    sentBefore.reserve(size_t(party.speakerCount()));
    for (int i = 0; i < party.speakerCount(); ++i) {
        sentBefore.push_back(hostBytesOnNewestChannel(party.speaker(i)));
    }
    party.select(*song);
    ASSERT_TRUE(party.runUntil(
        [&] { return !party.mediaStarts(party.host(), *party.selectedAtWorldNs()).empty(); },
        10 * sec));
    party.runFor(2 * sec);
    for (int i = 0; i < party.speakerCount(); ++i) {
        const SimPartySpeaker& speaker = party.speaker(i);
        EXPECT_LT(hostBytesOnNewestChannel(speaker) - sentBefore[size_t(i)], 4'096u);
        EXPECT_GT(party.mediaHeard(speaker.device, party.nowNs() - sec).size(), 100u);
    }
    const int64_t endedAt = party.nowNs();
    party.session().endParty();
    party.runFor(2 * sec);
    EXPECT_FALSE(*party.session().isRunning());
    for (int i = 0; i < party.speakerCount(); ++i) {
        EXPECT_EQ(*party.speaker(i).session->phase(),
                  SpeakerSession::Phase::disconnected("The host ended the party"));
    }
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_LT(stillHeardMs(party, *device, endedAt), 100.0) << device->name();
    }
}

// A smaller party through a song's life: a speaker that joins mid-song and loses its link in the
// middle of the transfer, pause, seek, next, a speaker leaving and coming back, removals.
TEST(Party, SpeakersFollowJoinsLossesPauseSeekNextLeavingAndRemoval) {
    SimParty party({.speakers = 2, .seed = 21});
    const std::optional<LibraryTrack> first = party.addSong(30.0, 1);
    const std::optional<LibraryTrack> second = party.addSong(20.0, 2);
    ASSERT_TRUE(first && second && second->state == LibraryTrack::State::ready);
    ASSERT_TRUE(party.joinAll());
    party.select(*first);
    ASSERT_TRUE(party.runUntil(
        [&] { return party.firstMediaHeard(party.host(), *party.selectedAtWorldNs()).has_value(); },
        60 * sec));
    const int64_t start =
        party.firstMediaHeard(party.host(), *party.selectedAtWorldNs())->heardWorldNs;

    // ---- A third speaker joins mid-song; its link drops halfway through the song's transfer.
    SimPartySpeaker& late = party.speaker(party.addSpeaker());
    party.join(2);
    const auto held = [&] { return TrackCache::length(cachedFile(late, *first)); };
    ASSERT_TRUE(party.runUntil([&] { return held() >= *first->size / 2; }, 30 * sec));
    const int64_t heldAtLoss = held();
    const uint64_t sentBeforeLoss = hostBytesOnNewestChannel(late);
    late.device.radio->loseLinkWith(*party.host().radio);
    ASSERT_TRUE(
        party.runUntil([&] { return late.session->phase()->is(Kind::disconnected); }, 5 * sec));
    EXPECT_GE(held(), heldAtLoss); // what arrived stays cached
    EXPECT_LT(held(), *first->size);
    EXPECT_EQ(party.session().rows()->size(), 3u);

    // What the host has sent when the speaker has the song whole, before the next song's
    // prefetch shares the channel.
    std::optional<uint64_t> resent;
    const auto watch = late.session->state().subscribe([&](SpeakerState state) {
        if (!resent && (state == SpeakerState::ready || state == SpeakerState::playing)) {
            resent = hostBytesOnNewestChannel(late);
        }
    });
    late.session->retry();
    ASSERT_TRUE(party.runUntil([&] { return resent.has_value(); }, 30 * sec));
    late.session->state().unsubscribe(watch);
    EXPECT_GT(sentBeforeLoss, 0u);
    EXPECT_GE(*resent, uint64_t(*first->size - heldAtLoss));
    EXPECT_LT(*resent, uint64_t(*first->size - heldAtLoss) + 16'384); // not from the beginning
    EXPECT_EQ(contents(cachedFile(late, *first)), contents(party.wireFile(*first)));
    ASSERT_TRUE(party.runUntil(
        [&] { return party.firstMediaHeard(late.device, start).has_value(); }, 5 * sec));
    const int64_t lateStart = party.firstMediaHeard(late.device, start)->heardWorldNs;
    // It comes in mid-song, where the others are, from its first sound on.
    EXPECT_GT(startPositionMs(party, late.device, start), 5'000.0);
    party.runFor(3 * sec);
    expectAligned(party, 2, lateStart, lateStart + sec / 2, 0.4, "first sound after joining",
                  joinBoundMs);
    expectAligned(party, 2, lateStart, party.nowNs(), 2.5, "joined mid-song", joinBoundMs);
    for (int i = 0; i < 2; ++i) {
        expectAligned(party, i, start + 5 * sec, party.nowNs(), 5.0, "while another joined");
    }

    // ---- Pause, then resume where it stopped.
    party.session().togglePlayPause();
    const int64_t pausedAt = party.nowNs();
    party.runFor(2 * sec);
    ASSERT_EQ(*party.session().playback(), HostPlayback::paused);
    const int64_t pausedMs = *party.session().pausedAtMs();
    // A speaker still receiving the next song gets the PAUSE behind what its channel's send
    // buffer already holds (about one chunk), so it stops up to an event or a few late.
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_LT(stillHeardMs(party, *device, pausedAt), 250.0) << device->name();
    }
    for (int i = 0; i < party.speakerCount(); ++i) {
        EXPECT_EQ(*party.speaker(i).session->state(), SpeakerState::paused);
    }
    party.session().togglePlayPause();
    const int64_t resumedAt = party.nowNs();
    party.runFor(3 * sec);
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_NEAR(startPositionMs(party, *device, resumedAt), double(pausedMs), 10.0)
            << device->name();
    }
    for (int i = 0; i < party.speakerCount(); ++i) {
        expectAligned(party, i, resumedAt + sec, party.nowNs(), 1.5, "after resuming");
    }

    // ---- Seek back to 4 s: media heard a second time, and together again.
    party.session().seek(4'000);
    const int64_t seekedAt = party.nowNs();
    party.runFor(3 * sec);
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_NEAR(startPositionMs(party, *device, seekedAt), 4'000.0, 10.0) << device->name();
    }
    for (int i = 0; i < party.speakerCount(); ++i) {
        expectAligned(party, i, seekedAt + sec, party.nowNs(), 1.5, "after seeking");
    }

    // ---- Next: the second song, prefetched while the first played, starts from its beginning.
    for (int i = 0; i < party.speakerCount(); ++i) {
        EXPECT_EQ(party.speaker(i).session->readyKeys().count(*second->trackKey), 1u);
    }
    party.session().next();
    const int64_t nextAt = party.nowNs();
    party.runFor(4 * sec);
    EXPECT_EQ(*party.session().currentTrackId(), second->id);
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_NEAR(startPositionMs(party, *device, nextAt), 0.0, 10.0) << device->name();
    }
    for (int i = 0; i < party.speakerCount(); ++i) {
        EXPECT_EQ(party.speaker(i).session->currentPlay()->trackKey, *second->trackKey);
        expectAligned(party, i, nextAt + 2 * sec, party.nowNs(), 1.5, "after next");
    }

    // ---- The first speaker leaves: silent, gone from the host's list; it comes back to the
    // song it already has and lands on the timeline without a new transfer.
    SimPartySpeaker& leaver = party.speaker(0);
    leaver.session->leave();
    const int64_t leftAt = party.nowNs();
    party.runFor(2 * sec);
    EXPECT_EQ(*leaver.session->phase(), SpeakerSession::Phase::idle());
    EXPECT_EQ(party.session().rows()->size(), 3u);
    EXPECT_LT(stillHeardMs(party, leaver.device, leftAt), 100.0);
    party.join(0);
    const int64_t rejoinedAt = party.nowNs();
    ASSERT_TRUE(party.runUntil(
        [&] { return party.firstMediaHeard(leaver.device, rejoinedAt).has_value(); }, 10 * sec));
    const int64_t backAt = party.firstMediaHeard(leaver.device, rejoinedAt)->heardWorldNs;
    party.runFor(3 * sec);
    EXPECT_EQ(party.session().rows()->size(), 4u);
    EXPECT_LT(hostBytesOnNewestChannel(leaver), 4'096u);
    expectAligned(party, 0, backAt, party.nowNs(), 2.5, "after coming back", joinBoundMs);

    // ---- Removing a song that is not playing deletes its files and leaves the music on.
    const std::filesystem::path firstWire = party.wireFile(*first);
    ASSERT_TRUE(std::filesystem::exists(firstWire));
    party.session().remove(*first);
    const int64_t removedAt = party.nowNs();
    party.runFor(sec);
    EXPECT_FALSE(party.library().track(first->id));
    EXPECT_FALSE(std::filesystem::exists(firstWire));
    EXPECT_FALSE(std::filesystem::exists(party.library().folder() / first->sourceFile));
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_GT(party.mediaHeard(*device, removedAt).size(), 100u) << device->name();
    }

    // ---- Removing the song that plays stops everybody.
    party.session().remove(*second);
    const int64_t stoppedAt = party.nowNs();
    party.runFor(2 * sec);
    EXPECT_EQ(*party.session().playback(), HostPlayback::idle);
    EXPECT_FALSE(party.session().currentTrackId()->has_value());
    for (SimPartyDevice* device : everyDevice(party)) {
        EXPECT_LT(stillHeardMs(party, *device, stoppedAt), 100.0) << device->name();
    }
    for (int i = 0; i < party.speakerCount(); ++i) {
        EXPECT_EQ(*party.speaker(i).session->state(), SpeakerState::idle);
        EXPECT_TRUE(party.isConnected(i));
    }
}

} // namespace
} // namespace merriphonic::party_test
