#include "host/library_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <set>
#include <system_error>
#include <utility>

#include "core/bytes.h"
#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/sync_protocol.h"
#include "core/uuid.h"
#include "host/transcoder.h"

namespace merriphonic {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view copyMarker = ".src";
constexpr std::string_view transcodedSuffix = ".wire.m4a";
constexpr std::string_view temporaryInfix = ".tmp-";
constexpr int maxUnreadableCopies = 1000;
constexpr size_t idLength = 36;

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The lower-cased extension of a file name, without the dot; empty when it has none.
std::string extensionOf(const fs::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty() && ext.front() == '.') {
        ext.erase(0, 1);
    }
    return lowerCase(std::move(ext));
}

// The extension of an imported copy: "X.src.mp3" gives "mp3"; "X.src" has none, since ".src"
// only marks the copy.
std::string copyExtension(const std::string& sourceFile) {
    if (endsWith(sourceFile, copyMarker)) {
        return {};
    }
    return extensionOf(sourceFile);
}

std::string errnoText(int code) {
    return std::error_code(code, std::generic_category()).message();
}

std::error_code readWhole(const fs::path& file, Bytes& out) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {errno, std::generic_category()};
    }
    uint8_t buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const std::error_code error(errno, std::generic_category());
            ::close(fd);
            return error;
        }
        if (got == 0) {
            break;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
    ::close(fd);
    return {};
}

// Flushes a folder's entries (names made, renamed or removed in it) to disk.
std::optional<std::string> syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errnoText(errno);
    }
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code == 0 ? std::nullopt : std::optional<std::string>(errnoText(code));
}

// Flushes a file's content and the folder entry naming it to disk.
std::optional<std::string> syncFile(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errnoText(errno);
    }
    const int code = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    if (code != 0) {
        return errnoText(code);
    }
    return syncFolder(file.parent_path());
}

// Writes the whole file under a temporary name in the same folder, makes it durable, then
// renames it over the target, so the target is always either the old or the new content.
std::optional<std::string> writeAtomically(const fs::path& target, const Bytes& data) {
    std::string temporary = (target.parent_path() /
                             (target.filename().string() + std::string(temporaryInfix) + "XXXXXX"))
                                .string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return errnoText(errno);
    }
    const auto fail = [&](int code, bool open) {
        if (open) {
            ::close(fd);
        }
        ::unlink(temporary.c_str());
        return errnoText(code);
    };
    size_t written = 0;
    while (written < data.size()) {
        const ssize_t put = ::write(fd, data.data() + written, data.size() - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return fail(put < 0 ? errno : ENOSPC, true);
        }
        written += static_cast<size_t>(put);
    }
    if (::fsync(fd) != 0) {
        return fail(errno, true);
    }
    if (::close(fd) != 0) {
        return fail(errno, false);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return fail(errno, false);
    }
    // Make the rename itself durable; the new index is in place either way.
    syncFolder(target.parent_path());
    return std::nullopt;
}

void removeQuietly(const fs::path& file) {
    std::error_code ignored;
    fs::remove(file, ignored);
}

} // namespace

struct LibraryStore::Prepared {
    WireResult result;
    Transcoder::Metadata meta;
    int64_t durationMs = 0; // of the wire file when it is a new file, else of the source
};

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
        tracks.set(LibraryTrack::decodeList(JSONParser::parse(ByteView(data))));
    } catch (const JSONError& decodeError) {
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
    const std::string temporaryPrefix = std::string(indexName) + std::string(temporaryInfix);
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

bool LibraryStore::keepUnreadableIndex(std::string& error) {
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
            return true;
        }
        if (linkError == std::errc::file_exists) {
            continue;
        }
        std::error_code ignored;
        if (!fs::exists(indexPath_, ignored)) {
            return true; // nothing left to keep
        }
        std::error_code copyError;
        fs::copy_file(indexPath_, copy, fs::copy_options::none, copyError);
        if (!copyError) {
            return true;
        }
        if (copyError == std::errc::file_exists) {
            continue;
        }
        removeQuietly(copy);
        error = copyError.message();
        return false;
    }
    error = "too many kept copies of an unreadable index";
    return false;
}

