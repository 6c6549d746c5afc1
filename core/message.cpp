#include "core/message.h"

#include <type_traits>

#include "core/hex.h"

namespace merriphonic {

namespace {

template <class T>
constexpr MessageType typeOf() {
    if constexpr (std::is_same_v<T, Hello>) {
        return MessageType::hello;
    } else if constexpr (std::is_same_v<T, Welcome>) {
        return MessageType::welcome;
    } else if constexpr (std::is_same_v<T, Ping>) {
        return MessageType::ping;
    } else if constexpr (std::is_same_v<T, Pong>) {
        return MessageType::pong;
    } else if constexpr (std::is_same_v<T, TrackOffer>) {
        return MessageType::trackOffer;
    } else if constexpr (std::is_same_v<T, TrackHave>) {
        return MessageType::trackHave;
    } else if constexpr (std::is_same_v<T, TrackChunk>) {
        return MessageType::trackChunk;
    } else if constexpr (std::is_same_v<T, TrackDone>) {
        return MessageType::trackDone;
    } else if constexpr (std::is_same_v<T, Play>) {
        return MessageType::play;
    } else if constexpr (std::is_same_v<T, Pause>) {
        return MessageType::pause;
    } else if constexpr (std::is_same_v<T, Volume>) {
        return MessageType::volume;
    } else if constexpr (std::is_same_v<T, Status>) {
        return MessageType::status;
    } else if constexpr (std::is_same_v<T, Bye>) {
        return MessageType::bye;
    } else {
        static_assert(std::is_same_v<T, Stop>);
        return MessageType::stop;
    }
}

} // namespace

std::optional<MessageType> Message::type() const {
    return std::visit(
        [](const auto& value) -> std::optional<MessageType> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Unknown>) {
                return std::nullopt;
            } else {
                return typeOf<T>();
            }
        },
        value_);
}

uint8_t Message::typeByte() const {
    if (const auto* unknown = as<Unknown>()) {
        return unknown->type;
    }
    return rawValue(*type());
}

std::string Message::name() const {
    if (const auto* unknown = as<Unknown>()) {
        std::string digits;
        appendHex(digits, unknown->type);
        return "UNKNOWN(0x" + (unknown->type >= 0x10 ? digits : digits.substr(1)) + ")";
    }
    return std::string(wireName(*type()));
}

bool Message::isBulk() const {
    return is<TrackChunk>() || is<TrackDone>();
}

} // namespace merriphonic
