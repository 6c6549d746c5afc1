#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/stream_thread.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "tests/support/qt_test_support.h"

namespace merriphonic::test {
namespace {

std::array<int, 2> socketPair(int type) {
    std::array<int, 2> fds{-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
    return fds;
}

Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(random()); });
    return bytes;
}

// Whether a raw peer fd becomes readable (or hung up) within the time; the time only guards
// against a hang.
bool readable(int fd, int timeoutMs = 20'000) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) == 1;
}

size_t count(const std::vector<StreamEvent>& events, StreamEvent event) {
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

// One end of a channel driven on the stream thread the way a connection drives it: it reads
// all that arrives (readSize bytes at a time, unless told not to read) and writes its outbox
// as space allows. What it sees is recorded under a lock for the test to wait on.
class Endpoint : public std::enable_shared_from_this<Endpoint> {
public:
    struct Seen {
        std::vector<StreamEvent> input;
        std::vector<StreamEvent> output;
        Bytes received;
        std::vector<int64_t> reads;
        std::string inputError;
    };

    static std::shared_ptr<Endpoint> open(int fd, FdStreamOptions options = {},
                                          bool autoRead = true, size_t readSize = 32768) {
        auto self = std::make_shared<Endpoint>();
        self->pair_ = makeFdStreamPair(fd, StreamThread::shared(), options);
        self->autoRead_ = autoRead;
        self->buffer_.resize(readSize);
        StreamThread::shared().post([self] {
            const std::weak_ptr<Endpoint> weak = self;
            const auto to = [weak](void (Endpoint::*handler)(StreamEvent)) {
                return [weak, handler](StreamEvent event) {
                    if (auto strong = weak.lock()) {
                        ((*strong).*handler)(event);
                    }
                };
            };
            self->pair_.input->setEventHandler(to(&Endpoint::onInput));
            self->pair_.output->setEventHandler(to(&Endpoint::onOutput));
            self->pair_.input->open();
            self->pair_.output->open();
        });
        return self;
    }

    // Queues bytes for writing; with thenClose, closes both halves once all are written.
    void send(Bytes bytes, bool thenClose = false) {
        StreamThread::shared().post(
            [self = shared_from_this(), bytes = std::move(bytes), thenClose] {
                self->outbox_.insert(self->outbox_.end(), bytes.begin(), bytes.end());
                self->closeWhenFlushed_ = thenClose;
                self->pump();
            });
    }

    bool waitFor(const std::function<bool(const Seen&)>& condition) {
        return runMainLoopUntil([&] {
            const std::lock_guard lock(mutex_);
            return condition(seen_);
        });
    }
    bool waitForInput(StreamEvent event) {
        return waitFor([event](const Seen& s) { return count(s.input, event) > 0; });
    }
    bool waitForOutput(StreamEvent event, size_t times = 1) {
        return waitFor([=](const Seen& s) { return count(s.output, event) >= times; });
    }
    Seen seen() {
        const std::lock_guard lock(mutex_);
        return seen_;
    }
    [[nodiscard]] const StreamPair& pair() const { return pair_; }

private:
    template <typename Change>
    void record(Change change) {
        const std::lock_guard lock(mutex_);
        change(seen_);
    }

    void onInput(StreamEvent event) {
        record([&](Seen& s) {
            s.input.push_back(event);
            if (event == StreamEvent::error) {
                s.inputError = pair_.input->errorDescription();
            }
        });
        while (autoRead_ && event == StreamEvent::bytesAvailable &&
               pair_.input->hasBytesAvailable()) {
            const int64_t read = pair_.input->read(buffer_.data(), buffer_.size());
            record([&](Seen& s) {
                s.reads.push_back(read);
                if (read > 0) {
                    s.received.insert(s.received.end(), buffer_.begin(), buffer_.begin() + read);
                } else {
                    s.inputError = pair_.input->errorDescription();
                }
            });
            if (read <= 0) {
                return;
            }
        }
    }

    void onOutput(StreamEvent event) {
        record([event](Seen& s) { s.output.push_back(event); });
        if (event == StreamEvent::spaceAvailable) {
            pump();
        }
    }

    void pump() {
        while (sent_ < outbox_.size() && pair_.output->hasSpaceAvailable()) {
            const int64_t written =
                pair_.output->write(outbox_.data() + sent_, outbox_.size() - sent_);
            if (written <= 0) {
                return;
            }
            sent_ += static_cast<size_t>(written);
        }
        if (closeWhenFlushed_ && sent_ == outbox_.size()) {
            pair_.input->close();
            pair_.output->close();
        }
    }

    StreamPair pair_;
    bool autoRead_ = true;
    Bytes buffer_;
    Bytes outbox_;
    size_t sent_ = 0;
    bool closeWhenFlushed_ = false;
    std::mutex mutex_;
    Seen seen_;
};

// The end shows as an end event, or as a read of 0 when it came while reading.
bool ended(const Endpoint::Seen& s) {
    return count(s.input, StreamEvent::end) > 0 || (!s.reads.empty() && s.reads.back() == 0);
}

struct ChannelKind {
    int type;
    FdStreamOptions options;
};

class FdByteStreamKindsTest : public ::testing::TestWithParam<ChannelKind> {};

TEST_P(FdByteStreamKindsTest, CarriesBytesBothWaysAndALargeTransferIntact) {
    const auto fds = socketPair(GetParam().type);
    auto a = Endpoint::open(fds[0], GetParam().options);
    auto b = Endpoint::open(fds[1], GetParam().options);
    ASSERT_TRUE(a->waitForOutput(StreamEvent::spaceAvailable));
    ASSERT_TRUE(b->waitForOutput(StreamEvent::spaceAvailable));

    b->send({'p', 'o', 'n', 'g'});
    // Seqpacket goes one small message at a time: less data keeps the test quick.
    const Bytes large =
        randomBytes(GetParam().type == SOCK_STREAM ? 3 * 1024 * 1024 + 17 : 300'017, 1);
    a->send(large, /*thenClose=*/true);
    ASSERT_TRUE(a->waitFor([](const auto& s) { return s.received.size() == 4; }));
    // Closing both halves of a closes the socket: b sees the end after the last byte.
    ASSERT_TRUE(b->waitFor(ended));
    const auto seenA = a->seen();
    const auto seenB = b->seen();
    EXPECT_EQ(seenA.input.front(), StreamEvent::openCompleted);
    EXPECT_EQ(seenA.output.front(), StreamEvent::openCompleted);
    EXPECT_EQ(seenA.received, (Bytes{'p', 'o', 'n', 'g'}));
    ASSERT_EQ(seenB.received.size(), large.size());
    EXPECT_TRUE(seenB.received == large);
    EXPECT_TRUE(seenB.inputError.empty());
}

TEST_P(FdByteStreamKindsTest, WriteToAFullSocketReturnsZeroThenSpaceFollows) {
    const auto fds = socketPair(GetParam().type);
    auto endpoint = Endpoint::open(fds[0], GetParam().options);
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    // Written until the socket is full: bytes accepted, whether a write returned 0, and
    // whether space is still claimed after it.
    const auto [accepted, zero, spaceAfter] = onStreams([endpoint] {
        const Bytes chunk(1000, 0x5a);
        OutputStream& output = *endpoint->pair().output;
        size_t total = 0;
        int64_t written = 1;
        for (int i = 0; i < 100'000 && written > 0; ++i) {
            written = output.write(chunk.data(), chunk.size());
            total += static_cast<size_t>(std::max<int64_t>(written, 0));
        }
        return std::tuple{total, written == 0, output.hasSpaceAvailable()};
    });
    ASSERT_TRUE(zero);
    EXPECT_FALSE(spaceAfter);
    const size_t spaceEvents = count(endpoint->seen().output, StreamEvent::spaceAvailable);
    // Once the peer drains it, space is reported again.
    std::array<uint8_t, 65536> buffer{};
    size_t drained = 0;
    while (drained < accepted && readable(fds[1])) {
        drained += static_cast<size_t>(
            std::max<ssize_t>(::recv(fds[1], buffer.data(), buffer.size(), 0), 0));
    }
    EXPECT_EQ(drained, accepted);
    EXPECT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable, spaceEvents + 1));
    ::close(fds[1]);
}

