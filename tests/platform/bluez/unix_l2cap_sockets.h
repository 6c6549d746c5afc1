#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <vector>

#include "platform/bluez/l2cap_sockets.h"

namespace merriphonic::bluez_test {

// L2CAP channels as Unix SOCK_SEQPACKET sockets in a folder: a published PSM is a listening
// socket named after it, a connect reaches it there. What was asked is recorded; the MTUs
// are fixed.
class UnixL2capSockets final : public L2capSockets {
public:
    explicit UnixL2capSockets(std::filesystem::path folder) : folder_(std::move(folder)) {}

    struct Connect {
        LeAddress adapter;
        LeAddress peer;
        uint16_t psm = 0;
    };

    size_t sendMtu = 251;
    size_t receiveMtu = 65535;
    std::vector<LeAddress> listens;
    // So many of the next accepted channels are lost as if their peer had left at once.
    int lostAccepts = 0;
    std::vector<Connect> connects;

    Result<L2capListeningSocket, RadioError> listen(const LeAddress& adapter,
                                                    bool encrypted) override;
    L2capAcceptResult accept(int listeningFd) override;
    Result<int, RadioError> connect(const LeAddress& adapter, const LeAddress& peer,
                                    uint16_t psm) override;
    Result<L2capChannelSocket, RadioError> finishConnect(int fd) override;

private:
    [[nodiscard]] std::filesystem::path socketPath(uint16_t psm) const;

    std::filesystem::path folder_;
    uint16_t nextPsm_ = 0x80;
    std::map<int, uint16_t> psmOfListener_;
    // Who connected to each PSM, oldest first: what an accept there reports as the peer.
    std::map<uint16_t, std::deque<std::string>> callers_;
};

} // namespace merriphonic::bluez_test
