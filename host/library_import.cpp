// The library's imports: picked files copied in, one after another off the main loop, each
// becoming an entry once its copy is whole on disk.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <utility>
#include <vector>

#include "core/uuid.h"
#include "host/library_files.h"
#include "host/library_store.h"
#include "platform/files.h"
#include "platform/unique_fd.h"

namespace merriphonic {

namespace fs = std::filesystem;

namespace {

// Copies a picked file to its place in the library and makes it durable, reporting progress
// on the way. Runs on a worker; the name is fresh, so whatever is there on failure is this
// copy's partial output and is removed.
Result<Done, std::string> copyIn(const fs::path& picked, const fs::path& copy,
                                 const std::function<void(int64_t)>& progress) {
    UniqueFd in(::open(picked.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        return errnoText(errno);
    }
    UniqueFd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!out) {
        return errnoText(errno);
    }
    std::optional<std::string> problem;
    std::vector<uint8_t> buffer(1 << 16);
    int64_t total = 0;
    int64_t reported = 0;
    while (!problem) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            problem = errnoText(errno);
            break;
        }
        if (got == 0) {
            break;
        }
        if (const std::error_code error =
                writeAll(out.get(), buffer.data(), static_cast<size_t>(got))) {
            problem = errnoText(error.value());
            break;
        }
        total += got;
        if (total - reported >= LibraryStore::importProgressBytes) {
            reported = total;
            progress(total);
        }
    }
    in.close();
    if (const int code = out.close(); code != 0 && !problem) {
        problem = errnoText(code);
    }
    // The index is about to list the copy, so it must be whole on disk first.
    if (!problem) {
        if (Result<Done, std::string> synced = syncFile(copy); !synced) {
            problem = synced.error();
        }
    }
    if (problem) {
        removeQuietly(copy);
        return *problem;
    }
    return Done{};
}

} // namespace

void LibraryStore::importFiles(const std::vector<fs::path>& files) {
    for (const fs::path& picked : files) {
        if (folderError_) {
            context_.log.error(LogCategory::transfer,
                               "import failed for {}: library folder unavailable",
                               picked.filename().string());
            continue;
        }
        importQueue_.push_back(picked);
        importing.modify([&](std::vector<PendingImport>& list) {
            list.push_back(PendingImport{picked.filename().string(), 0, fileSize(picked)});
        });
    }
    copyNext();
}

void LibraryStore::copyNext() {
    if (copying_ || importQueue_.empty()) {
        return;
    }
    copying_ = true;
    const fs::path picked = importQueue_.front();
    const std::string id = randomUuid();
    const fs::path copy = file(library_files::copyName(id, picked));
    RunLoop* main = &context_.main;
    std::weak_ptr<LibraryStore> weak = weak_from_this();
    context_.background.execute(importLabel, [main, weak, id, picked, copy] {
        const auto progress = [main, weak](int64_t copiedBytes) {
            main->post([weak, copiedBytes] {
                if (const std::shared_ptr<LibraryStore> self = weak.lock()) {
                    self->copyProgress(copiedBytes);
                }
            });
        };
        Result<Done, std::string> copiedIn = copyIn(picked, copy, progress);
        main->post([weak, id, picked, copiedIn = std::move(copiedIn)] {
            if (const std::shared_ptr<LibraryStore> self = weak.lock()) {
                self->copied(id, picked, copiedIn);
            }
        });
    });
}

void LibraryStore::copyProgress(int64_t copiedBytes) {
    if (importing->empty()) {
        return;
    }
    importing.modify([&](std::vector<PendingImport>& list) {
        list.front().copiedBytes = std::max(list.front().copiedBytes, copiedBytes);
    });
}

void LibraryStore::copied(const std::string& id, const fs::path& picked,
                          const Result<Done, std::string>& copiedIn) {
    copying_ = false;
    if (!importQueue_.empty()) {
        importQueue_.erase(importQueue_.begin());
    }
    if (!importing->empty()) {
        importing.modify([](std::vector<PendingImport>& list) { list.erase(list.begin()); });
    }
    if (!copiedIn) {
        context_.log.error(LogCategory::transfer, "import copy failed for {}: {}",
                           picked.filename().string(), copiedIn.error());
    } else {
        LibraryTrack entry;
        entry.id = id;
        entry.title = picked.stem().string();
        entry.sourceFile = library_files::copyName(id, picked);
        entry.state = LibraryTrack::State::preparing;
        tracks.modify([&](std::vector<LibraryTrack>& list) { list.push_back(std::move(entry)); });
        save();
        prepare(id);
    }
    copyNext();
}

} // namespace merriphonic
