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
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qt_test_support.h"

namespace merriphonic {
namespace {

using qt_test::mainLoop;
using qt_test::onStreams;
using qt_test::runMainLoopUntil;
using Bytes = std::vector<uint8_t>;

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

// Reads what a raw peer fd receives, waiting with poll (the timeout only guards against a hang).
Bytes readPeer(int fd, size_t expected) {
    Bytes received;
    std::array<uint8_t, 65536> buffer{};
    while (received.size() < expected) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20'000) <= 0) {
            break;
        }
        const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (count <= 0) {
            break;
        }
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
    return received;
}

// One end of a channel driven on the stream thread the way a connection drives it: it reads
// everything that arrives (in reads of readSize bytes) and writes its outbox as space allows.
// What it sees is handed to the main thread, where the test looks at `seen`.
class Endpoint : public std::enable_shared_from_this<Endpoint> {
public:
    struct Seen {
        std::vector<StreamEvent> inputEvents;
        std::vector<StreamEvent> outputEvents;
        Bytes received;
        std::vector<int64_t> readSizes;
        std::string inputError;
        std::string outputError;
    };

    static std::shared_ptr<Endpoint> open(int fd, FdStreamOptions options = {},
                                          bool autoRead = true, size_t readSize = 32768) {
        auto endpoint = std::make_shared<Endpoint>();
        endpoint->pair_ = makeFdStreamPair(fd, StreamThread::shared(), options);
        endpoint->autoRead_ = autoRead;
        endpoint->readBuffer_.resize(readSize);
        std::weak_ptr<Endpoint> weak = endpoint;
        StreamThread::shared().post([weak] {
            auto self = weak.lock();
            self->pair_.input->setEventHandler([weak](StreamEvent event) {
                if (auto strong = weak.lock()) {
                    strong->onInput(event);
                }
            });
            self->pair_.output->setEventHandler([weak](StreamEvent event) {
                if (auto strong = weak.lock()) {
                    strong->onOutput(event);
                }
            });
            self->pair_.input->open();
            self->pair_.output->open();
        });
        return endpoint;
    }

    void send(Bytes bytes) {
        StreamThread::shared().post([self = shared_from_this(), bytes = std::move(bytes)] {
            self->outbox_.insert(self->outbox_.end(), bytes.begin(), bytes.end());
            self->pump();
        });
    }

    void closeAfterSending() {
        StreamThread::shared().post([self = shared_from_this()] {
            self->closeWhenFlushed_ = true;
            self->pump();
        });
    }

    [[nodiscard]] const StreamPair& pair() const { return pair_; }
    Seen seen;

    bool waitForInput(StreamEvent event) {
        return runMainLoopUntil([&] {
            return std::count(seen.inputEvents.begin(), seen.inputEvents.end(), event) > 0;
        });
    }
    // The end shows as an end event, or as a read of 0 when it came while reading.
    bool waitForEnd() {
        return runMainLoopUntil([&] {
            return std::count(seen.inputEvents.begin(), seen.inputEvents.end(), StreamEvent::end) >
                       0 ||
                   (!seen.readSizes.empty() && seen.readSizes.back() == 0);
        });
    }
    bool waitForOutput(StreamEvent event, size_t count = 1) {
        return runMainLoopUntil([&] {
            return static_cast<size_t>(std::count(seen.outputEvents.begin(),
                                                  seen.outputEvents.end(), event)) >= count;
        });
    }

private:
    void report(std::function<void(Seen&)> change) {
        mainLoop().post(
            [self = shared_from_this(), change = std::move(change)] { change(self->seen); });
    }

    void onInput(StreamEvent event) {
        // One report, so the test sees an error event together with its text.
        report([event, text = pair_.input->errorDescription()](Seen& s) {
            s.inputEvents.push_back(event);
            if (event == StreamEvent::error) {
                s.inputError = text;
            }
        });
        if (!autoRead_ || event != StreamEvent::bytesAvailable) {
            return;
        }
        while (pair_.input->hasBytesAvailable()) {
            const int64_t count = pair_.input->read(readBuffer_.data(), readBuffer_.size());
            if (count <= 0) {
                report([count, text = pair_.input->errorDescription()](Seen& s) {
                    s.readSizes.push_back(count);
                    s.inputError = text;
                });
                return;
            }
            Bytes chunk(readBuffer_.begin(), readBuffer_.begin() + count);
            report([count, chunk = std::move(chunk)](Seen& s) {
                s.readSizes.push_back(count);
                s.received.insert(s.received.end(), chunk.begin(), chunk.end());
            });
        }
    }

    void onOutput(StreamEvent event) {
        report([event](Seen& s) { s.outputEvents.push_back(event); });
        if (event == StreamEvent::spaceAvailable) {
            pump();
        }
    }