TEST_P(FdByteStreamKindsTest, ReportsTheEndAndAResetWhileNobodyReads) {
    const auto closed = socketPair(GetParam().type);
    auto quiet = Endpoint::open(closed[0], GetParam().options, /*autoRead=*/false);
    ASSERT_TRUE(quiet->waitForInput(StreamEvent::openCompleted));
    ::close(closed[1]);
    ASSERT_TRUE(quiet->waitForInput(StreamEvent::end));
    const auto [available, read] = onStreams([quiet] {
        std::array<uint8_t, 16> buffer{};
        const bool hasBytes = quiet->pair().input->hasBytesAvailable();
        return std::pair{hasBytes, quiet->pair().input->read(buffer.data(), buffer.size())};
    });
    EXPECT_TRUE(available);
    EXPECT_EQ(read, 0);

    // Closing with unread data resets the channel.
    const auto fds = socketPair(GetParam().type);
    auto endpoint = Endpoint::open(fds[0], GetParam().options, /*autoRead=*/false);
    endpoint->send({1, 2, 3});
    ASSERT_TRUE(readable(fds[1]));
    ::close(fds[1]);
    ASSERT_TRUE(endpoint->waitForInput(StreamEvent::error));
    EXPECT_EQ(endpoint->seen().inputError, std::strerror(ECONNRESET));
    const auto [readResult, written, writeError] = onStreams([endpoint] {
        std::array<uint8_t, 4> buffer{};
        return std::tuple{endpoint->pair().input->read(buffer.data(), buffer.size()),
                          endpoint->pair().output->write(buffer.data(), buffer.size()),
                          endpoint->pair().output->errorDescription()};
    });
    EXPECT_LT(readResult, 0);
    // No SIGPIPE: the process is still here to see the error.
    EXPECT_LT(written, 0);
    EXPECT_EQ(writeError, std::strerror(EPIPE));
}

