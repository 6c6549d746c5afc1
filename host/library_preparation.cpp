// The library's preparation: each entry's wire file made off the main loop (transcoded, or the
// imported copy passed through), flushed to disk, keyed, and the entry published ready.
#include <system_error>
#include <utility>
#include <variant>

#include "core/sync_protocol.h"
#include "host/library_files.h"
#include "host/library_store.h"
#include "host/transcoder.h"
#include "platform/files.h"

namespace merriphonic {

namespace fs = std::filesystem;

struct LibraryStore::Prepared {
    WireResult result = WireFailure{};
    Transcoder::Metadata meta;
    int64_t durationMs = 0; // of the wire file when it is a new file, else of the source
};

void LibraryStore::prepare(const std::string& id) {
    const std::optional<size_t> at = position(id);
    if (!at) {
        return;
    }
    const LibraryTrack& entry = tracks.get()[*at];
    const fs::path source = file(entry.sourceFile);
    const std::string sourceExt = library_files::copyExtension(entry.sourceFile);
    const fs::path transcoded = file(entry.id + std::string(library_files::transcodedSuffix));
    const std::string title = entry.title;

    MediaToolkit* media = context_.media;
    const Log* log = &context_.log;
    auto work = [media, log, source, sourceExt, transcoded] {
        Prepared prepared;
        prepared.result = makeWireFile(media, *log, source, sourceExt, transcoded);
        prepared.meta = Transcoder::metadataNow(media, source);
        const WireResult& wire = prepared.result;
        prepared.durationMs = (wire && wire->url != source)
                                  ? Transcoder::metadataNow(media, wire->url).durationMs
                                  : prepared.meta.durationMs;
        return prepared;
    };
    auto done = [weak = weak_from_this(), id, title, transcoded](const Prepared& prepared) {
        if (const std::shared_ptr<LibraryStore> self = weak.lock()) {
            self->apply(id, title, transcoded, prepared);
        }
    };
    context_.background.run(workLabel, std::move(work), std::move(done));
}

void LibraryStore::apply(const std::string& id, const std::string& rememberedTitle,
                         const fs::path& transcoded, const Prepared& prepared) {
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
    if (const WireResult& wire = prepared.result) {
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
        const std::string& description = prepared.result.error().description;
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

LibraryStore::WireResult LibraryStore::makeWireFile(MediaToolkit* media, const Log& log,
                                                    const fs::path& source,
                                                    const std::string& sourceExt,
                                                    const fs::path& transcoded) {
    WireResult result = synced(transcodeOrPassThrough(media, log, source, sourceExt, transcoded));
    if (!result) {
        removeQuietly(transcoded);
    }
    return result;
}

LibraryStore::WireResult LibraryStore::synced(WireResult result) {
    if (result) {
        if (Result<Done, std::string> synced = syncFile(result->url); !synced) {
            return WireFailure{std::move(synced).error()};
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
    if (const Result<Done, Transcoder::Failure> converted =
            Transcoder::transcodeNow(media, source, transcoded);
        !converted) {
        problem = converted.error().description();
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