    void pump() {
        while (sent_ < outbox_.size() && pair_.output->hasSpaceAvailable()) {
            const int64_t count =
                pair_.output->write(outbox_.data() + sent_, outbox_.size() - sent_);
            if (count < 0) {
                report(
                    [text = pair_.output->errorDescription()](Seen& s) { s.outputError = text; });
                return;
            }
            if (count == 0) {
                return;
            }
            sent_ += static_cast<size_t>(count);
        }
        if (closeWhenFlushed_ && sent_ == outbox_.size()) {
            pair_.input->close();
            pair_.output->close();
        }
    }

    StreamPair pair_;
    bool autoRead_ = true;
    Bytes readBuffer_;
    Bytes outbox_;
    size_t sent_ = 0;
    bool closeWhenFlushed_ = false;
};

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
    EXPECT_EQ(a->seen.inputEvents.front(), StreamEvent::openCompleted);
    EXPECT_EQ(a->seen.outputEvents.front(), StreamEvent::openCompleted);

    b->send({'p', 'o', 'n', 'g'});
    // Seqpacket goes one small message at a time: less data keeps the test quick.
    const size_t size = GetParam().type == SOCK_STREAM ? 3 * 1024 * 1024 + 17 : 300'017;
    const Bytes large = randomBytes(size, 1);
    a->send(large);
    a->closeAfterSending();

    ASSERT_TRUE(a->waitForInput(StreamEvent::bytesAvailable));
    ASSERT_TRUE(runMainLoopUntil([&] { return a->seen.received.size() == 4; }));
    EXPECT_EQ(a->seen.received, (Bytes{'p', 'o', 'n', 'g'}));
    // Closing both halves of a closes the socket: b sees the end after the last byte.
    ASSERT_TRUE(b->waitForEnd());
    EXPECT_EQ(b->seen.received.size(), large.size());
    EXPECT_TRUE(b->seen.received == large);
    EXPECT_TRUE(b->seen.inputError.empty());
}

TEST_P(FdByteStreamKindsTest, ReportsTheEndWhileNobodyReads) {
    auto fds = socketPair(GetParam().type);
    auto endpoint = Endpoint::open(fds[0], GetParam().options, /*autoRead=*/false);
    ASSERT_TRUE(endpoint->waitForInput(StreamEvent::openCompleted));
    ::close(fds[1]);
    ASSERT_TRUE(endpoint->waitForInput(StreamEvent::end));
    const auto [available, read] = onStreams([endpoint] {
        std::array<uint8_t, 16> buffer{};
        const bool hasBytes = endpoint->pair().input->hasBytesAvailable();
        return std::pair<bool, int64_t>{hasBytes,
                                        endpoint->pair().input->read(buffer.data(), buffer.size())};
    });
    EXPECT_TRUE(available);
    EXPECT_EQ(read, 0);
}

TEST_P(FdByteStreamKindsTest, WriteToAFullSocketReturnsZeroThenSpaceFollows) {
    const auto fds = socketPair(GetParam().type);
    auto endpoint = Endpoint::open(fds[0], GetParam().options);
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    struct Filled {
        size_t accepted = 0;
        bool zero = false;
        bool spaceAfter = true;
    };
    const Filled filled = onStreams([endpoint] {
        Filled result;
        const Bytes chunk(1000, 0x5a);
        OutputStream& output = *endpoint->pair().output;
        for (int i = 0; i < 100'000 && !result.zero; ++i) {
            const int64_t count = output.write(chunk.data(), chunk.size());
            if (count < 0) {
                break;
            }
            result.zero = count == 0;
            result.accepted += static_cast<size_t>(count);
        }
        result.spaceAfter = output.hasSpaceAvailable();
        return result;
    });
    ASSERT_TRUE(filled.zero);
    EXPECT_FALSE(filled.spaceAfter);
    const size_t spaceEvents =
        std::count(endpoint->seen.outputEvents.begin(), endpoint->seen.outputEvents.end(),
                   StreamEvent::spaceAvailable);
    EXPECT_EQ(readPeer(fds[1], filled.accepted).size(), filled.accepted);
    EXPECT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable, spaceEvents + 1));
    ::close(fds[1]);
}

