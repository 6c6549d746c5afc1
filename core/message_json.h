#pragma once

#include "core/json_value.h"
#include "core/message.h"
#include "core/message_type.h"

#include <optional>

namespace merriphonic {

// The JSON form of the control messages.
struct MessageJson {
    // The object a JSON-carried message is written as, keys in wire order; nothing for BYE,
    // unknown and the binary messages.
    static std::optional<JsonObject> object(const Message& message);

    // Reads a message of a JSON-carried type from its object. Absent and null keys take the
    // field's default or fail as missing; unlisted keys are ignored. Throws ProtocolError
    // (malformed) with the first failing field, e.g. "hello field 'id' missing", or
    // "ping is not a JSON message" for a type that carries no JSON.
    static Message decode(MessageType type, const JsonObject& object);
};

} // namespace merriphonic
