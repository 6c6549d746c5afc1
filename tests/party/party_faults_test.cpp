// Faults in a whole party in virtual time: links, data and disks failing under a transfer, radios
// switched off and on, a host's sound card reconfigured and a speaker's clock stepped. Each
// scenario ends with every song whole on every speaker and every speaker heard with the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_link.h"
#include "speaker/track_cache.h"
#include "tests/party/fixture/sim_disk_space.h"
#include "tests/party/fixture/sim_party.h"

namespace merriphonic::party_faults_test {
namespace {

constexpr int64_t ms = SimParty::msNs;
constexpr int64_t sec = SimParty::secNs;
constexpr double buffersPerSecond = SimParty::mediaRate / 256.0;

using Kind = SpeakerSession::Phase::Kind;

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A party with songs, and the checks every fault ends with.
class PartyFaults : public testing::Test {
protected:
    // The disk is the process's: a scenario that stops early must not leave it full.
    void TearDown() override { SimDiskSpace::unlimit(); }

    void start(SimPartyConfig config, std::vector<double> songSeconds) {
        party_.emplace(std::move(config));
        for (size_t i = 0; i < songSeconds.size(); ++i) {
            const std::optional<LibraryTrack> song =
                party_->addSong(songSeconds[i], static_cast<int>(i) + 1);
            ASSERT_TRUE(song && song->state == LibraryTrack::State::ready) << "song " << i;
            songs_.push_back(*song);
        }
        ASSERT_TRUE(party_->joinAll()) << "the speakers did not all join";
    }

    SimParty& party() { return *party_; }
    SimPartySpeaker& speaker(int index) { return party_->speaker(index); }

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
    // What the speaker holds is the beginning of the host's file: nothing wrong was kept.
    void expectPrefixOfWire(int speaker, const LibraryTrack& song, const std::string& step) const {
        const std::string have = contents(cached(speaker, song));
        const std::string wire = contents(party_->wireFile(song));
        ASSERT_LE(have.size(), wire.size()) << step;
        EXPECT_TRUE(std::equal(have.begin(), have.end(), wire.begin()))
            << step << ": the cached bytes differ from the host's";
    }

    // As a user would: once the speaker's Bluetooth is on, a tap on Retry.
    void rejoinOnceOn(int index) {
        SpeakerSession& session = *speaker(index).session;
        ASSERT_TRUE(party_->runUntil(
            [&] { return *session.bluetoothState() == RadioState::poweredOn; }, 5 * sec))
            << speaker(index).device.name() << ": Bluetooth did not come back";
        session.retry();
    }

    // The world runs until every device hears media after the world time.
    bool runUntilAllHear(int64_t fromWorldNs, int64_t timeoutNs) {
        return party_->runUntil(
            [&] {
                if (!party_->firstMediaHeard(party_->host(), fromWorldNs)) {
                    return false;
                }
                for (int i = 0; i < party_->speakerCount(); ++i) {
                    if (!party_->firstMediaHeard(speaker(i).device, fromWorldNs)) {
                        return false;
                    }
                }
                return true;
            },
            timeoutNs, 100 * ms);
    }

    // Every speaker heard the host's media frames within boundMs over [from, now), at least
    // `seconds` of them.
    void expectAllAligned(int64_t fromWorldNs, double seconds, const std::string& step,
                          double boundMs = 1.0) {
        for (int i = 0; i < party_->speakerCount(); ++i) {
            const std::vector<double> errors =
                party_->alignmentErrorsMs(i, fromWorldNs, party_->nowNs());
            const std::string& name = speaker(i).device.name();
            EXPECT_GE(static_cast<double>(errors.size()), seconds * buffersPerSecond)
                << step << ": " << name << " was not heard with the host";
            EXPECT_LT(SimParty::percentileAbs(errors, 100), boundMs)
                << step << ": " << name << " p50 " << SimParty::percentileAbs(errors, 50) << " ms";
        }
    }

