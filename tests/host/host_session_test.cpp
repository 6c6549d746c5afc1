// A host session in virtual time against speakers played by the test: what each speaker
// receives, and what the host publishes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/prefs.h"
#include "platform/sim/sim_air.h"
#include "tests/host/host_rig.h"
#include "transport/speaker_central.h"

namespace merriphonic::host_test {
namespace {

using Names = std::vector<std::string>;

TEST(HostSession, AdmitsSevenAnswersHellosFollowsStatusAndEndsTheParty) {
    HostRig rig;
    const LibraryTrack song = rig.addTrack("Song", randomBytes(10'000, 1), 180'000);
    int rowChanges = 0;
    rig.session->rows().subscribe([&](const auto&) { ++rowChanges; });
    rig.session->start("Kitchen", false);
    rig.session->start("Again", false);
    EXPECT_EQ(*rig.session->partyName(), "Kitchen");
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
    EXPECT_TRUE(rig.host.logSink().contains("host: party full (7) → BYE to spk-eighth"));
    ASSERT_EQ(rig.session->rows()->size(), 8u);
    EXPECT_EQ(rig.row("eighth"), nullptr);
    const SpeakerRow& local = rig.session->rows()->front();
    EXPECT_EQ(local.id, SpeakerRow::localId);
    EXPECT_EQ(local.name, "This device");
    EXPECT_EQ(local.platform, "linux");
    EXPECT_TRUE(local.isLocal);
    EXPECT_EQ(rig.session->rows()->back(),
              (SpeakerRow{quiet.connection ? rig.session->rows()->back().id : "", "Connecting…", "",
                          "Connecting", ChipKind::connecting, std::nullopt, std::nullopt, false}));

    // Chips follow what each speaker reports.
    const std::string& key = *song.trackKey;
    rig.speakers[0]->status("loading", key, 500, 1'000);
    rig.speakers[1]->status("loading", key, 500, 0);
    rig.speakers[2]->status("dancing QUEEN");
    rig.speakers[3]->status("syncing");
    rig.speakers[4]->status("ready", key, 10'000, 10'000);
    rig.run(0.1);
    EXPECT_EQ(rig.row("spk0")->chip, "Loading 50%");
    EXPECT_EQ(rig.row("spk0")->rttMs, 12.5);
    EXPECT_EQ(rig.row("spk0")->delayMs, 30);
    EXPECT_EQ(rig.row("spk1")->chip, "Loading 0%");
    EXPECT_EQ(rig.row("spk2")->chip, "Dancing Queen");
    EXPECT_EQ(rig.row("spk2")->kind, ChipKind::idle);
    EXPECT_EQ(rig.row("spk3")->chip, "Syncing clock");
    EXPECT_EQ(rig.row("spk4")->chip, "Ready");
    EXPECT_EQ(rig.row("spk5")->chip, "Connecting"); // joined, no STATUS yet
    // Rows are published only when they change.
    const int changes = rowChanges;
    rig.speakers[4]->status("ready", key, 10'000, 10'000);
    rig.run(0.1);
    EXPECT_EQ(rowChanges, changes);

    // A speaker's BYE removes its row.
    rig.speakers[5]->send(Bye{});
    rig.run(0.1);
    EXPECT_EQ(rig.row("spk5"), nullptr);
    EXPECT_TRUE(rig.host.logSink().contains("speaker spk5 left: speaker sent BYE"));

    rig.session->endParty();
    rig.session->endParty();
    rig.run(2);
    const auto lines = rig.host.logSink().lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         CapturedLogLine{LogCategory::app, LogLevel::info, "party ended"}),
              1);
    EXPECT_EQ(rig.speakers[0]->names().back(), "BYE");
    EXPECT_EQ(quiet.names().size(), 0u);
    EXPECT_TRUE(quiet.closeReason.has_value());
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(rig.speakers[i]->closeReason.has_value()) << i;
    }
    EXPECT_FALSE(*rig.session->isRunning());
    EXPECT_EQ(rig.session->rows()->size(), 1u);
    EXPECT_EQ(*rig.session->currentTrackId(), song.id);
}

TEST(HostSession, SendsRequestedTracksAndReportsProgress) {
    HostRig rig;
    const Bytes content = randomBytes(10'000, 2);
    const LibraryTrack song = rig.addTrack("Song", content, 60'000);
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
    std::vector<std::pair<uint32_t, size_t>> chunks;
    for (const TrackChunk& chunk : a.all<TrackChunk>()) {
        chunks.emplace_back(chunk.offset, chunk.data.size());
    }
    EXPECT_EQ(chunks,
              (std::vector<std::pair<uint32_t, size_t>>{{0, 4096}, {4096, 4096}, {8192, 1808}}));
    EXPECT_EQ(a.files[key], content);
    EXPECT_TRUE(rig.host.logSink().contains("TRACK_HAVE for unknown track not a key"));
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

TEST(HostSession, ControlFramesOvertakeATransferAfterAtMostOneChunk) {
    HostRig rig;
    const LibraryTrack song = rig.addTrack("Big", randomBytes(400'000, 3), 60'000);
    rig.session->start("Kitchen", false);
    rig.session->select(song);
    // A slow link with room for less than one chunk: whatever waits, waits in the host.
    ScriptedSpeaker& slow = rig.join("slow", true,
                                     {.latencyNs = 5 * msNs,
                                      .bytesPerSecond = 40'000,
                                      .sendBufferBytes = 2'048,
                                      .segmentBytes = 1'024});
    slow.send(TrackHave{*song.trackKey, 0});
    rig.run(2);
    rig.session->setGroupVolume(0.5);
    rig.run(0.08); // VOLUME is queued now
    const size_t chunksWhenQueued = slow.all<TrackChunk>().size();
    ASSERT_GT(chunksWhenQueued, 5u);
    rig.run(0.5);
    size_t chunksBeforeVolume = 0;
    for (const Message& message : slow.received) {
        if (const auto* volume = message.as<Volume>(); volume && volume->volume == 0.5) {
            break;
        }
        chunksBeforeVolume += message.is<TrackChunk>() ? 1 : 0;
    }
    ASSERT_LT(chunksBeforeVolume, slow.all<TrackChunk>().size()); // VOLUME came mid-transfer
    // The chunk on the wire when it was queued, and the one being written.
    EXPECT_LE(chunksBeforeVolume - chunksWhenQueued, 2u);

    // Ending the party mid-transfer still says goodbye.
    rig.session->endParty();
    rig.run(2);
    EXPECT_EQ(slow.names().back(), "BYE");
    EXPECT_TRUE(slow.closeReason.has_value());
}

// Seven speakers find the party over the simulated radio and receive a 3 MB song; prints how
// long it took and how much of the host radio's capacity the transfer used.
TEST(HostSession, SevenSpeakersOnTheSimulatedRadioReceiveTheSongIntact) {
    HostRig rig(5);
    SimAir air(rig.world);
    air.attach(rig.host, {0, 0});
    const Bytes content = randomBytes(3'000'000, 9);
    const LibraryTrack song = rig.addTrack("Three megabytes", content, 180'000);
    rig.session->start("Kitchen", true);
    rig.run(0.5);
    std::vector<std::shared_ptr<SpeakerCentral>> centrals;
    for (int i = 0; i < 7; ++i) {
        auto& speaker = *rig.speakers.emplace_back(
            std::make_unique<ScriptedSpeaker>(rig.world, "spk" + std::to_string(i)));
        speaker.willing = true;
        air.attach(speaker.device, {1.0 + i * 0.5, 0.5 * i});
        auto central = centrals.emplace_back(SpeakerCentral::create(speaker.device.context()));
        central->onDiscovered = [c = central.get()](const DiscoveredHost& found) {
            if (found.name == "Kitchen" && !c->targetId()) {
                c->connect(found.id);
            }
        };
        central->onChannel = [s = &speaker](const auto& channel, const auto&) {
            s->adopt(channel->streams);
            s->hello();
            s->status("idle");
        };
        central->startScan();
    }
    rig.run(5);
    ASSERT_EQ(rig.session->rows()->size(), 8u);

    const int64_t selectedNs = rig.world.nowNs();
    rig.session->select(song);
    while (*rig.session->playback() != HostPlayback::playing &&
           rig.world.nowNs() - selectedNs < 600 * secNs) {
        rig.run(0.1);
    }
    ASSERT_EQ(*rig.session->playback(), HostPlayback::playing);
    const double seconds = double(rig.world.nowNs() - selectedNs) / 1e9;
    int64_t bytesOut = 0;
    for (const SpeakerLink* link : rig.session->linksInOrder()) {
        bytesOut += link->connection->bytesOut();
    }
    for (const auto& speaker : rig.speakers) {
        EXPECT_EQ(speaker->files[*song.trackKey], content) << speaker->device.name();
        EXPECT_EQ(speaker->misplacedChunks, 0);
    }
    const SimRadioModel& model = air.model();
    const double capacity = double(model.radioPdusPerInterval()) *
                            double(model.l2capPayloadPerPdu) /
                            (double(model.connectionIntervalNs) / 1e9);
    const double rate = double(bytesOut) / seconds;
    std::printf("host.select_to_all_ready_s=%.1f host.transfer_kB_s=%.1f "
                "host.radio_capacity_kB_s=%.1f host.radio_share=%.2f\n",
                seconds, rate / 1e3, capacity / 1e3, rate / capacity);
}

} // namespace
} // namespace merriphonic::host_test
