#include "tests/vm/bt_check/checked_l2cap_sockets.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <endian.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace merriphonic {

namespace {

std::string systemText(int error) {
    return std::strerror(error);
}

const char* addressType(uint8_t type) {
    switch (type) {
    case BDADDR_LE_PUBLIC:
        return "LE public";
    case BDADDR_LE_RANDOM:
        return "LE random";
    case BDADDR_BREDR:
        return "BR/EDR";
    default:
        return "unknown";
    }
}

bool isLe(uint8_t type) {
    return type == BDADDR_LE_PUBLIC || type == BDADDR_LE_RANDOM;
}

} // namespace

CheckedL2capSockets::CheckedL2capSockets(std::shared_ptr<L2capSockets> inner)
    : inner_(std::move(inner)) {}

void CheckedL2capSockets::fault(std::string text) {
    if (fault_.empty()) {
        fault_ = std::move(text);
    }
}

Result<L2capListeningSocket, RadioError> CheckedL2capSockets::listen(const LeAddress& adapter,
                                                                     bool encrypted) {
    auto result = inner_->listen(adapter, encrypted);
    if (result && listenReceiveMtu_ != 0) {
        // Channels accepted later inherit the listening socket's receive MTU.
        const uint16_t mtu = listenReceiveMtu_;
        if (::setsockopt(result->fd, SOL_BLUETOOTH, BT_RCVMTU, &mtu, sizeof(mtu)) < 0) {
            fault("cannot lower the receive MTU: " + systemText(errno));
        }
    }
    return result;
}

L2capAcceptResult CheckedL2capSockets::accept(int listeningFd) {
    auto result = inner_->accept(listeningFd);
    if (const auto* channel = std::get_if<std::optional<L2capChannelSocket>>(&result);
        channel != nullptr && channel->has_value()) {
        inspect(**channel, true);
    }
    return result;
}

Result<int, RadioError> CheckedL2capSockets::connect(const LeAddress& adapter,
                                                     const LeAddress& peer, uint16_t psm) {
    return inner_->connect(adapter, peer, psm);
}

Result<L2capChannelSocket, RadioError> CheckedL2capSockets::finishConnect(int fd) {
    auto result = inner_->finishConnect(fd);
    if (result) {
        const L2capChannelSocket* channel = &*result;
        inspect(*channel, false);
        if (connectSendBuffer_ > 0 &&
            ::setsockopt(channel->fd, SOL_SOCKET, SO_SNDBUF, &connectSendBuffer_,
                         sizeof(connectSendBuffer_)) < 0) {
            fault(fmt::format("SO_SNDBUF on the opened channel: {}", systemText(errno)));
        }
    }
    return result;
}

void CheckedL2capSockets::inspect(const L2capChannelSocket& channel, bool accepted) {
    const int fd = channel.fd;
    int type = 0;
    socklen_t size = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) < 0 || type != SOCK_SEQPACKET) {
        fault("the channel socket is not SOCK_SEQPACKET");
    }
    bt_security security{};
    size = sizeof(security);
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, &size) < 0) {
        fault("cannot read the channel's security level: " + systemText(errno));
    } else if (security.level != BT_SECURITY_LOW) {
        fault(
            fmt::format("the channel's security level is {}, not BT_SECURITY_LOW", security.level));
    }
    uint8_t mode = 0;
    size = sizeof(mode);
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_MODE, &mode, &size) < 0) {
        // Kernels without enhanced credit-based channels do not answer; the LE address types
        // below then tell the channel's kind.
        if (errno != ENOPROTOOPT) {
            fault("cannot read the channel's mode: " + systemText(errno));
        }
    } else if (mode != BT_MODE_LE_FLOWCTL) {
        fault(fmt::format("the channel's mode is {}, not LE flow control", mode));
    }
    sockaddr_l2 local{};
    sockaddr_l2 peer{};
    size = sizeof(local);
    const bool named = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0;
    size = sizeof(peer);
    const bool peered = ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
    if (!named || !peered) {
        fault("cannot read the channel's addresses: " + systemText(errno));
        return;
    }
    if (!isLe(local.l2_bdaddr_type) || !isLe(peer.l2_bdaddr_type)) {
        fault(fmt::format("the channel is not bound to LE addresses (local {}, peer {})",
                          addressType(local.l2_bdaddr_type), addressType(peer.l2_bdaddr_type)));
    }
    uint16_t sendMtu = 0;
    uint16_t receiveMtu = 0;
    size = sizeof(sendMtu);
    ::getsockopt(fd, SOL_BLUETOOTH, BT_SNDMTU, &sendMtu, &size);
    size = sizeof(receiveMtu);
    ::getsockopt(fd, SOL_BLUETOOTH, BT_RCVMTU, &receiveMtu, &size);
    if (sendMtu != channel.sendMtu || receiveMtu != channel.receiveMtu) {
        fault(fmt::format("the radio reports MTUs {}/{}, the socket {}/{}", channel.sendMtu,
                          channel.receiveMtu, sendMtu, receiveMtu));
    }
    const uint16_t psm = le16toh(accepted ? local.l2_psm : peer.l2_psm);
    lastChannel_ =
        Channel{fmt::format("{} channel on PSM {}: {}, peer {} {}, security low, MTU out {} in {}",
                            accepted ? "accepted" : "opened", psm,
                            addressType(local.l2_bdaddr_type), addressType(peer.l2_bdaddr_type),
                            channel.peerAddress, channel.sendMtu, channel.receiveMtu),
                channel.sendMtu, channel.receiveMtu};
}

} // namespace merriphonic
