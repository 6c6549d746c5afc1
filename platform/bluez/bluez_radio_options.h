#pragma once

#include <QDBusConnection>

#include <memory>
#include <optional>
#include <string>

#include "platform/bluez/l2cap_sockets.h"
#include "platform/run_loop.h"

namespace merriphonic {

class Log;

// How the BlueZ radio reaches the outside world. BluezRadioFactory fills in what is left
// absent (see there); the managers are given complete options.
struct BluezRadioOptions {
    // The bus BlueZ is on.
    std::optional<QDBusConnection> bus;
    // The adapter to use ("hci1"); empty: the first powered one.
    std::optional<std::string> adapter;
    // The L2CAP channels.
    std::shared_ptr<L2capSockets> sockets;
    // The loop the channels' streams run on (a Qt event loop: the stream thread).
    RunLoop* streams = nullptr;
    // Where the radio's debug lines go; none when absent. Outlives the managers.
    const Log* log = nullptr;
};

} // namespace merriphonic
