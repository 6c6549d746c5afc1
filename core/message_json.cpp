#include "core/message_json.h"

#include "core/protocol_error.h"

#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace merriphonic {

namespace {

JsonValue jsonString(std::string value) {
    return JsonValue::string(std::move(value));
}
JsonValue jsonInt(int64_t value) {
    return JsonValue::integer(value);
}

// Reads the fields of one message object. Absent and null are alike: the field takes its
// default, or fails as missing when it has none.
class FieldReader {
public:
    FieldReader(MessageType type, const JsonObject& object) : type_(type), object_(object) {}

    std::string string(std::string_view key) const { return readString(key, std::nullopt).value(); }
    std::string string(std::string_view key, std::string fallback) const {
        return readString(key, std::move(fallback)).value();
    }
    std::optional<std::string> optionalString(std::string_view key) const {
        const JsonValue* value = present(key);
        if (value == nullptr) {
            return std::nullopt;
        }
        return stringOf(key, *value);
    }

    int64_t integer(std::string_view key) const { return readInteger(key, std::nullopt); }
    int64_t integer(std::string_view key, int64_t fallback) const {
        return readInteger(key, fallback);
    }

    double number(std::string_view key) const { return readNumber(key, std::nullopt); }
    double number(std::string_view key, double fallback) const { return readNumber(key, fallback); }

private:
    const JsonValue* present(std::string_view key) const {
        const JsonValue* value = object_.get(key);
        return value == nullptr || value->isNull() ? nullptr : value;
    }

    [[noreturn]] void fail(std::string_view key, std::string_view reason) const {
        std::string detail(caseName(type_));
        detail += " field '";
        detail += key;
        detail += "' ";
        detail += reason;
        throw ProtocolError::malformed(std::move(detail));
    }

    std::string stringOf(std::string_view key, const JsonValue& value) const {
        const std::string* string = value.stringValue();
        if (string == nullptr) {
            fail(key, "is not a string");
        }
        return *string;
    }

    std::optional<std::string> readString(std::string_view key,
                                          std::optional<std::string> fallback) const {
        const JsonValue* value = present(key);
        if (value == nullptr) {
            if (!fallback) {
                fail(key, "missing");
            }
            return fallback;
        }
        return stringOf(key, *value);
    }

    int64_t readInteger(std::string_view key, std::optional<int64_t> fallback) const {
        const JsonValue* value = present(key);
        if (value == nullptr) {
            if (!fallback) {
                fail(key, "missing");
            }
            return *fallback;
        }
        const std::optional<int64_t> result =
            value->numberText() != nullptr ? value->int64Value() : std::nullopt;
        if (!result) {
            fail(key, "is not an integer");
        }
        return *result;
    }

    double readNumber(std::string_view key, std::optional<double> fallback) const {
        const JsonValue* value = present(key);
        if (value == nullptr) {
            if (!fallback) {
                fail(key, "missing");
            }
            return *fallback;
        }
        const std::optional<double> result =
            value->numberText() != nullptr ? value->doubleValue() : std::nullopt;
        if (!result || !std::isfinite(*result)) {
            fail(key, "is not a number");
        }
        return *result;
    }

    MessageType type_;
    const JsonObject& object_;
};

} // namespace

