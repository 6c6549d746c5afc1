// Every message that decodes must encode to a frame that decodes to the same message.
#include "core/frame_codec.h"
#include "core/protocol_error.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

using merriphonic::Bytes;
using merriphonic::ByteView;
using merriphonic::FrameCodec;
using merriphonic::Message;
using merriphonic::ProtocolError;

using merriphonic::fuzz::check;

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t type = data[0];
    const ByteView payload(data + 1, size - 1);

    std::optional<Message> message;
    try {
        message = FrameCodec::decode(type, payload);
    } catch (const ProtocolError& error) {
        check(error.kind() == ProtocolError::Kind::malformed);
        return 0;
    }
    check(message->typeByte() == type);

    const Bytes frame = FrameCodec::encode(*message);
    const Message again = FrameCodec::decodeFrame(frame);
    check(again == *message);
    check(FrameCodec::encode(again) == frame);
    if (message->is<merriphonic::Unknown>()) {
        check(Bytes(payload.begin(), payload.end()) == FrameCodec::payloadBytes(*message));
    }
    return 0;
}
