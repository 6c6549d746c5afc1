// Connection behaviour over every kind of link: simulated byte streams and message links in
// virtual time, and real stream and SEQPACKET socketpairs on the real stream thread.
#include "transport/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "connection_harness.h"
#include "core/frame_codec.h"
#include "core/sync_protocol.h"

namespace merriphonic::transport_test {
namespace {

constexpr int64_t ms = 1'000'000;

// Offers `total` track chunks and checks, at every pull, that everything handed to the
// connection before has been written completely: no pull while a control frame waits or a
// frame is half written. Records, for each control frame, how many chunks had been pulled when
// it was queued. Pulled on the stream loop; read by the test once the transfer is over.
class ChunkSource final : public BulkSource {
public:
    explicit ChunkSource(size_t total, size_t pingEvery = 0)
        : total_(total), pingEvery_(pingEvery) {}

    // Every tenth is oversized, so that even a roomy socket takes it in several writes.
    static Message chunk(size_t index) {
        const size_t size = index % 10 == 9 ? 40'000 : SyncProtocol::chunkDataSize;
        return TrackChunk{TrackKey{{1, 2, 3, 4, 5, 6, 7, 8}},
                          static_cast<uint32_t>(index * SyncProtocol::chunkDataSize),
                          Bytes(size, static_cast<uint8_t>(index * 7 + 1))};
    }

    std::optional<OutboundFrame> nextBulkFrame() override {
        const std::lock_guard lock(mutex_);
        auto connection = connection_.lock();
        if (connection && connection->bytesOut() != given_) {
            ++badPulls_;
        }
        if (pulled_ == total_) {
            return std::nullopt;
        }
        OutboundFrame frame(chunk(pulled_));
        given_ += static_cast<int64_t>(frame.bytes.size());
        ++pulled_;
        if (connection && pingEvery_ != 0 && pulled_ % pingEvery_ == 0) {
            // Queued while being pulled: it goes right after this chunk, or before it.
            auto ping = OutboundFrame::ping(static_cast<uint32_t>(pulled_));
            chunksBefore_[pulled_] = pulled_;
            given_ += static_cast<int64_t>(ping.bytes.size());
            connection->enqueue(std::move(ping));
        }
        if (connection && onPull) {
            onPull(*connection, pulled_, frame);
        }
        return frame;
    }

    // On the stream loop: queues a control frame tagged `tag`.
    void send(Connection& connection, OutboundFrame frame, size_t tag) {
        {
            const std::lock_guard lock(mutex_);
            chunksBefore_[tag] = pulled_;
            given_ += static_cast<int64_t>(frame.bytes.size());
        }
        connection.enqueue(std::move(frame));
    }

    void attach(const std::shared_ptr<Connection>& connection) { connection_ = connection; }
    size_t pulled() const {
        const std::lock_guard lock(mutex_);
        return pulled_;
    }

    // Set before the transfer; may replace the frame.
    std::function<void(Connection&, size_t pulled, OutboundFrame& frame)> onPull;
    mutable std::recursive_mutex mutex_;
    std::map<size_t, size_t> chunksBefore_;
    int64_t given_ = 0;
    size_t badPulls_ = 0;

private:
    std::weak_ptr<Connection> connection_;
    size_t total_;
    size_t pingEvery_;
    size_t pulled_ = 0;
};

class ConnectionTest : public ::testing::TestWithParam<LinkKind> {
protected:
    void SetUp() override { h = Harness::make(GetParam()); }

    std::shared_ptr<Connection> host(bool autoPong = false) {
        auto connection = Connection::create(h->host(), h->hostStreams(), "host");
        connection->autoPong = autoPong;
        hostRec = record(*connection);
        return connection;
    }
    std::shared_ptr<Connection> peer() {
        auto connection = Connection::create(h->peer(), h->peerStreams(), "peer");
        peerRec = record(*connection);
        return connection;
    }
    bool bothClosed() const { return !hostRec->closes.empty() && !peerRec->closes.empty(); }

