#include "platform/sim/sim_link.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {
namespace {

constexpr int64_t us = 1'000;
constexpr int64_t ms = 1'000'000;
constexpr int64_t sec = 1'000'000'000;

std::vector<uint8_t> pattern(size_t size, uint64_t salt = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(((i + salt) * 2654435761U) >> 13);
    }
    return bytes;
}

// One end of a link, driven the way the connection drives its streams: read everything on
// bytesAvailable, write as much as fits on spaceAvailable.
class Peer {
public:
    Peer(SimRunLoop& loop, StreamPair pair) : loop_(loop), pair_(std::move(pair)) {}
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { close(); }

    void open() {
        pair_.input->setEventHandler([this](StreamEvent event) { onInput(event); });
        pair_.output->setEventHandler([this](StreamEvent event) { onOutput(event); });
        pair_.input->open();
        pair_.output->open();
    }
    void close() {
        pair_.input->close();
        pair_.output->close();
    }
    void send(const std::vector<uint8_t>& bytes) {
        outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
        pumpWrites();
    }
    void drain() {
        std::vector<uint8_t> buffer(readSize);
        do {
            if (!pair_.input->hasBytesAvailable()) {
                return;
            }
            const int64_t count = pair_.input->read(buffer.data(), buffer.size());
            if (count <= 0) {
                endReads += count == 0 ? 1 : 0;
                return;
            }
            received.insert(received.end(), buffer.begin(), buffer.begin() + count);
            reads.emplace_back(loop_.world().nowNs(), static_cast<size_t>(count));
        } while (loopReads);
    }
    void pumpWrites() {
        while (sent_ < outbox_.size() && pair_.output->hasSpaceAvailable()) {
            const int64_t count =
                pair_.output->write(outbox_.data() + sent_, outbox_.size() - sent_);
            if (count <= 0) {
                return;
            }
            writes.push_back(static_cast<size_t>(count));
            sent_ += static_cast<size_t>(count);
        }
    }
    [[nodiscard]] std::vector<size_t> readSizes() const {
        std::vector<size_t> sizes;
        for (const auto& read : reads) {
            sizes.push_back(read.second);
        }
        return sizes;
    }
    [[nodiscard]] size_t sent() const { return sent_; }

    InputStream& input() { return *pair_.input; }
    OutputStream& output() { return *pair_.output; }

    bool reading = true;   // read on bytesAvailable
    bool loopReads = true; // keep reading while bytes remain, as the connection does
    size_t readSize = 32 * 1024;
    std::vector<uint8_t> received;
    std::vector<std::pair<int64_t, size_t>> reads; // (time, count)
    std::vector<size_t> writes;
    std::vector<StreamEvent> inputEvents;
    std::vector<StreamEvent> outputEvents;
    int endReads = 0;
    int offLoopEvents = 0;

private:
    void onInput(StreamEvent event) {
        offLoopEvents += loop_.isCurrent() ? 0 : 1;
        inputEvents.push_back(event);
        if (event == StreamEvent::bytesAvailable && reading) {
            drain();
        }
    }
    void onOutput(StreamEvent event) {
        offLoopEvents += loop_.isCurrent() ? 0 : 1;
        outputEvents.push_back(event);
        if (event == StreamEvent::spaceAvailable) {
            pumpWrites();
        }
    }

    SimRunLoop& loop_;
    StreamPair pair_;
    std::vector<uint8_t> outbox_;
    size_t sent_ = 0;
};

using Events = std::vector<StreamEvent>;

class SimLinkTest : public ::testing::Test {
protected:
    void connect(SimLinkConfig config) {
        link = std::make_unique<SimLink>(world, loopA, loopB, std::move(config));
        a = std::make_unique<Peer>(loopA, link->sideA());
        b = std::make_unique<Peer>(loopB, link->sideB());
    }
    void connectAndOpen(SimLinkConfig config) {
        connect(std::move(config));
        a->open();
        b->open();
    }

