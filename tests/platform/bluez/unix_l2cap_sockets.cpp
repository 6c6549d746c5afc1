#include "unix_l2cap_sockets.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace merriphonic::bluez_test {

namespace {

RadioError systemError(int error) {
    return RadioError{std::system_category().message(error)};
}

sockaddr_un unixAddress(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

} // namespace

std::filesystem::path UnixL2capSockets::socketPath(uint16_t psm) const {
    return folder_ / ("psm-" + std::to_string(psm));
}

Result<L2capListeningSocket, RadioError> UnixL2capSockets::listen(const LeAddress& adapter, bool) {
    listens.push_back(adapter);
    const uint16_t psm = nextPsm_++;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(socketPath(psm));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 ||
        ::listen(fd, 8) < 0) {
        const int error = errno;
        ::close(fd);
        return systemError(error);
    }
    psmOfListener_[fd] = psm;
    return L2capListeningSocket{fd, psm};
}

L2capAcceptResult UnixL2capSockets::accept(int listeningFd) {
    const int fd = ::accept4(listeningFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::optional<L2capChannelSocket>();
        }
        return systemError(errno);
    }
    std::deque<std::string>& callers = callers_[psmOfListener_[listeningFd]];
    std::string peer = callers.empty() ? std::string("00:00:00:00:00:00") : callers.front();
    if (!callers.empty()) {
        callers.pop_front();
    }
    if (lostAccepts > 0) {
        --lostAccepts;
        ::close(fd);
        return L2capAcceptFailure{systemError(ENOTCONN)};
    }
    return std::optional<L2capChannelSocket>(L2capChannelSocket{fd, peer, sendMtu, receiveMtu});
}

Result<int, RadioError> UnixL2capSockets::connect(const LeAddress& adapter, const LeAddress& peer,
                                                  uint16_t psm) {
    connects.push_back({adapter, peer, psm});
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(socketPath(psm));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 &&
        errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        return systemError(error);
    }
    callers_[psm].push_back(adapter.address);
    return fd;
}

Result<L2capChannelSocket, RadioError> UnixL2capSockets::finishConnect(int fd) {
    int error = 0;
    socklen_t size = sizeof(error);
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
        return systemError(error);
    }
    return L2capChannelSocket{fd, "", sendMtu, receiveMtu};
}

} // namespace merriphonic::bluez_test
