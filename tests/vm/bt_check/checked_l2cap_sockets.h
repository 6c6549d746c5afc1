#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/bluez/l2cap_sockets.h"

namespace merriphonic {

// The radio's L2CAP sockets, looked at on the way through. Every channel socket must be what
// the radio promises: SOCK_SEQPACKET, an LE connection-oriented channel (LE address types on
// both ends, LE flow-control mode), BT_SECURITY_LOW, and the MTUs the radio reports. The
// listening side can ask for a smaller receive MTU, so that the peer has to split frames
// across several SDUs. Used on the main loop only, where the radio opens its channels.
class CheckedL2capSockets final : public L2capSockets {
public:
    struct Channel {
        std::string description;
        size_t sendMtu = 0;
        size_t receiveMtu = 0;
    };

    explicit CheckedL2capSockets(std::shared_ptr<L2capSockets> inner);

    // For channels published from now on; 0 keeps the radio's own choice.
    void setListenReceiveMtu(uint16_t mtu) { listenReceiveMtu_ = mtu; }

    // For channels opened from now on: their send buffer is set this small (the kernel keeps
    // its own least), too small for one track frame, which the channel's stream must then grow
    // for the frame to leave; 0 keeps the radio's own choice.
    void setConnectSendBuffer(int bytes) { connectSendBuffer_ = bytes; }

    // The last channel opened or accepted, and the first fault found in any; empty if none.
    [[nodiscard]] const std::optional<Channel>& lastChannel() const { return lastChannel_; }
    [[nodiscard]] const std::string& fault() const { return fault_; }

    Result<L2capListeningSocket, RadioError> listen(const LeAddress& adapter,
                                                    bool encrypted) override;
    L2capAcceptResult accept(int listeningFd) override;
    Result<int, RadioError> connect(const LeAddress& adapter, const LeAddress& peer,
                                    uint16_t psm) override;
    Result<L2capChannelSocket, RadioError> finishConnect(int fd) override;

private:
    void inspect(const L2capChannelSocket& channel, bool accepted);
    void fault(std::string text);

    std::shared_ptr<L2capSockets> inner_;
    uint16_t listenReceiveMtu_ = 0;
    int connectSendBuffer_ = 0;
    std::optional<Channel> lastChannel_;
    std::string fault_;
};

} // namespace merriphonic
