#pragma once

// Library entries made by tests: a ready entry whose wire file holds given bytes.

#include <cstdint>
#include <fstream>
#include <string>

#include "core/track_key.h"
#include "core/uuid.h"
#include "host/library_store.h"
#include "tests/support/random_bytes.h"

namespace merriphonic::host_test {

using test::randomBytes;

// Appends a ready entry to the library, its wire file written with the content.
inline LibraryTrack addReadyTrack(LibraryStore& library, const std::string& title,
                                  const Bytes& content, int64_t durationMs,
                                  const std::string& ext = "m4a") {
    LibraryTrack entry;
    entry.id = randomUuid();
    entry.title = title;
    entry.artist = "The Band";
    entry.durationMs = durationMs;
    entry.sourceFile = entry.id + ".src." + ext;
    entry.wireFile = entry.id + ".wire." + ext;
    entry.ext = ext;
    entry.size = static_cast<int64_t>(content.size());
    entry.trackKey = TrackKey::of(ByteView(content)).hex();
    entry.state = LibraryTrack::State::ready;
    std::ofstream(library.folder() / *entry.wireFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    library.tracks.modify([&](auto& list) { list.push_back(entry); });
    return entry;
}

} // namespace merriphonic::host_test
