#include "core/frame_codec.h"
#include "core/outbound_frame.h"
#include "core/outbound_queue.h"

#include <gtest/gtest.h>

#include <string>

namespace merriphonic {
namespace {

OutboundFrame control(const std::string& label) {
    return {Bytes{1}, std::nullopt, false, label};
}
OutboundFrame bulk(const std::string& label) {
    return {Bytes{2}, std::nullopt, true, label};
}

TEST(OutboundFrame, StampWritesSendTimeOnlyIntoItsSlot) {
    OutboundFrame ping = OutboundFrame::ping(0xdeadbeef);
    ping.stamp(-5'000'000'001);
    EXPECT_EQ(FrameCodec::decodeFrame(ping.bytes), Message(Ping{0xdeadbeef, -5'000'000'001}));

    OutboundFrame pong = OutboundFrame::pong(3, 111, 222);
    EXPECT_EQ(pong.label, "PONG");
    pong.stamp(0x0102030405060708);
    EXPECT_EQ(FrameCodec::decodeFrame(pong.bytes), Message(Pong{3, 111, 222, 0x0102030405060708}));
    EXPECT_EQ(pong.bytes[25], 0x08); // least significant byte first, at the t3 slot

    // A frame made from a message is never stamped, even a PING.
    const OutboundFrame fromMessage{Message(Ping{7, 123})};
    OutboundFrame stamped = fromMessage;
    stamped.stamp(999);
    EXPECT_EQ(stamped, fromMessage);
    EXPECT_TRUE(OutboundFrame(Message(TrackDone{})).isBulk);

    // A slot that doesn't fit is left alone rather than written out of bounds.
    OutboundFrame shortFrame{Bytes(12, 0), 5, false, "X"};
    shortFrame.stamp(-1);
    EXPECT_EQ(shortFrame.bytes, Bytes(12, 0));
    shortFrame.stampOffset = 4;
    shortFrame.stamp(-1);
    EXPECT_EQ(shortFrame.bytes,
              (Bytes{0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
}

TEST(OutboundQueue, ControlFirstThenQueuedBulkThenPulled) {
    OutboundQueue queue;
    queue.enqueue(bulk("b1"));
    queue.enqueue(control("c1"));
    queue.enqueue(bulk("b2"));
    queue.enqueue(control("c2"));
    int pulls = 0;
    const OutboundQueue::PullBulk pull = [&pulls]() -> std::optional<OutboundFrame> {
        ++pulls;
        return pulls == 1 ? std::optional(bulk("pulled")) : std::nullopt;
    };
    std::vector<std::string> order;
    while (auto frame = queue.next(pull)) {
        order.push_back(frame->label);
        EXPECT_EQ(pulls, order.size() <= 4 ? 0 : 1) << "pulled while frames were queued";
    }
    EXPECT_EQ(order, (std::vector<std::string>{"c1", "c2", "b1", "b2", "pulled"}));
    EXPECT_EQ(pulls, 2);
    EXPECT_TRUE(queue.isEmpty());

    // Dropping bulk keeps control frames.
    queue.enqueue(bulk("b3"));
    queue.enqueue(bulk("b4"));
    EXPECT_EQ(queue.next(nullptr)->label, "b3");
    queue.enqueue(control("c3"));
    queue.removeAllBulk();
    EXPECT_EQ(queue.next(nullptr)->label, "c3");
    EXPECT_EQ(queue.next(nullptr), std::nullopt);
}

TEST(OutboundQueue, CompactsAfterIndex256AndKeepsOrder) {
    OutboundQueue queue;
    for (int n = 0; n < 600; ++n) {
        queue.enqueue(control(std::to_string(n)));
        queue.enqueue(bulk(std::to_string(n)));
    }
    for (std::size_t n = 0; n < 1200; ++n) {
        ASSERT_EQ(queue.next(nullptr)->label, std::to_string(n % 600));
        // Taking index 256 drops the 257 handed-out frames in one go.
        EXPECT_EQ(n < 600 ? queue.controlHead() : queue.bulkHead(), (n % 600 + 1) % 257) << n;
    }
    EXPECT_TRUE(queue.isEmpty());
}

} // namespace
} // namespace merriphonic
