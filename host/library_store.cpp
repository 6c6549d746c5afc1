#include "host/library_store.h"

#include <set>
#include <system_error>
#include <utility>

#include "core/bytes.h"
#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/uuid.h"
#include "host/library_files.h"
#include "platform/files.h"

namespace merriphonic {

namespace fs = std::filesystem;
using library_files::copyMarker;
using library_files::transcodedSuffix;

namespace {

constexpr int maxUnreadableCopies = 1000;
constexpr size_t idLength = 36;

} // namespace

std::shared_ptr<LibraryStore> LibraryStore::create(DeviceContext& context) {
    auto store = std::make_shared<LibraryStore>(context);
    store->init();
    return store;
}

LibraryStore::LibraryStore(DeviceContext& context) : context_(context) {}

void LibraryStore::init() {
    if (initialised_) {
        return;
    }
    initialised_ = true;

    constexpr std::string_view libraryFolder = "library";
    if (context_.folders.data.empty()) {
        // A device that keeps no data: the library lasts as long as its scratch space.
        fs::path base = context_.folders.temp;
        if (base.empty()) {
            std::error_code noTemp;
            base = fs::temp_directory_path(noTemp);
            if (noTemp) {
                base = "/tmp";
            }
            base /= "Merriphonic";
        }
        folder_ = base / libraryFolder;
        std::error_code ignored;
        fs::create_directories(folder_, ignored);
    } else {
        folder_ = context_.folders.data / libraryFolder;
        std::error_code error;
        fs::create_directories(folder_, error);
        if (error) {
            // Not a reason to move elsewhere: scratch space would lose every song at reboot.
            context_.log.error(LogCategory::app, "library folder unavailable: {}: {}",
                               folder_.string(), error.message());
            folderError_ =
                "Can't open the music library folder " + folder_.string() + ": " + error.message();
        }
    }
    indexPath_ = folder_ / indexName;
    if (folderError_) {
        return;
    }

    load();

    std::vector<std::string> interrupted;
    for (const LibraryTrack& entry : tracks.get()) {
        if (entry.state == LibraryTrack::State::preparing) {
            interrupted.push_back(entry.id);
        }
    }
    for (const std::string& id : interrupted) {
        prepare(id);
    }
}

void LibraryStore::load() {
    Bytes data;
    if (const std::error_code error = readWhole(indexPath_, data)) {
        // A missing index is a new library. One that exists but can't be read is still the
        // user's list: keep it before anything replaces it.
        std::error_code ignored;
        keepIndexBeforeSave_ = fs::is_regular_file(indexPath_, ignored);
        tracks.set({});
        return;
    }
    std::optional<std::string> problem;
    try {
        tracks.set(LibraryTrack::decodeList(JsonParser::parse(ByteView(data))));
    } catch (const JsonError& decodeError) {
        problem = decodeError.description();
    } catch (const LibraryTrack::DecodeError& decodeError) {
        problem = decodeError.what();
    }
    if (!problem) {
        sweepStrayFiles();
        return;
    }
    context_.log.error(LogCategory::app, "library index unreadable: {}", *problem);
    keepIndexBeforeSave_ = true;
    tracks.set({});
}

void LibraryStore::sweepStrayFiles() {
    std::set<std::string> listed;
    for (const LibraryTrack& entry : tracks.get()) {
        listed.insert(entry.sourceFile);
        if (entry.wireFile) {
            listed.insert(*entry.wireFile);
        }
    }
    const std::string temporaryPrefix = std::string(indexName) + std::string(atomicTemporaryInfix);
    std::error_code error;
    std::vector<fs::path> temporaries;
    std::vector<fs::path> stray;
    bool keptIndex = false;
    for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(temporaryPrefix, 0) == 0) {
            temporaries.push_back(it->path());
            continue;
        }
        if (name.rfind(unreadableName, 0) == 0) {
            keptIndex = true;
            continue;
        }
        if (name.size() <= idLength || !canonicalUuid(name.substr(0, idLength))) {
            continue;
        }
        const std::string_view rest = std::string_view(name).substr(idLength);
        const bool ours = rest == copyMarker || rest.rfind(std::string(copyMarker) + ".", 0) == 0 ||
                          rest == transcodedSuffix;
        if (ours && listed.count(name) == 0) {
            stray.push_back(it->path());
        }
    }
    for (const fs::path& file : temporaries) {
        removeQuietly(file);
    }
    // A kept unreadable index still lists the user's songs, which the fresh index doesn't: the
    // files it names look stray but are all that is left of them.
    if (keptIndex) {
        return;
    }
    for (const fs::path& file : stray) {
        removeQuietly(file);
    }
}