    std::optional<SimParty> party_;
    std::vector<LibraryTrack> songs_;
};

TEST_F(PartyFaults, TransfersSurviveALostLinkACorruptChunkAFullDiskAndATruncatedWireFile) {
    start({.speakers = 3, .seed = 31}, {20.0, 10.0, 16.0, 10.0});
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
    ASSERT_TRUE(party().runUntil([&] { return held(1, first) > 0; }, 30 * sec));
    SimDiskSpace::limit(speaker(1).session->cacheFolder(), *first.size / 2 - held(1, first));
    const CaptureLogSink& spk2Log = speaker(1).device.device.logSink();

    // ---- spk3 loses its link halfway through the song.
    ASSERT_TRUE(party().runUntil([&] { return held(2, first) >= *first.size / 2; }, 30 * sec));
    speaker(2).device.radio->loseLinkWith(*party().host().radio);
    ASSERT_TRUE(party().runUntil(
        [&] { return speaker(2).session->phase()->is(Kind::disconnected); }, 5 * sec));
    const int64_t heldAtLoss = held(2, first);
    EXPECT_LT(heldAtLoss, *first.size);
    expectPrefixOfWire(2, first, "after the link was lost");

    // The full disk is reported, and what the speaker keeps is the song's beginning; it asks
    // for the rest again while the disk stays full.
    ASSERT_TRUE(party().runUntil([&] { return spk2Log.contains("TRACK_HAVE"); }, 30 * sec))
        << "spk2 did not ask again for what its full disk refused";
    EXPECT_TRUE(spk2Log.contains("cache write failed: No space left on device"));
    EXPECT_GT(SimDiskSpace::refusedWrites(), 0);
    EXPECT_EQ(*speaker(1).session->state(), SpeakerState::loading);
    expectPrefixOfWire(1, first, "with the disk full");
    // Nobody plays while a speaker still loads the song.
    EXPECT_FALSE(party().firstMediaHeard(party().host(), selectedAt));

    // Space returns; spk3 comes back. Each speaker ends with the song whole, spk3 having been
    // sent only what it lacked, and the party starts.
    SimDiskSpace::unlimit();
    std::optional<uint64_t> resent;
    const auto watch = speaker(2).session->state().subscribe([&](SpeakerState state) {
        if (!resent && (state == SpeakerState::ready || state == SpeakerState::playing)) {
            resent = speaker(2).device.radio->channels().back()->stats(SimLinkSide::b).bytesWritten;
        }
    });
    speaker(2).session->retry();
    ASSERT_TRUE(runUntilAllHear(selectedAt, 60 * sec)) << "the party did not start";
    EXPECT_TRUE(
        speaker(2).device.device.logSink().contains("B, have " + std::to_string(heldAtLoss)))
        << "spk3 did not answer the new offer with the bytes it held";
    speaker(2).session->state().unsubscribe(watch);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(intact(i, first)) << speaker(i).device.name() << " does not hold the song";
    }
    EXPECT_TRUE(damaged) << "no chunk was damaged";
    EXPECT_EQ(speaker(0).device.device.logSink().count("hash mismatch"), 1u);
    ASSERT_TRUE(resent.has_value());
    EXPECT_GE(*resent, uint64_t(*first.size - heldAtLoss));
    EXPECT_LT(*resent, uint64_t(*first.size - heldAtLoss) + 16'384)
        << "spk3 was sent more than it lacked";
    const int64_t start = party().firstMediaHeard(party().host(), selectedAt)->heardWorldNs;
    // spk3 rejoined moments ago, on the round-trip estimate, until quiet exchanges refine it.
    party().runFor(start + 8 * sec - party().nowNs());
    expectAllAligned(start + 4 * sec, 3.5, "after the transfer faults");

    // ---- The host's wire file of the third song is cut short while the speakers receive it:
    // no speaker can ever complete it, so the host takes it out of play and the party moves on
    // to the fourth song together.
    const LibraryTrack& cut = songs_[2];
    const LibraryTrack& last = songs_[3];
    const std::string cutWire = contents(party().wireFile(cut));
    party().select(cut);
    ASSERT_TRUE(party().runUntil([&] { return held(0, cut) >= *cut.size * 3 / 10; }, 30 * sec));
    std::filesystem::resize_file(party().wireFile(cut), *cut.size / 2);
    const int64_t cutAt = party().nowNs();
    ASSERT_TRUE(runUntilAllHear(cutAt, 60 * sec)) << "the party did not move on";
    EXPECT_TRUE(party().host().device.logSink().contains("short read at"));
    const std::optional<LibraryTrack> cutEntry = party().library().track(cut.id);
    ASSERT_TRUE(cutEntry);
    EXPECT_EQ(cutEntry->state, LibraryTrack::State::failed);
    EXPECT_TRUE(cutEntry->error.has_value());
    EXPECT_EQ(*party().session().currentTrackId(), last.id);
    const int64_t lastStart = party().firstMediaHeard(party().host(), cutAt)->heardWorldNs;
    // Nobody played the damaged song.
    EXPECT_TRUE(party().mediaHeard(party().host(), cutAt, lastStart).empty());
    party().runFor(lastStart + 6 * sec - party().nowNs());
    expectAllAligned(lastStart + sec, 4.0, "after the damaged song");
    for (int i = 0; i < 3; ++i) {
        const std::string& name = speaker(i).device.name();
        EXPECT_TRUE(intact(i, songs_[1])) << name << " lost the prefetched second song";
        EXPECT_TRUE(intact(i, last)) << name << " does not hold the fourth song";
        EXPECT_EQ(speaker(i).session->readyKeys().count(*cut.trackKey), 0u) << name;
        const std::string partial = contents(cached(i, cut));
        EXPECT_LT(partial.size(), cutWire.size()) << name;
        EXPECT_EQ(partial, cutWire.substr(0, partial.size())) << name << " kept wrong bytes";
    }
}

TEST_F(PartyFaults, ASongLargerThanTheFreeSpaceIsRefusedUntilThereIsRoom) {
    start({.speakers = 1, .seed = 7}, {8.0, 12.0});
    const LibraryTrack& first = songs_[0];
    const LibraryTrack& second = songs_[1];
    // Room for the first song and a little more; the second is offered while the first plays.
    SimDiskSpace::limit(speaker(0).session->cacheFolder(), *first.size + 4096);
    const int64_t refusedBefore = SimDiskSpace::refusedWrites();
    party().select(first);
    ASSERT_TRUE(runUntilAllHear(*party().selectedAtWorldNs(), 60 * sec));
    const CaptureLogSink& log = speaker(0).device.device.logSink();
    ASSERT_TRUE(party().runUntil(
        [&] { return log.contains("refusing TRACK_OFFER " + *second.trackKey); }, 10 * sec));
    EXPECT_TRUE(log.contains("does not fit in the"));
    EXPECT_FALSE(std::filesystem::exists(cached(0, second))) << "a refused song took space";
    EXPECT_EQ(SimDiskSpace::refusedWrites(), refusedBefore);
    EXPECT_TRUE(intact(0, first));

    // Space returns; chosen, the song is offered again, taken, and played.
    SimDiskSpace::unlimit();
    party().select(second);
    ASSERT_TRUE(party().runUntil(
        [&] { return *speaker(0).session->state() == SpeakerState::playing && intact(0, second); },
        60 * sec));
    EXPECT_TRUE(intact(0, first));
}

TEST_F(PartyFaults, ThePartyRealignsAfterRadioPowerCyclesACardReconfiguredAndClockSteps) {
    start({.speakers = 2, .seed = 47}, {50.0});
    const LibraryTrack& song = songs_[0];
    party().select(song);
    ASSERT_TRUE(runUntilAllHear(*party().selectedAtWorldNs(), 60 * sec));
    const int64_t start =
        party().firstMediaHeard(party().host(), *party().selectedAtWorldNs())->heardWorldNs;
    party().runFor(start + 5 * sec - party().nowNs());
    expectAllAligned(start + sec, 3.5, "before the faults");

    // ---- The host's sound card is reconfigured mid-song: a longer latency, a faster crystal.
    SimAudioOutput& card = *party().host().cards.output();
    int64_t at = party().nowNs();
    card.changeLatency(card.trueLatencyNs() + 30 * ms);
    card.setCrystalPpm(card.crystalPpm() + 150.0);
    party().runForSeconds(5);
    expectAllAligned(at + 2 * sec, 2.5, "after the host's card changed");

    // ---- The speakers' clocks step, one forward and one back, by seconds.
    at = party().nowNs();
    speaker(0).device.device.clock().step(3 * sec);
    speaker(1).device.device.clock().step(-2 * sec);
    party().runForSeconds(8);
    expectAllAligned(at + 4 * sec, 3.5, "after the clocks stepped");
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(speaker(i).device.device.logSink().contains("local clock jumped"))
            << speaker(i).device.name();
    }

