#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "platform/local/local_record.h"

namespace merriphonic {

// The folder where the hosts of one user on this computer leave their records
// (<instance>.json, each replaced atomically) and, when the path is short enough, their
// listening sockets. Only the owning user may enter it (0700).
//
// A record is live while the process that wrote it runs (same pid, same start time, not a
// zombie). Connecting to a socket is not used as a liveness test: every probe would be a
// connection the host has to accept and turn away. Readers remove the stale records they meet
// along with their sockets.
class LocalRendezvous {
public:
    static constexpr const char* folderName = "merriphonic-local";
    static constexpr const char* recordSuffix = ".json";

    explicit LocalRendezvous(std::filesystem::path folder);

    // $XDG_RUNTIME_DIR/merriphonic-local; nothing when the variable is unset or not absolute.
    static std::optional<std::filesystem::path> defaultFolder();
    // The given folder, else the default one, prepared for use; else why it cannot be used.
    static Result<LocalRendezvous, std::string>
    open(const std::optional<std::filesystem::path>& folder);

    [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }

    // Creates the folder if needed and checks that it is a folder of this user that only this
    // user can use; else why not.
    [[nodiscard]] Result<Done, std::string> prepare() const;

    [[nodiscard]] std::filesystem::path recordPath(const std::string& instanceId) const;
    // Replaces the instance's record atomically.
    [[nodiscard]] Result<Done, std::string> write(const LocalRecord& record) const;
    void remove(const std::string& instanceId) const;

    // The record of one instance, when present and live.
    [[nodiscard]] std::optional<LocalRecord> liveRecord(const std::string& instanceId) const;
    // Every live record, ordered by instance; stale records met on the way are removed.
    [[nodiscard]] std::vector<LocalRecord> liveRecords() const;

    // Where a listening socket of this name goes: this folder, or, when that path would not
    // fit a Unix socket address, a private folder /tmp/merriphonic-<uid>; else why no usable
    // place exists.
    [[nodiscard]] Result<std::filesystem::path, std::string>
    socketPath(const std::string& name) const;

    // The start time of a running process, nothing when it is gone (or a zombie).
    static std::optional<uint64_t> processStart(pid_t pid);
    static bool isLive(const LocalRecord& record);

private:
    [[nodiscard]] std::optional<LocalRecord> read(const std::filesystem::path& path) const;
    void removeStale(const std::filesystem::path& path, const LocalRecord& record) const;

    std::filesystem::path folder_;
};

} // namespace merriphonic
