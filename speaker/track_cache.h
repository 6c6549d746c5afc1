#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/device_context.h"

namespace merriphonic {

// Where a speaker keeps the songs it receives: one file per song in the "tracks" folder of the
// device's cache, named by the song's key and a safe extension. Never pruned: a song received
// once is found again at its next offer.
struct TrackCache {
    // The cache folder, created if missing (a failure surfaces later as file errors). Without
    // a cache location the device's scratch space is used.
    static std::filesystem::path folder(const DeviceFolders& folders);
    // The extension in lower case when it has 1 to 5 ASCII letters or digits, else "m4a".
    static std::string safeExt(std::string_view ext);
    // The file's size in bytes; 0 when it does not exist or cannot be examined.
    static int64_t length(const std::filesystem::path& file);
    // "<folder>/<key>.<safe ext>".
    static std::filesystem::path file(const std::filesystem::path& folder, const std::string& key,
                                      std::string_view ext);
};

} // namespace merriphonic