    std::unique_ptr<Harness> h;
    std::shared_ptr<Recorder> hostRec;
    std::shared_ptr<Recorder> peerRec;
};

TEST_P(ConnectionTest, DeliversFragmentedAndCoalescedFramesAndAnswersPings) {
    auto a = host(true);
    auto b = peer();
    a->start();
    b->start();

    const Bytes hello = FrameCodec::encode(Hello{1, "B3C1", "Kitchen", "linux"});
    for (size_t i = 0; i < hello.size(); ++i) {
        h->later(static_cast<int64_t>(i + 1) * ms,
                 [b, byte = hello[i]] { b->enqueue(rawBytes({byte})); });
    }
    // Three frames and the head of a fourth in one write, then the rest of the fourth.
    Bytes blob = FrameCodec::encode(Status{"ready", "0102030405060708", 9, 10, 1.5, 20});
    for (const Bytes& more : {FrameCodec::frame(0x7f, Bytes{1, 2, 3}),
                              FrameCodec::encode(TrackHave{"0102030405060708", 4})}) {
        blob.insert(blob.end(), more.begin(), more.end());
    }
    const Bytes play = FrameCodec::encode(Play{"0102030405060708", 123, 456});
    blob.insert(blob.end(), play.begin(), play.begin() + 3);
    h->later(100 * ms, [b, blob] { b->enqueue(rawBytes(blob)); });
    h->later(110 * ms,
             [b, rest = Bytes(play.begin() + 3, play.end())] { b->enqueue(rawBytes(rest)); });
    ASSERT_TRUE(h->runUntil([&] { return hostRec->messages.size() == 4; }));

    EXPECT_EQ(hostRec->messages,
              (std::vector<Message>{Hello{1, "B3C1", "Kitchen", "linux"},
                                    Status{"ready", "0102030405060708", 9, 10, 1.5, 20},
                                    TrackHave{"0102030405060708", 4},
                                    Play{"0102030405060708", 123, 456}}));
    EXPECT_TRUE(std::is_sorted(hostRec->receiveNs.begin(), hostRec->receiveNs.end()));
    EXPECT_TRUE(h->hostLog().contains("[host] ignoring unknown type 0x7f (3 B)"));
    EXPECT_TRUE(h->hostLog().contains("[host] streams opened"));

    // A PING is answered on the stream loop, never delivered; t2 and t3 are host times.
    const int64_t before = h->host().clock.nowNs();
    b->enqueue(OutboundFrame(Message(Ping{9, 12345})));
    ASSERT_TRUE(h->runUntil([&] { return peerRec->count<Pong>() == 1; }));
    const Pong pong = *peerRec->messages.back().as<Pong>();
    EXPECT_EQ(pong.seq, 9u);
    EXPECT_EQ(pong.t1, 12345);
    EXPECT_LE(before, pong.t2);
    EXPECT_LE(pong.t2, pong.t3);
    EXPECT_LE(pong.t3, h->host().clock.nowNs());
    EXPECT_EQ(hostRec->messages.size(), 4u);
    EXPECT_FALSE(a->isClosed());
    a->close("done");
    ASSERT_TRUE(h->runUntil([&] { return bothClosed(); }));
}

TEST_P(ConnectionTest, ControlFramesOvertakeBulkFramesWithoutCorruptingThem) {
    constexpr size_t total = 120;
    auto a = host();
    auto b = peer();
    auto source = std::make_shared<ChunkSource>(total, 7);
    source->attach(a);
    a->setBulkSource(source);
    const int64_t startNs = h->host().clock.nowNs();
    // From the main loop, now and then: a STATUS while the chunks stream.
    size_t statuses = 0;
    peerRec->onEach = [&, weak = std::weak_ptr<Connection>(a)](const Message& message) {
        if (message.is<TrackChunk>() && peerRec->count<TrackChunk>() % 25 == 0) {
            const size_t tag = 1000 + ++statuses;
            weak.lock()->onStreamThread([source, weak, tag] {
                source->send(*weak.lock(),
                             OutboundFrame(Message(Status{"receiving", {}, int64_t(tag), 0, 0, 0})),
                             tag);
            });
        }
    };
    a->start();
    b->start();
    ASSERT_TRUE(h->runUntil([&] {
        return peerRec->count<TrackChunk>() == total && peerRec->count<Ping>() == total / 7 &&
               peerRec->count<Status>() == statuses;
    }));
    h->drain();

    const std::lock_guard lock(source->mutex_);
    EXPECT_EQ(source->badPulls_, 0u);
    EXPECT_EQ(a->bytesOut(), source->given_);
    EXPECT_EQ(b->bytesIn(), source->given_);
    size_t chunks = 0;
    // A control frame follows the chunks pulled before it was queued, except the last of them
    // when that one had not begun: it never waits behind a chunk it could overtake.
    const auto placed = [&](size_t tag) {
        const size_t pulled = source->chunksBefore_.at(tag);
        return chunks == pulled || chunks + 1 == pulled;
    };
    for (const Message& message : peerRec->messages) {
        if (message.is<TrackChunk>()) {
            EXPECT_EQ(message, ChunkSource::chunk(chunks));
            ++chunks;
        } else if (const auto* ping = message.as<Ping>()) {
            EXPECT_TRUE(placed(ping->seq)) << "PING " << ping->seq << " after " << chunks;
            EXPECT_GE(ping->t1, startNs); // stamped when written
        } else if (const auto* status = message.as<Status>()) {
            const auto tag = static_cast<size_t>(status->bytes);
            EXPECT_TRUE(placed(tag)) << "STATUS " << tag << " after " << chunks;
        }
    }
    EXPECT_EQ(statuses, total / 25);
}

TEST_P(ConnectionTest, BadFramesCloseWithTheProtocolError) {
    struct Case {
        Bytes bytes;
        std::string description;
        std::string logLine;
    };
    const std::string badHello = R"({"v":1,"name":"Kitchen","platform":"linux"})";
    const std::vector<Case> cases = {
        {{0, 0, 0, 0},
         "invalid frame length 0",
         "[host] bad frame: invalid frame length 0 — closing"},
        {{0x01, 0x00, 0x10, 0x00, 0x01},
         "invalid frame length 1048577",
         "[host] bad frame: invalid frame length 1048577 — closing"},
        {FrameCodec::frame(0x01, Bytes(badHello.begin(), badHello.end())),
         "malformed payload: hello field 'id' missing",
         "[host] malformed 0x1: malformed payload: hello field 'id' missing — closing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        h = Harness::make(GetParam());
        auto a = host();
        auto b = peer();
        a->start();
        b->start();
        const Bytes hello = FrameCodec::encode(Hello{1, "B3C1", "Kitchen", "linux"});
        b->enqueue(rawBytes(hello));
        ASSERT_TRUE(h->runUntil([&] { return hostRec->messages.size() == 1; }));
        b->enqueue(rawBytes(c.bytes));
        ASSERT_TRUE(h->runUntil([&] { return bothClosed(); }));

        EXPECT_EQ(hostRec->closes, std::vector<std::string>{"protocol error: " + c.description});
        EXPECT_EQ(peerRec->closes, std::vector<std::string>{"stream ended (EOF)"});
        EXPECT_TRUE(h->hostLog().contains(c.logLine));
        EXPECT_TRUE(h->hostLog().contains("[host] closed: protocol error: " + c.description +
                                          " (in " + std::to_string(hello.size() + c.bytes.size()) +
                                          " B, out 0 B)"));
        // Closed for good: nothing more is sent, closed once.
        a->enqueue(OutboundFrame(Message(Bye{})));
        a->close("again");
        h->drain();
        EXPECT_EQ(a->bytesOut(), 0);
        EXPECT_EQ(hostRec->closes.size(), 1u);
        EXPECT_EQ(h->hostLog().count("[host] closed:"), 1u);
        EXPECT_EQ(hostRec->messages.size(), 1u);
        EXPECT_FALSE(hostRec->messageAfterClose);
    }
}

TEST_P(ConnectionTest, ByeIsWrittenThenTheConnectionCloses) {
    auto a = host(true);
    auto b = peer();
    a->start();
    b->start();
    b->enqueue(OutboundFrame(Message(Ping{3, 77})));
    ASSERT_TRUE(h->runUntil([&] { return peerRec->count<Pong>() == 1; }));
    a->sendByeAndClose("party ended");
    a->sendByeAndClose("again");
    a->enqueue(OutboundFrame(Message(Status{"ready", {}, 0, 0, 0, 0}))); // nothing follows a BYE
    ASSERT_TRUE(h->runUntil([&] { return bothClosed(); }));

    EXPECT_EQ(hostRec->closes, std::vector<std::string>{"closed after BYE"});
    EXPECT_EQ(peerRec->closes, std::vector<std::string>{"stream ended (EOF)"});
    EXPECT_EQ(peerRec->count<Bye>(), 1u);
    EXPECT_TRUE(peerRec->messages.back().is<Bye>());
    EXPECT_TRUE(h->hostLog().contains("[host] closed: closed after BYE (in 17 B, out 38 B)"));
    // The callbacks were released on the main loop, with whatever they captured.
    EXPECT_FALSE(a->onMessage);
    EXPECT_FALSE(a->onClose);

    a->enqueue(OutboundFrame(Message(Bye{})));
    a->close("again");
    h->drain();
    EXPECT_EQ(a->bytesOut(), 38);
    EXPECT_EQ(hostRec->closes.size(), 1u);

    const std::weak_ptr<Connection> weak = a;
    a.reset();
    h->drain();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(h->hostLog().contains("[host] connection deallocated"));
}

TEST_P(ConnectionTest, ByeThatCannotBeWrittenClosesAtTheDeadlineWithTheReason) {
    auto a = host();
    auto b = peer(); // not started yet: it reads nothing
    auto source = std::make_shared<ChunkSource>(1000);
    source->attach(a);
    auto byeAtNs = std::make_shared<std::atomic<int64_t>>(0);
    source->onPull = [byeAtNs, clock = &h->host().clock](Connection& connection, size_t pulled,
                                                         OutboundFrame& frame) {
        if (pulled == 1) {
            // Behind a frame far larger than what the link buffers hold.
            frame = OutboundFrame(Message(TrackChunk{TrackKey{}, 0, Bytes(1'000'000, 1)}));
            byeAtNs->store(clock->nowNs());
            connection.sendByeAndClose("party ended");
        }
    };
    a->setBulkSource(source);
    a->start();
    ASSERT_TRUE(h->runUntil([&] { return !hostRec->closes.empty(); }));

    EXPECT_EQ(hostRec->closes, std::vector<std::string>{"party ended"});
    const int64_t waitedNs = h->host().clock.nowNs() - byeAtNs->load();
    EXPECT_GE(waitedNs, Connection::byeDeadlineNs);
    if (dynamic_cast<SimHarness*>(h.get()) != nullptr) {
        EXPECT_LE(waitedNs, Connection::byeDeadlineNs + 1); // timers run on the device clock
    }
    EXPECT_EQ(source->pulled(), 1u); // nothing is pulled once the BYE is queued

    // What got through: part of the big frame and the end; no BYE.
    b->start();
    ASSERT_TRUE(h->runUntil([&] { return !peerRec->closes.empty(); }));
    EXPECT_EQ(peerRec->closes, std::vector<std::string>{"stream ended (EOF)"});
    EXPECT_TRUE(peerRec->messages.empty());
    EXPECT_EQ(b->bytesIn(), a->bytesOut());
    EXPECT_LT(a->bytesOut(), 1'000'000);
}

INSTANTIATE_TEST_SUITE_P(Links, ConnectionTest,
                         ::testing::Values(LinkKind::simStream, LinkKind::simMessages,
                                           LinkKind::socketStream, LinkKind::socketSeqpacket),
                         [](const auto& info) { return linkName(info.param); });

} // namespace
} // namespace merriphonic::transport_test
