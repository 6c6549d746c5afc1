#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/message.h"
#include "core/time_units.h"
#include "platform/bluez/l2cap_sockets.h"
#include "platform/device_context.h"
#include "platform/run_loop.h"

namespace merriphonic {

// What the two processes of the Bluetooth check agree on without talking: two parties, one
// after the other. In both the speaker finds the party, joins it and sends it a few TRACK_CHUNK
// frames and a TRACK_DONE, which the host compares with the pattern.
// - Party 1 ends as the host ends a party: its BYE must reach the speaker, which then closes
//   the channel and drops its link as the app does; BlueZ must show no link. Its name is too
//   long for the advertisement and fills the 512-byte info record. The speaker's channel
//   starts with the least send buffer the kernel allows, too small for one frame.
// - Party 2 asks for a small receive MTU, so that every frame crosses in several SDUs, and
//   then the host drops the link from its side, as if the speaker had gone out of range: the
//   speaker must see the link's loss (onDisconnected) and the channel's end.
// After each party the host makes sure BlueZ holds no advertisement of ours.
namespace btcheck {

inline constexpr int partyCount = 2;
inline constexpr int chunkCount = 16;
// Less than a frame (just over 4 KiB) and no divisor of it.
inline constexpr uint16_t secondPartyReceiveMtu = 1000;
// Discovery on the emulated controllers can lag by a scan restart or two under load.
inline constexpr int64_t discoveryLimitNs = 90 * nsPerSecond;
// From the channel's opening to the end of the party, and from there to BlueZ's last link.
inline constexpr int64_t teardownLimitNs = 60 * nsPerSecond;
inline constexpr int64_t hostLimitNs = 600 * nsPerSecond;

std::string partyName(int party);
// Whether an advertised name announces the party: whole, or shortened to a beginning of it.
bool announces(std::string_view advertisedName, int party);
// The index-th frame the speaker sends; any lost, repeated or garbled SDU changes what arrives.
TrackChunk chunk(int index);

} // namespace btcheck

// The radio's L2CAP sockets, looked at on the way through: every channel socket must be what
// the radio promises (SOCK_SEQPACKET, LE addresses on both ends, LE flow control,
// BT_SECURITY_LOW, the MTUs the radio reports). Main loop only.
class CheckedL2capSockets final : public L2capSockets {
public:
    explicit CheckedL2capSockets(std::shared_ptr<L2capSockets> inner) : inner_(std::move(inner)) {}

    // For channels published from now on; 0 keeps the radio's own choice.
    void setListenReceiveMtu(uint16_t mtu) { listenReceiveMtu_ = mtu; }
    // For channels opened from now on; 0 keeps the radio's own choice.
    void setConnectSendBuffer(int bytes) { connectSendBuffer_ = bytes; }
    // The send MTU of the last channel, and the first fault found in any; empty if none.
    [[nodiscard]] size_t lastSendMtu() const { return lastSendMtu_; }
    [[nodiscard]] const std::string& fault() const { return fault_; }

    Result<L2capListeningSocket, RadioError> listen(const LeAddress& adapter,
                                                    bool encrypted) override;
    L2capAcceptResult accept(int listeningFd) override;
    Result<int, RadioError> connect(const LeAddress& adapter, const LeAddress& peer,
                                    uint16_t psm) override {
        return inner_->connect(adapter, peer, psm);
    }
    Result<L2capChannelSocket, RadioError> finishConnect(int fd) override;

private:
    void inspect(const L2capChannelSocket& channel);
    void fault(const std::string& text);

    std::shared_ptr<L2capSockets> inner_;
    uint16_t listenReceiveMtu_ = 0;
    int connectSendBuffer_ = 0;
    size_t lastSendMtu_ = 0;
    std::string fault_;
};

// BlueZ's own view of one adapter ("hci0") on the system bus, for what the radio does not show.
// Blocking calls, between steps.
class BluezProbe {
public:
    explicit BluezProbe(std::string adapter) : adapter_(std::move(adapter)) {}

    // LEAdvertisingManager1.ActiveInstances; nothing when BlueZ does not answer.
    [[nodiscard]] std::optional<int> activeAdvertisements() const;
    // The object paths of the adapter's connected devices.
    [[nodiscard]] std::optional<std::vector<std::string>> connectedDevices() const;
    // Asks BlueZ to disconnect every connected device, as a peer going out of range would.
    [[nodiscard]] size_t disconnectAll() const;

private:
    std::string adapter_;
};

struct RoleSetup {
    DeviceContext& context;
    CheckedL2capSockets& sockets;
    std::string adapter;
    // Shared by both processes: the host leaves each party's PSM there (psm-<n>).
    std::filesystem::path results;
    // What every discovery must report, when known.
    std::optional<int> expectedRssi;
};

// One process of the check; onFinished gets its exit status (0: every check passed).
class Role : public std::enable_shared_from_this<Role> {
public:
    explicit Role(RoleSetup setup) : setup_(std::move(setup)), probe_(setup_.adapter) {}
    Role(const Role&) = delete;
    Role& operator=(const Role&) = delete;
    Role(Role&&) = delete;
    Role& operator=(Role&&) = delete;

    std::function<void(int)> onFinished;
    virtual void start() = 0;

protected:
    ~Role() = default;

    // Progress on stdout, flushed at once so that both processes' lines interleave in order.
    template <typename... Args>
    void say(fmt::format_string<Args...> format, Args&&... args) const {
        fmt::print("party {}: {}\n", party_ + 1, fmt::format(format, std::forward<Args>(args)...));
        std::fflush(stdout);
    }
    // A callback that does nothing once the role is gone or finished.
    template <typename F>
    auto guard(F task) {
        return [weak = weak_from_this(), task = std::move(task)](auto&&... args) {
            if (const auto self = weak.lock(); self && !self->finished_) {
                task(std::forward<decltype(args)>(args)...);
            }
        };
    }
    void after(ScopedTimer& timer, int64_t delayNs, std::function<void()> task) {
        timer = setup_.context.main.after(delayNs, guard(std::move(task)));
    }
    void fail(const std::string& why) {
        say("FAILED: {}", why);
        finish(1);
    }
    void finish(int status) {
        if (finished_) {
            return;
        }
        finished_ = true;
        timer_.cancel();
        pause_.cancel();
        stopAll();
        say("{}", status == 0 ? "PASSED" : "exiting with status 1");
        if (onFinished) {
            setup_.context.main.post([callback = onFinished, status] { callback(status); });
        }
    }
    virtual void stopAll() = 0;

    RoleSetup setup_;
    BluezProbe probe_;
    int party_ = 0;
    bool finished_ = false;
    ScopedTimer timer_; // the current step's limit
    ScopedTimer pause_; // the next poll of BlueZ
};

std::shared_ptr<Role> makeHostRole(RoleSetup setup);
std::shared_ptr<Role> makeSpeakerRole(RoleSetup setup);

} // namespace merriphonic
