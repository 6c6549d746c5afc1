#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace merriphonic {

// The type byte of a frame. Any other byte value is legal on the wire (an unknown message).
enum class MessageType : uint8_t {
    hello = 0x01,
    welcome = 0x02,
    bye = 0x03,
    ping = 0x10,
    pong = 0x11,
    trackOffer = 0x20,
    trackHave = 0x21,
    trackChunk = 0x22,
    trackDone = 0x23,
    play = 0x30,
    pause = 0x31,
    stop = 0x32,
    volume = 0x33,
    status = 0x40,
};

inline constexpr std::array<MessageType, 14> allMessageTypes{
    MessageType::hello,     MessageType::welcome,    MessageType::bye,
    MessageType::ping,      MessageType::pong,       MessageType::trackOffer,
    MessageType::trackHave, MessageType::trackChunk, MessageType::trackDone,
    MessageType::play,      MessageType::pause,      MessageType::stop,
    MessageType::volume,    MessageType::status,
};

constexpr uint8_t rawValue(MessageType type) {
    return static_cast<uint8_t>(type);
}

// The listed type for a type byte, or nothing for a byte no case uses.
constexpr std::optional<MessageType> messageTypeFromByte(uint8_t byte) {
    for (MessageType type : allMessageTypes) {
        if (rawValue(type) == byte) {
            return type;
        }
    }
    return std::nullopt;
}

// The case name used in decoding error texts ("hello", "trackOffer", ...).
constexpr std::string_view caseName(MessageType type) {
    switch (type) {
    case MessageType::hello:
        return "hello";
    case MessageType::welcome:
        return "welcome";
    case MessageType::bye:
        return "bye";
    case MessageType::ping:
        return "ping";
    case MessageType::pong:
        return "pong";
    case MessageType::trackOffer:
        return "trackOffer";
    case MessageType::trackHave:
        return "trackHave";
    case MessageType::trackChunk:
        return "trackChunk";
    case MessageType::trackDone:
        return "trackDone";
    case MessageType::play:
        return "play";
    case MessageType::pause:
        return "pause";
    case MessageType::stop:
        return "stop";
    case MessageType::volume:
        return "volume";
    case MessageType::status:
        return "status";
    }
    return "";
}

// The name on the wire and in logs ("HELLO", "TRACK_OFFER", ...).
constexpr std::string_view wireName(MessageType type) {
    switch (type) {
    case MessageType::hello:
        return "HELLO";
    case MessageType::welcome:
        return "WELCOME";
    case MessageType::bye:
        return "BYE";
    case MessageType::ping:
        return "PING";
    case MessageType::pong:
        return "PONG";
    case MessageType::trackOffer:
        return "TRACK_OFFER";
    case MessageType::trackHave:
        return "TRACK_HAVE";
    case MessageType::trackChunk:
        return "TRACK_CHUNK";
    case MessageType::trackDone:
        return "TRACK_DONE";
    case MessageType::play:
        return "PLAY";
    case MessageType::pause:
        return "PAUSE";
    case MessageType::stop:
        return "STOP";
    case MessageType::volume:
        return "VOLUME";
    case MessageType::status:
        return "STATUS";
    }
    return "";
}

} // namespace merriphonic
