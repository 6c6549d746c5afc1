// The simulated link's own behaviour: its timing, its buffers and the faults it injects. What it
// shares with every byte stream is checked by the byte-stream contract (tests/platform/qt).
#include "platform/sim/sim_link.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "core/time_units.h"
#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"
#include "tests/support/stream_endpoint.h"

namespace merriphonic::test {
namespace {

using Times = std::vector<int64_t>;

class SimLinkTest : public ::testing::Test {
protected:
    void connect(SimLinkConfig config, StreamEndpoint::Options bOptions = {}) {
        const auto clock = [this] { return world.nowNs(); };
        link = std::make_unique<SimLink>(world, loopA, loopB, std::move(config));
        a = StreamEndpoint::open(link->sideA(), loopA, {.clock = clock});
        bOptions.clock = clock;
        b = StreamEndpoint::open(link->sideB(), loopB, std::move(bOptions));
        world.runFor(0);
    }

    SimWorld world{7};
    SimRunLoop loopA{world, "a.streams"};
    SimRunLoop loopB{world, "b.streams"};
    std::unique_ptr<SimLink> link;
    std::shared_ptr<StreamEndpoint> a;
    std::shared_ptr<StreamEndpoint> b;
};

TEST_F(SimLinkTest, TimingFollowsBandwidthLatencyAndTheSendBuffer) {
    // 100 kB/s: a 1000-byte segment takes 10 ms on the wire, then 10 ms of latency. The send
    // buffer holds three segments.
    connect({.latencyNs = 10 * nsPerMs,
             .bytesPerSecond = 100'000,
             .sendBufferBytes = 3000,
             .receiveBufferBytes = 0,
             .segmentBytes = 1000});
    const Bytes bytes = randomBytes(5000, 1);
    a->send(bytes, /*thenClose=*/true);
    world.runFor(0);
    EXPECT_EQ(a->seen().writes, Times{3000});
    world.runFor(10 * nsPerMs); // one segment transmitted: room for exactly one more
    EXPECT_EQ(a->seen().writes, (Times{3000, 1000}));
    world.runUntilIdle();

    // The bytes accepted before the close all arrive, then the end (a read of 0).
    const StreamEndpoint::Seen seen = b->seen();
    EXPECT_EQ(seen.received, bytes);
    EXPECT_EQ(seen.reads, (Times{1000, 1000, 1000, 1000, 1000, 0}));
    EXPECT_EQ(seen.readTimes, (Times{20 * nsPerMs, 30 * nsPerMs, 40 * nsPerMs, 50 * nsPerMs,
                                     60 * nsPerMs, 60 * nsPerMs}));
    EXPECT_EQ(seen.output.back(), StreamEvent::end);
    EXPECT_EQ(link->stats(SimLinkSide::a), (SimLinkStats{.bytesWritten = 5000,
                                                         .bytesDelivered = 5000,
                                                         .bytesRead = 5000,
                                                         .messagesDelivered = 5}));
    EXPECT_EQ(link->stats(SimLinkSide::b), SimLinkStats{});
}

// A message link takes a message whole or not at all. A stall holds everything, and what has
// arrived meanwhile is delivered through events once it ends.
TEST_F(SimLinkTest, MessagesAreTakenWholeAndAStallHoldsThem) {
    connect({.latencyNs = 1 * nsPerMs, .sendBufferBytes = 250, .maxMessageSize = 100});
    b->send(randomBytes(50, 2));
    world.runFor(500 * nsPerUs); // on the wire when the stall begins
    link->stall(true);
    const Bytes bytes = randomBytes(250, 3);
    OutputStream& output = *link->sideA().output;
    EXPECT_EQ(output.write(bytes.data(), 250), 100);
    EXPECT_EQ(output.write(bytes.data() + 100, 150), 100);
    // 50 bytes of room: a message of 100 is refused whole, one of 50 fits.
    EXPECT_FALSE(output.hasSpaceAvailable());
    EXPECT_EQ(output.write(bytes.data(), 100), 0);
    EXPECT_EQ(output.write(bytes.data() + 200, 50), 50);
    EXPECT_EQ(link->stats(SimLinkSide::a).fullWrites, 1U);
    world.runFor(1'000 * nsPerMs);
    EXPECT_TRUE(a->seen().received.empty());
    EXPECT_TRUE(b->seen().received.empty());

    link->stall(false);
    EXPECT_TRUE(a->seen().received.empty());
    world.runUntilIdle();
    EXPECT_EQ(a->seen().received.size(), 50U);
    EXPECT_EQ(b->seen().reads, (Times{100, 100, 50}));
    EXPECT_EQ(b->seen().received, bytes);
}

// A reader that does not read stalls its writer once the receive window and the send buffer
// are full; small reads then return the credit that carries the rest through.
TEST_F(SimLinkTest, AReaderThatDoesNotReadHoldsBackTheWriter) {
    connect({.sendBufferBytes = 1000, .receiveBufferBytes = 2000, .segmentBytes = 500},
            {.reading = false});
    const Bytes bytes = randomBytes(10'000, 4);
    a->send(bytes);
    world.runUntilIdle();
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDelivered, 2000U);
    EXPECT_EQ(a->seen().sent, 3000U);
    // Told once, and not again until it reads.
    EXPECT_EQ(count(b->seen().input, StreamEvent::bytesAvailable), 1U);
    b->read(/*readAll=*/false, 300);
    world.runUntilIdle();
    EXPECT_EQ(b->seen().received, bytes);
}

TEST_F(SimLinkTest, InjectedFaultsDropWhatTheyShould) {
    // A close of side a: its unsent bytes are dropped, those on their way still arrive.
    connect({.latencyNs = 5 * nsPerMs, .bytesPerSecond = 1000, .segmentBytes = 100});
    const Bytes bytes = randomBytes(1000, 5);
    a->send(bytes);
    world.runFor(250 * nsPerMs); // two segments sent, the third on the wire
    link->close(SimLinkSide::a);
    world.runFor(1 * nsPerMs);
    EXPECT_EQ(a->seen().input.back(), StreamEvent::end);
    EXPECT_EQ(a->seen().output.back(), StreamEvent::end);
    world.runUntilIdle();
    EXPECT_EQ(b->seen().received, Bytes(bytes.begin(), bytes.begin() + 300));
    EXPECT_EQ(b->seen().readTimes.back(), 305 * nsPerMs);
    EXPECT_TRUE(b->seen().ended());
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDropped, 700U);

    // A failure of side a: only a reports it, and what b sends is lost; the first failure stays.
    connect({.latencyNs = 1 * nsPerMs});
    link->fail(SimLinkSide::a, "radio gone");
    b->send(randomBytes(100, 6));
    world.runUntilIdle();
    EXPECT_EQ(a->seen().output.back(), StreamEvent::error);
    EXPECT_EQ(link->stats(SimLinkSide::b).bytesDropped, 100U);
    EXPECT_EQ(count(b->seen().input, StreamEvent::error), 0U);
    link->failBoth("link lost");
    world.runUntilIdle();
    EXPECT_EQ(b->seen().inputError, "link lost");
    EXPECT_EQ(a->pair().input->errorDescription(), "radio gone");
    EXPECT_EQ(count(a->seen().input, StreamEvent::error), 1U);

    // A closed input: bytes that arrived but were not yet reported, and all that follow, are
    // dropped, and no event follows the close.
    connect({.latencyNs = 1 * nsPerMs});
    a->send(randomBytes(10, 7));
    while (!b->pair().input->hasBytesAvailable()) {
        world.step(); // up to the arrival; its bytesAvailable is queued, not yet handled
    }
    const std::vector<StreamEvent> before = b->seen().input;
    b->pair().input->close();
    a->send(randomBytes(10, 8));
    world.runUntilIdle();
    EXPECT_EQ(b->seen().input, before);
    EXPECT_TRUE(b->seen().received.empty());
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDropped, 20U);
    uint8_t byte = 0;
    EXPECT_EQ(b->pair().input->read(&byte, 1), -1);
    EXPECT_EQ(b->pair().input->errorDescription(), "the stream is closed");
}

// A radio model may replace the timing; the streams keep the channel alive without the link.
TEST_F(SimLinkTest, ATimingModelSetsTheArrivalsAndTheStreamsOutliveTheLink) {
    // A connection-interval radio: units leave only at 7.5 ms event boundaries.
    constexpr int64_t interval = 7'500 * nsPerUs;
    connect({.maxMessageSize = 200, .timing = [](const SimLinkUnit& unit) {
                 const int64_t slot = (unit.readyNs / interval + 1) * interval;
                 return SimLinkTiming{slot, slot};
             }});
    world.runFor(1 * nsPerMs);
    a->send(randomBytes(1000, 9));
    b->send(randomBytes(10, 10));
    link.reset();
    world.runUntilIdle();
    EXPECT_EQ(b->seen().readTimes,
              (Times{interval, 2 * interval, 3 * interval, 4 * interval, 5 * interval}));
    EXPECT_EQ(a->seen().received, randomBytes(10, 10));
}

} // namespace
} // namespace merriphonic::test
