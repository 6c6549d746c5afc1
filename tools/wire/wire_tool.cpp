#include "tools/wire/wire_tool.h"

#include "core/frame_codec.h"
#include "core/frame_reassembler.h"
#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_value.h"
#include "core/json_writer.h"
#include "core/message.h"
#include "core/message_json.h"
#include "core/message_type.h"
#include "core/protocol_error.h"
#include "core/sync_protocol.h"
#include "core/track_key.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <istream>
#include <iterator>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace merriphonic::wire {
namespace {

Bytes readAll(std::istream& in) {
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<Bytes> bytesFromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]);
        const int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

// The object `decode` prints for a message.
JsonObject describe(const Message& message) {
    if (auto object = MessageJson::object(message)) {
        return *object;
    }
    if (const auto* ping = message.as<Ping>()) {
        return {{"seq", JsonValue::integer(ping->seq)}, {"t1", JsonValue::integer(ping->t1)}};
    }
    if (const auto* pong = message.as<Pong>()) {
        return {{"seq", JsonValue::integer(pong->seq)},
                {"t1", JsonValue::integer(pong->t1)},
                {"t2", JsonValue::integer(pong->t2)},
                {"t3", JsonValue::integer(pong->t3)}};
    }
    if (const auto* chunk = message.as<TrackChunk>()) {
        return {{"key", JsonValue::string(chunk->key.hex())},
                {"offset", JsonValue::integer(chunk->offset)},
                {"size", JsonValue::integer(static_cast<int64_t>(chunk->data.size()))}};
    }
    if (const auto* done = message.as<TrackDone>()) {
        return {{"key", JsonValue::string(done->key.hex())}};
    }
    if (const auto* unknown = message.as<Unknown>()) {
        return {{"size", JsonValue::integer(static_cast<int64_t>(unknown->payload.size()))}};
    }
    return {};
}

void printMessage(const Message& message, std::ostream& out) {
    out << message.name() << ' ' << JsonWriter::string(JsonValue::object(describe(message)))
        << '\n';
}

// Reads the fields of the binary messages from the object `decode` prints, with the same
// kind of failure texts as the JSON messages.
class BinaryFields {
public:
    BinaryFields(std::string_view typeName, const JsonObject& object)
        : typeName_(typeName), object_(object) {}

    int64_t integer(std::string_view key, int64_t min, int64_t max) const {
        const JsonValue& value = required(key);
        const auto number = value.numberText() != nullptr ? value.int64Value() : std::nullopt;
        if (!number) {
            fail(key, "is not an integer");
        }
        if (*number < min || *number > max) {
            fail(key, "is out of range");
        }
        return *number;
    }
    TrackKey key(std::string_view key) const {
        const auto key_ = TrackKey::fromHex(text(key));
        if (!key_) {
            fail(key, "is not a track key");
        }
        return *key_;
    }
    Bytes hex(std::string_view key) const {
        auto bytes = bytesFromHex(text(key));
        if (!bytes) {
            fail(key, "is not hexadecimal");
        }
        return std::move(*bytes);
    }
    bool has(std::string_view key) const {
        const JsonValue* value = object_.get(key);
        return value != nullptr && !value->isNull();
    }

private:
    const JsonValue& required(std::string_view key) const {
        const JsonValue* value = object_.get(key);
        if (value == nullptr || value->isNull()) {
            fail(key, "missing");
        }
        return *value;
    }
    std::string text(std::string_view key) const {
        const std::string* text = required(key).stringValue();
        if (text == nullptr) {
            fail(key, "is not a string");
        }
        return *text;
    }
    [[noreturn]] void fail(std::string_view key, std::string_view reason) const {
        throw ProtocolError::malformed(std::string(typeName_) + " field '" + std::string(key) +
                                       "' " + std::string(reason));
    }

    std::string_view typeName_;
    const JsonObject& object_;
};

constexpr int64_t u32Max = std::numeric_limits<uint32_t>::max();
// The most payload a frame can carry: its length also counts the type byte.
constexpr int64_t maxPayload = int64_t{SyncProtocol::maxFrameLength} - 1;
constexpr int64_t i64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t i64Max = std::numeric_limits<int64_t>::max();

// "UNKNOWN(0x7f)" to 0x7f.
std::optional<uint8_t> unknownType(std::string_view name) {
    constexpr std::string_view prefix = "UNKNOWN(0x";
    if (name.size() <= prefix.size() + 1 || name.substr(0, prefix.size()) != prefix ||
        name.back() != ')') {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 1);
    if (digits.size() > 2) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : digits) {
        value <<= 4;
        if (c >= '0' && c <= '9') {
            value |= unsigned(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value |= unsigned(c - 'a' + 10);
        } else {
            return std::nullopt;
        }
    }
    if (messageTypeFromByte(static_cast<uint8_t>(value))) {
        return std::nullopt; // a listed type goes by its own name
    }
    return static_cast<uint8_t>(value);
}

std::optional<MessageType> typeNamed(std::string_view name) {
    for (MessageType type : allMessageTypes) {
        if (wireName(type) == name) {
            return type;
        }
    }
    return std::nullopt;
}

