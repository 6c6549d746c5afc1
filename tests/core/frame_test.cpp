#include "core/frame_codec.h"
#include "core/frame_reassembler.h"
#include "core/le.h"
#include "core/outbound_frame.h"
#include "core/outbound_queue.h"
#include "core/protocol_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace merriphonic {
namespace {

Bytes frameOf(uint8_t type, std::size_t payloadSize, uint8_t seed = 0) {
    Bytes payload(payloadSize);
    for (std::size_t n = 0; n < payloadSize; ++n) {
        payload[n] = static_cast<uint8_t>(seed + n * 7);
    }
    return FrameCodec::frame(type, payload);
}

Bytes header(uint32_t length) {
    Bytes bytes;
    LE::append(length, bytes);
    return bytes;
}

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Expects the call to throw this ProtocolError, described as `description`.
void expectError(const std::function<void()>& call, const ProtocolError& expected,
                 const std::string& description) {
    try {
        call();
        ADD_FAILURE() << "no error, expected " << description;
    } catch (const ProtocolError& error) {
        EXPECT_EQ(error, expected);
        EXPECT_EQ(std::string(error.what()), description);
    }
}

// Consumed bytes are kept rather than shifted until they pass 64 KiB.
TEST(FrameReassembler, CompactsPast64KiB) {
    FrameReassembler large;
    Bytes big = frameOf(1, 65'531); // 65,536 bytes in all
    big.push_back(9);               // first byte of the next header: length 9
    EXPECT_EQ(large.push(big).size(), 1U);
    EXPECT_EQ(large.start(), 65'536U);
    const std::vector<RawFrame> next = large.push(Bytes{0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7, 8, 0xaa});
    EXPECT_EQ(next, (std::vector<RawFrame>{{7, {1, 2, 3, 4, 5, 6, 7, 8}}}));
    EXPECT_EQ(large.start(), 0U);
    EXPECT_EQ(large.buffer(), Bytes{0xaa});
}

TEST(FrameReassembler, LengthBounds) {
    FrameReassembler largest;
    const Bytes maxFrame = frameOf(0x22, SyncProtocol::maxFrameLength - 1);
    EXPECT_EQ(largest.push(ByteView(maxFrame).first(maxFrame.size() - 1)).size(), 0U);
    const std::vector<RawFrame> frames = largest.push(ByteView(maxFrame).last(1));
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].payload.size(), 1'048'575U);

    expectError([] { FrameReassembler().push(header(0)); }, ProtocolError::invalidLength(0),
                "invalid frame length 0");
    expectError([] { FrameReassembler().push(header(1'048'577)); },
                ProtocolError::invalidLength(1'048'577), "invalid frame length 1048577");
    // A bad header after good frames fails the whole push.
    expectError([] { FrameReassembler().push(joined(frameOf(1, 3), header(0xffffffff))); },
                ProtocolError::invalidLength(0xffffffff), "invalid frame length 4294967295");
}

TEST(OutboundFrame, StampWritesSendTimeOnlyIntoItsSlot) {
    OutboundFrame ping = OutboundFrame::ping(0xdeadbeef);
    ping.stamp(-5'000'000'001);
    EXPECT_EQ(FrameCodec::decodeFrame(ping.bytes), Message(Ping{0xdeadbeef, -5'000'000'001}));
    OutboundFrame pong = OutboundFrame::pong(3, 111, 222);
    pong.stamp(0x0102030405060708);
    EXPECT_EQ(FrameCodec::decodeFrame(pong.bytes), Message(Pong{3, 111, 222, 0x0102030405060708}));

    // A frame made from a message is never stamped, even a PING.
    const OutboundFrame fromMessage{Message(Ping{7, 123})};
    OutboundFrame stamped = fromMessage;
    stamped.stamp(999);
    EXPECT_EQ(stamped, fromMessage);
    EXPECT_TRUE(OutboundFrame(Message(TrackDone{})).isBulk);
}

OutboundFrame queued(bool isBulk, const std::string& label) {
    return {Bytes{1}, std::nullopt, isBulk, label};
}

// Control frames first, then queued bulk frames, and only then one pulled from the source; the
// handed-out frames are dropped in one go once index 256 has been taken.
TEST(OutboundQueue, ControlFirstThenQueuedBulkThenPulledAndCompactsInOrder) {
    OutboundQueue queue;
    queue.enqueue(queued(true, "b1"));
    queue.enqueue(queued(false, "c1"));
    queue.enqueue(queued(true, "b2"));
    queue.enqueue(queued(false, "c2"));
    int pulls = 0;
    const OutboundQueue::PullBulk pull = [&pulls]() -> std::optional<OutboundFrame> {
        ++pulls;
        return pulls == 1 ? std::optional(queued(true, "pulled")) : std::nullopt;
    };
    std::vector<std::string> order;
    while (auto frame = queue.next(pull)) {
        order.push_back(frame->label);
        EXPECT_EQ(pulls, order.size() <= 4 ? 0 : 1) << "pulled while frames were queued";
    }
    EXPECT_EQ(order, (std::vector<std::string>{"c1", "c2", "b1", "b2", "pulled"}));
    EXPECT_EQ(pulls, 2);

    // Dropping bulk keeps control frames.
    queue.enqueue(queued(true, "b3"));
    queue.enqueue(queued(false, "c3"));
    queue.removeAllBulk();
    EXPECT_EQ(queue.next(nullptr)->label, "c3");
    EXPECT_EQ(queue.next(nullptr), std::nullopt);

    OutboundQueue many;
    for (int n = 0; n < 600; ++n) {
        many.enqueue(queued(false, std::to_string(n)));
        many.enqueue(queued(true, std::to_string(n)));
    }
    for (std::size_t n = 0; n < 1200; ++n) {
        ASSERT_EQ(many.next(nullptr)->label, std::to_string(n % 600));
        EXPECT_EQ(n < 600 ? many.controlHead() : many.bulkHead(), (n % 600 + 1) % 257) << n;
    }
    EXPECT_TRUE(many.isEmpty());
}

} // namespace
} // namespace merriphonic
