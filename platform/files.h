#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "core/bytes.h"
#include "core/result.h"

// Files on the local disk: whole reads and writes, flushing to disk, atomic replacement.
namespace merriphonic {

// An errno value in words; a negated one (as some libraries return it) reads the same.
std::string errnoText(int code);

// Reads the whole file, appending its bytes to out.
std::error_code readWhole(const std::filesystem::path& file, Bytes& out);

// Writes all the bytes to a descriptor, going on after interruptions; a write that takes
// nothing fails with ENOSPC.
std::error_code writeAll(int fd, const uint8_t* data, size_t size);
// The same at a place in the file, leaving the descriptor's offset where it is.
std::error_code writeAllAt(int fd, const uint8_t* data, size_t size, int64_t offset);

// Flushes a folder's entries (names made, renamed or removed in it) to disk.
Result<Done, std::string> syncFolder(const std::filesystem::path& folder);

// Flushes a file's content and the folder entry naming it to disk.
Result<Done, std::string> syncFile(const std::filesystem::path& file);

// What the temporary files of writeAtomically put between the target's name and a random
// suffix, so that an interrupted run's leftovers can be told apart.
inline constexpr std::string_view atomicTemporaryInfix = ".tmp-";

// Writes the whole file under a temporary name in the same folder, makes it durable, then
// renames it over the target, so the target is always either the old or the new content.
Result<Done, std::string> writeAtomically(const std::filesystem::path& target, const Bytes& data);

// Removes a file if it is there; a failure is of no consequence to the caller.
void removeQuietly(const std::filesystem::path& file);

// Makes a new folder, open to this user only, named prefix followed by six random characters.
// Throws std::filesystem::filesystem_error when it cannot.
std::filesystem::path makeTemporaryFolder(const std::filesystem::path& prefix);

// A folder from makeTemporaryFolder, removed with everything in it when this goes.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::filesystem::path& prefix)
        : path_(makeTemporaryFolder(prefix)) {}
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace merriphonic
