#include "platform/sim/sim_device.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/sim/sim_world.h"

namespace merriphonic {

namespace {

// Keeps a device name usable inside a folder name.
std::string folderSafe(const std::string& name) {
    std::string safe;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        safe.push_back(plain ? c : '_');
    }
    return safe.empty() ? std::string("device") : safe;
}

} // namespace

SimDevice::Folders SimDevice::makeFolders(const SimDeviceConfig& config) {
    Folders folders;
    std::filesystem::path root = config.folderRoot;
    if (root.empty()) {
        root = makeTemporaryFolder(std::filesystem::temp_directory_path() /
                                   ("merriphonic-sim-" + folderSafe(config.name) + "-"));
        folders.ownedRoot = root;
    }
    folders.paths = DeviceFolders{root / "data", root / "cache", root / "temp"};
    try {
        std::filesystem::create_directories(folders.paths.data);
        std::filesystem::create_directories(folders.paths.cache);
        std::filesystem::create_directories(folders.paths.temp);
    } catch (...) {
        if (!folders.ownedRoot.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folders.ownedRoot, ignored);
        }
        throw;
    }
    return folders;
}

SimDevice::SimDevice(SimWorld& world, const SimDeviceConfig& config)
    : world_(world), name_(config.name), clock_(world, config.clockOffsetNs, config.clockSkewPpm),
      main_(world, name_ + ".main", &clock_), streams_(world, name_ + ".streams", &clock_),
      background_(main_),
      logSink_(std::make_shared<CaptureLogSink>(name_, [&world] { return world.nowNs(); })),
      log_(logSink_), prefs_(config.prefs ? config.prefs : std::make_shared<MemoryPrefsStore>()),
      folders_(makeFolders(config)), context_{clock_, main_,   streams_,      background_,
                                              log_,   *prefs_, folders_.paths} {}

SimDevice::SimDevice(SimWorld& world, std::string name)
    : SimDevice(world, SimDeviceConfig{std::move(name), 0, 0.0, nullptr, {}}) {}

SimDevice::~SimDevice() {
    if (!folders_.ownedRoot.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folders_.ownedRoot, ignored);
    }
}

} // namespace merriphonic
