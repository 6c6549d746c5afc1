// What fd streams do beyond the byte-stream contract (byte_stream_contract_test.cpp): messages
// as a SEQPACKET peer may send them, and the socket's lifetime.
#include "platform/qt/fd_byte_stream.h"
#include "platform/qt/stream_thread.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tests/support/qt_test_support.h"
#include "tests/support/stream_endpoint.h"

namespace merriphonic::test {
namespace {

std::array<int, 2> socketPair(int type) {
    std::array<int, 2> fds{-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, type, 0, fds.data()), 0);
    return fds;
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

// Never closed, dropped on the main thread: the socket still closes, on the stream thread.
TEST(FdByteStreamTest, TheLastOwnerClosesTheSocket) {
    const auto fds = socketPair(SOCK_STREAM);
    StreamPair pair = makeFdStreamPair(fds[0], StreamThread::shared(), {});
    pair.input->open();
    pair.output->open();
    pair = {};
    pollfd entry{fds[1], POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 20'000), 1);
    uint8_t byte = 0;
    EXPECT_EQ(::recv(fds[1], &byte, 1, 0), 0);
    ::close(fds[1]);
}

} // namespace
} // namespace merriphonic::test
