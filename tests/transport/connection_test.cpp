// Connection over real socketpairs driven by the process's stream thread, and over simulated
// links in virtual time, where every instant is exact.
#include "transport/connection.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "core/frame_codec.h"
#include "core/sync_protocol.h"
#include "core/text_limits.h"
#include "core/time_units.h"
#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/stream_thread.h"
#include "platform/qt/system_clock.h"
#include "platform/qt/thread_pool_background_work.h"
#include "platform/sim/memory_prefs_store.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_device.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_world.h"
#include "tests/support/qt_test_support.h"
#include "tests/support/received_messages.h"

namespace merriphonic::transport_test {
namespace {

using test::mainLoop;
using test::runMainLoopUntil;
using Reasons = std::vector<std::string>;

// What one connection hands its owner, collected on the main loop.
struct Recorder {
    std::vector<Message> messages;
    Reasons closes;

    template <class T>
    [[nodiscard]] size_t count() const {
        return test::messagesOf<T>(messages).size();
    }
};

std::shared_ptr<Recorder> record(Connection& connection) {
    auto recorder = std::make_shared<Recorder>();
    connection.onMessage = [weak = std::weak_ptr(recorder)](Message message, int64_t) {
        if (auto r = weak.lock()) {
            r->messages.push_back(std::move(message));
        }
    };
    connection.onClose = [weak = std::weak_ptr(recorder)](std::string reason) {
        if (auto r = weak.lock()) {
            r->closes.push_back(std::move(reason));
        }
    };
    return recorder;
}

// Bytes sent as they are: pieces of frames, bad headers.
OutboundFrame raw(Bytes bytes) {
    return {std::move(bytes), std::nullopt, false, "raw"};
}

struct PullSource final : BulkSource {
    std::function<std::optional<OutboundFrame>()> next;
    std::optional<OutboundFrame> nextBulkFrame() override { return next(); }
};

// A device of this process: the real clock, the test's main loop and the shared stream thread.
struct ThreadedDevice {
    SystemClock clock;
    ThreadPoolBackgroundWork background{mainLoop(), 1};
    std::shared_ptr<CaptureLogSink> log = std::make_shared<CaptureLogSink>();
    Log logger{log};
    MemoryPrefsStore prefs;
    DeviceContext context{clock, mainLoop(), StreamThread::shared(), background, logger, prefs, {}};
};

// Connection "host" under test and "peer" over a socketpair: a stream one with small send
// buffers, so that writes are cut short, or a SEQPACKET one capping writes at an L2CAP-like MTU.
class ConnectionOverSockets : public ::testing::Test {
protected:
    void use(int type, bool autoPong = false) {
        std::array<int, 2> fds{-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
        const int size = 8192;
        const FdStreamOptions options =
            type == SOCK_SEQPACKET ? FdStreamOptions{true, 672, 672} : FdStreamOptions{};
        for (const int fd : fds) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
        a = Connection::create(host.context,
                               makeFdStreamPair(fds[0], StreamThread::shared(), options), "host");
        a->autoPong = autoPong;
        hostRec = record(*a);
        b = Connection::create(peer.context,
                               makeFdStreamPair(fds[1], StreamThread::shared(), options), "peer");
        peerRec = record(*b);
        a->start();
        b->start();
    }
    void TearDown() override {
        a.reset();
        b.reset();
        drain();
    }
    bool bothClosed() const { return !hostRec->closes.empty() && !peerRec->closes.empty(); }
    // Both loops are FIFO: once a task posted now has come back, all before it have run.
    static void drain() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        StreamThread::shared().post([done] { mainLoop().post([done] { done->store(true); }); });
        runMainLoopUntil([&] { return done->load(); });
    }

    ThreadedDevice host;
    ThreadedDevice peer;
    std::shared_ptr<Connection> a;
    std::shared_ptr<Connection> b;
    std::shared_ptr<Recorder> hostRec;
    std::shared_ptr<Recorder> peerRec;
};

// Offers track chunks, and queues a PING from inside every seventh pull. Stream loop only.
struct ChunkSource final : BulkSource {
    // Every tenth is oversized, so that even a roomy socket takes it in several writes.
    static Message chunk(size_t index) {
        const size_t size = index % 10 == 9 ? 40'000 : SyncProtocol::chunkDataSize;
        return TrackChunk{TrackKey{{1, 2, 3, 4, 5, 6, 7, 8}},
                          static_cast<uint32_t>(index * SyncProtocol::chunkDataSize),
                          Bytes(size, static_cast<uint8_t>(index * 7 + 1))};
    }
    std::optional<OutboundFrame> nextBulkFrame() override {
        if (pulled == total) {
            return std::nullopt;
        }
        OutboundFrame frame(chunk(pulled++));
        if (pulled % 7 == 0) {
            owner.lock()->enqueue(OutboundFrame::ping(static_cast<uint32_t>(pulled)));
        }
        return frame;
    }

