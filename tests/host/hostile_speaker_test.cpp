// A host session against a speaker that misbehaves, which ends with the well-behaved speaker
// holding the whole song and the party playing. (Peers sending garbage are the fuzz target's.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/time_units.h"
#include "tests/host/host_rig.h"

namespace merriphonic::host_test {
namespace {

const SimLinkConfig fastLink{.latencyNs = 2 * nsPerMs, .bytesPerSecond = 2'000'000};

// A peer that never reads costs only its own link: PONGs waiting for it are shed, answers to
// its HELLOs pile up until the link is given up with no more than a megabyte waiting. Texts of
// a megabyte travel cut, as a frame over the limit would make every speaker drop the link.
TEST(HostileSpeaker, ADeafPeerAndHugeTextsCostOnlyTheirOwnLink) {
    HostRig rig;
    const Bytes content = randomBytes(300'000, 5);
    const std::string huge(SyncProtocol::maxFrameLength, 't');
    LibraryTrack song = addReadyTrack(*rig.library, huge, content, 60'000);
    rig.library->tracks.modify([&](auto& list) { list.back().artist = huge; });
    song = rig.library->tracks->back();
    rig.session->start(std::string(2 * SyncProtocol::maxFrameLength, 'p'), false);
    EXPECT_EQ(rig.session->partyName()->size(), TextLimits::maxNameBytes);

    ScriptedSpeaker& good = rig.join("good");
    good.willing = true;
    ScriptedSpeaker& deaf = rig.join("deaf", true, fastLink, true);
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
    const TrackOffer offer = good.all<TrackOffer>().front();
    EXPECT_EQ(offer.title, huge.substr(0, TextLimits::maxTagBytes));
    EXPECT_EQ(offer.artist, huge.substr(0, TextLimits::maxTagBytes));
    EXPECT_EQ(good.all<Welcome>().front().name.size(), TextLimits::maxNameBytes);
    ASSERT_EQ(good.files.count(*song.trackKey), 1u);
    EXPECT_EQ(good.files.at(*song.trackKey), content);
    EXPECT_EQ(good.misplacedChunks, 0);
    ASSERT_FALSE(good.all<Play>().empty());
    EXPECT_EQ(*rig.session->playback(), HostPlayback::playing);
}

} // namespace
} // namespace merriphonic::host_test
