#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/local/local_radio_options.h"
#include "platform/radio.h"
#include "platform/shared_radio_managers.h"

namespace merriphonic {

// The speaker role of the same-machine radio. A scan reads the rendezvous folder when asked,
// whenever the folder changes and every 100 ms (a host advertising again and again), and
// reports every live record that advertises one of the wanted services, with a fixed signal
// strength. A peripheral's identifier is its host's instance identifier.
//
// Connecting succeeds when the host's record is live; the link then lasts until it is
// cancelled or the record goes (the host's manager or process is gone), which is checked on
// the same 100 ms beat and reported as a disconnection. Discovery and reads are answered from
// the record as it stands at the time. Opening a channel connects a Unix stream socket to the
// record's socket for that PSM and writes the hello line naming this manager.
//
// State: on when the rendezvous folder is usable, else unsupported.
class LocalCentralManager final : public SharedCentralManager {
public:
    static constexpr int rssi = -45;
    static constexpr int64_t rescanPeriodNs = 100'000'000;

    LocalCentralManager(RunLoop& main, std::weak_ptr<CentralManagerDelegate> delegate,
                        const LocalRadioOptions& options = {});
    ~LocalCentralManager() override;
    LocalCentralManager(const LocalCentralManager&) = delete;
    LocalCentralManager& operator=(const LocalCentralManager&) = delete;

    // This speaker's identifier, as hosts see it (the peer identifier of its channels).
    [[nodiscard]] const std::string& instanceId() const;
};

} // namespace merriphonic
