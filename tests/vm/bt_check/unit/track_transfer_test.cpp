#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/frame_codec.h"
#include "core/sync_protocol.h"
#include "tests/vm/bt_check/chunk_source.h"
#include "tests/vm/bt_check/track_receiver.h"

namespace merriphonic {
namespace {

class SteppingClock final : public Clock {
public:
    int64_t nowNs() const override { return now += 1'000'000; }
    mutable int64_t now = 0;
};

// Everything the source hands out, decoded as the far end would see it.
std::vector<Message> drain(ChunkSource& source) {
    std::vector<Message> messages;
    while (auto frame = source.nextBulkFrame()) {
        EXPECT_TRUE(frame->isBulk);
        messages.push_back(FrameCodec::decodeFrame(frame->bytes));
    }
    return messages;
}

Status receive(const std::vector<Message>& messages) {
    TrackReceiver receiver;
    int64_t at = 0;
    for (const Message& message : messages) {
        at += 1'000'000;
        if (const auto* chunk = message.as<TrackChunk>()) {
            receiver.add(*chunk, at);
        } else if (const auto* done = message.as<TrackDone>()) {
            return receiver.finish(*done, at);
        }
    }
    ADD_FAILURE() << "no TRACK_DONE";
    return {};
}

TEST(PatternTrackTest, IsReproducibleAndKeyedByItsDigest) {
    const PatternTrack a = PatternTrack::make(10'001, 7);
    EXPECT_EQ(a.data.size(), 10'001U);
    EXPECT_EQ(a.data, PatternTrack::make(10'001, 7).data);
    EXPECT_NE(a.data, PatternTrack::make(10'001, 8).data);
    EXPECT_EQ(a.digest, Sha256::of(a.data));
    EXPECT_EQ(a.key, TrackKey::of(ByteView(a.data)));
    EXPECT_EQ(a.digestHex().substr(0, 16), a.key.hex());
}

TEST(TrackTransferTest, ChunksInOrderThenDoneAndTheReceiverConfirmsTheDigest) {
    // Not a whole number of chunks: the last one is short.
    const PatternTrack track = PatternTrack::make(3 * 4096 + 100, 1);
    SteppingClock clock;
    ChunkSource source(track, clock, SyncProtocol::chunkDataSize);
    EXPECT_EQ(source.firstPullNs(), 0);

    const std::vector<Message> messages = drain(source);
    ASSERT_EQ(messages.size(), 5U);
    uint32_t expectedOffset = 0;
    for (size_t i = 0; i < 4; ++i) {
        const auto* chunk = messages[i].as<TrackChunk>();
        ASSERT_NE(chunk, nullptr);
        EXPECT_EQ(chunk->key, track.key);
        EXPECT_EQ(chunk->offset, expectedOffset);
        expectedOffset += static_cast<uint32_t>(chunk->data.size());
    }
    EXPECT_EQ(messages[3].as<TrackChunk>()->data.size(), 100U);
    EXPECT_EQ(messages[4], Message(TrackDone{track.key}));
    EXPECT_GT(source.firstPullNs(), 0);
    EXPECT_GT(source.donePullNs(), source.firstPullNs());
    EXPECT_FALSE(source.nextBulkFrame());

    const Status report = receive(messages);
    EXPECT_EQ(report.state, TrackReceiver::goodState);
    EXPECT_EQ(report.bytes, 3 * 4096 + 100);
    // From the first chunk to TRACK_DONE: four steps of a millisecond.
    EXPECT_EQ(report.delayMs, 4);
    EXPECT_EQ(TrackReceiver::verify(report, track), std::nullopt);
    // The report survives the wire.
    EXPECT_EQ(FrameCodec::decodeFrame(FrameCodec::encode(report)), Message(report));
}

TEST(TrackTransferTest, TheReceiverReportsLostReorderedRepeatedOrForeignData) {
    const PatternTrack track = PatternTrack::make(4 * 4096, 2);
    SteppingClock clock;
    ChunkSource source(track, clock, 4096);
    const std::vector<Message> messages = drain(source);

    std::vector<Message> lost = messages;
    lost.erase(lost.begin() + 1);
    const Status lostReport = receive(lost);
    EXPECT_EQ(lostReport.state,
              "chunk at offset 8192 arrived after 4096 bytes; 4096 bytes never arrived");
    EXPECT_NE(TrackReceiver::verify(lostReport, track), std::nullopt);

    // Everything arrives, but not in order: the digest of the bytes as they came differs.
    std::vector<Message> reordered = messages;
    std::swap(reordered[1], reordered[2]);
    const Status reorderedReport = receive(reordered);
    EXPECT_EQ(reorderedReport.state,
              "chunk at offset 8192 arrived after 4096 bytes; none lost, only reordered");
    EXPECT_EQ(reorderedReport.bytes, 4 * 4096);
    EXPECT_NE(reorderedReport.trackKey, track.digestHex());

    std::vector<Message> repeated = messages;
    repeated.insert(repeated.begin() + 1, messages[0]);
    EXPECT_EQ(receive(repeated).state,
              "chunk at offset 0 arrived after 4096 bytes; 4096 bytes arrived twice");

    // Data corrupted on the way: contiguous, but no longer what the key names.
    std::vector<Message> corrupted = messages;
    corrupted[2].as<TrackChunk>()->data[17] ^= 0x01;
    const Status corruptedReport = receive(corrupted);
    EXPECT_NE(corruptedReport.state.find("does not match the data received"), std::string::npos);

    const PatternTrack other = PatternTrack::make(4096, 3);
    std::vector<Message> foreign = messages;
    foreign[1].as<TrackChunk>()->key = other.key;
    EXPECT_NE(receive(foreign).state.find("belongs to track"), std::string::npos);
}

TEST(TrackTransferTest, VerifyRejectsReportsThatDoNotMatchWhatWasSent) {
    const PatternTrack track = PatternTrack::make(8192, 4);
    Status good;
    good.state = TrackReceiver::goodState;
    good.trackKey = track.digestHex();
    good.bytes = 8192;
    ASSERT_EQ(TrackReceiver::verify(good, track), std::nullopt);

    Status shortReport = good;
    shortReport.bytes = 4096;
    EXPECT_EQ(TrackReceiver::verify(shortReport, track), "the receiver got 4096 bytes of 8192");

    Status otherDigest = good;
    otherDigest.trackKey = PatternTrack::make(8192, 5).digestHex();
    EXPECT_NE(TrackReceiver::verify(otherDigest, track), std::nullopt);

    Status noDigest = good;
    noDigest.trackKey.reset();
    EXPECT_NE(TrackReceiver::verify(noDigest, track), std::nullopt);

    Status faulty = good;
    faulty.state = "chunk at offset 8192 arrived after 4096 bytes";
    EXPECT_EQ(TrackReceiver::verify(faulty, track),
              "the receiver found a fault: chunk at offset 8192 arrived after 4096 bytes");
}

} // namespace
} // namespace merriphonic
