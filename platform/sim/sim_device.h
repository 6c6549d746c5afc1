#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/device_context.h"
#include "platform/log.h"
#include "platform/sim/capture_log_sink.h"
#include "platform/sim/inline_background_work.h"
#include "platform/sim/memory_prefs_store.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_run_loop.h"

namespace merriphonic {

class SimWorld;

struct SimDeviceConfig {
    std::string name = {}; // "host", "spk1", ...; names the loops ("spk1.main") and log echo
    int64_t clockOffsetNs = 0;
    double clockSkewPpm = 0.0;
    // Shared to keep preferences across a simulated restart; a fresh store when empty.
    std::shared_ptr<MemoryPrefsStore> prefs = {};
    // Where the data, cache and temp folders live. When empty, a fresh folder is made under
    // the system's temporary directory and removed with the device; a given folder is kept.
    std::filesystem::path folderRoot = {};
};

// One simulated computer: its clock, main and stream loops (timers on the device clock),
// inline background work, a capturing log, in-memory preferences and its own folders, all
// bundled as the DeviceContext that the code under test receives. The world must outlive it.
class SimDevice {
public:
    SimDevice(SimWorld& world, const SimDeviceConfig& config);
    SimDevice(SimWorld& world, std::string name);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    [[nodiscard]] DeviceContext& context() { return context_; }
    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] SimWorld& world() const { return world_; }
    [[nodiscard]] SimClock& clock() { return clock_; }
    [[nodiscard]] SimRunLoop& main() { return main_; }
    [[nodiscard]] SimRunLoop& streams() { return streams_; }
    [[nodiscard]] InlineBackgroundWork& background() { return background_; }
    [[nodiscard]] CaptureLogSink& logSink() { return *logSink_; }
    [[nodiscard]] Log& log() { return log_; }
    [[nodiscard]] MemoryPrefsStore& prefs() { return *prefs_; }
    [[nodiscard]] const std::shared_ptr<MemoryPrefsStore>& sharedPrefs() const { return prefs_; }
    [[nodiscard]] const DeviceFolders& folders() const { return context_.folders; }

private:
    struct Folders {
        DeviceFolders paths;
        std::filesystem::path ownedRoot; // removed on destruction; empty when not ours
    };
    static Folders makeFolders(const SimDeviceConfig& config);

    SimWorld& world_;
    std::string name_;
    SimClock clock_;
    SimRunLoop main_;
    SimRunLoop streams_;
    InlineBackgroundWork background_;
    std::shared_ptr<CaptureLogSink> logSink_;
    Log log_;
    std::shared_ptr<MemoryPrefsStore> prefs_;
    Folders folders_;
    DeviceContext context_;
};

} // namespace merriphonic
