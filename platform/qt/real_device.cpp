#include "platform/qt/real_device.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QString>

#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/qt/spdlog_log_sink.h"
#include "platform/qt/stream_thread.h"

namespace merriphonic {

namespace {

std::filesystem::path writableLocation(QStandardPaths::StandardLocation location) {
    return QStandardPaths::writableLocation(location).toStdString();
}

constexpr std::string_view tempPrefix = "merriphonic-";

// A folder only this process uses: two instances on one machine must not share scratch files.
// Without a usable system temporary folder, scratch space goes below the cache.
std::filesystem::path makeTempFolder(const std::filesystem::path& cache) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (!error) {
        std::string pattern = (base / (std::string(tempPrefix) + "XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            return pattern;
        }
    }
    std::filesystem::path fallback = cache / "tmp";
    std::filesystem::create_directories(fallback, error);
    return fallback;
}

QSettingsPrefsStore makePrefs(const std::optional<std::filesystem::path>& file) {
    if (file) {
        return QSettingsPrefsStore(*file);
    }
    return {};
}

} // namespace

DeviceFolders RealDevice::standardFolders() {
    if (QCoreApplication::organizationName().isEmpty()) {
        QCoreApplication::setOrganizationName(
            QString::fromUtf8(QSettingsPrefsStore::organization.data(),
                              static_cast<qsizetype>(QSettingsPrefsStore::organization.size())));
        QCoreApplication::setApplicationName(
            QString::fromUtf8(QSettingsPrefsStore::application.data(),
                              static_cast<qsizetype>(QSettingsPrefsStore::application.size())));
    }
    // The app's own locations would name both the organisation and the application, the same
    // word twice: one folder of ours is enough.
    const std::filesystem::path own(QSettingsPrefsStore::application);
    DeviceFolders folders{writableLocation(QStandardPaths::GenericDataLocation) / own,
                          writableLocation(QStandardPaths::GenericCacheLocation) / own,
                          {}};
    std::error_code error;
    std::filesystem::create_directories(folders.data, error);
    std::filesystem::create_directories(folders.cache, error);
    folders.temp = makeTempFolder(folders.cache);
    return folders;
}

RealDevice::RealDevice() : RealDevice(RealDeviceOptions{}) {}

RealDevice::RealDevice(RealDeviceOptions options)
    : log_(options.logSink ? std::move(options.logSink) : std::make_shared<SpdlogLogSink>()),
      prefs_(makePrefs(options.prefsFile)),
      folders_(options.folders ? *options.folders : standardFolders()),
      // Only a folder made by makeTempFolder is removed: never a folder someone handed in.
      ownsTemp_(!options.folders && folders_.temp.filename().string().starts_with(tempPrefix)),
      background_(main_), context_{.clock = clock_,
                                   .main = main_,
                                   .streams = StreamThread::shared(),
                                   .background = background_,
                                   .log = log_,
                                   .prefs = prefs_,
                                   .folders = folders_,
                                   .audio = options.audio,
                                   .media = options.media} {}

RealDevice::~RealDevice() {
    if (ownsTemp_) {
        std::error_code error;
        std::filesystem::remove_all(folders_.temp, error);
    }
}

} // namespace merriphonic
