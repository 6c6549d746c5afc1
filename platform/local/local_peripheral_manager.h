#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/local/local_radio_options.h"
#include "platform/radio.h"
#include "platform/shared_radio_managers.h"

namespace merriphonic {

// The host role of the same-machine radio. A published channel is a listening Unix stream
// socket with a channel number (PSM) from the dynamic range 0x0080-0x00FF not used by another
// live host; services, advertisement and sockets are shown to the other processes as this
// manager's record in the rendezvous folder, written on the first change and kept, updated,
// until the manager is destroyed (a speaker's link lasts as long as the record).
//
// A speaker names itself with a hello line (LocalHello) before any framed bytes; the channel
// is handed over with that name as its peer identifier once the line is in, or reported as
// failed when the line is malformed or does not come within five seconds.
//
// State: on when the rendezvous folder is usable, else unsupported. Operations while
// unsupported are answered with an error.
class LocalPeripheralManager final : public SharedPeripheralManager {
public:
    static constexpr uint16_t firstPsm = 0x0080;
    static constexpr uint16_t lastPsm = 0x00FF;

    LocalPeripheralManager(RunLoop& main, std::weak_ptr<PeripheralManagerDelegate> delegate,
                           const LocalRadioOptions& options = {});
    ~LocalPeripheralManager() override;
    LocalPeripheralManager(const LocalPeripheralManager&) = delete;
    LocalPeripheralManager& operator=(const LocalPeripheralManager&) = delete;

    // This host's identifier, as every speaker sees it (its record's name).
    [[nodiscard]] const std::string& instanceId() const;
};

} // namespace merriphonic
