#pragma once

#include "core/bytes.h"
#include "core/message_type.h"
#include "core/speaker_state.h"
#include "core/sync_protocol.h"
#include "core/track_key.h"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace merriphonic {

struct Hello {
    int64_t v = SyncProtocol::version;
    std::string id;
    std::string name;
    std::string platform; // a Platform raw value, not enforced
    bool operator==(const Hello&) const = default;
};

struct Welcome {
    int64_t v = SyncProtocol::version;
    std::string hostId;
    std::string name;
    bool operator==(const Welcome&) const = default;
};

struct Ping {
    uint32_t seq = 0;
    int64_t t1 = 0; // sender's clock when the PING left
    bool operator==(const Ping&) const = default;
};

struct Pong {
    uint32_t seq = 0;
    int64_t t1 = 0; // copied from the PING
    int64_t t2 = 0; // host clock when the PING arrived
    int64_t t3 = 0; // host clock when the PONG left
    bool operator==(const Pong&) const = default;
};

struct TrackOffer {
    std::string trackKey;
    std::string title;
    std::string artist;
    std::string ext;
    int64_t size = 0;
    int64_t durationMs = 0;
    bool operator==(const TrackOffer&) const = default;
};

struct TrackHave {
    std::string trackKey;
    int64_t bytes = 0;
    bool operator==(const TrackHave&) const = default;
};

struct TrackChunk {
    TrackKey key;
    uint32_t offset = 0; // byte offset of data in the track file
    Bytes data;
    bool operator==(const TrackChunk&) const = default;
};

struct TrackDone {
    TrackKey key;
    bool operator==(const TrackDone&) const = default;
};

struct Play {
    std::string trackKey;
    int64_t startAtHostNs = 0; // host-clock instant at which positionMs is to be heard
    int64_t positionMs = 0;
    bool operator==(const Play&) const = default;
};

struct Pause {
    std::string trackKey;
    int64_t positionMs = 0;
    bool operator==(const Pause&) const = default;
};

struct Volume {
    double volume = 0;
    bool operator==(const Volume&) const = default;
};

struct Status {
    std::string state; // a SpeakerState raw value, not enforced
    std::optional<std::string> trackKey;
    int64_t bytes = 0;
    int64_t size = 0;
    double rttMs = 0;
    int64_t delayMs = 0;

    std::optional<SpeakerState> speakerState() const { return speakerStateFromRaw(state); }
    bool operator==(const Status&) const = default;
};

// A frame whose type byte no listed message uses; kept so it can be reproduced.
struct Unknown {
    uint8_t type = 0;
    Bytes payload;
    bool operator==(const Unknown&) const = default;
};

struct Bye {
    bool operator==(const Bye&) const = default;
};

struct Stop {
    bool operator==(const Stop&) const = default;
};

namespace detail {
template <class T, class V>
struct IsVariantAlternative;
template <class T, class... Ts>
struct IsVariantAlternative<T, std::variant<Ts...>>
    : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};
} // namespace detail

// One protocol message of any kind.
class Message {
public:
    using Variant = std::variant<Hello, Welcome, Ping, Pong, TrackOffer, TrackHave, TrackChunk,
                                 TrackDone, Play, Pause, Volume, Status, Unknown, Bye, Stop>;

    template <class T>
    static constexpr bool isKind =
        detail::IsVariantAlternative<std::remove_cvref_t<T>, Variant>::value;

    // Implicit: a message is any of its kinds. Constrained to the kinds, so it never stands in
    // for the copy or move constructor.
    template <class T>
    requires isKind<T> Message(T&& value) // NOLINT(bugprone-forwarding-reference-overload)
        : value_(std::forward<T>(value)) {}

    // The MessageType code of the kind; for an unknown message its stored type.
    uint8_t typeByte() const;
    // The listed type, or nothing for an unknown message.
    std::optional<MessageType> type() const;
    // The wire name ("HELLO" ...), or "UNKNOWN(0x7f)" for an unknown message.
    std::string name() const;
    // TRACK_CHUNK and TRACK_DONE travel in the bulk lane of the send queue.
    bool isBulk() const;

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(value_);
    }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&value_);
    }
    template <class T>
    T* as() {
        return std::get_if<T>(&value_);
    }
    const Variant& value() const { return value_; }

    bool operator==(const Message&) const = default;

private:
    Variant value_;
};

} // namespace merriphonic