bool LibraryStore::save() {
    std::string problem;
    if (keepIndexBeforeSave_) {
        if (!keepUnreadableIndex(problem)) {
            context_.log.error(LogCategory::app, "library save failed: {}", problem);
            return false;
        }
        keepIndexBeforeSave_ = false;
    }
    const Bytes data = JSONWriter::data(LibraryTrack::encodeList(tracks.get()));
    if (std::optional<std::string> failure = writeAtomically(indexPath_, data)) {
        context_.log.error(LogCategory::app, "library save failed: {}", *failure);
        return false;
    }
    return true;
}

namespace {

// Copies a picked file to its place in the library and makes it durable, reporting progress
// on the way. Runs on a worker; the name is fresh, so whatever is there on failure is this
// copy's partial output and is removed.
std::optional<std::string> copyIn(const fs::path& picked, const fs::path& copy,
                                  const std::function<void(int64_t)>& progress) {
    const int in = ::open(picked.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return errnoText(errno);
    }
    const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        const int code = errno;
        ::close(in);
        return errnoText(code);
    }
    std::optional<std::string> problem;
    std::vector<uint8_t> buffer(1 << 16);
    int64_t total = 0;
    int64_t reported = 0;
    while (!problem) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
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
        for (size_t written = 0; written < static_cast<size_t>(got) && !problem;) {
            const ssize_t put = ::write(out, buffer.data() + written, got - written);
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                problem = errnoText(put < 0 ? errno : ENOSPC);
                break;
            }
            written += static_cast<size_t>(put);
        }
        total += got;
        if (total - reported >= LibraryStore::importProgressBytes) {
            reported = total;
            progress(total);
        }
    }
    ::close(in);
    if (::close(out) != 0 && !problem) {
        problem = errnoText(errno);
    }
    // The index is about to list the copy, so it must be whole on disk first.
    if (!problem) {
        problem = syncFile(copy);
    }
    if (problem) {
        removeQuietly(copy);
    }
    return problem;
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
    const std::string ext = extensionOf(picked);
    std::string name = id + std::string(copyMarker);
    if (!ext.empty()) {
        name += "." + ext;
    }
    const fs::path copy = file(name);
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
        std::optional<std::string> problem = copyIn(picked, copy, progress);
        main->post([weak, id, picked, problem = std::move(problem)] {
            if (const std::shared_ptr<LibraryStore> self = weak.lock()) {
                self->copied(id, picked, problem);
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
                          const std::optional<std::string>& problem) {
    copying_ = false;
    if (!importQueue_.empty()) {
        importQueue_.erase(importQueue_.begin());
    }
    if (!importing->empty()) {
        importing.modify([](std::vector<PendingImport>& list) { list.erase(list.begin()); });
    }
    if (problem) {
        context_.log.error(LogCategory::transfer, "import copy failed for {}: {}",
                           picked.filename().string(), *problem);
    } else {
        const std::string ext = extensionOf(picked);
        std::string name = id + std::string(copyMarker);
        if (!ext.empty()) {
            name += "." + ext;
        }
        LibraryTrack entry;
        entry.id = id;
        entry.title = picked.stem().string();
        entry.sourceFile = name;
        entry.state = LibraryTrack::State::preparing;
        tracks.modify([&](std::vector<LibraryTrack>& list) { list.push_back(std::move(entry)); });
        save();
        prepare(id);
    }
    copyNext();
}

void LibraryStore::prepare(const std::string& id) {
    const std::optional<size_t> at = position(id);
    if (!at) {
        return;
    }
    const LibraryTrack& entry = tracks.get()[*at];
    const fs::path source = file(entry.sourceFile);
    const std::string sourceExt = copyExtension(entry.sourceFile);
    const fs::path transcoded = file(entry.id + std::string(transcodedSuffix));
    const std::string title = entry.title;

    MediaToolkit* media = context_.media;
    const Log* log = &context_.log;
    auto work = [media, log, source, sourceExt, transcoded] {
        Prepared prepared;
        prepared.result = makeWireFile(media, *log, source, sourceExt, transcoded);
        prepared.meta = Transcoder::metadataNow(media, source);
        const Wire* wire = std::get_if<Wire>(&prepared.result);
        prepared.durationMs = (wire != nullptr && wire->url != source)
                                  ? Transcoder::metadataNow(media, wire->url).durationMs
                                  : prepared.meta.durationMs;
        return prepared;
    };
    auto done = [weak = weak_from_this(), id, title, transcoded](Prepared prepared) {
        if (const std::shared_ptr<LibraryStore> self = weak.lock()) {
            self->apply(id, title, transcoded, std::move(prepared));
        }
    };
    context_.background.run(workLabel, std::move(work), std::move(done));
}

void LibraryStore::apply(const std::string& id, const std::string& rememberedTitle,
                         const fs::path& transcoded, Prepared prepared) {
    const std::optional<size_t> at = position(id);
    if (!at) {
        // Removed while it was being prepared: its files were deleted then, except the one the
        // preparation has just made.
        removeQuietly(transcoded);
        return;
    }
    LibraryTrack entry = tracks.get()[*at];
    const Transcoder::Metadata& meta = prepared.meta;
    entry.title = (meta.title && !meta.title->empty()) ? *meta.title : rememberedTitle;
    entry.artist = meta.artist.value_or(std::string());
    if (const Wire* wire = std::get_if<Wire>(&prepared.result)) {
        entry.wireFile = wire->url.filename().string();
        entry.ext = wire->ext;
        entry.size = wire->size;
        entry.trackKey = wire->key.hex();
        entry.durationMs = prepared.durationMs >= 1 ? prepared.durationMs : meta.durationMs;
        entry.state = LibraryTrack::State::ready;
        entry.error.reset();
        context_.log.info(LogCategory::transfer, "library: {} ready — {} {} B key {}", entry.title,
                          wire->ext, wire->size, *entry.trackKey);
    } else {
        const std::string& description = std::get<WireFailure>(prepared.result).description;
        entry.state = LibraryTrack::State::failed;
        entry.error = description;
        context_.log.error(LogCategory::transfer, "library: {} failed: {}", entry.title,
                           description);
    }
    tracks.modify([&](std::vector<LibraryTrack>& list) {
        // Observers run between changes, so find the entry again rather than trust `at`.
        for (LibraryTrack& slot : list) {
            if (slot.id == id) {
                slot = entry;
                break;
            }
        }
    });
    save();
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

LibraryStore::WireResult LibraryStore::makeWireFile(MediaToolkit* media, const Log& log,
                                                    const fs::path& source,
                                                    const std::string& sourceExt,
                                                    const fs::path& transcoded) {
    WireResult result = synced(transcodeOrPassThrough(media, log, source, sourceExt, transcoded));
    if (std::holds_alternative<WireFailure>(result)) {
        removeQuietly(transcoded);
    }
    return result;
}

LibraryStore::WireResult LibraryStore::synced(WireResult result) {
    if (const Wire* wire = std::get_if<Wire>(&result)) {
        if (std::optional<std::string> failure = syncFile(wire->url)) {
            return WireFailure{std::move(*failure)};
        }
    }
    return result;
}

LibraryStore::WireResult LibraryStore::transcodeOrPassThrough(MediaToolkit* media, const Log& log,
                                                              const fs::path& source,
                                                              const std::string& sourceExt,
                                                              const fs::path& transcoded) {
    const bool fallback = SyncProtocol::isPlayableExtension(sourceExt);
    std::string problem;
    if (const std::optional<Transcoder::Failure> failure =
            Transcoder::transcodeNow(media, source, transcoded)) {
        problem = failure->description();
    } else {
        try {
            const int64_t sourceSize = fileSize(source);
            if (fallback && sourceExt != "wav" && sourceSize >= 1 &&
                fileSize(transcoded) >= sourceSize) {
                // Transcoding would not make it smaller: send the file as it is.
                removeQuietly(transcoded);
                return Wire{source, sourceExt, sourceSize, TrackKey::of(source)};
            }
            return Wire{transcoded, "m4a", fileSize(transcoded), TrackKey::of(transcoded)};
        } catch (const std::system_error& hashError) {
            problem = hashError.what();
        }
    }
    removeQuietly(transcoded);
    log.error(LogCategory::transfer, "transcode failed ({}); fallback={}", problem,
              fallback ? 1 : 0);
    if (!fallback) {
        return WireFailure{Unsupported{problem}.description()};
    }
    try {
        const TrackKey key = TrackKey::of(source);
        const int64_t sourceSize = fileSize(source);
        if (sourceSize < 1) {
            // An empty file has a playable name but nothing to play.
            return WireFailure{Unsupported{problem}.description()};
        }
        return Wire{source, sourceExt, sourceSize, key};
    } catch (const std::system_error& hashError) {
        return WireFailure{hashError.what()};
    }
}

int64_t LibraryStore::fileSize(const fs::path& file) {
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    return error ? 0 : static_cast<int64_t>(size);
}

} // namespace merriphonic
