// What every byte stream promises a connection, checked over each
// implementation: fd streams over a stream socketpair and a SEQPACKET one on
// the real stream thread, and the simulated link as a byte stream and as a
// message link in virtual time. Then what fd streams do beyond it: messages as a SEQPACKET peer
// may send them. (Back-pressure is the simulated link's own test's and the connection's over
// sockets.)
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/stream_thread.h"
#include "platform/sim/sim_link.h"
#include "platform/sim/sim_run_loop.h"
#include "platform/sim/sim_world.h"
#include "tests/support/qt_test_support.h"
#include "tests/support/stream_endpoint.h"

namespace merriphonic::test {
namespace {

using Seen = StreamEndpoint::Seen;
// The largest message of the message channels.
constexpr size_t mtu = 100;

std::array<int, 2> socketPair(int type) {
    std::array<int, 2> fds{-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
    return fds;
}

template <int Type>
struct FdChannel {
    static constexpr bool messages = Type == SOCK_SEQPACKET;
    static constexpr const char* name = messages ? "FdSeqpacket" : "FdStream";
    // Seqpacket goes one small message at a time: less data keeps the test quick.
    static constexpr size_t largeTransfer = messages ? 100'003 : 3 * 1024 * 1024 + 17;

    FdChannel() {
        const std::array<int, 2> fds = socketPair(Type);
        const FdStreamOptions options =
            messages ? FdStreamOptions{true, mtu, mtu} : FdStreamOptions{};
        for (size_t side = 0; side < 2; ++side) {
            pairs[side] = makeFdStreamPair(fds[side], StreamThread::shared(), options);
        }
    }
    StreamPair pair(size_t side) { return pairs[side]; }
    RunLoop& loop(size_t /*side*/) { return StreamThread::shared(); }
    bool runUntil(const std::function<bool()>& done) { return runMainLoopUntil(done); }
    template <typename Fn>
    auto onLoop(size_t /*side*/, Fn fn) {
        return onStreams(std::move(fn));
    }
    // The peer closes with bytes unread: the channel is reset.
    std::string fail(StreamEndpoint& /*self*/, StreamEndpoint& peer) {
        EXPECT_TRUE(
            runUntil([&] { return count(peer.seen().input, StreamEvent::bytesAvailable) > 0; }));
        peer.closeInput();
        peer.closeOutput();
        return std::strerror(ECONNRESET);
    }

    std::array<StreamPair, 2> pairs;
};

template <size_t MaxMessage>
struct SimChannel {
    static constexpr bool messages = MaxMessage > 0;
    static constexpr const char* name = messages ? "SimMessages" : "SimStream";
    static constexpr size_t largeTransfer = messages ? 100'003 : 3 * 1024 * 1024 + 17;

    StreamPair pair(size_t side) { return link.side(side == 0 ? SimLinkSide::a : SimLinkSide::b); }
    RunLoop& loop(size_t side) { return side == 0 ? loopA : loopB; }
    bool runUntil(const std::function<bool()>& done) {
        while (!done()) {
            if (!world.step()) {
                return done();
            }
        }
        return true;
    }
    template <typename Fn>
    auto onLoop(size_t /*side*/, Fn fn) {
        return fn();
    }
    std::string fail(StreamEndpoint& /*self*/, StreamEndpoint& /*peer*/) {
        link.fail(SimLinkSide::a, "radio lost");
        return "radio lost";
    }

    SimWorld world{7};
    SimRunLoop loopA{world, "a.streams"};
    SimRunLoop loopB{world, "b.streams"};
    SimLink link{
        world, loopA, loopB,
        SimLinkConfig{.latencyNs = 1'000'000, .jitterNs = 500'000, .maxMessageSize = MaxMessage}};
};

template <typename Channel>
class ByteStreamContract : public ::testing::Test {
protected:
    bool open(const StreamEndpoint::Options& aOptions = {},
              const StreamEndpoint::Options& bOptions = {}) {
        a = StreamEndpoint::open(channel.pair(0), channel.loop(0), aOptions);
        b = StreamEndpoint::open(channel.pair(1), channel.loop(1), bOptions);
        return waitFor(*a, [](const Seen& s) { return !s.output.empty(); }) &&
               waitFor(*b, [](const Seen& s) { return !s.output.empty(); });
    }
    // One read and one write at an end, on its loop: their results and the write's error.
    std::tuple<int64_t, int64_t, std::string> readAndWrite(size_t side) {
        return channel.onLoop(side, [endpoint = side == 0 ? a : b] {
            std::array<uint8_t, 4> buffer{};
            return std::tuple{endpoint->pair().input->read(buffer.data(), buffer.size()),
                              endpoint->pair().output->write(buffer.data(), buffer.size()),
                              endpoint->pair().output->errorDescription()};
        });
    }
    bool waitFor(const StreamEndpoint& endpoint, const std::function<bool(const Seen&)>& done) {
        return channel.runUntil([&] { return done(endpoint.seen()); });
    }

    Channel channel;
    std::shared_ptr<StreamEndpoint> a;
    std::shared_ptr<StreamEndpoint> b;
};

using Channels = ::testing::Types<FdChannel<SOCK_STREAM>, FdChannel<SOCK_SEQPACKET>, SimChannel<0>,
                                  SimChannel<mtu>>;
class ChannelNames {
public:
    template <typename Channel>
    // NOLINTNEXTLINE(readability-identifier-naming): the name GoogleTest calls
    static std::string GetName(int /*index*/) {
        return Channel::name;
    }
};
TYPED_TEST_SUITE(ByteStreamContract, Channels, ChannelNames);

// Ordered and intact both ways at once, read one piece per event on one side; a
// close asked for mid-transfer waits for the last byte, the end follows it, and
// writing to an ended channel fails (with no SIGPIPE).
TYPED_TEST(ByteStreamContract, CarriesBytesBothWaysInOrderThenTheEnd) {
    ASSERT_TRUE(this->open({}, {.readAll = false, .readSize = 4000}));
    const Bytes large = randomBytes(TypeParam::largeTransfer, 1);
    this->a->send(large);
    this->b->send({'p', 'o', 'n', 'g'});
    ASSERT_TRUE(this->waitFor(*this->a, [](const Seen& s) { return s.received.size() == 4; }));
    this->a->send({}, /*thenClose=*/true);
    ASSERT_TRUE(this->waitFor(*this->b, [](const Seen& s) { return s.ended(); }));
    const Seen seenA = this->a->seen();
    const Seen seenB = this->b->seen();
    EXPECT_EQ(seenA.input.front(), StreamEvent::openCompleted);
    EXPECT_EQ(seenA.output.front(), StreamEvent::openCompleted);
    EXPECT_EQ(seenA.received, (Bytes{'p', 'o', 'n', 'g'}));
    ASSERT_EQ(seenB.received.size(), large.size());
    EXPECT_TRUE(seenB.received == large);
    EXPECT_TRUE(seenB.inputError.empty());
    EXPECT_EQ(seenA.offLoopEvents + seenB.offLoopEvents, 0);

    const auto [read, written, error] = this->readAndWrite(1);
    EXPECT_EQ(read, 0);
    EXPECT_LT(written, 0);
    EXPECT_FALSE(error.empty());
}

// Closing one half leaves the other working; closing the second closes the
// channel, which the peer sees as the end even while it is not reading.
TYPED_TEST(ByteStreamContract, TheChannelEndsWithTheSecondHalfClosed) {
    ASSERT_TRUE(this->open());
    this->b->closeInput();
    this->b->send({1, 2, 3});
    ASSERT_TRUE(this->waitFor(*this->a, [](const Seen& s) { return s.received.size() == 3; }));
    EXPECT_FALSE(this->a->seen().ended());

    TypeParam quiet;
    const auto reader = StreamEndpoint::open(quiet.pair(0), quiet.loop(0), {.reading = false});
    const auto closer = StreamEndpoint::open(quiet.pair(1), quiet.loop(1));
    closer->closeInput();
    closer->closeOutput();
    ASSERT_TRUE(quiet.runUntil([&] { return reader->seen().ended(); }));
    const auto [available, read] = quiet.onLoop(0, [reader] {
        std::array<uint8_t, 16> buffer{};
        const bool hasBytes = reader->pair().input->hasBytesAvailable();
        return std::pair{hasBytes, reader->pair().input->read(buffer.data(), buffer.size())};
    });
    EXPECT_TRUE(available);
    EXPECT_EQ(read, 0);
}

// A broken channel reports error once, and reads and writes fail with its
// description; a stream not yet opened refuses both as well.
TYPED_TEST(ByteStreamContract, AFailedChannelReportsAnErrorAndRefusesReadsAndWrites) {
    const auto [unopened, description] =
        this->channel.onLoop(0, [output = this->channel.pair(0).output] {
            const uint8_t byte = 1;
            return std::pair{output->write(&byte, 1), output->errorDescription()};
        });
    EXPECT_LT(unopened, 0);
    EXPECT_FALSE(description.empty());

    ASSERT_TRUE(this->open({.reading = false}, {.reading = false}));
    this->a->send({1, 2, 3});
    const std::string error = this->channel.fail(*this->a, *this->b);
    ASSERT_TRUE(this->waitFor(
        *this->a, [](const Seen& s) { return count(s.input, StreamEvent::error) > 0; }));
    EXPECT_EQ(this->a->seen().inputError, error);
    const auto [read, written, writeError] = this->readAndWrite(0);
    EXPECT_LT(read, 0);
    EXPECT_LT(written, 0);
    EXPECT_FALSE(writeError.empty());
    EXPECT_EQ(count(this->a->seen().input, StreamEvent::error), 1U);
}

template <typename Channel>
class MessageStreamContract : public ByteStreamContract<Channel> {};
using MessageChannels = ::testing::Types<FdChannel<SOCK_SEQPACKET>, SimChannel<mtu>>;
TYPED_TEST_SUITE(MessageStreamContract, MessageChannels, ChannelNames);

// A write sends one message of at most the MTU; a read smaller than a message
// takes it in parts, never mixing two messages, and a reader taking one part
// per event is told of the rest.
TYPED_TEST(MessageStreamContract, MessagesKeepTheirBoundaries) {
    ASSERT_TRUE(this->open({}, {.readSize = 64}));
    const Bytes data = randomBytes(250, 3);
    const auto written = this->channel.onLoop(0, [a = this->a, data] {
        std::vector<int64_t> counts;
        for (size_t offset = 0; offset < data.size();) {
            counts.push_back(a->pair().output->write(data.data() + offset, data.size() - offset));
            if (counts.back() <= 0) {
                break;
            }
            offset += static_cast<size_t>(counts.back());
        }
        return counts;
    });
    EXPECT_EQ(written, (std::vector<int64_t>{100, 100, 50}));
    ASSERT_TRUE(this->waitFor(*this->b, [](const Seen& s) { return s.received.size() == 250; }));
    EXPECT_EQ(this->b->seen().received, data);
    EXPECT_EQ(this->b->seen().reads, (std::vector<int64_t>{64, 36, 64, 36, 50}));

    this->b->read(/*readAll=*/false, 64);
    this->a->send(randomBytes(200, 4));
    ASSERT_TRUE(this->waitFor(*this->b, [](const Seen& s) { return s.received.size() == 450; }));
    EXPECT_EQ(this->b->seen().reads, (std::vector<int64_t>{64, 36, 64, 36, 50, 64, 36, 64, 36}));
}

// Empty messages carry no data and are not the end; a message beyond the receive MTU would
// lose bytes, so it is an error rather than a silent cut.
TEST(FdByteStreamTest, SeqpacketSkipsEmptyMessagesAndRefusesOversizedOnes) {
    const auto fds = socketPair(SOCK_SEQPACKET);
    const auto endpoint =
        StreamEndpoint::open(makeFdStreamPair(fds[0], StreamThread::shared(), {true, 100, 512}),
                             StreamThread::shared(), {.readAll = false, .readSize = 512});
    const Bytes data = randomBytes(600, 6);
    for (const size_t size : {100, 0, 50, 0, 0}) {
        ASSERT_EQ(::send(fds[1], data.data(), size, 0), static_cast<ssize_t>(size));
    }
    ASSERT_TRUE(runMainLoopUntil([&] { return endpoint->seen().received.size() == 150; }));
    // Any empty message still waiting is dropped, not read.
    ASSERT_TRUE(runMainLoopUntil([&] {
        return onStreams([endpoint] { return !endpoint->pair().input->hasBytesAvailable(); });
    }));
    EXPECT_EQ(endpoint->seen().reads, (std::vector<int64_t>{100, 50}));
    EXPECT_FALSE(endpoint->seen().ended());

    ASSERT_EQ(::send(fds[1], data.data(), data.size(), 0), 600);
    ASSERT_TRUE(runMainLoopUntil([&] { return endpoint->seen().reads.back() < 0; }));
    EXPECT_EQ(endpoint->seen().inputError, std::strerror(EMSGSIZE));
    ::close(fds[1]);
}

// A peer that closes with bytes of ours unread resets the channel, and the kernel reports the
// reset ahead of the peer's last messages: they are still read, then the reset is reported.
TEST(FdByteStreamTest, ThePeersLastMessagesArriveBeforeItsReset) {
    for (const bool readAll : {true, false}) {
        const auto fds = socketPair(SOCK_SEQPACKET);
        const auto endpoint =
            StreamEndpoint::open(makeFdStreamPair(fds[0], StreamThread::shared(), {true, 100, 100}),
                                 StreamThread::shared(), {.readAll = readAll, .readSize = 40});
        ASSERT_TRUE(runMainLoopUntil([&] { return !endpoint->seen().output.empty(); }));
        endpoint->send({1, 2, 3}); // never read by the peer
        std::array<uint8_t, 1> probe{};
        ASSERT_TRUE(runMainLoopUntil(
            [&] { return ::recv(fds[1], probe.data(), 1, MSG_PEEK | MSG_DONTWAIT) == 1; }));
        const Bytes last = randomBytes(150, 7);
        ASSERT_EQ(::send(fds[1], last.data(), 100, 0), 100);
        ASSERT_EQ(::send(fds[1], last.data() + 100, 50, 0), 50);
        ::close(fds[1]);
        ASSERT_TRUE(runMainLoopUntil([&] { return !endpoint->seen().inputError.empty(); }))
            << "readAll " << readAll;
        EXPECT_EQ(endpoint->seen().received, last) << "readAll " << readAll;
        EXPECT_EQ(endpoint->seen().inputError, std::strerror(ECONNRESET));
    }
}

} // namespace
} // namespace merriphonic::test
