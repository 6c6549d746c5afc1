#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "tests/vm/bt_check/checked_l2cap_sockets.h"

namespace merriphonic {
namespace {

// Hands out Unix sockets where the radio would hand out Bluetooth ones: what the checker must
// refuse.
class UnixSockets final : public L2capSockets {
public:
    explicit UnixSockets(int type) : type_(type) {}
    ~UnixSockets() override {
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    UnixSockets(const UnixSockets&) = delete;
    UnixSockets& operator=(const UnixSockets&) = delete;

    Result<L2capListeningSocket, RadioError> listen(const LeAddress& /*adapter*/,
                                                    bool /*encrypted*/) override {
        return L2capListeningSocket{open(), 128};
    }
    L2capAcceptResult accept(int /*fd*/) override {
        return std::optional<L2capChannelSocket>(channel());
    }
    Result<int, RadioError> connect(const LeAddress& /*adapter*/, const LeAddress& /*peer*/,
                                    uint16_t /*psm*/) override {
        return open();
    }
    Result<L2capChannelSocket, RadioError> finishConnect(int /*fd*/) override { return channel(); }

private:
    int open() {
        int pair[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, type_, 0, pair), 0);
        fds_.insert(fds_.end(), {pair[0], pair[1]});
        return pair[0];
    }
    L2capChannelSocket channel() { return {open(), "00:AA:01:00:00:00", 100, 200}; }

    int type_;
    std::vector<int> fds_;
};

TEST(CheckedL2capSocketsTest, PassesChannelsThroughButFaultsWhatIsNoLeChannel) {
    CheckedL2capSockets sockets(std::make_shared<UnixSockets>(SOCK_SEQPACKET));
    auto accepted = sockets.accept(-1);
    const auto& channel = std::get<std::optional<L2capChannelSocket>>(accepted);
    ASSERT_TRUE(channel);
    EXPECT_EQ(channel->sendMtu, 100U);
    EXPECT_EQ(channel->receiveMtu, 200U);
    EXPECT_EQ(sockets.fault().rfind("cannot read the channel's security level", 0), 0U)
        << sockets.fault();

    CheckedL2capSockets opened(std::make_shared<UnixSockets>(SOCK_SEQPACKET));
    auto connected = opened.finishConnect(*opened.connect({}, {}, 128));
    EXPECT_TRUE(connected.ok());
    EXPECT_FALSE(opened.fault().empty());
}

TEST(CheckedL2capSocketsTest, FaultsAStreamSocketFirst) {
    CheckedL2capSockets sockets(std::make_shared<UnixSockets>(SOCK_STREAM));
    (void)sockets.accept(-1);
    EXPECT_EQ(sockets.fault(), "the channel socket is not SOCK_SEQPACKET");
}

TEST(CheckedL2capSocketsTest, ReportsAReceiveMtuItCannotSet) {
    CheckedL2capSockets sockets(std::make_shared<UnixSockets>(SOCK_SEQPACKET));
    EXPECT_TRUE(sockets.listen({}, false).ok());
    EXPECT_EQ(sockets.fault(), "");
    sockets.setListenReceiveMtu(1000);
    EXPECT_TRUE(sockets.listen({}, false).ok());
    EXPECT_EQ(sockets.fault().rfind("cannot lower the receive MTU", 0), 0U) << sockets.fault();
}

} // namespace
} // namespace merriphonic
