// A host session against speakers that misbehave: floods, oversized frames, storms of HELLOs,
// peers that never read and peers that vanish at every step. Each scenario ends with the
// well-behaved speaker holding the whole song and the party playing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/frame_codec.h"
#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/time_units.h"
#include "tests/host/host_rig.h"

namespace merriphonic::host_test {
namespace {

const SimLinkConfig fastLink{.latencyNs = 2 * nsPerMs, .bytesPerSecond = 2'000'000};

// A frame of any type and payload, as a peer of another make could write it. In the bulk lane,
// so that the sender's own bound on waiting control frames lets it through.
OutboundFrame rawFrame(uint8_t type, size_t payloadBytes) {
    return {FrameCodec::frame(type, Bytes(payloadBytes, 'x')), std::nullopt, true, "RAW"};
}

// The willing speaker has the whole song and the host has started it everywhere.
void expectPlaying(HostRig& rig, const ScriptedSpeaker& good, const LibraryTrack& song,
                   const Bytes& content) {
    ASSERT_EQ(good.files.count(*song.trackKey), 1u) << testing::PrintToString(good.names());
    EXPECT_EQ(good.files.at(*song.trackKey), content);
    EXPECT_EQ(good.misplacedChunks, 0);
    ASSERT_FALSE(good.all<Play>().empty());
    EXPECT_EQ(good.all<Play>().back().trackKey, *song.trackKey);
    EXPECT_EQ(*rig.session->playback(), HostPlayback::playing);
    EXPECT_FALSE(good.closeReason.has_value());
}

TEST(HostileSpeaker, FloodsHugeFramesAndDeafPeersCostOnlyTheirOwnLink) {
    HostRig rig;
    const Bytes content = randomBytes(300'000, 5);
    const LibraryTrack song = addReadyTrack(*rig.library, "Song", content, 60'000);
    rig.session->start("Party", false);

    ScriptedSpeaker& good = rig.join("good");
    good.willing = true;
    ScriptedSpeaker& flooder = rig.join("flooder", true, fastLink);
    flooder.willing = true;
    ScriptedSpeaker& deaf = rig.join("deaf", true, fastLink, true);

    // Frames at the limit, back to back, of a type nobody knows and of a known one with
    // nothing useful in it: ignored, and the link stays. Then 5000 PINGs at once.
    for (int i = 0; i < 4; ++i) {
        flooder.connection->enqueue(rawFrame(0x7f, SyncProtocol::maxFrameLength - 1));
        flooder.connection->enqueue(
            rawFrame(rawValue(MessageType::trackChunk), SyncProtocol::maxFrameLength - 1));
    }
    for (uint32_t seq = 0; seq < 5'000; ++seq) {
        flooder.send(Ping{seq, 0});
    }
    // The deaf speaker says HELLO and floods PINGs, whose PONGs (more than a megabyte of them)
    // are not kept; then HELLOs, whose answers pile up on the host until the link is given up
    // with no more than a megabyte waiting.
    for (uint32_t seq = 0; seq < 40'000; ++seq) {
        deaf.send(Ping{seq, 0});
    }
    rig.run(2);
    EXPECT_FALSE(deaf.closeReason.has_value()) << "PONGs waiting for a deaf peer are shed";
    ASSERT_NE(rig.row("deaf"), nullptr);
    for (int i = 0; i < 6'000; ++i) {
        deaf.hello();
    }
    rig.session->select(song);
    rig.run(20);

    EXPECT_EQ(rig.row("deaf"), nullptr);
    EXPECT_GT(flooder.all<Pong>().size(), 0u);
    EXPECT_FALSE(flooder.closeReason.has_value());
    EXPECT_EQ(flooder.files[*song.trackKey], content);
    expectPlaying(rig, good, song, content);
}

TEST(HostileSpeaker, HelloStormsAndHugeTextsLeaveOneBoundedRow) {
    HostRig rig;
    const Bytes content = randomBytes(50'000, 6);
    // A title and an artist of a megabyte each would make a frame every speaker drops the
    // link over: they travel cut.
    const std::string huge(SyncProtocol::maxFrameLength, 't');
    LibraryTrack song = addReadyTrack(*rig.library, huge, content, 60'000);
    rig.library->tracks.modify([&](auto& list) { list.back().artist = huge; });
    song = rig.library->tracks->back();
    rig.session->start(std::string(2 * SyncProtocol::maxFrameLength, 'p'), false);
    EXPECT_EQ(rig.session->partyName()->size(), TextLimits::maxNameBytes);

    ScriptedSpeaker& good = rig.join("good");
    good.willing = true;
    // A storm of HELLOs: one row.
    ScriptedSpeaker& stormer = rig.join("stormer", false, fastLink);
    for (int i = 0; i < 500; ++i) {
        stormer.send(Hello{1, "x", "stormer", "linux"});
    }
    rig.run(2);
    EXPECT_NE(rig.row("stormer"), nullptr);
    for (int i = 0; i < 500; ++i) {
        stormer.send(Hello{1, "x", "stormer", "linux"});
        // Songs the host never had are not kept as the speaker's.
        stormer.status("ready", TrackKey::of(ByteView(randomBytes(8, 1'000 + i))).hex(), 1, 1);
    }
    rig.session->select(song);
    rig.run(10);
    EXPECT_FALSE(stormer.closeReason.has_value());
    EXPECT_EQ(stormer.all<Welcome>().size(), 1'000u);
    EXPECT_EQ(rig.session->rows()->size(), 3u);
    for (const SpeakerLink* link : rig.session->linksInOrder()) {
        EXPECT_TRUE(link->logName() != "stormer" || link->readyKeys.empty());
    }
    const TrackOffer offer = good.all<TrackOffer>().front();
    EXPECT_EQ(offer.title, huge.substr(0, TextLimits::maxTagBytes));
    EXPECT_EQ(offer.artist, huge.substr(0, TextLimits::maxTagBytes));
    EXPECT_EQ(good.all<Welcome>().front().name.size(), TextLimits::maxNameBytes);
    // The stormer never fetches the song and holds the start back; without it the good
    // speaker plays.
    stormer.connection->close("gone");
    rig.run(3);
    expectPlaying(rig, good, song, content);
}

TEST(HostileSpeaker, APeerLeavingAtEveryStepOfAJoinAndATransferLeavesNoTrace) {
    HostRig rig;
    const Bytes content = randomBytes(40'000, 7);
    const LibraryTrack song = addReadyTrack(*rig.library, "Song", content, 60'000);
    rig.session->start("Party", false);
    rig.session->select(song);

    // It leaves after k messages from the host: before its WELCOME, after it, after the offer,
    // after each chunk, after TRACK_DONE, after its PLAY; by closing, or by a BYE.
    for (size_t k = 0; k < 18; ++k) {
        ScriptedSpeaker& leaver = rig.join("leaver" + std::to_string(k), false);
        leaver.willing = true;
        leaver.hello();
        for (int step = 0; step < 2'000 && leaver.received.size() < k; ++step) {
            rig.run(0.001);
        }
        if (k % 2 == 0) {
            leaver.connection->close("gone");
        } else {
            leaver.connection->sendByeAndClose("left");
        }
        rig.run(0.1);
        EXPECT_EQ(rig.session->rows()->size(), 1u) << k;
    }
    EXPECT_EQ(rig.session->linksInOrder().size(), 0u);

    ScriptedSpeaker& good = rig.join("good", false);
    good.willing = true;
    good.hello();
    rig.run(5);
    expectPlaying(rig, good, song, content);
}

} // namespace
} // namespace merriphonic::host_test
