#pragma once

#include <memory>

#include "platform/device_context.h"
#include "platform/log.h"

namespace merriphonic {

struct DesktopDeviceOptions {
    // The lowest level logged (on stderr and to the journal) unless MERRIPHONIC_LOG says
    // otherwise.
    LogLevel logLevel = LogLevel::info;
};

// This computer as the app and the command line see it: the real device (Qt loops, the system
// clock, QSettings, the XDG folders, spdlog) with FFmpeg media, a sound output and a radio.
// The developer switches pick the last two: MERRIPHONIC_AUDIO=null the silent real-time
// output instead of PipeWire, MERRIPHONIC_RADIO=local the same-machine radio instead of BlueZ
// (whose adapter MERRIPHONIC_BT_ADAPTER may name). Made and destroyed on the main thread of a
// running Qt application.
class DesktopDevice {
public:
    static constexpr const char* radioVariable = "MERRIPHONIC_RADIO";

    explicit DesktopDevice(const DesktopDeviceOptions& options = {});
    ~DesktopDevice();
    DesktopDevice(const DesktopDevice&) = delete;
    DesktopDevice& operator=(const DesktopDevice&) = delete;

    // Its audio may be replaced by a wrapper of audioOutputs() before anything plays.
    [[nodiscard]] DeviceContext& context();
    // The sound outputs the switch picked.
    [[nodiscard]] AudioOutputFactory& audioOutputs();

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

} // namespace merriphonic
