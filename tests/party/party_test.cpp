// Whole parties in virtual time: a host and real speaker sessions on simulated computers with
// clocks seconds apart, skewed clocks and sound-card crystals, judged from what their virtual
// sound cards heard and when. The life of a song and of a party, and faults under it: links,
// data and disks failing under a transfer, the host's radio switched off and on, speakers'
// clocks stepped. Each scenario ends with every song whole on every speaker and every speaker
// heard with the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_link.h"
#include "speaker/track_cache.h"
#include "tests/party/fixture/sim_disk_space.h"
#include "tools/sim/sim_party.h"

namespace merriphonic::party_test {
namespace {

constexpr double framesPerMs = SimParty::mediaRate / 1000.0;
// Buffers of 256 frames a card plays in a second.
constexpr double buffersPerSecond = SimParty::mediaRate / 256.0;
// A speaker that comes in while the song plays starts on the round-trip clock estimate, up to
// half a connection interval off: its link has carried song chunks since it joined, and only
// quiet exchanges show the event grid. When they do, the speaker starts the song there again.
constexpr double joinBoundMs = 15.0;

using Kind = SpeakerSession::Phase::Kind;

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A party with songs, and the checks its scenarios share.
class Party : public testing::Test {
protected:
    // The disk is the process's: a scenario that stops early must not leave it full.
    void TearDown() override { SimDiskSpace::unlimit(); }

    void start(SimPartyConfig config, std::vector<double> songSeconds, int firstVariant = 1) {
        party_.emplace(std::move(config));
        for (size_t i = 0; i < songSeconds.size(); ++i) {
            const std::optional<LibraryTrack> song =
                party_->addSong(songSeconds[i], firstVariant + static_cast<int>(i));
            ASSERT_TRUE(song && song->state == LibraryTrack::State::ready) << "song " << i;
            songs_.push_back(*song);
        }
        ASSERT_TRUE(party_->joinAll()) << "the speakers did not all join";
    }

    SimParty& party() { return *party_; }
    SimPartySpeaker& speaker(int index) { return party_->speaker(index); }
    std::vector<SimPartyDevice*> everyDevice() {
        std::vector<SimPartyDevice*> devices{&party_->host()};
        for (int i = 0; i < party_->speakerCount(); ++i) {
            devices.push_back(&speaker(i).device);
        }
        return devices;
    }

    [[nodiscard]] std::filesystem::path cached(int speaker, const LibraryTrack& song) const {
        return TrackCache::file(party_->speaker(speaker).session->cacheFolder(), *song.trackKey,
                                *song.ext);
    }
    [[nodiscard]] int64_t held(int speaker, const LibraryTrack& song) const {
        return TrackCache::length(cached(speaker, song));
    }
    // The speaker holds the song byte for byte as the host's wire file and calls it ready.
    [[nodiscard]] bool intact(int speaker, const LibraryTrack& song) const {
        return held(speaker, song) == *song.size &&
               contents(cached(speaker, song)) == contents(party_->wireFile(song)) &&
               party_->speaker(speaker).session->readyKeys().count(*song.trackKey) != 0;
    }
    // What the host has written towards the speaker on its newest channel.
    uint64_t sentTo(int index) {
        const auto channels = speaker(index).device.radio->channels();
        return channels.empty() ? 0 : channels.back()->stats(SimLinkSide::b).bytesWritten;
    }
    // What the host has sent to the speaker once it has the song whole: a retry or a rejoin
    // made by the caller runs until then.
    std::optional<uint64_t> sentUntilWhole(int index, const std::function<void()>& rejoin) {
        std::optional<uint64_t> sent;
        const auto watch = speaker(index).session->state().subscribe([&](SpeakerState state) {
            if (!sent && (state == SpeakerState::ready || state == SpeakerState::playing)) {
                sent = sentTo(index);
            }
        });
        rejoin();
        party_->runUntil([&] { return sent.has_value(); }, 60 * nsPerSecond);
        speaker(index).session->state().unsubscribe(watch);
        return sent;
    }

    // As a user would: once the speaker's Bluetooth is on, a tap on Retry.
    void rejoinOnceOn(int index) {
        SpeakerSession& session = *speaker(index).session;
        ASSERT_TRUE(party_->runUntil(
            [&] { return *session.bluetoothState() == RadioState::poweredOn; }, 5 * nsPerSecond))
            << speaker(index).device.name() << ": Bluetooth did not come back";
        session.retry();
    }

