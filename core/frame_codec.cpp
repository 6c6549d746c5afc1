#include "core/frame_codec.h"

#include "core/frame_reassembler.h"
#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_writer.h"
#include "core/le.h"
#include "core/message_json.h"
#include "core/protocol_error.h"

#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

namespace merriphonic {

namespace {

void appendKey(const TrackKey& key, Bytes& out) {
    out.insert(out.end(), key.bytes.begin(), key.bytes.end());
}

TrackKey keyAt(ByteView payload) {
    TrackKey key;
    for (std::size_t n = 0; n < TrackKey::size; ++n) {
        key.bytes[n] = payload[n];
    }
    return key;
}

void requireLength(MessageType type, ByteView payload, std::size_t minimum) {
    if (payload.size() < minimum) {
        throw ProtocolError::malformed(std::string(wireName(type)) + " payload " +
                                       std::to_string(payload.size()) + " < " +
                                       std::to_string(minimum) + " bytes");
    }
}

Message decodeJson(MessageType type, ByteView payload) {
    JsonValue value;
    try {
        value = JsonParser::parse(payload);
    } catch (const JsonError& error) {
        throw ProtocolError::malformed(std::string(caseName(type)) + ": " + error.description());
    }
    const JsonObject* object = value.objectValue();
    if (object == nullptr) {
        throw ProtocolError::malformed(std::string(caseName(type)) +
                                       " payload is not a JSON object");
    }
    return MessageJson::decode(type, *object);
}

} // namespace

Bytes FrameCodec::frame(uint8_t type, ByteView payload) {
    if (payload.size() >= std::numeric_limits<uint32_t>::max()) {
        std::abort();
    }
    Bytes bytes;
    bytes.reserve(SyncProtocol::headerSize + payload.size());
    LE::append(static_cast<uint32_t>(payload.size() + 1), bytes);
    bytes.push_back(type);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes FrameCodec::payloadBytes(const Message& message) {
    return std::visit(
        [&message](const auto& value) -> Bytes {
            using T = std::decay_t<decltype(value)>;
            Bytes out;
            if constexpr (std::is_same_v<T, Ping>) {
                LE::append(value.seq, out);
                LE::append(value.t1, out);
            } else if constexpr (std::is_same_v<T, Pong>) {
                LE::append(value.seq, out);
                LE::append(value.t1, out);
                LE::append(value.t2, out);
                LE::append(value.t3, out);
            } else if constexpr (std::is_same_v<T, TrackChunk>) {
                out.reserve(12 + value.data.size());
                appendKey(value.key, out);
                LE::append(value.offset, out);
                out.insert(out.end(), value.data.begin(), value.data.end());
            } else if constexpr (std::is_same_v<T, TrackDone>) {
                appendKey(value.key, out);
            } else if constexpr (std::is_same_v<T, Unknown>) {
                out = value.payload;
            } else if constexpr (std::is_same_v<T, Bye>) {
                // No payload.
            } else {
                JsonWriter::write(JsonValue::object(*MessageJson::object(message)), out);
            }
            return out;
        },
        message.value());
}

Bytes FrameCodec::encode(const Message& message) {
    return frame(message.typeByte(), payloadBytes(message));
}

Message FrameCodec::decode(uint8_t typeByte, ByteView payload) {
    const std::optional<MessageType> type = messageTypeFromByte(typeByte);
    if (!type) {
        return Unknown{typeByte, Bytes(payload.begin(), payload.end())};
    }
    switch (*type) {
    case MessageType::bye:
        return Bye{};
    case MessageType::ping:
        requireLength(*type, payload, 12);
        return Ping{LE::u32(payload, 0), LE::i64(payload, 4)};
    case MessageType::pong:
        requireLength(*type, payload, 28);
        return Pong{LE::u32(payload, 0), LE::i64(payload, 4), LE::i64(payload, 12),
                    LE::i64(payload, 20)};
    case MessageType::trackChunk:
        requireLength(*type, payload, 12);
        return TrackChunk{keyAt(payload), LE::u32(payload, 8),
                          Bytes(payload.begin() + 12, payload.end())};
    case MessageType::trackDone:
        requireLength(*type, payload, 8);
        return TrackDone{keyAt(payload)};
    default:
        return decodeJson(*type, payload);
    }
}

Message FrameCodec::decodeFrame(ByteView bytes) {
    FrameReassembler reassembler;
    std::vector<RawFrame> frames = reassembler.push(bytes);
    const std::size_t leftover = reassembler.pendingByteCount();
    if (frames.size() != 1 || leftover != 0) {
        throw ProtocolError::malformed("expected exactly one frame, got " +
                                       std::to_string(frames.size()) + " (+" +
                                       std::to_string(leftover) + " bytes)");
    }
    return decode(frames.front().type, frames.front().payload);
}

} // namespace merriphonic