Result<Done, std::string> LibraryStore::keepUnreadableIndex() {
    for (int n = 1; n <= maxUnreadableCopies; ++n) {
        std::string name(unreadableName);
        if (n > 1) {
            name += "." + std::to_string(n);
        }
        const fs::path copy = folder_ / name;
        // A hard link keeps the bytes without copying them and never replaces an older copy.
        std::error_code linkError;
        fs::create_hard_link(indexPath_, copy, linkError);
        if (!linkError) {
            return Done{};
        }
        if (linkError == std::errc::file_exists) {
            continue;
        }
        std::error_code ignored;
        if (!fs::exists(indexPath_, ignored)) {
            return Done{}; // nothing left to keep
        }
        std::error_code copyError;
        fs::copy_file(indexPath_, copy, fs::copy_options::none, copyError);
        if (!copyError) {
            return Done{};
        }
        if (copyError == std::errc::file_exists) {
            continue;
        }
        removeQuietly(copy);
        return copyError.message();
    }
    return std::string("too many kept copies of an unreadable index");
}

bool LibraryStore::save() {
    if (keepIndexBeforeSave_) {
        if (Result<Done, std::string> kept = keepUnreadableIndex(); !kept) {
            context_.log.error(LogCategory::app, "library save failed: {}", kept.error());
            return false;
        }
        keepIndexBeforeSave_ = false;
    }
    const Bytes data = JsonWriter::data(LibraryTrack::encodeList(tracks.get()));
    if (Result<Done, std::string> written = writeAtomically(indexPath_, data); !written) {
        context_.log.error(LogCategory::app, "library save failed: {}", written.error());
        return false;
    }
    return true;
}

void LibraryStore::remove(std::string_view id) {
    const std::optional<std::string> canonical = canonicalUuid(id);
    if (!canonical) {
        return;
    }
    const std::optional<size_t> at = position(*canonical);
    if (!at) {
        return;
    }
    const LibraryTrack entry = tracks.get()[*at];
    tracks.modify([&](std::vector<LibraryTrack>& list) {
        std::erase_if(list, [&](const LibraryTrack& track) { return track.id == *canonical; });
    });
    // Files go only once the index no longer lists them; if it can't be saved, the old index
    // still does, and its files must stay. Files of an entry dropped later are swept at start.
    if (!save()) {
        return;
    }
    removeQuietly(file(entry.sourceFile));
    if (entry.wireFile) {
        removeQuietly(file(*entry.wireFile));
    }
}

void LibraryStore::markFailed(std::string_view id, const std::string& description) {
    const std::optional<std::string> canonical = canonicalUuid(id);
    if (!canonical || !position(*canonical)) {
        return;
    }
    tracks.modify([&](std::vector<LibraryTrack>& list) {
        for (LibraryTrack& slot : list) {
            if (slot.id == *canonical) {
                slot.state = LibraryTrack::State::failed;
                slot.error = description;
                context_.log.error(LogCategory::transfer, "library: {} failed: {}", slot.title,
                                   description);
                break;
            }
        }
    });
    save();
}

std::optional<LibraryTrack> LibraryStore::track(const std::optional<std::string>& id) const {
    if (!id) {
        return std::nullopt;
    }
    const std::optional<std::string> canonical = canonicalUuid(*id);
    if (!canonical) {
        return std::nullopt;
    }
    const std::optional<size_t> at = position(*canonical);
    if (!at) {
        return std::nullopt;
    }
    return tracks.get()[*at];
}

std::optional<LibraryTrack> LibraryStore::trackForKey(std::string_view key) const {
    for (const LibraryTrack& entry : tracks.get()) {
        if (entry.trackKey == key && entry.state == LibraryTrack::State::ready && entry.wireFile &&
            entry.size) {
            return entry;
        }
    }
    return std::nullopt;
}

std::optional<size_t> LibraryStore::position(const std::string& id) const {
    const std::vector<LibraryTrack>& list = tracks.get();
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].id == id) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace merriphonic