std::optional<JsonObject> MessageJson::object(const Message& message) {
    return std::visit(
        [](const auto& m) -> std::optional<JsonObject> {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Hello>) {
                return JsonObject{{"v", jsonInt(m.v)},
                                  {"id", jsonString(m.id)},
                                  {"name", jsonString(m.name)},
                                  {"platform", jsonString(m.platform)}};
            } else if constexpr (std::is_same_v<T, Welcome>) {
                return JsonObject{{"v", jsonInt(m.v)},
                                  {"hostId", jsonString(m.hostId)},
                                  {"name", jsonString(m.name)}};
            } else if constexpr (std::is_same_v<T, TrackOffer>) {
                return JsonObject{{"trackKey", jsonString(m.trackKey)},
                                  {"title", jsonString(m.title)},
                                  {"artist", jsonString(m.artist)},
                                  {"ext", jsonString(m.ext)},
                                  {"size", jsonInt(m.size)},
                                  {"durationMs", jsonInt(m.durationMs)}};
            } else if constexpr (std::is_same_v<T, TrackHave>) {
                return JsonObject{{"trackKey", jsonString(m.trackKey)},
                                  {"bytes", jsonInt(m.bytes)}};
            } else if constexpr (std::is_same_v<T, Play>) {
                return JsonObject{{"trackKey", jsonString(m.trackKey)},
                                  {"startAtHostNs", jsonInt(m.startAtHostNs)},
                                  {"positionMs", jsonInt(m.positionMs)}};
            } else if constexpr (std::is_same_v<T, Pause>) {
                return JsonObject{{"trackKey", jsonString(m.trackKey)},
                                  {"positionMs", jsonInt(m.positionMs)}};
            } else if constexpr (std::is_same_v<T, Stop>) {
                return JsonObject{};
            } else if constexpr (std::is_same_v<T, Volume>) {
                return JsonObject{{"volume", JsonValue::real(m.volume)}};
            } else if constexpr (std::is_same_v<T, Status>) {
                return JsonObject{
                    {"state", jsonString(m.state)},
                    {"trackKey", m.trackKey ? jsonString(*m.trackKey) : JsonValue::null()},
                    {"bytes", jsonInt(m.bytes)},
                    {"size", jsonInt(m.size)},
                    {"rttMs", JsonValue::real(m.rttMs)},
                    {"delayMs", jsonInt(m.delayMs)}};
            } else {
                return std::nullopt;
            }
        },
        message.value());
}

Message MessageJson::decode(MessageType type, const JsonObject& object) {
    const FieldReader f(type, object);
    switch (type) {
    case MessageType::hello: {
        Hello m;
        m.v = f.integer("v", SyncProtocol::version);
        m.id = f.string("id");
        m.name = f.string("name", "");
        m.platform = f.string("platform", "");
        return m;
    }
    case MessageType::welcome: {
        Welcome m;
        m.v = f.integer("v", SyncProtocol::version);
        m.hostId = f.string("hostId", "");
        m.name = f.string("name", "");
        return m;
    }
    case MessageType::trackOffer: {
        TrackOffer m;
        m.trackKey = f.string("trackKey");
        m.title = f.string("title", "");
        m.artist = f.string("artist", "");
        m.ext = f.string("ext", "m4a");
        m.size = f.integer("size");
        m.durationMs = f.integer("durationMs", 0);
        return m;
    }
    case MessageType::trackHave: {
        TrackHave m;
        m.trackKey = f.string("trackKey");
        m.bytes = f.integer("bytes", 0);
        return m;
    }
    case MessageType::play: {
        Play m;
        m.trackKey = f.string("trackKey");
        m.startAtHostNs = f.integer("startAtHostNs");
        m.positionMs = f.integer("positionMs", 0);
        return m;
    }
    case MessageType::pause: {
        Pause m;
        m.trackKey = f.string("trackKey", "");
        m.positionMs = f.integer("positionMs", 0);
        return m;
    }
    case MessageType::stop:
        return Stop{};
    case MessageType::volume:
        return Volume{f.number("volume")};
    case MessageType::status: {
        Status m;
        m.state = f.string("state");
        m.trackKey = f.optionalString("trackKey");
        m.bytes = f.integer("bytes", 0);
        m.size = f.integer("size", 0);
        m.rttMs = f.number("rttMs", 0);
        m.delayMs = f.integer("delayMs", 0);
        return m;
    }
    case MessageType::bye:
    case MessageType::ping:
    case MessageType::pong:
    case MessageType::trackChunk:
    case MessageType::trackDone:
        break;
    }
    throw ProtocolError::malformed(std::string(caseName(type)) + " is not a JSON message");
}

} // namespace merriphonic
