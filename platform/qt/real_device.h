#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/device_context.h"
#include "platform/log.h"
#include "platform/qt/qsettings_prefs_store.h"
#include "platform/qt/qt_run_loop.h"
#include "platform/qt/system_clock.h"
#include "platform/qt/thread_pool_background_work.h"

namespace merriphonic {

struct RealDeviceOptions {
    // Default: the user's store (~/.config/Merriphonic/Merriphonic.conf).
    std::optional<std::filesystem::path> prefsFile;
    // Default: RealDevice::standardFolders().
    std::optional<DeviceFolders> folders;
    // Default: a SpdlogLogSink (stderr and the journal, level from MERRIPHONIC_LOG).
    std::shared_ptr<LogSink> logSink;
    // Sound output and media tools, owned by the caller and outliving the device; absent when
    // not given.
    AudioOutputFactory* audio = nullptr;
    MediaToolkit* media = nullptr;
};

// The real device of the app: monotonic clock, the Qt main loop of the thread creating it
// (which must run a QCoreApplication or QGuiApplication event loop), the shared stream thread,
// a worker pool, spdlog logging, QSettings preferences and the XDG folders. Create and destroy
// it on the main thread; it outlives every object given its context.
class RealDevice {
public:
    RealDevice();
    explicit RealDevice(RealDeviceOptions options);
    ~RealDevice();
    RealDevice(const RealDevice&) = delete;
    RealDevice& operator=(const RealDevice&) = delete;

    [[nodiscard]] DeviceContext& context() { return context_; }
    [[nodiscard]] QtRunLoop& mainLoop() { return main_; }

    // data: the app's folder in the XDG data folder (~/.local/share/Merriphonic), cache: its
    // folder in the XDG cache folder (~/.cache/Merriphonic), temp: a fresh folder of this process
    // under the system's temporary folder, removed with the device. The folders are created.
    // Gives the application its organisation and name ("Merriphonic") if it has none yet.
    static DeviceFolders standardFolders();

private:
    // The loops come after what their pending work may use: destroying a loop destroys the
    // tasks still queued on it (a connection's close report, say), and those may log.
    SystemClock clock_;
    Log log_;
    QSettingsPrefsStore prefs_;
    DeviceFolders folders_;
    bool ownsTemp_;
    QtRunLoop main_;
    ThreadPoolBackgroundWork background_;
    DeviceContext context_;
};

} // namespace merriphonic