Message binaryMessage(MessageType type, const JsonObject& object) {
    const BinaryFields fields(caseName(type), object);
    switch (type) {
    case MessageType::ping:
        return Ping{static_cast<uint32_t>(fields.integer("seq", 0, u32Max)),
                    fields.integer("t1", i64Min, i64Max)};
    case MessageType::pong:
        return Pong{static_cast<uint32_t>(fields.integer("seq", 0, u32Max)),
                    fields.integer("t1", i64Min, i64Max), fields.integer("t2", i64Min, i64Max),
                    fields.integer("t3", i64Min, i64Max)};
    case MessageType::trackChunk:
        return TrackChunk{fields.key("key"),
                          static_cast<uint32_t>(fields.integer("offset", 0, u32Max)),
                          fields.hex("data")};
    case MessageType::trackDone:
        return TrackDone{fields.key("key")};
    default:
        return Bye{};
    }
}

// Parses the JSON of a binary message's line, failing as a JSON message's payload would.
JsonObject objectOf(std::string_view typeName, ByteView payload) {
    JsonValue value;
    try {
        value = JsonParser::parse(payload);
    } catch (const JsonError& error) {
        throw ProtocolError::malformed(std::string(typeName) + ": " + error.what());
    }
    const JsonObject* object = value.objectValue();
    if (object == nullptr) {
        throw ProtocolError::malformed(std::string(typeName) + " payload is not a JSON object");
    }
    return *object;
}

Message parseLine(std::string_view line) {
    const size_t space = line.find(' ');
    const std::string_view name = line.substr(0, space);
    std::string_view json =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (json.find_first_not_of(" \t") == std::string_view::npos) {
        json = "{}"; // a bare name ("BYE", "STOP") is the empty message decode prints
    }
    const ByteView payload(reinterpret_cast<const uint8_t*>(json.data()), json.size());

    if (auto type = unknownType(name)) {
        const JsonObject object = objectOf(name, payload);
        const BinaryFields fields(name, object);
        if (fields.has("data")) {
            return Unknown{*type, fields.hex("data")};
        }
        return Unknown{*type, Bytes(static_cast<size_t>(fields.integer("size", 0, maxPayload)))};
    }
    const auto type = typeNamed(name);
    if (!type) {
        throw ProtocolError::malformed("unknown message name '" + std::string(name) + "'");
    }
    switch (*type) {
    case MessageType::ping:
    case MessageType::pong:
    case MessageType::trackChunk:
    case MessageType::trackDone:
    case MessageType::bye: {
        return binaryMessage(*type, objectOf(caseName(*type), payload));
    }
    default:
        // The JSON messages decode exactly as they would off the wire.
        return FrameCodec::decode(rawValue(*type), payload);
    }
}

} // namespace

int jsonCommand(std::istream& in, std::ostream& out) {
    const Bytes input = readAll(in);
    try {
        out << JsonWriter::string(JsonParser::parse(input)) << '\n';
        return 0;
    } catch (const JsonError& error) {
        out << error.what() << '\n';
        return 1;
    }
}

int decodeCommand(std::istream& in, std::ostream& out) {
    const Bytes input = readAll(in);
    try {
        FrameReassembler reassembler;
        for (const RawFrame& frame : reassembler.push(input)) {
            printMessage(FrameCodec::decode(frame.type, frame.payload), out);
        }
        return 0;
    } catch (const ProtocolError& error) {
        out << error.what() << '\n';
        return 1;
    }
}

int decodeFrameCommand(std::istream& in, std::ostream& out) {
    const Bytes input = readAll(in);
    try {
        printMessage(FrameCodec::decodeFrame(input), out);
        return 0;
    } catch (const ProtocolError& error) {
        out << error.what() << '\n';
        return 1;
    }
}

int encodeCommand(std::istream& in, std::ostream& out, std::ostream& err) {
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        try {
            const Bytes frame = FrameCodec::encode(parseLine(line));
            // What decode would refuse is not written: the length field counts all but itself.
            if (const size_t length = frame.size() - 4; length > SyncProtocol::maxFrameLength) {
                throw ProtocolError::invalidLength(static_cast<uint32_t>(
                    std::min<size_t>(length, std::numeric_limits<uint32_t>::max())));
            }
            out.write(reinterpret_cast<const char*>(frame.data()),
                      static_cast<std::streamsize>(frame.size()));
        } catch (const ProtocolError& error) {
            err << error.what() << '\n';
            return 1;
        }
    }
    return 0;
}

int keyCommand(const std::string& path, std::ostream& out, std::ostream& err) {
    try {
        out << TrackKey::of(std::filesystem::path(path)).hex() << '\n';
        return 0;
    } catch (const std::exception& error) {
        err << error.what() << '\n';
        return 1;
    }
}

int run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
    const std::string command = args.empty() ? "" : args[0];
    if (command == "json" && args.size() == 1) {
        return jsonCommand(in, out);
    }
    if (command == "decode" && args.size() == 1) {
        return decodeCommand(in, out);
    }
    if (command == "decode-frame" && args.size() == 1) {
        return decodeFrameCommand(in, out);
    }
    if (command == "encode" && args.size() == 1) {
        return encodeCommand(in, out, err);
    }
    if (command == "key" && args.size() == 2) {
        return keyCommand(args[1], out, err);
    }
    err << "usage: merriphonic-wire json | decode | decode-frame | encode | key FILE\n";
    return 2;
}

} // namespace merriphonic::wire
