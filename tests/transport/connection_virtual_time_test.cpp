// Connection timing in virtual time, where every instant is exact.
#include "transport/connection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <utility>
#include <vector>

#include "connection_harness.h"
#include "core/frame_codec.h"
#include "core/frame_reassembler.h"

namespace merriphonic::transport_test {
namespace {

constexpr int64_t ms = 1'000'000;

SimLinkConfig plainLink(int64_t latencyNs) {
    SimLinkConfig config;
    config.latencyNs = latencyNs;
    config.sendBufferBytes = 16'384;
    config.receiveBufferBytes = 16'384;
    return config;
}

// Reads and writes the peer's raw streams by hand: nothing is read until reading starts.
struct RawPeer {
    explicit RawPeer(StreamPair pair) : streams(std::move(pair)) { streams.output->open(); }

    void write(const Bytes& bytes) const {
        ASSERT_EQ(streams.output->write(bytes.data(), bytes.size()),
                  static_cast<int64_t>(bytes.size()));
    }
    void startReading() {
        streams.input->setEventHandler([this](StreamEvent event) {
            uint8_t buffer[4096];
            while (event == StreamEvent::bytesAvailable && streams.input->hasBytesAvailable()) {
                const int64_t count = streams.input->read(buffer, sizeof buffer);
                ASSERT_GT(count, 0);
                received.insert(received.end(), buffer, buffer + count);
            }
        });
        streams.input->open();
    }

    StreamPair streams;
    Bytes received;
};

class OneFrame final : public BulkSource {
public:
    explicit OneFrame(OutboundFrame frame) : frame_(std::move(frame)) {}
    std::optional<OutboundFrame> nextBulkFrame() override { return std::exchange(frame_, {}); }

private:
    std::optional<OutboundFrame> frame_;
};

// A channel whose output always claims room but takes only the bytes it is granted, as a
// message socket whose next message does not fit; its input stays silent.
struct MeteredStreams {
    struct Input final : InputStream {
        void setEventHandler(StreamEventHandler) override {}
        void open() override {}
        void close() override {}
        [[nodiscard]] bool hasBytesAvailable() const override { return false; }
        int64_t read(uint8_t*, size_t) override { return -1; }
        [[nodiscard]] std::string errorDescription() const override { return {}; }
    };
    struct Output final : OutputStream {
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
        void grant(size_t bytes) {
            budget = bytes;
            handler(StreamEvent::spaceAvailable);
        }

        StreamEventHandler handler;
        size_t budget = 0;
        Bytes written;
    };

