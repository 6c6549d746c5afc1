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

// A device of this process: the real clock, the test's main loop and the shared stream thread.
struct ThreadedDevice {
    SystemClock clock;
    ThreadPoolBackgroundWork background{mainLoop(), 1};
    std::shared_ptr<CaptureLogSink> log = std::make_shared<CaptureLogSink>();
    Log logger{log};
    MemoryPrefsStore prefs;
    DeviceContext context{clock, mainLoop(), StreamThread::shared(), background, logger, prefs, {}};
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

// Both loops are FIFO: once a task posted now has come back, all before it have run.
void drain() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    StreamThread::shared().post([done] { mainLoop().post([done] { done->store(true); }); });
    runMainLoopUntil([&] { return done->load(); });
}

// A connection over a socketpair to a peer: a stream one with small send buffers, so that writes
// are cut short, or a SEQPACKET one capping writes at an L2CAP-like MTU.
TEST(ConnectionOverSockets, ControlFramesOvertakeBulkFramesWithoutCorruptingThem) {
    ThreadedDevice host;
    ThreadedDevice peer;
    for (const int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        SCOPED_TRACE(type);
        std::array<int, 2> fds{-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
        const int size = 8192;
        const FdStreamOptions options =
            type == SOCK_SEQPACKET ? FdStreamOptions{true, 672, 672} : FdStreamOptions{};
        for (const int fd : fds) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
        auto a = Connection::create(
            host.context, makeFdStreamPair(fds[0], StreamThread::shared(), options), "host");
        auto b = Connection::create(
            peer.context, makeFdStreamPair(fds[1], StreamThread::shared(), options), "peer");
        const auto hostRec = record(*a);
        const auto peerRec = record(*b);
        a->start();
        b->start();
        auto source = std::make_shared<ChunkSource>();
        source->owner = a;
        const int64_t startNs = host.clock.nowNs();
        a->setBulkSource(source);
        ASSERT_TRUE(runMainLoopUntil([&] {
            return test::messagesOf<TrackChunk>(peerRec->messages).size() == source->total &&
                   test::messagesOf<Ping>(peerRec->messages).size() == source->total / 7;
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
        ASSERT_TRUE(
            runMainLoopUntil([&] { return !hostRec->closes.empty() && !peerRec->closes.empty(); }));
        a.reset();
        b.reset();
        drain();
    }
}

// A peer that writes its BYE and exits with bytes of ours unread: a stream socket refuses the
// next write while the BYE still waits to be read, and a message socket reports a reset to
// whichever call comes first, ahead of the BYE. Either way the BYE is still read.
TEST(ConnectionOverSockets, APeersByeArrivesThoughItsCloseResetTheChannel) {
    ThreadedDevice host;
    for (const int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        for (const bool writeFirst : {false, true}) {
            SCOPED_TRACE(testing::Message() << (type == SOCK_STREAM ? "stream" : "seqpacket")
                                            << (writeFirst ? ", a write first" : ", a read first"));
            std::array<int, 2> fds{-1, -1};
            ASSERT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
            const FdStreamOptions options{type == SOCK_SEQPACKET, 672, 672};
            auto a = Connection::create(
                host.context, makeFdStreamPair(fds[0], StreamThread::shared(), options), "host");
            const auto rec = record(*a);
            a->start();
            a->enqueue(OutboundFrame(Message(Pause{}))); // left unread by the peer
            std::array<uint8_t, 1> probe{};
            ASSERT_TRUE(runMainLoopUntil(
                [&] { return ::recv(fds[1], probe.data(), 1, MSG_PEEK | MSG_DONTWAIT) == 1; }));
            test::onStreams([&] {
                // One stream-loop task: the socket's notifier cannot run before the write.
                const Bytes bye = OutboundFrame(Message(Bye{})).bytes;
                EXPECT_EQ(::send(fds[1], bye.data(), bye.size(), 0),
                          static_cast<ssize_t>(bye.size()));
                ::close(fds[1]);
                if (writeFirst) {
                    a->enqueue(OutboundFrame(Message(Pause{})));
                }
                return 0;
            });
            ASSERT_TRUE(runMainLoopUntil([&] { return !rec->closes.empty(); }));
            drain();
            ASSERT_EQ(rec->messages.size(), 1U);
            EXPECT_TRUE(rec->messages.front().is<Bye>());
            a.reset();
            drain();
        }
    }
}

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

// The host's connection over a simulated link from a peer, both devices with skewed clocks.
// The peer's side is written by hand, or is a connection too.
struct Sim {
    explicit Sim(bool metered = false)
        : link(world, hostDevice.streams(), peerDevice.streams(), SimLinkConfig{nsPerMs}),
          output(metered ? std::make_shared<MeteredOutput>() : nullptr),
          host(Connection::create(hostDevice.context(),
                                  {link.sideA().input, output ? output : link.sideA().output, {}},
                                  "host")),
          rec(record(*host)) {}
    int64_t hostTimeAt(int64_t worldNs) { return hostDevice.clock().deviceTimeAt(worldNs); }
    // The metered output takes this many bytes more from atNs on; runs until then.
    void grantAt(int64_t atNs, size_t bytes) {
        hostDevice.streams().postAt(atNs, [this, bytes] {
            output->budget = bytes;
            output->handler(StreamEvent::spaceAvailable);
        });
        world.runUntil(atNs);
    }
    void peerWritesAt(int64_t atNs, const Bytes& bytes) {
        peerDevice.streams().postAt(atNs, [this, bytes] {
            link.sideB().output->open();
            link.sideB().output->write(bytes.data(), bytes.size());
        });
    }
    void connectPeer() {
        peer = Connection::create(peerDevice.context(), link.sideB(), "peer");
        peerRec = record(*peer);
        host->start();
        peer->start();
    }

    SimWorld world{7};
    SimDevice hostDevice{world, SimDeviceConfig{"host", 3'000 * nsPerMs, 40.0}};
    SimDevice peerDevice{world, SimDeviceConfig{"peer", 11'000 * nsPerMs, -25.0}};
    SimLink link;
    std::shared_ptr<MeteredOutput> output;
    std::shared_ptr<Connection> host;
    std::shared_ptr<Recorder> rec;
    std::shared_ptr<Connection> peer;
    std::shared_ptr<Recorder> peerRec;
};

TEST(ConnectionSimulated, WritesInOrderStampsWhenWrittenAndClosesAtTheByeDeadline) {
    Sim sim(true);
    sim.host->autoPong = true;
    auto source = std::make_shared<ChunkSource>();
    source->total = 3;
    sim.host->setBulkSource(source);
    sim.host->start();
    sim.world.runUntil(nsPerMs); // the first chunk found no room and waits aside
    sim.host->enqueue(OutboundFrame::ping(5));
    // Room for the PING, which overtakes the chunk waiting, the chunk and half the next. A PING
    // from the peer (and an unknown frame) arrive meanwhile: the PONG waits for the chunk begun.
    const Bytes chunk0 = FrameCodec::encode(ChunkSource::chunk(0));
    const Bytes chunk1 = FrameCodec::encode(ChunkSource::chunk(1));
    sim.grantAt(5 * nsPerMs, 17 + chunk0.size() + 50);
    Bytes unknownAndPing = FrameCodec::frame(0x7f, Bytes{1, 2, 3});
    const Bytes ping = FrameCodec::encode(Ping{4, 999});
    unknownAndPing.insert(unknownAndPing.end(), ping.begin(), ping.end());
    sim.peerWritesAt(6 * nsPerMs, unknownAndPing);
    const Bytes pong =
        FrameCodec::encode(Pong{4, 999, sim.hostTimeAt(7 * nsPerMs), sim.hostTimeAt(9 * nsPerMs)});
    sim.grantAt(9 * nsPerMs, chunk1.size() - 50 + pong.size());
    Bytes expected = FrameCodec::encode(Ping{5, sim.hostTimeAt(5 * nsPerMs)});
    for (const Bytes& frame : {chunk0, chunk1, pong}) {
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(sim.output->written, expected);
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
    EXPECT_EQ(sim.output->written, expected);
    EXPECT_EQ(source->pulled, 3u);
}

// A flood of PINGs while the output is full: answers wait only up to the bound, then the rest
// go unanswered rather than pile up.
TEST(ConnectionSimulated, PingsWaitingForTheirPongsAreBounded) {
    Sim sim(true);
    sim.host->autoPong = true;
    sim.host->start();
    Bytes pings;
    for (uint32_t seq = 0; seq < 3 * Connection::maxWaitingForPong; ++seq) {
        const Bytes ping = FrameCodec::encode(Ping{seq, 1});
        pings.insert(pings.end(), ping.begin(), ping.end());
    }
    sim.peerWritesAt(0, pings);
    sim.grantAt(10 * nsPerMs, SIZE_MAX);
    sim.world.runUntil(20 * nsPerMs);
    const size_t pongs = sim.output->written.size() / FrameCodec::encode(Pong{0, 1, 2, 3}).size();
    // The one begun before the queue filled, and the queue's worth behind it.
    EXPECT_EQ(pongs, Connection::maxWaitingForPong + 1);
    EXPECT_TRUE(sim.rec->closes.empty());
}

// However the link ends, the owner hears it once, with the reason, after the messages that
// came before; the callbacks go on the main loop and the connection can then be freed. Where the
// host ends it, the peer sees the end of the stream.
TEST(ConnectionSimulated, EveryEndIsReportedOnceWithItsReason) {
    const std::vector<std::tuple<std::string, bool, std::function<void(Sim&)>>> cases{
        {"stream ended (EOF)", true, [](Sim& sim) { sim.link.close(SimLinkSide::b); }},
        {"stream error: radio lost", false,
         [](Sim& sim) { sim.link.fail(SimLinkSide::a, "radio lost"); }},
        {"protocol error: invalid frame length 0", true,
         [](Sim& sim) {
             sim.peer->enqueue(raw({0, 0, 0, 0}));
         }},
        {"closed after BYE", true,
         [](Sim& sim) {
             sim.host->sendByeAndClose("party ended");
             sim.host->sendByeAndClose("again");
             sim.host->enqueue(OutboundFrame(Message(Stop{}))); // nothing follows a BYE
         }},
    };
    for (const auto& [reason, peerSeesTheEnd, end] : cases) {
        SCOPED_TRACE(reason);
        Sim sim;
        sim.connectPeer();
        const Message hello = Hello{1, "B3C1", "Kitchen", "linux"};
        sim.peer->enqueue(OutboundFrame(hello));
        sim.world.runFor(10 * nsPerMs);
        end(sim);
        sim.world.runFor(10 * nsPerMs);
        sim.host->close("again");
        sim.world.runFor(10 * nsPerMs);
        EXPECT_EQ(sim.rec->messages, std::vector{hello});
        EXPECT_EQ(sim.rec->closes, Reasons{reason});
        EXPECT_FALSE(sim.host->onMessage);
        EXPECT_FALSE(sim.host->onClose);
        EXPECT_EQ(sim.peerRec->closes, peerSeesTheEnd ? Reasons{"stream ended (EOF)"} : Reasons{});
        const std::vector<Bye> byes = test::messagesOf<Bye>(sim.peerRec->messages);
        EXPECT_EQ(byes.size(), reason == "closed after BYE" ? 1U : 0U);
        EXPECT_EQ(sim.peerRec->messages.size(), byes.size());
        const std::weak_ptr<Connection> weak = sim.host;
        sim.host.reset();
        sim.world.runFor(nsPerMs);
        EXPECT_TRUE(weak.expired());
        sim.peer->close("done");
        sim.world.runFor(nsPerMs);
    }
}

TEST(ConnectionSimulated, NeverSendsAFrameOverTheLimitAndBoundsTheTextsItReceives) {
    Sim sim;
    sim.connectPeer();
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
    sim.peer->enqueue(
        raw(FrameCodec::frame(rawValue(MessageType::hello), Bytes(hello.begin(), hello.end()))));
    sim.world.runFor(1'000 * nsPerMs);

    ASSERT_EQ(sim.peerRec->messages.size(), 2u);
    EXPECT_EQ(sim.peerRec->messages[0].as<TrackChunk>()->data.size(), mostData);
    EXPECT_TRUE(sim.peerRec->messages[1].is<Stop>());
    EXPECT_TRUE(sim.peerRec->closes.empty());
    ASSERT_EQ(sim.rec->messages.size(), 1u);
    EXPECT_EQ(sim.rec->messages[0].as<Hello>()->name, name.substr(0, TextLimits::maxNameBytes));
    EXPECT_TRUE(sim.rec->closes.empty());
    sim.peer->close("done");
    sim.host->close("done");
    sim.world.runFor(nsPerMs);
}

} // namespace
} // namespace merriphonic::transport_test
