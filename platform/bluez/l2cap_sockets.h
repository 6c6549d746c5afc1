#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/result.h"
#include "platform/radio.h"

namespace merriphonic {

// A Bluetooth LE address: six bytes as text ("00:AA:01:00:00:00") and whether it is a random
// one (else public).
struct LeAddress {
    std::string address;
    bool random = false;
    bool operator==(const LeAddress&) const = default;
};

struct L2capListeningSocket {
    int fd = -1;
    uint16_t psm = 0;
    bool operator==(const L2capListeningSocket&) const = default;
};

// A connected channel socket (SOCK_SEQPACKET): one message per write, at most sendMtu bytes;
// messages of up to receiveMtu bytes arrive.
struct L2capChannelSocket {
    int fd = -1;
    std::string peerAddress;
    size_t sendMtu = 0;
    size_t receiveMtu = 0;
    bool operator==(const L2capChannelSocket&) const = default;
};

// A waiting channel that could not be taken (its peer left before its MTUs were read, no
// descriptor was free ...). The listening socket itself is fine and goes on listening.
struct L2capAcceptFailure {
    RadioError error;
    bool operator==(const L2capAcceptFailure&) const = default;
};

// What an accept gives: the next waiting channel (nullopt when none waits), a channel that could
// not be taken, or a failure of the listening socket itself, which then stays broken.
using L2capAcceptResult =
    std::variant<std::optional<L2capChannelSocket>, L2capAcceptFailure, RadioError>;

// The kernel's L2CAP LE connection-oriented channels, behind a seam so that tests can stand in
// Unix sockets. Every descriptor handed out is non-blocking and belongs to the caller, who
// closes it (also after a failure reported for it).
class L2capSockets {
public:
    virtual ~L2capSockets() = default;

    // A listening socket on the adapter, on a PSM the system picks.
    virtual Result<L2capListeningSocket, RadioError> listen(const LeAddress& adapter,
                                                            bool encrypted) = 0;
    // The next channel waiting on a listening socket.
    virtual L2capAcceptResult accept(int listeningFd) = 0;
    // Starts connecting from the adapter to a peer's PSM; the socket turns writable when the
    // attempt has ended, and finishConnect tells how.
    virtual Result<int, RadioError> connect(const LeAddress& adapter, const LeAddress& peer,
                                            uint16_t psm) = 0;
    virtual Result<L2capChannelSocket, RadioError> finishConnect(int fd) = 0;
};

} // namespace merriphonic