    std::weak_ptr<Connection> owner;
    size_t total = 120;
    size_t pulled = 0;
};

TEST_F(ConnectionOverSockets, ControlFramesOvertakeBulkFramesWithoutCorruptingThem) {
    for (const int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        SCOPED_TRACE(type);
        use(type);
        auto source = std::make_shared<ChunkSource>();
        source->owner = a;
        const int64_t startNs = host.clock.nowNs();
        a->setBulkSource(source);
        ASSERT_TRUE(runMainLoopUntil([&] {
            return peerRec->count<TrackChunk>() == source->total &&
                   peerRec->count<Ping>() == source->total / 7;
        }));
        drain();
        EXPECT_EQ(b->bytesIn(), a->bytesOut());
        size_t chunks = 0;
        for (const Message& message : peerRec->messages) {
            if (message.is<TrackChunk>()) {
                EXPECT_EQ(message, ChunkSource::chunk(chunks++));
            } else if (const auto* ping = message.as<Ping>()) {
                // Queued while chunk seq-1 was pulled: ahead of it or right behind it.
                EXPECT_TRUE(chunks + 1 == ping->seq || chunks == ping->seq) << chunks;
                EXPECT_GE(ping->t1, startNs); // stamped when written
            }
        }
        a->close("done");
        ASSERT_TRUE(runMainLoopUntil([&] { return bothClosed(); }));
    }
}

TEST_F(ConnectionOverSockets, BadFramesCloseOnceWithTheProtocolError) {
    const std::string badHello = R"({"v":1,"name":"Kitchen","platform":"linux"})";
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{0, 0, 0, 0}, "invalid frame length 0"},
        {{0x01, 0x00, 0x10, 0x00, 0x01}, "invalid frame length 1048577"},
        {FrameCodec::frame(0x01, Bytes(badHello.begin(), badHello.end())),
         "malformed payload: hello field 'id' missing"},
    };
    const Bytes hello = FrameCodec::encode(Hello{1, "B3C1", "Kitchen", "linux"});
    for (const auto& [bytes, error] : cases) {
        SCOPED_TRACE(error);
        use(SOCK_STREAM);
        b->enqueue(raw(hello));
        ASSERT_TRUE(runMainLoopUntil([&] { return hostRec->messages.size() == 1; }));
        b->enqueue(raw(bytes));
        ASSERT_TRUE(runMainLoopUntil([&] { return bothClosed(); }));
        EXPECT_EQ(hostRec->closes, Reasons{"protocol error: " + error});
        EXPECT_EQ(peerRec->closes, Reasons{"stream ended (EOF)"});
        EXPECT_EQ(a->bytesIn(), static_cast<int64_t>(hello.size() + bytes.size()));
        EXPECT_EQ(a->bytesOut(), 0);
    }
}

TEST_F(ConnectionOverSockets, PingIsAnsweredAndByeIsWrittenBeforeTheClose) {
    use(SOCK_SEQPACKET, true);
    // Answered on the stream loop, never delivered; t2 and t3 are host times.
    const int64_t before = host.clock.nowNs();
    b->enqueue(OutboundFrame(Message(Ping{3, 77})));
    ASSERT_TRUE(runMainLoopUntil([&] { return peerRec->count<Pong>() == 1; }));
    const Pong pong = *peerRec->messages.back().as<Pong>();
    EXPECT_EQ(std::pair(pong.seq, pong.t1), std::pair(3u, int64_t(77)));
    EXPECT_LE(before, pong.t2);
    EXPECT_LE(pong.t2, pong.t3);
    EXPECT_LE(pong.t3, host.clock.nowNs());

    a->sendByeAndClose("party ended");
    a->sendByeAndClose("again");
    a->enqueue(OutboundFrame(Message(Status{"ready", {}}))); // nothing follows a BYE
    ASSERT_TRUE(runMainLoopUntil([&] { return bothClosed(); }));
    EXPECT_TRUE(hostRec->messages.empty());
    EXPECT_EQ(hostRec->closes, Reasons{"closed after BYE"});
    EXPECT_EQ(peerRec->closes, Reasons{"stream ended (EOF)"});
    EXPECT_EQ(peerRec->count<Bye>(), 1u);
    EXPECT_TRUE(peerRec->messages.back().is<Bye>());
    EXPECT_EQ(std::pair(a->bytesIn(), a->bytesOut()), std::pair(int64_t{17}, int64_t{38}));
    // The callbacks were released on the main loop, with whatever they captured.
    EXPECT_FALSE(a->onMessage);
    EXPECT_FALSE(a->onClose);

    // Closed for good: nothing more is sent, closed once.
    a->enqueue(OutboundFrame(Message(Bye{})));
    a->close("again");
    drain();
    EXPECT_EQ(a->bytesOut(), 38);
    EXPECT_EQ(hostRec->closes.size(), 1u);
    EXPECT_EQ(host.log->count("[host] closed:"), 1u); // the report is gone by then
    const std::weak_ptr<Connection> weak = a;
    a.reset();
    drain();
    EXPECT_TRUE(weak.expired());
}

