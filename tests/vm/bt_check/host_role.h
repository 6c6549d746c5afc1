#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/message.h"
#include "platform/device_context.h"
#include "platform/run_loop.h"
#include "tests/vm/bt_check/bluez_probe.h"
#include "tests/vm/bt_check/check_log.h"
#include "tests/vm/bt_check/checked_l2cap_sockets.h"
#include "tests/vm/bt_check/track_receiver.h"
#include "transport/connection.h"
#include "transport/host_peripheral.h"

namespace merriphonic {

// The host process of the Bluetooth check (see CheckPlan). Runs the plan's parties one after the
// other on a HostPeripheral, takes every channel into a Connection that answers PINGs by
// itself, answers HELLO with WELCOME and each TRACK_DONE with a digest report. Once the track is
// reported it ends party 1 as a host does (BYE, peripheral stopped) and drops the link of
// party 2, then stops that party when its channel has ended.
class HostRole : public std::enable_shared_from_this<HostRole> {
    struct Private {};

public:
    // Where the PSM of each party is written (psm-<n>), for the speaker to compare with
    // the one it reads over GATT.
    // The sockets are the radio's; they outlive the role.
    static std::shared_ptr<HostRole> create(DeviceContext& context, const CheckLog& log,
                                            CheckedL2capSockets& sockets, BluezProbe probe,
                                            std::filesystem::path results);
    HostRole(Private, DeviceContext& context, const CheckLog& log, CheckedL2capSockets& sockets,
             BluezProbe probe, std::filesystem::path results);

    // The exit status: 0 when every party ran as planned.
    std::function<void(int)> onFinished;

    void start();

private:
    void startParty(int party);
    void phaseChanged(const HostPeripheral::Phase& phase);
    void accept(const std::shared_ptr<L2capChannel>& channel);
    void handle(const std::shared_ptr<Connection>& link, const Message& message, int64_t atNs);
    void linkClosed(const std::string& id, const std::string& reason);
    void dropLinks();
    void endParty();
    void checkWithdrawn(int attempt);
    void fail(const std::string& why);
    void finish(int status);

    DeviceContext& context_;
    const CheckLog& log_;
    CheckedL2capSockets& sockets_;
    BluezProbe probe_;
    std::filesystem::path results_;
    std::shared_ptr<HostPeripheral> peripheral_;
    std::map<std::string, std::shared_ptr<Connection>> links_;
    std::map<std::string, TrackReceiver> receivers_;
    int party_ = -1;
    bool ending_ = false;
    bool droppingLinks_ = false;
    bool finished_ = false;
    ScopedTimer deadline_;
    ScopedTimer pause_;
};

} // namespace merriphonic
