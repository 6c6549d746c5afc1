#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_value.h"

namespace merriphonic {

// One song of the host's music library, as listed in the library index.
struct LibraryTrack {
    enum class State { preparing, ready, failed };

    // An index entry (or the index itself) that does not decode; what() says why.
    class DecodeError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    std::string id;     // canonical upper-case UUID text; also names the entry's files
    std::string title;  // shown title
    std::string artist; // empty when unknown
    int64_t durationMs = 0;
    std::string sourceFile;              // name (not path) of the imported copy
    std::optional<std::string> wireFile; // name of the file sent to speakers; absent until ready
    std::optional<std::string> ext;      // the wire file's extension, lower case, no dot
    std::optional<int64_t> size;         // the wire file's size in bytes
    std::optional<std::string> trackKey; // the wire file's TrackKey in text form
    State state = State::preparing;
    std::optional<std::string> error; // user-facing reason when failed

    bool operator==(const LibraryTrack&) const = default;

    // "preparing", "ready", "failed".
    static std::string_view stateText(State state);
    static std::optional<State> stateFromText(std::string_view text);

    // One index object; absent optionals are left out.
    [[nodiscard]] JsonValue encode() const;
    // Accepts keys in any order and either case of "id"; an absent or null optional is
    // absent. Throws DecodeError.
    static LibraryTrack decode(const JsonValue& value);

    // The whole index: one array of entries in list order.
    static JsonValue encodeList(const std::vector<LibraryTrack>& tracks);
    // Rejects the whole list when any entry does not decode. Throws DecodeError.
    static std::vector<LibraryTrack> decodeList(const JsonValue& value);
};

} // namespace merriphonic