// The host's connection over a simulated link from a peer, both devices with skewed clocks.
// The peer's side is written by hand.
struct Sim {
    explicit Sim(const std::shared_ptr<OutputStream>& output = {})
        : link(world, hostDevice.streams(), peerDevice.streams(), SimLinkConfig{nsPerMs}),
          host(Connection::create(hostDevice.context(),
                                  {link.sideA().input, output ? output : link.sideA().output, {}},
                                  "host")),
          rec(record(*host)) {}
    int64_t hostTimeAt(int64_t worldNs) { return hostDevice.clock().deviceTimeAt(worldNs); }

    SimWorld world{7};
    SimDevice hostDevice{world, SimDeviceConfig{"host", 3'000 * nsPerMs, 40.0}};
    SimDevice peerDevice{world, SimDeviceConfig{"peer", 11'000 * nsPerMs, -25.0}};
    SimLink link;
    std::shared_ptr<Connection> host;
    std::shared_ptr<Recorder> rec;
};

// An output that always claims room but takes only the bytes granted, as a message socket
// whose next message does not fit.
struct MeteredOutput final : OutputStream {
    void setEventHandler(StreamEventHandler h) override { handler = std::move(h); }
    void open() override {}
    void close() override {}
    [[nodiscard]] bool hasSpaceAvailable() const override { return true; }
    int64_t write(const uint8_t* bytes, size_t length) override {
        const size_t count = std::min(length, budget);
        budget -= count;
        written.insert(written.end(), bytes, bytes + count);
        return static_cast<int64_t>(count);
    }
    [[nodiscard]] std::string errorDescription() const override { return {}; }

    StreamEventHandler handler;
    size_t budget = 0;
    Bytes written;
};

TEST(ConnectionSimulated, WritesInOrderStampsWhenWrittenAndClosesAtTheByeDeadline) {
    auto output = std::make_shared<MeteredOutput>();
    Sim sim(output);
    sim.host->autoPong = true;
    std::vector<OutboundFrame> bulk;
    for (uint8_t i = 0; i < 3; ++i) {
        bulk.emplace_back(Message(TrackChunk{{}, i * 100u, Bytes(100, i)}));
    }
    size_t pulls = 0;
    auto source = std::make_shared<PullSource>();
    source->next = [&] {
        return pulls < bulk.size() ? std::optional(bulk[pulls++]) : std::nullopt;
    };
    sim.host->setBulkSource(source);
    sim.host->start();
    const auto grantAt = [&](int64_t atNs, size_t bytes) {
        sim.hostDevice.streams().postAt(atNs, [&output, bytes] {
            output->budget = bytes;
            output->handler(StreamEvent::spaceAvailable);
        });
        sim.world.runUntil(atNs);
    };
    sim.world.runUntil(nsPerMs); // the first chunk found no room and waits aside
    sim.host->enqueue(OutboundFrame::ping(5));
    // Room for the PING, which overtakes the chunk waiting, the chunk and half the next. A PING
    // from the peer (and an unknown frame) arrive meanwhile: the PONG waits for the chunk begun.
    grantAt(5 * nsPerMs, 17 + bulk[0].bytes.size() + 50);
    sim.peerDevice.streams().postAt(6 * nsPerMs, [&sim] {
        Bytes bytes = FrameCodec::frame(0x7f, Bytes{1, 2, 3});
        const Bytes ping = FrameCodec::encode(Ping{4, 999});
        bytes.insert(bytes.end(), ping.begin(), ping.end());
        sim.link.sideB().output->open();
        sim.link.sideB().output->write(bytes.data(), bytes.size());
    });
    const Bytes pong =
        FrameCodec::encode(Pong{4, 999, sim.hostTimeAt(7 * nsPerMs), sim.hostTimeAt(9 * nsPerMs)});
    grantAt(9 * nsPerMs, bulk[1].bytes.size() - 50 + pong.size());
    Bytes expected = FrameCodec::encode(Ping{5, sim.hostTimeAt(5 * nsPerMs)});
    for (const Bytes& frame : {bulk[0].bytes, bulk[1].bytes, pong}) {
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(output->written, expected);
    EXPECT_TRUE(sim.rec->messages.empty()); // neither the PING nor the unknown frame

    // A BYE that cannot be written closes at the deadline, on the device clock, with the
    // reason; the chunk pulled before it is never sent.
    const int64_t deadline = sim.hostDevice.clock().worldTimeAt(sim.hostTimeAt(10 * nsPerMs) +
                                                                Connection::byeDeadlineNs);
    sim.hostDevice.streams().postAt(10 * nsPerMs,
                                    [&sim] { sim.host->sendByeAndClose("party ended"); });
    sim.world.runUntil(deadline - 1);
    EXPECT_TRUE(sim.rec->closes.empty());
    sim.world.runUntil(deadline);
    EXPECT_EQ(sim.rec->closes, Reasons{"party ended"});
    EXPECT_EQ(output->written, expected);
    EXPECT_EQ(pulls, 3u);
}

// A flood of PINGs while the output is full: answers wait only up to the bound, then the rest
// go unanswered rather than pile up.
TEST(ConnectionSimulated, PingsWaitingForTheirPongsAreBounded) {
    auto output = std::make_shared<MeteredOutput>();
    Sim sim(output);
    sim.host->autoPong = true;
    sim.host->start();
    sim.peerDevice.streams().post([&sim] {
        Bytes pings;
        for (uint32_t seq = 0; seq < 3 * Connection::maxWaitingForPong; ++seq) {
            const Bytes ping = FrameCodec::encode(Ping{seq, 1});
            pings.insert(pings.end(), ping.begin(), ping.end());
        }
        sim.link.sideB().output->open();
        sim.link.sideB().output->write(pings.data(), pings.size());
    });
    sim.world.runUntil(10 * nsPerMs);
    sim.hostDevice.streams().post([&output] {
        output->budget = SIZE_MAX;
        output->handler(StreamEvent::spaceAvailable);
    });
    sim.world.runUntil(20 * nsPerMs);
    const size_t pongs = output->written.size() / FrameCodec::encode(Pong{0, 1, 2, 3}).size();
    // The one begun before the queue filled, and the queue's worth behind it.
    EXPECT_EQ(pongs, Connection::maxWaitingForPong + 1);
    EXPECT_TRUE(sim.rec->closes.empty());
}

TEST(ConnectionSimulated, EndAndFailureOfTheStreamsCloseWithTheirReasons) {
    for (const bool fail : {false, true}) {
        Sim sim;
        sim.host->start();
        sim.world.runUntil(nsPerMs);
        if (fail) {
            sim.link.fail(SimLinkSide::a, "radio lost");
        } else {
            sim.link.close(SimLinkSide::b);
        }
        sim.world.runUntil(10 * nsPerMs);
        EXPECT_EQ(sim.rec->closes,
                  Reasons{fail ? "stream error: radio lost" : "stream ended (EOF)"});
    }
}

TEST(ConnectionSimulated, NeverSendsAFrameOverTheLimitAndBoundsTheTextsItReceives) {
    Sim sim;
    auto peer = Connection::create(sim.peerDevice.context(), sim.link.sideB(), "peer");
    auto peerRec = record(*peer);
    sim.host->start();
    peer->start();
    const size_t mostData = SyncProtocol::maxFrameLength - 1 - 12;
    const auto chunkFrame = [](size_t size) {
        return OutboundFrame(FrameCodec::frame(rawValue(MessageType::trackChunk), Bytes(12 + size)),
                             std::nullopt, true, "TRACK_CHUNK");
    };
    // A frame at the limit goes; one byte more would make the peer drop the link, so it stays
    // here and the link carries on.
    sim.host->enqueue(chunkFrame(mostData));
    sim.host->enqueue(chunkFrame(mostData + 1));
    sim.host->enqueue(OutboundFrame(Message(Stop{})));
    // A peer of another make may send texts of any length: they arrive cut.
    const std::string name(SyncProtocol::maxFrameLength - 64, 'n');
    const std::string hello = R"({"id":"x","name":")" + name + R"("})";
    peer->enqueue(OutboundFrame(
        FrameCodec::frame(rawValue(MessageType::hello), Bytes(hello.begin(), hello.end())),
        std::nullopt, false, "HELLO"));
    sim.world.runFor(1'000 * nsPerMs);

    ASSERT_EQ(peerRec->messages.size(), 2u);
    EXPECT_EQ(peerRec->messages[0].as<TrackChunk>()->data.size(), mostData);
    EXPECT_TRUE(peerRec->messages[1].is<Stop>());
    EXPECT_TRUE(peerRec->closes.empty());
    ASSERT_EQ(sim.rec->messages.size(), 1u);
    EXPECT_EQ(sim.rec->messages[0].as<Hello>()->name, name.substr(0, TextLimits::maxNameBytes));
    EXPECT_TRUE(sim.rec->closes.empty());
    peer->close("done");
    sim.host->close("done");
    sim.world.runFor(nsPerMs);
}

} // namespace
} // namespace merriphonic::transport_test