INSTANTIATE_TEST_SUITE_P(Sockets, FdByteStreamKindsTest,
                         ::testing::Values(ChannelKind{SOCK_STREAM, {}},
                                           ChannelKind{SOCK_SEQPACKET, {true, 1000, 1000}}),
                         [](const auto& info) {
                             return info.param.type == SOCK_STREAM ? "Stream" : "SeqPacket";
                         });

TEST(FdByteStreamTest, SeqpacketKeepsMessagesWhole) {
    const auto fds = socketPair(SOCK_SEQPACKET);
    auto endpoint = Endpoint::open(fds[0], {true, 100, 512}, /*autoRead=*/true, 64);
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    // A write sends one message of at most the send MTU.
    const Bytes data = randomBytes(250, 2);
    const auto written = onStreams([endpoint, data] {
        std::vector<int64_t> counts;
        for (size_t offset = 0; offset < data.size() && (counts.empty() || counts.back() > 0);) {
            counts.push_back(
                endpoint->pair().output->write(data.data() + offset, data.size() - offset));
            offset += static_cast<size_t>(std::max<int64_t>(counts.back(), 0));
        }
        return counts;
    });
    EXPECT_EQ(written, (std::vector<int64_t>{100, 100, 50}));
    std::array<uint8_t, 1000> buffer{};
    Bytes received;
    for (const ssize_t expected : {100, 100, 50}) {
        const ssize_t count = ::recv(fds[1], buffer.data(), buffer.size(), 0);
        ASSERT_EQ(count, expected);
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
    EXPECT_EQ(received, data);

    // Reads smaller than a message take it in parts, never mixing two messages.
    const Bytes first = randomBytes(300, 3);
    const Bytes second = randomBytes(72, 4);
    ASSERT_EQ(::send(fds[1], first.data(), first.size(), 0), 300);
    ASSERT_EQ(::send(fds[1], second.data(), second.size(), 0), 72);
    ASSERT_TRUE(endpoint->waitFor([](const auto& s) { return s.received.size() == 372; }));
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(endpoint->seen().received, expected);
    EXPECT_EQ(endpoint->seen().reads, (std::vector<int64_t>{64, 64, 64, 64, 44, 64, 8}));

    // A message beyond the receive MTU would lose bytes: an error, not a silent cut.
    const Bytes oversized = randomBytes(600, 5);
    ASSERT_EQ(::send(fds[1], oversized.data(), oversized.size(), 0), 600);
    ASSERT_TRUE(endpoint->waitFor([](const auto& s) { return s.reads.back() < 0; }));
    EXPECT_EQ(endpoint->seen().inputError, std::strerror(EMSGSIZE));
    ::close(fds[1]);
}

TEST(FdByteStreamTest, SeqpacketEmptyMessagesAreNoData) {
    const auto fds = socketPair(SOCK_SEQPACKET);
    auto endpoint = Endpoint::open(fds[0], {true, 100, 512}, /*autoRead=*/false);
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    const Bytes first = randomBytes(100, 6);
    const Bytes second = randomBytes(50, 7);
    ASSERT_EQ(::send(fds[1], first.data(), first.size(), 0), 100);
    ASSERT_EQ(::send(fds[1], nullptr, 0, 0), 0);
    ASSERT_EQ(::send(fds[1], second.data(), second.size(), 0), 50);
    ASSERT_EQ(::send(fds[1], nullptr, 0, 0), 0);
    ASSERT_EQ(::send(fds[1], nullptr, 0, 0), 0);
    // Read the way a connection reads: while bytes are said to be available.
    const auto reads = onStreams([endpoint] {
        std::vector<int64_t> counts;
        std::array<uint8_t, 512> buffer{};
        while (endpoint->pair().input->hasBytesAvailable() && counts.size() < 10) {
            counts.push_back(endpoint->pair().input->read(buffer.data(), buffer.size()));
        }
        return counts;
    });
    EXPECT_EQ(reads, (std::vector<int64_t>{100, 50}));
    ::close(fds[1]);
    ASSERT_TRUE(runMainLoopUntil([endpoint] {
        return onStreams([endpoint] { return endpoint->pair().input->hasBytesAvailable(); });
    }));
}

TEST(FdByteStreamTest, TheSocketClosesWithTheSecondHalfOrWithTheLastOwner) {
    const auto fds = socketPair(SOCK_STREAM);
    auto endpoint = Endpoint::open(fds[0], {});
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    onStreams([endpoint] {
        endpoint->pair().input->close();
        return true;
    });
    EXPECT_FALSE(readable(fds[1], 0));
    onStreams([endpoint] {
        endpoint->pair().output->close();
        return true;
    });
    EXPECT_TRUE(readable(fds[1]));
    ::close(fds[1]);

    // Never closed, dropped on the main thread: the socket still closes, on the stream thread.
    const auto others = socketPair(SOCK_STREAM);
    StreamPair pair = makeFdStreamPair(others[0], StreamThread::shared(), {});
    pair.input->open();
    pair.output->open();
    pair = {};
    EXPECT_TRUE(readable(others[1]));
    uint8_t byte = 0;
    EXPECT_EQ(::recv(others[1], &byte, 1, 0), 0);
    ::close(others[1]);
}

} // namespace
} // namespace merriphonic::test
