#pragma once

#include "core/bytes.h"
#include "core/message.h"

#include <cstddef>
#include <cstdint>

namespace merriphonic {

// Frame layout: u32 LE length (type byte + payload), type byte, payload.
struct FrameCodec {
    // Where the send-time stamps sit inside whole PING and PONG frames.
    static constexpr std::size_t pingT1Offset = 9;  // header + seq
    static constexpr std::size_t pongT3Offset = 25; // header + seq + t1 + t2

    // Aborts if the payload is too large for the length field.
    static Bytes frame(uint8_t type, ByteView payload);

    // The message's payload: binary for PING, PONG, TRACK_CHUNK, TRACK_DONE, empty for BYE,
    // stored bytes for an unknown type, compact JSON for all others.
    static Bytes payloadBytes(const Message& message);
    // The message's whole frame.
    static Bytes encode(const Message& message);
    static Bytes encodeBytes(const Message& message) { return encode(message); }

    // Throws ProtocolError (malformed) when the payload doesn't decode. Unlisted type bytes
    // give an Unknown message.
    static Message decode(uint8_t type, ByteView payload);
    // Decodes a buffer holding exactly one whole frame; throws ProtocolError otherwise.
    static Message decodeFrame(ByteView bytes);
};

} // namespace merriphonic
