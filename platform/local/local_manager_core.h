#pragma once

#include <optional>
#include <string>

#include "platform/local/local_radio_options.h"
#include "platform/local/local_rendezvous.h"
#include "platform/log.h"
#include "platform/radio.h"
#include "platform/run_loop.h"

namespace merriphonic {

// What the cores of both same-machine managers stand on: the loop their channels' streams run
// on, the log, the instance identifier that names them to the other side, and the rendezvous
// folder; the radio is on while the folder is usable. Main loop's thread only.
class LocalManagerCore {
public:
    [[nodiscard]] const std::string& instanceId() const { return instanceId_; }

protected:
    explicit LocalManagerCore(const LocalRadioOptions& options);

    // What an operation answers while the rendezvous folder is unusable.
    [[nodiscard]] std::string unavailableText() const;

    RunLoop& streams_;
    Log log_;
    const std::string instanceId_;
    std::optional<LocalRendezvous> rendezvous_;
    std::string unavailableReason_;
    RadioState state_ = RadioState::unsupported;
};

} // namespace merriphonic