TEST_P(FdByteStreamKindsTest, ResetPeerGivesAnErrorWithTheSystemText) {
    const auto fds = socketPair(GetParam().type);
    auto endpoint = Endpoint::open(fds[0], GetParam().options, /*autoRead=*/false);
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    // Closing with unread data resets the channel.
    endpoint->send({1, 2, 3});
    pollfd entry{fds[1], POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 20'000), 1);
    ::close(fds[1]);
    ASSERT_TRUE(endpoint->waitForInput(StreamEvent::error));
    EXPECT_EQ(endpoint->seen.inputError, std::strerror(ECONNRESET));

    const auto [read, written, writeError] = onStreams([endpoint] {
        std::array<uint8_t, 4> buffer{};
        const int64_t readResult = endpoint->pair().input->read(buffer.data(), buffer.size());
        const int64_t writeResult = endpoint->pair().output->write(buffer.data(), buffer.size());
        return std::tuple<int64_t, int64_t, std::string>{
            readResult, writeResult, endpoint->pair().output->errorDescription()};
    });
    EXPECT_LT(read, 0);
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

TEST(FdByteStreamTest, SeqpacketWritesOneMessageOfAtMostTheSendMtu) {
    const auto fds = socketPair(SOCK_SEQPACKET);
    auto endpoint = Endpoint::open(fds[0], {true, 100, 100});
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    const Bytes data = randomBytes(250, 2);
    const auto written = onStreams([endpoint, data] {
        std::vector<int64_t> counts;
        size_t offset = 0;
        while (offset < data.size()) {
            const int64_t count =
                endpoint->pair().output->write(data.data() + offset, data.size() - offset);
            counts.push_back(count);
            if (count <= 0) {
                break;
            }
            offset += static_cast<size_t>(count);
        }
        return counts;
    });
    EXPECT_EQ(written, (std::vector<int64_t>{100, 100, 50}));
    std::array<uint8_t, 1000> buffer{};
    Bytes received;
    for (const size_t expected : {100, 100, 50}) {
        const ssize_t count = ::recv(fds[1], buffer.data(), buffer.size(), 0);
        ASSERT_EQ(count, static_cast<ssize_t>(expected));
        received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
    EXPECT_EQ(received, data);
    ::close(fds[1]);
}

TEST(FdByteStreamTest, SeqpacketSmallReadsNeverMixOrLoseMessages) {
    const auto fds = socketPair(SOCK_SEQPACKET);
    auto endpoint = Endpoint::open(fds[0], {true, 512, 512}, /*autoRead=*/true, 64);
    ASSERT_TRUE(endpoint->waitForInput(StreamEvent::openCompleted));
    const Bytes first = randomBytes(300, 3);
    const Bytes second = randomBytes(72, 4);
    ASSERT_EQ(::send(fds[1], first.data(), first.size(), 0), 300);
    ASSERT_EQ(::send(fds[1], second.data(), second.size(), 0), 72);
    ASSERT_TRUE(runMainLoopUntil([&] { return endpoint->seen.received.size() == 372; }));
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(endpoint->seen.received, expected);
    EXPECT_EQ(endpoint->seen.readSizes, (std::vector<int64_t>{64, 64, 64, 64, 44, 64, 8}));

    // A message beyond the receive MTU would lose bytes: an error, not a silent cut.
    const Bytes oversized = randomBytes(600, 5);
    ASSERT_EQ(::send(fds[1], oversized.data(), oversized.size(), 0), 600);
    ASSERT_TRUE(runMainLoopUntil([&] { return endpoint->seen.readSizes.back() < 0; }));
    EXPECT_EQ(endpoint->seen.inputError, std::strerror(EMSGSIZE));
    ::close(fds[1]);
}

TEST(FdByteStreamTest, TheSocketClosesWithTheSecondHalfOrWithTheLastOwner) {
    const auto fds = socketPair(SOCK_STREAM);
    auto endpoint = Endpoint::open(fds[0], {});
    ASSERT_TRUE(endpoint->waitForOutput(StreamEvent::spaceAvailable));
    const auto hangUp = [&](int timeoutMs) {
        pollfd entry{fds[1], POLLIN, 0};
        return ::poll(&entry, 1, timeoutMs) > 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
    };
    onStreams([endpoint] {
        endpoint->pair().input->close();
        return true;
    });
    EXPECT_FALSE(hangUp(0));
    onStreams([endpoint] {
        endpoint->pair().output->close();
        return true;
    });
    EXPECT_TRUE(hangUp(20'000));
    ::close(fds[1]);

    // Never closed, dropped on the main thread: the socket still closes, on the stream thread.
    const auto others = socketPair(SOCK_STREAM);
    StreamPair pair = makeFdStreamPair(others[0], StreamThread::shared(), {});
    pair.input->open();
    pair.output->open();
    pair = {};
    pollfd entry{others[1], POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 20'000), 1);
    uint8_t byte = 0;
    EXPECT_EQ(::recv(others[1], &byte, 1, 0), 0);
    ::close(others[1]);
}

} // namespace
} // namespace merriphonic