    // The world runs until every device hears media after the world time; when the host
    // started hearing it.
    std::optional<int64_t> runUntilAllHear(int64_t fromWorldNs, int64_t timeoutNs) {
        const std::vector<SimPartyDevice*> devices = everyDevice();
        const bool all = party_->runUntil(
            [&] {
                return std::all_of(devices.begin(), devices.end(), [&](const SimPartyDevice* d) {
                    return party_->firstMediaHeard(*d, fromWorldNs).has_value();
                });
            },
            timeoutNs, 100 * nsPerMs);
        return all ? std::optional(
                         party_->firstMediaHeard(party_->host(), fromWorldNs)->heardWorldNs)
                   : std::nullopt;
    }

    // Speakers heard the host's media frames within boundMs over [from, now), at least
    // `seconds` of them: every speaker, or the one given.
    void expectAligned(int64_t fromWorldNs, double seconds, const std::string& step,
                       double boundMs = 1.0, std::optional<int> only = {}) {
        for (int i = 0; i < party_->speakerCount(); ++i) {
            if (only && i != *only) {
                continue;
            }
            const std::vector<double> errors =
                party_->alignmentErrorsMs(i, fromWorldNs, party_->nowNs());
            const std::string& name = speaker(i).device.name();
            EXPECT_GE(static_cast<double>(errors.size()), seconds * buffersPerSecond)
                << step << ": " << name << " was not heard with the host";
            EXPECT_LT(SimParty::percentileAbs(errors, 100), boundMs)
                << step << ": " << name << " p50 " << SimParty::percentileAbs(errors, 50) << " ms";
        }
    }
    // How long after the world time each device still heard media, at most, in ms.
    double stillHeardMs(int64_t from) {
        double longest = 0;
        for (SimPartyDevice* device : everyDevice()) {
            const std::vector<SimHeardBuffer> heard = party_->mediaHeard(*device, from);
            longest = std::max(
                longest, heard.empty() ? 0.0 : double(heard.back().heardWorldNs - from) / 1e6);
        }
        return longest;
    }
    // Where in the song every device's first stretch of media after the world time began, in
    // ms, is within 10 ms of positionMs.
    void expectAllStartAt(int64_t from, double positionMs) {
        for (SimPartyDevice* device : everyDevice()) {
            const std::vector<SimHeardBuffer> starts = party_->mediaStarts(*device, from);
            ASSERT_FALSE(starts.empty()) << device->name();
            EXPECT_NEAR(*starts.front().mediaFrame / framesPerMs, positionMs, 10.0)
                << device->name();
        }
    }

