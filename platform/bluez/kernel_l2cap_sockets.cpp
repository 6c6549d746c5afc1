#include "platform/bluez/kernel_l2cap_sockets.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <endian.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "platform/files.h"
#include "platform/unique_fd.h"

namespace merriphonic {

namespace {

RadioError systemError(int error) {
    return RadioError{errnoText(error)};
}

// "AA:BB:CC:DD:EE:FF" → bdaddr_t (which holds the bytes least significant first).
bool parseAddress(const std::string& text, bdaddr_t& address) {
    std::array<unsigned int, 6> bytes{};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1], &bytes[2],
                    &bytes[3], &bytes[4], &bytes[5], &tail) != 6) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        address.b[5 - i] = static_cast<uint8_t>(bytes[i]);
    }
    return true;
}

std::string formatAddress(const bdaddr_t& address) {
    std::array<char, 18> text{};
    std::snprintf(text.data(), text.size(), "%02X:%02X:%02X:%02X:%02X:%02X", address.b[5],
                  address.b[4], address.b[3], address.b[2], address.b[1], address.b[0]);
    return text.data();
}

sockaddr_l2 leSocketAddress(const bdaddr_t& address, bool random, uint16_t psm) {
    sockaddr_l2 result{};
    result.l2_family = AF_BLUETOOTH;
    result.l2_psm = htole16(psm);
    result.l2_bdaddr = address;
    result.l2_bdaddr_type = random ? BDADDR_LE_RANDOM : BDADDR_LE_PUBLIC;
    return result;
}

// A socket bound to the adapter with an LE address type (which makes it an LE credit-based
// channel) and its security level and receive MTU set; both options need the LE binding.
Result<int, RadioError> boundSocket(const LeAddress& adapter, bool encrypted) {
    bdaddr_t local{};
    if (!parseAddress(adapter.address, local)) {
        return RadioError{"invalid adapter address " + adapter.address};
    }
    UniqueFd socket(
        ::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_L2CAP));
    if (!socket) {
        return systemError(errno);
    }
    const sockaddr_l2 address = leSocketAddress(local, adapter.random, 0);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
        return systemError(errno);
    }
    bt_security security{};
    security.level = encrypted ? BT_SECURITY_MEDIUM : BT_SECURITY_LOW;
    if (::setsockopt(socket.get(), SOL_BLUETOOTH, BT_SECURITY, &security, sizeof(security)) < 0) {
        return systemError(errno);
    }
    const uint16_t mtu = KernelL2capSockets::receiveMtu;
    if (::setsockopt(socket.get(), SOL_BLUETOOTH, BT_RCVMTU, &mtu, sizeof(mtu)) < 0) {
        return systemError(errno);
    }
    return socket.release();
}

std::optional<RadioError> readMtus(int fd, L2capChannelSocket& channel) {
    uint16_t sendMtu = 0;
    uint16_t receiveMtu = 0;
    socklen_t size = sizeof(sendMtu);
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_SNDMTU, &sendMtu, &size) < 0) {
        return systemError(errno);
    }
    size = sizeof(receiveMtu);
    if (::getsockopt(fd, SOL_BLUETOOTH, BT_RCVMTU, &receiveMtu, &size) < 0) {
        return systemError(errno);
    }
    channel.sendMtu = sendMtu;
    channel.receiveMtu = receiveMtu;
    return std::nullopt;
}

} // namespace

Result<L2capListeningSocket, RadioError> KernelL2capSockets::listen(const LeAddress& adapter,
                                                                    bool encrypted) {
    auto bound = boundSocket(adapter, encrypted);
    if (!bound) {
        return bound.error();
    }
    UniqueFd socket(*bound);
    if (::listen(socket.get(), 8) < 0) {
        return systemError(errno);
    }
    sockaddr_l2 address{};
    socklen_t size = sizeof(address);
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &size) < 0) {
        return systemError(errno);
    }
    return L2capListeningSocket{socket.release(), le16toh(address.l2_psm)};
}

L2capAcceptResult KernelL2capSockets::accept(int listeningFd) {
    while (true) {
        sockaddr_l2 address{};
        socklen_t size = sizeof(address);
        const int fd = ::accept4(listeningFd, reinterpret_cast<sockaddr*>(&address), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                return std::optional<L2capChannelSocket>();
            }
            // The peer gave up before we took the channel: wait for the next one.
            if (error == EINTR || error == ECONNABORTED || error == EPROTO) {
                continue;
            }
            // Only these say that the listening socket itself is unusable; the others (EMFILE,
            // ENOBUFS, a network error of the waiting channel ...) concern one channel.
            if (error == EBADF || error == EINVAL || error == ENOTSOCK || error == EFAULT) {
                return systemError(error);
            }
            return L2capAcceptFailure{systemError(error)};
        }
        UniqueFd socket(fd);
        L2capChannelSocket channel;
        channel.peerAddress = formatAddress(address.l2_bdaddr);
        if (auto error = readMtus(fd, channel)) {
            return L2capAcceptFailure{*error}; // the peer has most likely left already
        }
        // The host sends songs down this channel, and a PONG or a PAUSE written behind what
        // the kernel already holds waits until all of it has gone over the air: keep that to
        // about a song chunk (the kernel doubles the value and keeps its own minimum; the
        // channel's stream grows it should one message not fit). A refusal only leaves the
        // default.
        const int sendBuffer = sendBufferBytes;
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
        channel.fd = socket.release();
        return std::optional<L2capChannelSocket>(channel);
    }
}

Result<int, RadioError> KernelL2capSockets::connect(const LeAddress& adapter, const LeAddress& peer,
                                                    uint16_t psm) {
    bdaddr_t remote{};
    if (!parseAddress(peer.address, remote)) {
        return RadioError{"invalid device address " + peer.address};
    }
    auto bound = boundSocket(adapter, false);
    if (!bound) {
        return bound.error();
    }
    UniqueFd socket(*bound);
    const sockaddr_l2 address = leSocketAddress(remote, peer.random, psm);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 &&
        errno != EINPROGRESS) {
        return systemError(errno);
    }
    return socket.release();
}

Result<L2capChannelSocket, RadioError> KernelL2capSockets::finishConnect(int fd) {
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
        return systemError(errno);
    }
    if (error != 0) {
        return systemError(error);
    }
    L2capChannelSocket channel;
    sockaddr_l2 address{};
    size = sizeof(address);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) < 0) {
        return systemError(errno);
    }
    channel.peerAddress = formatAddress(address.l2_bdaddr);
    if (auto mtuError = readMtus(fd, channel)) {
        return *mtuError;
    }
    channel.fd = fd;
    return channel;
}

} // namespace merriphonic