    std::shared_ptr<Input> input = std::make_shared<Input>();
    std::shared_ptr<Output> output = std::make_shared<Output>();
};

class Frames final : public BulkSource {
public:
    explicit Frames(std::vector<OutboundFrame> frames) : frames_(std::move(frames)) {}
    std::optional<OutboundFrame> nextBulkFrame() override {
        if (frames_.empty()) {
            return std::nullopt;
        }
        OutboundFrame frame = std::move(frames_.front());
        frames_.erase(frames_.begin());
        return frame;
    }

private:
    std::vector<OutboundFrame> frames_;
};

TEST(ConnectionVirtualTime, FramesThatFindTheOutputFullWaitAsideAndAreStampedWhenWritten) {
    SimHarness h(plainLink(0));
    MeteredStreams streams;
    auto host = Connection::create(h.host(), StreamPair{streams.input, streams.output, {}}, "host");
    const OutboundFrame a(Message(TrackChunk{TrackKey{}, 0, Bytes(100, 1)}));
    const OutboundFrame b(Message(TrackChunk{TrackKey{}, 100, Bytes(100, 2)}));
    auto source = std::make_shared<Frames>(std::vector<OutboundFrame>{a, b});
    host->setBulkSource(source);
    host->start();
    h.world.runUntil(ms); // chunk a found no room
    host->enqueue(OutboundFrame::ping(5));
    h.world.runUntil(2 * ms); // nor did the PING
    EXPECT_TRUE(streams.output->written.empty());
    // Room for the PING and a only: b is pulled and waits aside; a STATUS then overtakes it.
    h.hostDevice.streams().postAt(5 * ms, [&] { streams.output->grant(17 + a.bytes.size()); });
    h.world.runUntil(6 * ms);
    const Message status = Status{"receiving", {}, 1, 2, 0, 0};
    host->enqueue(OutboundFrame(status));
    h.world.runUntil(7 * ms);
    h.hostDevice.streams().postAt(8 * ms, [&] { streams.output->grant(100'000); });
    h.world.runUntil(8 * ms);

    Bytes expected = FrameCodec::encode(Ping{5, h.hostDevice.clock().deviceTimeAt(5 * ms)});
    for (const Bytes& frame : {a.bytes, FrameCodec::encode(status), b.bytes}) {
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(streams.output->written, expected);
    host->close("done");
    h.world.runUntil(9 * ms);
}

TEST(ConnectionVirtualTime, FrameIsDeliveredOnceWhenItsLastByteArrives) {
    SimHarness h(plainLink(10 * ms));
    auto host = Connection::create(h.host(), h.hostStreams(), "host");
    auto rec = record(*host);
    host->start();
    RawPeer peer(h.peerStreams());
    const Bytes hello = FrameCodec::encode(Hello{1, "B3C1", "Kitchen", "linux"});
    for (size_t i = 0; i < hello.size(); ++i) {
        h.peerDevice.streams().postAt(static_cast<int64_t>(i + 1) * ms,
                                      [&peer, byte = hello[i]] { peer.write({byte}); });
    }
    const int64_t lastArrival = static_cast<int64_t>(hello.size()) * ms + 10 * ms;

    h.world.runUntil(lastArrival - 1);
    EXPECT_TRUE(rec->messages.empty());
    EXPECT_EQ(host->bytesIn(), static_cast<int64_t>(hello.size()) - 1);
    h.world.runUntil(lastArrival);
    ASSERT_EQ(rec->messages.size(), 1u);
    EXPECT_EQ(rec->receiveNs[0], h.hostDevice.clock().deviceTimeAt(lastArrival));
}

TEST(ConnectionVirtualTime, PongCarriesItsReceiveTimeAndTheTimeItsWritingStarted) {
    SimHarness h(plainLink(0));
    auto host = Connection::create(h.host(), h.hostStreams(), "host");
    host->autoPong = true;
    auto rec = record(*host);
    // Far more than the link buffers: half written until the peer reads.
    const OutboundFrame big(Message(TrackChunk{TrackKey{}, 0, Bytes(100'000, 0xab)}));
    auto source = std::make_shared<OneFrame>(big);
    host->setBulkSource(source);
    host->start();
    RawPeer peer(h.peerStreams());

    const int64_t pingAt = 50 * ms;
    const int64_t readAt = 80 * ms;
    h.peerDevice.streams().postAt(pingAt, [&] { peer.write(FrameCodec::encode(Ping{4, 999})); });
    h.peerDevice.streams().postAt(readAt, [&] { peer.startReading(); });
    h.world.runUntil(readAt - 1);
    EXPECT_LT(host->bytesOut(), 40'000);
    h.world.runUntil(readAt);

    FrameReassembler reassembler;
    const auto frames = reassembler.push(peer.received);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(FrameCodec::frame(frames[0].type, frames[0].payload), big.bytes);
    EXPECT_EQ(FrameCodec::decode(frames[1].type, frames[1].payload),
              Message(Pong{4, 999, h.hostDevice.clock().deviceTimeAt(pingAt),
                           h.hostDevice.clock().deviceTimeAt(readAt)}));
    EXPECT_TRUE(rec->messages.empty());
}

TEST(ConnectionVirtualTime, PingIsDeliveredWithoutAutoPong) {
    SimHarness h(plainLink(3 * ms));
    auto host = Connection::create(h.host(), h.hostStreams(), "host");
    auto rec = record(*host);
    host->start();
    RawPeer peer(h.peerStreams());
    h.peerDevice.streams().postAt(ms, [&] { peer.write(FrameCodec::encode(Ping{1, 2})); });
    h.world.runUntil(10 * ms);
    ASSERT_EQ(rec->messages, (std::vector<Message>{Ping{1, 2}}));
    EXPECT_EQ(rec->receiveNs[0], h.hostDevice.clock().deviceTimeAt(4 * ms));
    EXPECT_EQ(host->bytesOut(), 0);
}

TEST(ConnectionVirtualTime, EndAndFailureOfTheStreamsCloseWithTheirReasons) {
    for (const bool fail : {false, true}) {
        SimHarness h(plainLink(ms));
        auto host = Connection::create(h.host(), h.hostStreams(), "host");
        auto rec = record(*host);
        host->start();
        h.world.runUntil(ms);
        if (fail) {
            h.link.fail(SimLinkSide::a, "radio lost");
        } else {
            h.link.close(SimLinkSide::b);
        }
        h.world.runUntil(10 * ms);
        EXPECT_EQ(rec->closes, std::vector<std::string>{fail ? "stream error: radio lost"
                                                             : "stream ended (EOF)"});
    }
}

} // namespace
} // namespace merriphonic::transport_test
