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

TEST(OutboundFrame, FromMessageIsNeverStamped) {
    const OutboundFrame ping{Message(Ping{7, 123})};
    EXPECT_EQ(ping.bytes, FrameCodec::encode(Ping{7, 123}));
    EXPECT_EQ(ping.label, "PING");
    EXPECT_FALSE(ping.isBulk);
    OutboundFrame stamped = ping;
    stamped.stamp(999);
    EXPECT_EQ(stamped, ping);

    const TrackKey key{{1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_TRUE(OutboundFrame(Message(TrackChunk{key, 0, {}})).isBulk);
    EXPECT_TRUE(OutboundFrame(Message(TrackDone{key})).isBulk);
    EXPECT_EQ(OutboundFrame(Message(TrackDone{key})).label, "TRACK_DONE");
    EXPECT_FALSE(OutboundFrame(Message(Stop{})).isBulk);
}

TEST(OutboundFrame, StampWritesSendTimeIntoPingAndPong) {
    OutboundFrame ping = OutboundFrame::ping(0xdeadbeef);
    EXPECT_EQ(ping.label, "PING");
    EXPECT_EQ(FrameCodec::decodeFrame(ping.bytes), Message(Ping{0xdeadbeef, 0}));
    ping.stamp(-5'000'000'001);
    EXPECT_EQ(FrameCodec::decodeFrame(ping.bytes), Message(Ping{0xdeadbeef, -5'000'000'001}));

    OutboundFrame pong = OutboundFrame::pong(3, 111, 222);
    EXPECT_EQ(pong.label, "PONG");
    EXPECT_FALSE(pong.isBulk);
    pong.stamp(0x0102030405060708);
    EXPECT_EQ(FrameCodec::decodeFrame(pong.bytes), Message(Pong{3, 111, 222, 0x0102030405060708}));
    EXPECT_EQ(pong.bytes[25], 0x08); // least significant byte first, at the t3 slot
    EXPECT_EQ(pong.bytes.size(), 33U);

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
    EXPECT_TRUE(queue.isEmpty());
    queue.enqueue(bulk("b1"));
    queue.enqueue(control("c1"));
    queue.enqueue(bulk("b2"));
    queue.enqueue(control("c2"));
    EXPECT_EQ(queue.controlCount(), 2U);
    EXPECT_EQ(queue.bulkCount(), 2U);

    int pulls = 0;
    const OutboundQueue::PullBulk pull = [&pulls]() -> std::optional<OutboundFrame> {
        ++pulls;
        return pulls == 1 ? std::optional(bulk("pulled")) : std::nullopt;
    };
    std::vector<std::string> order;
    while (auto frame = queue.next(pull)) {
        order.push_back(frame->label);
        if (order.size() <= 4) {
            EXPECT_EQ(pulls, 0) << "pulled while frames were queued";
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"c1", "c2", "b1", "b2", "pulled"}));
    EXPECT_EQ(pulls, 2);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.next(nullptr), std::nullopt);
}

TEST(OutboundQueue, RemoveAllBulkKeepsControl) {
    OutboundQueue queue;
    queue.enqueue(bulk("b1"));
    queue.enqueue(bulk("b2"));
    queue.enqueue(control("c1"));
    EXPECT_EQ(queue.next(nullptr)->label, "c1");
    EXPECT_EQ(queue.next(nullptr)->label, "b1");
    queue.enqueue(control("c2"));
    queue.removeAllBulk();
    EXPECT_EQ(queue.bulkCount(), 0U);
    EXPECT_EQ(queue.controlCount(), 1U);
    EXPECT_EQ(queue.next(nullptr)->label, "c2");
    queue.enqueue(bulk("b3"));
    EXPECT_EQ(queue.next(nullptr)->label, "b3");
    EXPECT_TRUE(queue.isEmpty());
}

TEST(OutboundQueue, CompactsAfterIndex256AndKeepsOrder) {
    OutboundQueue queue;
    for (int n = 0; n < 600; ++n) {
        queue.enqueue(control(std::to_string(n)));
        queue.enqueue(bulk(std::to_string(n)));
    }
    for (std::size_t n = 0; n < 600; ++n) {
        ASSERT_EQ(queue.next(nullptr)->label, std::to_string(n));
        // Taking index 256 drops the 257 handed-out frames in one go.
        EXPECT_EQ(queue.controlHead(), (n + 1) % 257) << n;
        EXPECT_EQ(queue.controlCount(), 599 - n);
    }
    EXPECT_EQ(queue.bulkCount(), 600U);
    for (std::size_t n = 0; n < 600; ++n) {
        ASSERT_EQ(queue.next(nullptr)->label, std::to_string(n));
        EXPECT_EQ(queue.bulkHead(), (n + 1) % 257) << n;
    }
    EXPECT_TRUE(queue.isEmpty());
}

} // namespace
} // namespace merriphonic
