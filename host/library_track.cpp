#include "host/library_track.h"

#include "core/uuid.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

namespace merriphonic {

namespace {

constexpr std::array<std::string_view, 3> stateTexts{"preparing", "ready", "failed"};
std::string quoted(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

const JsonObject& asObject(const JsonValue& value) {
    const JsonObject* object = value.objectValue();
    if (object == nullptr) {
        throw LibraryTrack::DecodeError("entry is not an object");
    }
    return *object;
}

const JsonValue& required(const JsonObject& object, std::string_view key) {
    const JsonValue* value = object.get(key);
    if (value == nullptr) {
        throw LibraryTrack::DecodeError("missing " + quoted(key));
    }
    return *value;
}

// Absent and null both mean "not there".
const JsonValue* optional(const JsonObject& object, std::string_view key) {
    const JsonValue* value = object.get(key);
    return (value == nullptr || value->isNull()) ? nullptr : value;
}

std::string text(const JsonValue& value, std::string_view key) {
    const std::string* string = value.stringValue();
    if (string == nullptr) {
        throw LibraryTrack::DecodeError(quoted(key) + " is not a text");
    }
    return *string;
}

// A JSON number with a whole value that fits in 64 bits ("12" or "12.0", not "12.5").
int64_t integer(const JsonValue& value, std::string_view key) {
    const std::string* number = value.numberText();
    if (number == nullptr) {
        throw LibraryTrack::DecodeError(quoted(key) + " is not a number");
    }
    const bool plain = number->find_first_of(".eE") == std::string::npos;
    if (!plain) {
        const std::optional<double> real = value.doubleValue();
        if (!real || !std::isfinite(*real) || std::trunc(*real) != *real) {
            throw LibraryTrack::DecodeError(quoted(key) + " is not a whole number");
        }
    }
    const std::optional<int64_t> whole = value.int64Value();
    if (!whole) {
        throw LibraryTrack::DecodeError(quoted(key) + " is out of range");
    }
    return *whole;
}

// Entries name files inside the library folder; anything else (a path, "..") would let the
// index reach files outside it.
std::string fileName(const JsonValue& value, std::string_view key) {
    std::string name = text(value, key);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        throw LibraryTrack::DecodeError(quoted(key) + " is not a file name");
    }
    return name;
}

} // namespace

std::string_view LibraryTrack::stateText(State state) {
    return stateTexts.at(static_cast<size_t>(state));
}

std::optional<LibraryTrack::State> LibraryTrack::stateFromText(std::string_view text) {
    for (size_t i = 0; i < stateTexts.size(); ++i) {
        if (stateTexts.at(i) == text) {
            return static_cast<State>(i);
        }
    }
    return std::nullopt;
}

JsonValue LibraryTrack::encode() const {
    JsonObject object;
    object.set("id", JsonValue::string(id));
    object.set("title", JsonValue::string(title));
    object.set("artist", JsonValue::string(artist));
    object.set("durationMs", JsonValue::integer(durationMs));
    object.set("sourceFile", JsonValue::string(sourceFile));
    if (wireFile) {
        object.set("wireFile", JsonValue::string(*wireFile));
    }
    if (ext) {
        object.set("ext", JsonValue::string(*ext));
    }
    if (size) {
        object.set("size", JsonValue::integer(*size));
    }
    if (trackKey) {
        object.set("trackKey", JsonValue::string(*trackKey));
    }
    object.set("state", JsonValue::string(std::string(stateText(state))));
    if (error) {
        object.set("error", JsonValue::string(*error));
    }
    return JsonValue::object(std::move(object));
}

LibraryTrack LibraryTrack::decode(const JsonValue& value) {
    const JsonObject& object = asObject(value);
    LibraryTrack track;

    const std::string idText = text(required(object, "id"), "id");
    std::optional<std::string> id = canonicalUuid(idText);
    if (!id) {
        throw DecodeError("\"id\" is not a UUID: " + idText);
    }
    track.id = std::move(*id);
    track.title = text(required(object, "title"), "title");
    track.artist = text(required(object, "artist"), "artist");
    track.durationMs = integer(required(object, "durationMs"), "durationMs");
    track.sourceFile = fileName(required(object, "sourceFile"), "sourceFile");
    if (const JsonValue* wire = optional(object, "wireFile")) {
        track.wireFile = fileName(*wire, "wireFile");
    }
    if (const JsonValue* ext = optional(object, "ext")) {
        track.ext = text(*ext, "ext");
    }
    if (const JsonValue* size = optional(object, "size")) {
        track.size = integer(*size, "size");
    }
    if (const JsonValue* key = optional(object, "trackKey")) {
        track.trackKey = text(*key, "trackKey");
    }
    const std::string stateName = text(required(object, "state"), "state");
    const std::optional<State> state = stateFromText(stateName);
    if (!state) {
        throw DecodeError("unknown state " + quoted(stateName));
    }
    track.state = *state;
    if (const JsonValue* error = optional(object, "error")) {
        track.error = text(*error, "error");
    }
    return track;
}

JsonValue LibraryTrack::encodeList(const std::vector<LibraryTrack>& tracks) {
    std::vector<JsonValue> entries;
    entries.reserve(tracks.size());
    for (const LibraryTrack& track : tracks) {
        entries.push_back(track.encode());
    }
    return JsonValue::array(std::move(entries));
}

std::vector<LibraryTrack> LibraryTrack::decodeList(const JsonValue& value) {
    const std::vector<JsonValue>* entries = value.arrayValue();
    if (entries == nullptr) {
        throw DecodeError("the index is not an array");
    }
    std::vector<LibraryTrack> tracks;
    tracks.reserve(entries->size());
    for (size_t i = 0; i < entries->size(); ++i) {
        try {
            tracks.push_back(decode((*entries)[i]));
        } catch (const DecodeError& error) {
            throw DecodeError("entry " + std::to_string(i) + ": " + error.what());
        }
    }
    return tracks;
}

} // namespace merriphonic
