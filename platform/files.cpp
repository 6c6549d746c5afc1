#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/unique_fd.h"

namespace merriphonic {

namespace fs = std::filesystem;

namespace {

// Writes until every byte is taken: at the descriptor's offset, or from the one given.
std::error_code writeEvery(int fd, const uint8_t* data, size_t size,
                           std::optional<int64_t> offset) {
    size_t written = 0;
    while (written < size) {
        const ssize_t put =
            offset ? ::pwrite(fd, data + written, size - written,
                              static_cast<off_t>(*offset) + static_cast<off_t>(written))
                   : ::write(fd, data + written, size - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return {put < 0 ? errno : ENOSPC, std::generic_category()};
        }
        written += static_cast<size_t>(put);
    }
    return {};
}

} // namespace

std::string errnoText(int code) {
    return std::error_code(code < 0 ? -code : code, std::generic_category()).message();
}

std::error_code readWhole(const fs::path& file, Bytes& out) {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return {errno, std::generic_category()};
    }
    uint8_t buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {errno, std::generic_category()};
        }
        if (got == 0) {
            return {};
        }
        out.insert(out.end(), buffer, buffer + got);
    }
}

std::error_code writeAll(int fd, const uint8_t* data, size_t size) {
    return writeEvery(fd, data, size, std::nullopt);
}

std::error_code writeAllAt(int fd, const uint8_t* data, size_t size, int64_t offset) {
    return writeEvery(fd, data, size, offset);
}

namespace {

Result<Done, std::string> syncOpened(const fs::path& path, int flags) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags));
    if (!fd) {
        return errnoText(errno);
    }
    if (::fsync(fd.get()) != 0) {
        return errnoText(errno);
    }
    return Done{};
}

} // namespace

Result<Done, std::string> syncFolder(const fs::path& folder) {
    return syncOpened(folder, O_DIRECTORY);
}

Result<Done, std::string> syncFile(const fs::path& file) {
    if (Result<Done, std::string> synced = syncOpened(file, 0); !synced) {
        return synced;
    }
    return syncFolder(file.parent_path());
}

Result<Done, std::string> writeAtomically(const fs::path& target, const Bytes& data) {
    std::string temporary = (target.parent_path() / (target.filename().string() +
                                                     std::string(atomicTemporaryInfix) + "XXXXXX"))
                                .string();
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        return errnoText(errno);
    }
    const auto fail = [&](int code) {
        fd.close();
        ::unlink(temporary.c_str());
        return errnoText(code);
    };
    if (const std::error_code error = writeAll(fd.get(), data.data(), data.size())) {
        return fail(error.value());
    }
    if (::fsync(fd.get()) != 0) {
        return fail(errno);
    }
    if (const int code = fd.close(); code != 0) {
        return fail(code);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return fail(errno);
    }
    // Make the rename itself durable; the new content is in place either way.
    (void)syncFolder(target.parent_path());
    return Done{};
}

void removeQuietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

std::filesystem::path makeTemporaryFolder(const std::filesystem::path& prefix) {
    std::string pattern = prefix.string() + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::filesystem::filesystem_error("cannot make a temporary folder", prefix,
                                                std::error_code(errno, std::generic_category()));
    }
    return pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace merriphonic
