#include "platform/local/local_rendezvous.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/files.h"
#include "platform/unique_fd.h"

namespace merriphonic {

namespace {

// Far above any real record; a larger file is not one of ours.
constexpr std::streamsize maxRecordSize = 1 << 20;

std::string describe(const std::filesystem::path& path, int error) {
    return path.string() + ": " + errnoText(error);
}

// Makes (if needed) a folder that only this user may use, refusing one that someone else
// owns or that is not a plain folder.
Result<Done, std::string> makePrivateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return describe(path, errno);
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return describe(path, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return path.string() + ": not a folder";
    }
    if (info.st_uid != ::geteuid()) {
        return path.string() + ": owned by another user";
    }
    if ((info.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0) {
        return describe(path, errno);
    }
    if (::access(path.c_str(), R_OK | W_OK | X_OK) != 0) {
        return describe(path, errno);
    }
    return Done{};
}

std::filesystem::path fallbackSocketFolder() {
    return std::filesystem::path("/tmp") / ("merriphonic-" + std::to_string(::geteuid()));
}

bool fitsSocketAddress(const std::filesystem::path& path) {
    return path.native().size() < sizeof(sockaddr_un::sun_path);
}

} // namespace

LocalRendezvous::LocalRendezvous(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::optional<std::filesystem::path> LocalRendezvous::defaultFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') {
        return std::nullopt;
    }
    std::filesystem::path base(runtime);
    if (!base.is_absolute()) {
        return std::nullopt;
    }
    return base / folderName;
}

Result<LocalRendezvous, std::string>
LocalRendezvous::open(const std::optional<std::filesystem::path>& folder) {
    const auto chosen = folder ? folder : defaultFolder();
    if (!chosen) {
        return std::string("XDG_RUNTIME_DIR is not set to an absolute path");
    }
    LocalRendezvous rendezvous(*chosen);
    if (Result<Done, std::string> prepared = rendezvous.prepare(); !prepared) {
        return prepared.error();
    }
    return rendezvous;
}

Result<Done, std::string> LocalRendezvous::prepare() const {
    return makePrivateFolder(folder_);
}

std::filesystem::path LocalRendezvous::recordPath(const std::string& instanceId) const {
    return folder_ / (instanceId + recordSuffix);
}

Result<Done, std::string> LocalRendezvous::write(const LocalRecord& record) const {
    const std::filesystem::path target = recordPath(record.instanceId);
    // A dot name without the record suffix: readers never take a half-written file.
    const std::filesystem::path temporary = folder_ / ("." + record.instanceId + ".tmp");
    const Bytes bytes = record.toJson();
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) {
            const int error = errno;
            // The folder was removed under us: make it again once.
            if (error == ENOENT && attempt == 0 && prepare()) {
                continue;
            }
            return describe(temporary, error);
        }
        const std::error_code writeError = writeAll(fd.get(), bytes.data(), bytes.size());
        fd.close();
        if (writeError) {
            ::unlink(temporary.c_str());
            return describe(temporary, writeError.value());
        }
        if (::rename(temporary.c_str(), target.c_str()) != 0) {
            const int error = errno;
            ::unlink(temporary.c_str());
            return describe(target, error);
        }
        return Done{};
    }
    return describe(temporary, ENOENT);
}

void LocalRendezvous::remove(const std::string& instanceId) const {
    ::unlink(recordPath(instanceId).c_str());
}

std::optional<LocalRecord> LocalRendezvous::read(const std::filesystem::path& path) const {
    // Records are replaced by renaming, so an open file is one whole record.
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return std::nullopt;
    }
    const std::streamsize size = file.tellg();
    if (size <= 0 || size > maxRecordSize) {
        return std::nullopt;
    }
    file.seekg(0);
    Bytes bytes(static_cast<size_t>(size));
    if (!file.read(reinterpret_cast<char*>(bytes.data()), size)) {
        return std::nullopt;
    }
    auto record = LocalRecord::fromJson(bytes);
    // A record names the file it lives in; anything else is not to be trusted.
    if (!record || path.filename() != record->instanceId + recordSuffix) {
        return std::nullopt;
    }
    return record;
}

std::optional<LocalRecord> LocalRendezvous::liveRecord(const std::string& instanceId) const {
    auto record = read(recordPath(instanceId));
    if (!record || !isLive(*record)) {
        return std::nullopt;
    }
    return record;
}

std::vector<LocalRecord> LocalRendezvous::liveRecords() const {
    std::vector<LocalRecord> records;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".") || !name.ends_with(recordSuffix)) {
            continue;
        }
        auto record = read(entry.path());
        if (!record) {
            continue;
        }
        if (isLive(*record)) {
            records.push_back(std::move(*record));
        } else {
            removeStale(entry.path(), *record);
        }
    }
    std::sort(records.begin(), records.end(),
              [](const auto& a, const auto& b) { return a.instanceId < b.instanceId; });
    return records;
}

void LocalRendezvous::removeStale(const std::filesystem::path& path,
                                  const LocalRecord& record) const {
    ::unlink(path.c_str());
    // Only sockets in the places this radio puts them: a record cannot make us delete files
    // elsewhere.
    for (const auto& channel : record.channels) {
        const std::filesystem::path socket(channel.socketPath);
        if (socket.parent_path() == folder_ || socket.parent_path() == fallbackSocketFolder()) {
            ::unlink(socket.c_str());
        }
    }
}

Result<std::filesystem::path, std::string>
LocalRendezvous::socketPath(const std::string& name) const {
    std::filesystem::path path = folder_ / name;
    if (fitsSocketAddress(path)) {
        return path;
    }
    const std::filesystem::path fallback = fallbackSocketFolder();
    if (Result<Done, std::string> made = makePrivateFolder(fallback); !made) {
        return made.error();
    }
    path = fallback / name;
    if (!fitsSocketAddress(path)) {
        return path.string() + ": path too long for a socket";
    }
    return path;
}

std::optional<uint64_t> LocalRendezvous::processStart(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file) {
        return std::nullopt;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    // The command name (field 2) may hold spaces and parentheses: fields resume after the
    // last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    fields >> state;
    if (state.empty() || state == "Z" || state == "X" || state == "x") {
        return std::nullopt;
    }
    // Fields 4 to 21 lie between the state and the start time (field 22).
    std::string skipped;
    for (int field = 4; field < 22; ++field) {
        fields >> skipped;
    }
    uint64_t start = 0;
    if (!(fields >> start)) {
        return std::nullopt;
    }
    return start;
}

bool LocalRendezvous::isLive(const LocalRecord& record) {
    return processStart(static_cast<pid_t>(record.pid)) == record.processStart;
}

} // namespace merriphonic
