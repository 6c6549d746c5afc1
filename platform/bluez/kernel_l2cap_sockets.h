#pragma once

#include "platform/bluez/l2cap_sockets.h"

namespace merriphonic {

// L2CAP LE credit-based channels through the kernel's Bluetooth sockets: SOCK_SEQPACKET,
// bound to the adapter with an LE address type, BT_SECURITY_LOW unless encryption is asked
// for, and a large receive MTU set before listening or connecting.
class KernelL2capSockets final : public L2capSockets {
public:
    // The receive MTU asked for (the largest an LE channel allows).
    static constexpr uint16_t receiveMtu = 65535;
    // SO_SNDBUF of an accepted channel: about one song chunk once the kernel has counted each
    // of its packets with their bookkeeping (a 2 KiB chunk took 16 to 32 KiB of it in the test VM).
    static constexpr int sendBufferBytes = 16384;

    Result<L2capListeningSocket, RadioError> listen(const LeAddress& adapter,
                                                    bool encrypted) override;
    L2capAcceptResult accept(int listeningFd) override;
    Result<int, RadioError> connect(const LeAddress& adapter, const LeAddress& peer,
                                    uint16_t psm) override;
    Result<L2capChannelSocket, RadioError> finishConnect(int fd) override;
};

} // namespace merriphonic
