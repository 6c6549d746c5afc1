#include "host/library_files.h"

#include <algorithm>
#include <utility>

namespace merriphonic::library_files {

namespace {

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
std::string extensionOf(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty() && ext.front() == '.') {
        ext.erase(0, 1);
    }
    return lowerCase(std::move(ext));
}

} // namespace

std::string copyName(const std::string& id, const std::filesystem::path& picked) {
    const std::string ext = extensionOf(picked);
    std::string name = id + std::string(copyMarker);
    if (!ext.empty()) {
        name += "." + ext;
    }
    return name;
}

std::string copyExtension(const std::string& sourceFile) {
    if (endsWith(sourceFile, copyMarker)) {
        return {};
    }
    return extensionOf(sourceFile);
}

} // namespace merriphonic::library_files