    // ---- spk2's radio goes off and on: silent while off, the other plays on; it comes back.
    at = party().nowNs();
    speaker(1).device.radio->setState(RadioState::poweredOff);
    party().runForSeconds(2);
    EXPECT_LT(party().mediaHeard(speaker(1).device, at + sec / 2).size(), 10u)
        << "spk2 went on playing without its radio";
    EXPECT_TRUE(party().isConnected(0));
    speaker(1).device.radio->setState(RadioState::poweredOn);
    rejoinOnceOn(1);
    party().runForSeconds(8);
    expectAllAligned(at + 6 * sec, 3.5, "after spk2's radio came back");

    // ---- The host's radio goes off and on: the host plays on alone, the speakers rejoin.
    at = party().nowNs();
    party().host().radio->setState(RadioState::poweredOff);
    party().runForSeconds(2);
    EXPECT_GT(party().mediaHeard(party().host(), at + sec).size(), 150u)
        << "the host stopped playing without its radio";
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(party().isConnected(i)) << speaker(i).device.name();
        EXPECT_LT(party().mediaHeard(speaker(i).device, at + sec / 2).size(), 10u)
            << speaker(i).device.name() << " went on playing without the host";
    }
    party().host().radio->setState(RadioState::poweredOn);
    rejoinOnceOn(0);
    rejoinOnceOn(1);
    party().runForSeconds(8);
    expectAllAligned(at + 6 * sec, 3.5, "after the host's radio came back");

    // The song came over once and stayed whole through it all.
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(intact(i, song)) << speaker(i).device.name();
    }
}

} // namespace
} // namespace merriphonic::party_faults_test