    std::optional<SimParty> party_;
    std::vector<LibraryTrack> songs_;
};

TEST_F(Party, SevenSpeakersHearTheSongWithinAMillisecondOfTheHostAndGoQuietWhenThePartyEnds) {
    start({.speakers = 7, .seed = 7}, {30.0}, 0);
    const LibraryTrack& song = songs_[0];
    party().select(song);
    const std::optional<int64_t> start =
        runUntilAllHear(*party().selectedAtWorldNs(), 120 * nsPerSecond);
    ASSERT_TRUE(start);
    party().runFor(*start + 28 * nsPerSecond - party().nowNs());

    const SimPartyFigures figures = party().figures(*start + 5 * nsPerSecond);
    std::printf("%s\n", figures.line().c_str());
    expectAligned(*start + 5 * nsPerSecond, 20.0, "after 5 s");
    // Everybody starts together: the first sound is the song's beginning, at the host's.
    expectAllStartAt(*party().selectedAtWorldNs(), 0.0);
    // Each speaker got the song once, whole, and keeps it in its cache.
    const auto wireSize = static_cast<uint64_t>(*song.size);
    for (int i = 0; i < party().speakerCount(); ++i) {
        EXPECT_TRUE(intact(i, song)) << speaker(i).device.name();
        EXPECT_GE(sentTo(i), wireSize);
        EXPECT_LT(sentTo(i), wireSize + wireSize / 20 + 16'384);
    }

    // The host ends the party; every card falls silent at once.
    party().select(song);
    ASSERT_TRUE(runUntilAllHear(*party().selectedAtWorldNs(), 10 * nsPerSecond));
    const int64_t endedAt = party().nowNs();
    party().session().endParty();
    party().runFor(2 * nsPerSecond);
    EXPECT_FALSE(*party().session().isRunning());
    for (int i = 0; i < party().speakerCount(); ++i) {
        EXPECT_EQ(*speaker(i).session->phase(),
                  SpeakerSession::Phase::disconnected("The host ended the party"));
    }
    EXPECT_LT(stillHeardMs(endedAt), 100.0);
}

// A smaller party through a song's life: a speaker that joins mid-song and loses its link in the
// middle of the transfer, seek, next, a speaker leaving and coming back, removal.
TEST_F(Party, SpeakersFollowJoinsLossesSeekNextLeavingAndRemoval) {
    start({.speakers = 2, .seed = 21}, {30.0, 20.0});
    const LibraryTrack& first = songs_[0];
    const LibraryTrack& second = songs_[1];
    party().select(first);
    ASSERT_TRUE(party().runUntil(
        [&] {
            return party()
                .firstMediaHeard(party().host(), *party().selectedAtWorldNs())
                .has_value();
        },
        60 * nsPerSecond));
    const int64_t start =
        party().firstMediaHeard(party().host(), *party().selectedAtWorldNs())->heardWorldNs;

    // ---- A third speaker joins mid-song; its link drops halfway through the song's transfer;
    // it comes back and is sent only what it lacked.
    const int late = party().addSpeaker();
    party().join(late);
    ASSERT_TRUE(
        party().runUntil([&] { return held(late, first) >= *first.size / 2; }, 30 * nsPerSecond));
    const int64_t heldAtLoss = held(late, first);
    speaker(late).device.radio->loseLinkWith(*party().host().radio);
    ASSERT_TRUE(party().runUntil(
        [&] { return speaker(late).session->phase()->is(Kind::disconnected); }, 5 * nsPerSecond));
    EXPECT_GE(held(late, first), heldAtLoss); // what arrived stays cached
    EXPECT_LT(held(late, first), *first.size);
    EXPECT_EQ(party().session().rows()->size(), 3u);
    const std::optional<uint64_t> resent =
        sentUntilWhole(late, [&] { speaker(late).session->retry(); });
    ASSERT_TRUE(resent);
    EXPECT_GE(*resent, uint64_t(*first.size - heldAtLoss));
    EXPECT_LT(*resent, uint64_t(*first.size - heldAtLoss) + 16'384); // not from the beginning
    EXPECT_TRUE(intact(late, first));
    ASSERT_TRUE(party().runUntil(
        [&] { return party().firstMediaHeard(speaker(late).device, start).has_value(); },
        5 * nsPerSecond));
    const int64_t lateStart = party().firstMediaHeard(speaker(late).device, start)->heardWorldNs;
    // It comes in mid-song, where the others are, from its first sound on.
    EXPECT_GT(*party().mediaStarts(speaker(late).device, start).front().mediaFrame / framesPerMs,
              5'000.0);
    party().runFor(3 * nsPerSecond);
    expectAligned(lateStart, 2.5, "joined mid-song", joinBoundMs, late);
    expectAligned(start + 5 * nsPerSecond, 5.0, "while another joined", 1.0, 0);
    expectAligned(start + 5 * nsPerSecond, 5.0, "while another joined", 1.0, 1);

    // ---- Seek back to 4 s, once quiet exchanges have refined the late speaker's clock: media
    // heard a second time, and together again.
    party().runFor(5 * nsPerSecond);
    party().session().seek(4'000);
    const int64_t seekedAt = party().nowNs();
    party().runFor(3 * nsPerSecond);
    expectAllStartAt(seekedAt, 4'000.0);
    expectAligned(seekedAt + nsPerSecond, 1.5, "after seeking");

    // ---- Next: the second song, prefetched while the first played, starts from its beginning.
    for (int i = 0; i < party().speakerCount(); ++i) {
        EXPECT_EQ(speaker(i).session->readyKeys().count(*second.trackKey), 1u);
    }
    party().session().next();
    const int64_t nextAt = party().nowNs();
    party().runFor(4 * nsPerSecond);
    EXPECT_EQ(*party().session().currentTrackId(), second.id);
    expectAllStartAt(nextAt, 0.0);
    expectAligned(nextAt + 2 * nsPerSecond, 1.5, "after next");

    // ---- The first speaker leaves: silent, gone from the host's list; it comes back to the
    // song it already has and lands on the timeline without a new transfer.
    SimPartySpeaker& leaver = speaker(0);
    leaver.session->leave();
    const int64_t leftAt = party().nowNs();
    party().runFor(2 * nsPerSecond);
    EXPECT_EQ(*leaver.session->phase(), SpeakerSession::Phase::idle());
    EXPECT_EQ(party().session().rows()->size(), 3u);
    EXPECT_LT(party().mediaHeard(leaver.device, leftAt + 100 * nsPerMs).size(), 1u);
    party().join(0);
    const int64_t rejoinedAt = party().nowNs();
    ASSERT_TRUE(party().runUntil(
        [&] { return party().firstMediaHeard(leaver.device, rejoinedAt).has_value(); },
        10 * nsPerSecond));
    const int64_t backAt = party().firstMediaHeard(leaver.device, rejoinedAt)->heardWorldNs;
    party().runFor(3 * nsPerSecond);
    EXPECT_EQ(party().session().rows()->size(), 4u);
    EXPECT_LT(sentTo(0), 4'096u);
    expectAligned(backAt, 2.5, "after coming back", joinBoundMs, 0);

    // ---- Removing the song that plays stops everybody; its files go.
    const std::filesystem::path secondWire = party().wireFile(second);
    party().session().remove(second);
    const int64_t stoppedAt = party().nowNs();
    party().runFor(2 * nsPerSecond);
    EXPECT_EQ(*party().session().playback(), HostPlayback::idle);
    EXPECT_FALSE(party().session().currentTrackId()->has_value());
    EXPECT_FALSE(std::filesystem::exists(secondWire));
    EXPECT_LT(stillHeardMs(stoppedAt), 100.0);
    for (int i = 0; i < party().speakerCount(); ++i) {
        EXPECT_EQ(*speaker(i).session->state(), SpeakerState::idle);
        EXPECT_TRUE(party().isConnected(i));
    }
}

TEST_F(Party, TransfersSurviveALostLinkACorruptChunkAndAFullDisk) {
    start({.speakers = 3, .seed = 31}, {20.0, 10.0});
    const LibraryTrack& first = songs_[0];
    const std::string wire = contents(party().wireFile(first));

    // ---- spk1: a byte of song data is damaged on its way, a third into the song.
    const auto third = static_cast<ptrdiff_t>(wire.size() / 3);
    const std::vector<uint8_t> needle(wire.begin() + third, wire.begin() + third + 16);
    bool damaged = false;
    speaker(0).device.radio->channels().back()->setTamper(
        [&](SimLinkSide from, std::vector<uint8_t>& bytes) {
            if (damaged || from != SimLinkSide::b) {
                return;
            }
            const auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
            if (at != bytes.end()) {
                at[5] ^= 0x20;
                damaged = true;
            }
        });
    party().select(first);
    const int64_t selectedAt = party().nowNs();

    // ---- spk2: its disk fills up halfway through the song (the offer found room for it all).
    ASSERT_TRUE(party().runUntil([&] { return held(1, first) > 0; }, 30 * nsPerSecond));
    SimDiskSpace::limit(speaker(1).session->cacheFolder(), *first.size / 2 - held(1, first));

    // ---- spk3 loses its link halfway through the song.
    ASSERT_TRUE(
        party().runUntil([&] { return held(2, first) >= *first.size / 2; }, 30 * nsPerSecond));
    speaker(2).device.radio->loseLinkWith(*party().host().radio);
    ASSERT_TRUE(party().runUntil(
        [&] { return speaker(2).session->phase()->is(Kind::disconnected); }, 5 * nsPerSecond));
    const int64_t heldAtLoss = held(2, first);
    EXPECT_LT(heldAtLoss, *first.size);

    // The speaker with the full disk asks for the rest again while the disk stays full.
    const CaptureLogSink& spk2Log = speaker(1).device.device.logSink();
    ASSERT_TRUE(party().runUntil([&] { return spk2Log.contains("TRACK_HAVE"); }, 30 * nsPerSecond))
        << "spk2 did not ask again for what its full disk refused";
    EXPECT_GT(SimDiskSpace::refusedWrites(), 0);
    EXPECT_EQ(*speaker(1).session->state(), SpeakerState::loading);
    // Nobody plays while a speaker still loads the song.
    EXPECT_FALSE(party().firstMediaHeard(party().host(), selectedAt));

    // Space returns; spk3 comes back. Each speaker ends with the song whole, spk3 having been
    // sent only what it lacked, and the party starts.
    SimDiskSpace::unlimit();
    const std::optional<uint64_t> resent = sentUntilWhole(2, [&] { speaker(2).session->retry(); });
    const std::optional<int64_t> start = runUntilAllHear(selectedAt, 60 * nsPerSecond);
    ASSERT_TRUE(start) << "the party did not start";
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(intact(i, first)) << speaker(i).device.name() << " does not hold the song";
    }
    EXPECT_TRUE(damaged) << "no chunk was damaged";
    ASSERT_TRUE(resent.has_value());
    EXPECT_GE(*resent, uint64_t(*first.size - heldAtLoss));
    EXPECT_LT(*resent, uint64_t(*first.size - heldAtLoss) + 16'384)
        << "spk3 was sent more than it lacked";
    // spk3 rejoined moments ago, on the round-trip estimate, until quiet exchanges refine it.
    party().runFor(*start + 8 * nsPerSecond - party().nowNs());
    expectAligned(*start + 4 * nsPerSecond, 3.5, "after the transfer faults");
}

TEST_F(Party, ASongLargerThanTheFreeSpaceIsRefusedUntilThereIsRoom) {
    start({.speakers = 1, .seed = 7}, {8.0, 12.0});
    const LibraryTrack& first = songs_[0];
    const LibraryTrack& second = songs_[1];
    // Room for the first song and a little more; the second is offered while the first plays.
    SimDiskSpace::limit(speaker(0).session->cacheFolder(), *first.size + 4096);
    const int64_t refusedBefore = SimDiskSpace::refusedWrites();
    party().select(first);
    ASSERT_TRUE(runUntilAllHear(*party().selectedAtWorldNs(), 60 * nsPerSecond));
    const CaptureLogSink& log = speaker(0).device.device.logSink();
    ASSERT_TRUE(
        party().runUntil([&] { return log.contains("refusing TRACK_OFFER " + *second.trackKey); },
                         10 * nsPerSecond));
    EXPECT_FALSE(std::filesystem::exists(cached(0, second))) << "a refused song took space";
    EXPECT_EQ(SimDiskSpace::refusedWrites(), refusedBefore);
    EXPECT_TRUE(intact(0, first));

    // Space returns; chosen, the song is offered again, taken, and played.
    SimDiskSpace::unlimit();
    party().select(second);
    ASSERT_TRUE(party().runUntil(
        [&] { return *speaker(0).session->state() == SpeakerState::playing && intact(0, second); },
        60 * nsPerSecond));
    EXPECT_TRUE(intact(0, first));
}

TEST_F(Party, ThePartyRealignsAfterClockStepsAndTheHostsRadioCycling) {
    start({.speakers = 2, .seed = 47}, {50.0});
    party().select(songs_[0]);
    const std::optional<int64_t> start =
        runUntilAllHear(*party().selectedAtWorldNs(), 60 * nsPerSecond);
    ASSERT_TRUE(start);
    party().runFor(*start + 5 * nsPerSecond - party().nowNs());
    expectAligned(*start + nsPerSecond, 3.5, "before the faults");

    // ---- The speakers' clocks step, one forward and one back, by seconds.
    int64_t at = party().nowNs();
    speaker(0).device.device.clock().step(3 * nsPerSecond);
    speaker(1).device.device.clock().step(-2 * nsPerSecond);
    party().runForSeconds(8);
    expectAligned(at + 4 * nsPerSecond, 3.5, "after the clocks stepped");

    // ---- The host's radio goes off and on: the host plays on alone, the speakers rejoin.
    at = party().nowNs();
    party().host().radio->setState(RadioState::poweredOff);
    party().runForSeconds(2);
    EXPECT_GT(party().mediaHeard(party().host(), at + nsPerSecond).size(), 150u)
        << "the host stopped playing without its radio";
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(party().isConnected(i)) << speaker(i).device.name();
        EXPECT_LT(party().mediaHeard(speaker(i).device, at + nsPerSecond / 2).size(), 10u)
            << speaker(i).device.name() << " went on playing without the host";
    }
    party().host().radio->setState(RadioState::poweredOn);
    rejoinOnceOn(0);
    rejoinOnceOn(1);
    party().runForSeconds(8);
    expectAligned(at + 6 * nsPerSecond, 3.5, "after the host's radio came back");

    // The song came over once and stayed whole through it all.
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(intact(i, songs_[0])) << speaker(i).device.name();
    }
}

} // namespace
} // namespace merriphonic::party_test
