#include "speaker/track_cache.h"

#include <system_error>

namespace merriphonic {

namespace fs = std::filesystem;

fs::path TrackCache::folder(const DeviceFolders& folders) {
    fs::path base = folders.cache.empty() ? folders.temp : folders.cache;
    if (base.empty()) {
        std::error_code noTemp;
        base = fs::temp_directory_path(noTemp);
    }
    fs::path tracks = base / "tracks";
    std::error_code ignored;
    fs::create_directories(tracks, ignored);
    return tracks;
}

std::string TrackCache::safeExt(std::string_view ext) {
    if (ext.empty() || ext.size() > 5) {
        return "m4a";
    }
    std::string lower;
    for (const char c : ext) {
        const bool digit = c >= '0' && c <= '9';
        const bool small = c >= 'a' && c <= 'z';
        const bool capital = c >= 'A' && c <= 'Z';
        if (!digit && !small && !capital) {
            return "m4a";
        }
        lower += capital ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return lower;
}

int64_t TrackCache::length(const fs::path& file) {
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    return error ? 0 : static_cast<int64_t>(size);
}

fs::path TrackCache::file(const fs::path& folder, const std::string& key, std::string_view ext) {
    return folder / (key + "." + safeExt(ext));
}

} // namespace merriphonic
