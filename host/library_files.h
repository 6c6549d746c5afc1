#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// How the library names the files of an entry: "<UUID>.src[.<ext>]" for the imported copy,
// "<UUID>.wire.m4a" for the transcoded file.
namespace merriphonic::library_files {

inline constexpr std::string_view copyMarker = ".src";
inline constexpr std::string_view transcodedSuffix = ".wire.m4a";

// The name of the imported copy of a picked file, for the entry `id`.
std::string copyName(const std::string& id, const std::filesystem::path& picked);

// The extension of an imported copy: "X.src.mp3" gives "mp3"; "X.src" has none, since ".src"
// only marks the copy.
std::string copyExtension(const std::string& sourceFile);

} // namespace merriphonic::library_files