    SimWorld world{7};
    SimRunLoop loopA{world, "a.streams"};
    SimRunLoop loopB{world, "b.streams"};
    std::unique_ptr<SimLink> link;
    std::unique_ptr<Peer> a;
    std::unique_ptr<Peer> b;
};

TEST_F(SimLinkTest, ReportsOpenThenReadinessOnTheSidesOwnLoop) {
    connect({});
    uint8_t byte = 1;
    EXPECT_EQ(a->output().write(&byte, 1), -1);
    EXPECT_EQ(a->output().errorDescription(), "the stream is not open");
    EXPECT_FALSE(a->output().hasSpaceAvailable());
    world.runUntilIdle();
    EXPECT_TRUE(a->outputEvents.empty());

    a->open();
    b->open();
    a->send({1, 2, 3});
    world.runUntilIdle();
    EXPECT_EQ(a->outputEvents, (Events{StreamEvent::openCompleted, StreamEvent::spaceAvailable}));
    EXPECT_EQ(a->inputEvents, (Events{StreamEvent::openCompleted}));
    EXPECT_EQ(b->inputEvents, (Events{StreamEvent::openCompleted, StreamEvent::bytesAvailable}));
    EXPECT_EQ(b->received, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(a->offLoopEvents + b->offLoopEvents, 0);
    // Nothing left to read is not the end of the stream.
    EXPECT_FALSE(b->input().hasBytesAvailable());
    EXPECT_EQ(b->endReads, 0);
}

TEST_F(SimLinkTest, LatencyAndBandwidthSetArrivalTimes) {
    // 100 kB/s: a 1000-byte segment takes 10 ms on the wire, then 10 ms of latency.
    connectAndOpen({.latencyNs = 10 * ms, .bytesPerSecond = 100'000, .segmentBytes = 1000});
    a->send(pattern(5000));
    world.runUntilIdle();
    ASSERT_EQ(b->reads.size(), 5U);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(b->reads[k].first, static_cast<int64_t>(k + 2) * 10 * ms);
        EXPECT_EQ(b->reads[k].second, 1000U);
    }
    EXPECT_EQ(b->received, pattern(5000));
    const SimLinkStats stats = link->stats(SimLinkSide::a);
    EXPECT_EQ(stats.bytesWritten, 5000U);
    EXPECT_EQ(stats.bytesDelivered, 5000U);
    EXPECT_EQ(stats.bytesRead, 5000U);
    EXPECT_EQ(stats.messagesDelivered, 5U);
    EXPECT_EQ(link->stats(SimLinkSide::b), SimLinkStats{});
}

TEST_F(SimLinkTest, FullSendBufferGivesPartialWritesThatResume) {
    connectAndOpen({.bytesPerSecond = 100'000,
                    .sendBufferBytes = 3000,
                    .receiveBufferBytes = 0,
                    .segmentBytes = 1000});
    a->send(pattern(10'000));
    EXPECT_EQ(a->writes, (std::vector<size_t>{3000}));
    EXPECT_FALSE(a->output().hasSpaceAvailable());
    const uint8_t byte = 0;
    EXPECT_EQ(a->output().write(&byte, 1), 0); // full: wait for spaceAvailable
    EXPECT_EQ(link->stats(SimLinkSide::a).fullWrites, 1U);

    world.runFor(10 * ms); // one segment transmitted: room for exactly one more
    EXPECT_EQ(a->writes, (std::vector<size_t>{3000, 1000}));
    world.runUntilIdle();
    EXPECT_EQ(a->sent(), 10'000U);
    EXPECT_EQ(b->received, pattern(10'000));
    EXPECT_EQ(world.nowNs(), 100 * ms);
}

TEST_F(SimLinkTest, MessageLinkCapsWritesAndKeepsBoundaries) {
    connectAndOpen({.sendBufferBytes = 250, .maxMessageSize = 100});
    link->stall(true);
    const auto bytes = pattern(250);
    EXPECT_EQ(a->output().write(bytes.data(), 250), 100);
    EXPECT_EQ(a->output().write(bytes.data() + 100, 150), 100);
    // 50 bytes of room: a whole message of 50 fits, a message of up to 100 is refused whole.
    EXPECT_FALSE(a->output().hasSpaceAvailable());
    EXPECT_EQ(a->output().write(bytes.data() + 200, 50), 50);
    EXPECT_EQ(a->output().write(bytes.data(), 10), 0);
    link->stall(false);
    world.runUntilIdle();
    EXPECT_EQ(b->readSizes(), (std::vector<size_t>{100, 100, 50}));
    EXPECT_EQ(b->received, bytes);
    EXPECT_EQ(link->stats(SimLinkSide::a).messagesDelivered, 3U);

    // A read smaller than a message takes its start; the rest follows, still apart from the
    // next message.
    b->readSize = 40;
    a->send(pattern(100, 1));
    a->send(pattern(30, 2));
    world.runUntilIdle();
    EXPECT_EQ(b->readSizes(), (std::vector<size_t>{100, 100, 50, 40, 40, 20, 30}));
}

TEST_F(SimLinkTest, JitterNeverReordersBytes) {
    connectAndOpen({.latencyNs = 1 * ms, .jitterNs = 5 * ms, .segmentBytes = 1});
    std::vector<uint8_t> expected;
    for (int k = 0; k < 2000; ++k) {
        world.runFor(100 * us);
        const auto bytes = pattern(1 + k % 3, static_cast<uint64_t>(k));
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        a->send(bytes);
    }
    world.runUntilIdle();
    EXPECT_EQ(b->received, expected);
    // Arrivals were really spread by the jitter, not only delayed by the latency.
    int64_t spread = 0;
    for (size_t k = 1; k < b->reads.size(); ++k) {
        spread = std::max(spread, b->reads[k].first - b->reads[k - 1].first);
    }
    EXPECT_GT(spread, 1 * ms);
}

TEST_F(SimLinkTest, TenMegabytesArriveIntact) {
    connectAndOpen({.latencyNs = 5 * ms,
                    .jitterNs = 2 * ms,
                    .bytesPerSecond = 2'000'000,
                    .sendBufferBytes = 64 * 1024,
                    .receiveBufferBytes = 64 * 1024,
                    .segmentBytes = 4096});
    const auto bytes = pattern(10 * 1024 * 1024);
    a->send(bytes);
    world.runUntilIdle();
    EXPECT_EQ(b->received.size(), bytes.size());
    EXPECT_TRUE(b->received == bytes);
    const SimLinkStats stats = link->stats(SimLinkSide::a);
    EXPECT_EQ(stats.bytesDelivered, bytes.size());
    EXPECT_EQ(stats.messagesDelivered, bytes.size() / 4096);
    EXPECT_EQ(stats.bytesDropped, 0U);
    // Bandwidth-bound: 10 MiB at 2 MB/s, plus one latency and at most one jitter.
    const int64_t wire = static_cast<int64_t>(bytes.size()) * sec / 2'000'000;
    EXPECT_GE(b->reads.back().first, wire + 5 * ms);
    EXPECT_LE(b->reads.back().first, wire + 7 * ms);
}

TEST_F(SimLinkTest, ClosingASideDeliversItsBytesThenTheEnd) {
    connectAndOpen({.latencyNs = 10 * ms, .bytesPerSecond = 100'000, .segmentBytes = 1000});
    a->send(pattern(3000));
    a->close(); // at once, with all 3000 bytes still unsent
    world.runUntilIdle();
    EXPECT_EQ(b->received, pattern(3000));
    EXPECT_EQ(b->inputEvents.back(), StreamEvent::end);
    EXPECT_EQ(b->outputEvents.back(), StreamEvent::end);
    EXPECT_EQ(b->reads.back().first, 40 * ms);
    EXPECT_TRUE(b->input().hasBytesAvailable()); // the end reads at once
    uint8_t buffer[8];
    EXPECT_EQ(b->input().read(buffer, sizeof buffer), 0);
    EXPECT_EQ(b->output().write(buffer, 1), -1);
    EXPECT_EQ(b->output().errorDescription(), "the channel is closed");
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDropped, 0U);
    EXPECT_TRUE(a->inputEvents.empty() || a->inputEvents.back() == StreamEvent::openCompleted);
}

TEST_F(SimLinkTest, InjectedCloseDropsUnsentBytesAndEndsBothSides) {
    connectAndOpen({.latencyNs = 5 * ms, .bytesPerSecond = 1000, .segmentBytes = 100});
    a->send(pattern(1000));
    world.runFor(250 * ms); // two segments sent, the third on the wire
    link->close(SimLinkSide::a);
    world.runFor(1 * ms);
    EXPECT_EQ(a->inputEvents.back(), StreamEvent::end);
    EXPECT_EQ(a->outputEvents.back(), StreamEvent::end);
    world.runUntilIdle();
    const auto sent = pattern(1000);
    EXPECT_EQ(b->received, std::vector<uint8_t>(sent.begin(), sent.begin() + 300));
    EXPECT_EQ(b->inputEvents.back(), StreamEvent::end);
    EXPECT_EQ(b->reads.back().first, 305 * ms);
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDropped, 700U);
}

TEST_F(SimLinkTest, FailureReportsErrorsOnTheFailedSideOnly) {
    connectAndOpen({.latencyNs = 1 * ms});
    world.runUntilIdle();
    link->fail(SimLinkSide::a, "radio gone");
    world.runUntilIdle();
    EXPECT_EQ(a->inputEvents.back(), StreamEvent::error);
    EXPECT_EQ(a->outputEvents.back(), StreamEvent::error);
    EXPECT_EQ(a->input().errorDescription(), "radio gone");
    EXPECT_TRUE(a->input().hasBytesAvailable());
    uint8_t buffer[8] = {};
    EXPECT_LT(a->input().read(buffer, sizeof buffer), 0);
    EXPECT_LT(a->output().write(buffer, 1), 0);
    EXPECT_EQ(a->output().errorDescription(), "radio gone");

    b->send(pattern(100)); // accepted, then lost at the failed side
    world.runUntilIdle();
    EXPECT_EQ(link->stats(SimLinkSide::b).bytesDropped, 100U);
    EXPECT_EQ(std::count(b->inputEvents.begin(), b->inputEvents.end(), StreamEvent::error), 0);

    link->failBoth("link lost");
    world.runUntilIdle();
    EXPECT_EQ(b->inputEvents.back(), StreamEvent::error);
    EXPECT_EQ(b->output().errorDescription(), "link lost");
    EXPECT_EQ(a->input().errorDescription(), "radio gone"); // the first failure stays
    EXPECT_EQ(std::count(a->inputEvents.begin(), a->inputEvents.end(), StreamEvent::error), 1);
}

TEST_F(SimLinkTest, StallHoldsEverythingUntilReleased) {
    connectAndOpen({.latencyNs = 1 * ms,
                    .sendBufferBytes = 1000,
                    .receiveBufferBytes = 1000,
                    .segmentBytes = 100});
    b->send(pattern(50));
    world.runFor(500 * us); // on the wire when the stall begins
    link->stall(true);
    a->send(pattern(5000));
    world.runFor(1 * sec);
    EXPECT_EQ(a->writes, (std::vector<size_t>{1000}));
    EXPECT_TRUE(b->received.empty());
    EXPECT_TRUE(a->received.empty());
    link->stall(false);
    EXPECT_EQ(a->received.size(), 0U); // delivered through events, not inside stall()
    world.runUntilIdle();
    EXPECT_EQ(a->received, pattern(50));
    EXPECT_EQ(b->received, pattern(5000));
}

TEST_F(SimLinkTest, AReaderThatDoesNotReadHoldsBackTheWriter) {
    connectAndOpen({.sendBufferBytes = 1000, .receiveBufferBytes = 2000, .segmentBytes = 500});
    b->reading = false;
    a->send(pattern(10'000));
    world.runUntilIdle();
    // The receive window and the send buffer are full; nothing more moves.
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDelivered, 2000U);
    EXPECT_EQ(a->sent(), 3000U);
    // Told once; not told again until it reads.
    EXPECT_EQ(std::count(b->inputEvents.begin(), b->inputEvents.end(), StreamEvent::bytesAvailable),
              1);

    b->reading = true;
    b->loopReads = false; // one small read per event: re-signalling must carry it through
    b->readSize = 300;
    b->drain();
    world.runUntilIdle();
    EXPECT_EQ(b->received, pattern(10'000));
}

TEST_F(SimLinkTest, NoEventsAfterClose) {
    connectAndOpen({.latencyNs = 1 * ms});
    world.runUntilIdle();
    const Events before = b->inputEvents;
    a->send(pattern(10));
    while (!b->input().hasBytesAvailable()) {
        world.step(); // up to the arrival; its bytesAvailable is queued, not yet handled
    }
    b->input().close();
    a->send(pattern(10));
    world.runUntilIdle();
    EXPECT_EQ(b->inputEvents, before);
    EXPECT_TRUE(b->received.empty());
    EXPECT_EQ(link->stats(SimLinkSide::a).bytesDropped, 20U);
    EXPECT_FALSE(b->input().hasBytesAvailable());
    uint8_t buffer[4];
    EXPECT_EQ(b->input().read(buffer, sizeof buffer), -1);
    EXPECT_EQ(b->input().errorDescription(), "the stream is closed");

    // The output of that side still works: only closing both streams closes the side.
    b->send(pattern(5));
    world.runUntilIdle();
    EXPECT_EQ(a->received, pattern(5));
    b->output().close();
    world.runUntilIdle();
    EXPECT_EQ(a->inputEvents.back(), StreamEvent::end);
}

TEST_F(SimLinkTest, TimingModelCanBeReplaced) {
    // A connection-interval radio: units leave only at 7.5 ms event boundaries.
    constexpr int64_t interval = 7'500 * us;
    SimLinkConfig config;
    config.maxMessageSize = 200;
    config.timing = [](const SimLinkUnit& unit) {
        const int64_t slot = (unit.readyNs / interval + 1) * interval;
        return SimLinkTiming{slot, slot};
    };
    connectAndOpen(std::move(config));
    world.runFor(1 * ms);
    a->send(pattern(1000));
    world.runUntilIdle();
    ASSERT_EQ(b->reads.size(), 5U);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(b->reads[k].first, static_cast<int64_t>(k + 1) * interval);
    }
}

TEST_F(SimLinkTest, StreamsOutliveTheLinkObject) {
    connectAndOpen({.latencyNs = 1 * ms});
    link.reset(); // the streams keep the channel alive
    a->send(pattern(1000));
    b->send(pattern(10));
    world.runUntilIdle();
    EXPECT_EQ(b->received, pattern(1000));
    EXPECT_EQ(a->received, pattern(10));
}

TEST(SimLinkConfigTest, RejectsImpossibleSettings) {
    SimWorld world;
    SimRunLoop loop(world, "l");
    EXPECT_THROW(SimLink(world, loop, loop, {.latencyNs = -1}), std::invalid_argument);
    EXPECT_THROW(SimLink(world, loop, loop, {.sendBufferBytes = 0}), std::invalid_argument);
    // Buffers too small for one message are widened, or the link could never move one.
    SimLink link(world, loop, loop,
                 {.sendBufferBytes = 10, .receiveBufferBytes = 10, .maxMessageSize = 672});
    EXPECT_EQ(link.config().sendBufferBytes, 672U);
    EXPECT_EQ(link.config().receiveBufferBytes, 672U);
}

} // namespace
} // namespace merriphonic
