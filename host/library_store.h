#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/result.h"
#include "core/track_key.h"
#include "host/library_track.h"
#include "platform/device_context.h"
#include "platform/log.h"
#include "platform/media.h"
#include "platform/published.h"

namespace merriphonic {

// The host's music library: a folder of song files and an index listing them. Imports are
// copied in, prepared off the main loop (transcoded, or passed through as they are), keyed and
// published. Used on the main loop only.
//
// Folder layout: "<data>/library/" holds "library.json" and, per entry, "<UUID>.src[.<ext>]"
// (the imported copy) and possibly "<UUID>.wire.m4a" (the transcoded file). Only a device
// without a data folder keeps its library in scratch space ("<temp>/library/"); a library
// folder that cannot be made under a data folder is reported (folderError) and nothing is
// imported. An index that does not decode is kept as "library.json.unreadable" before it is
// first overwritten; an older kept copy is never replaced: the next one goes to
// "library.json.unreadable.2", then ".3", and so on. At start, after an index that decodes,
// leftover temporary index files are deleted, and so are entry files it does not list, unless
// a kept unreadable index is in the folder: those files may be the ones it lists.
// A wire file is flushed to disk before its entry is published ready, an imported copy before
// the index lists it.
class LibraryStore : public std::enable_shared_from_this<LibraryStore> {
public:
    // A file the library cannot use.
    struct Unsupported {
        std::string reason;
        [[nodiscard]] std::string description() const { return "Can't use this file: " + reason; }
        bool operator==(const Unsupported&) const = default;
    };

    // The file sent to speakers for an entry, as preparation found it.
    struct Wire {
        std::filesystem::path url;
        std::string ext;
        int64_t size = 0;
        TrackKey key;
        bool operator==(const Wire&) const = default;
    };

    // Why preparation failed, in user-facing words.
    struct WireFailure {
        std::string description;
        bool operator==(const WireFailure&) const = default;
    };
    using WireResult = Result<Wire, WireFailure>;

    // A picked file on its way into the library, before it becomes an entry.
    struct PendingImport {
        std::string name; // the picked file's name
        int64_t copiedBytes = 0;
        int64_t totalBytes = 0; // 0 when its size can't be read
        bool operator==(const PendingImport&) const = default;
    };

    static constexpr std::string_view indexName = "library.json";
    static constexpr std::string_view unreadableName = "library.json.unreadable";
    static constexpr const char* workLabel = "app.merriphonic.library";
    // Copies of picked files run on their own worker, one file after another.
    static constexpr const char* importLabel = "app.merriphonic.import";
    // A copy reports its progress after each this many bytes.
    static constexpr int64_t importProgressBytes = 1 << 20;

    // Makes a store and runs init(). Preparation hands its results back through the shared
    // owner, so a store is always owned by a std::shared_ptr.
    static std::shared_ptr<LibraryStore> create(DeviceContext& context);

    explicit LibraryStore(DeviceContext& context);
    LibraryStore(const LibraryStore&) = delete;
    LibraryStore& operator=(const LibraryStore&) = delete;
    ~LibraryStore() = default;

    // Locates and creates the folder, loads the index and prepares again the entries left
    // preparing. Call once, on a store owned by a std::shared_ptr.
    void init();

    // The entries in import order.
    Published<std::vector<LibraryTrack>> tracks;
    // Picked files still being copied in, in the order they will join `tracks`.
    Published<std::vector<PendingImport>> importing;

    [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }
    [[nodiscard]] const std::filesystem::path& indexPath() const { return indexPath_; }
    // Why the library folder can't be used, in user-facing words; then the library stays empty
    // and imports fail.
    [[nodiscard]] const std::optional<std::string>& folderError() const { return folderError_; }

    // Copies the picked files in, in order, and starts preparing each. The copies run off the
    // main loop, one after another (also across calls); each file becomes an entry once its
    // copy is whole on disk, in the order picked. Until then it is listed in `importing`.
    void importFiles(const std::vector<std::filesystem::path>& files);
    // Deletes the entry and its files; unknown identifiers are ignored. The files go only once
    // the index no longer lists the entry: when the save fails they stay beside the old index.
    void remove(std::string_view id);
    // The entry can no longer be played as it is (its wire file was found damaged): it turns
    // failed with the reason, which the index keeps. Its files stay; unknown identifiers are
    // ignored.
    void markFailed(std::string_view id, const std::string& description);
    // The first entry with that identifier (either case); none for an absent one.
    [[nodiscard]] std::optional<LibraryTrack> track(const std::optional<std::string>& id) const;
    // The first ready entry with that key text and a wire file and size.
    [[nodiscard]] std::optional<LibraryTrack> trackForKey(std::string_view key) const;

    // The transcode-or-pass-through rule: blocks while it transcodes and hashes, so it runs on
    // a worker. The wire file it gives is on disk (see synced). A failed attempt leaves no file
    // at `transcoded`.
    static WireResult makeWireFile(MediaToolkit* media, const Log& log,
                                   const std::filesystem::path& source,
                                   const std::string& sourceExt,
                                   const std::filesystem::path& transcoded);
    // Flushes a prepared wire file and its folder entry to disk, so that a power cut never
    // leaves a ready entry over a truncated file; when that fails, so does the preparation.
    static WireResult synced(WireResult result);
    // A file's size in bytes; 0 when it cannot be read.
    static int64_t fileSize(const std::filesystem::path& file);

private:
    struct Prepared;

    // The rule of makeWireFile, before the wire file is flushed.
    static WireResult transcodeOrPassThrough(MediaToolkit* media, const Log& log,
                                             const std::filesystem::path& source,
                                             const std::string& sourceExt,
                                             const std::filesystem::path& transcoded);

    // Starts copying the first queued file, unless a copy is running.
    void copyNext();
    void copied(const std::string& id, const std::filesystem::path& picked,
                const Result<Done, std::string>& copiedIn);
    void copyProgress(int64_t copiedBytes);

    void load();
    bool save();
    void prepare(const std::string& id);
    void apply(const std::string& id, const std::string& rememberedTitle,
               const std::filesystem::path& transcoded, const Prepared& prepared);
    [[nodiscard]] std::optional<size_t> position(const std::string& id) const;
    // Deletes files named after entries the index does not list (left by an interrupted run).
    void sweepStrayFiles();
    // Keeps the unreadable index beside it before its first overwrite.
    Result<Done, std::string> keepUnreadableIndex();
    [[nodiscard]] std::filesystem::path file(const std::string& name) const {
        return folder_ / name;
    }

    DeviceContext& context_;
    std::filesystem::path folder_;
    std::filesystem::path indexPath_;
    std::optional<std::string> folderError_;
    bool keepIndexBeforeSave_ = false;
    // Files waiting for their copy, in order (the first one is being copied while copying_).
    std::vector<std::filesystem::path> importQueue_;
    bool copying_ = false;
    bool initialised_ = false;
};

} // namespace merriphonic
