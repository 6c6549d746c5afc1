// Feeding a stream in arbitrary pieces must give the same frames and the same error as feeding
// it in one go.
#include "core/frame_codec.h"
#include "core/frame_reassembler.h"
#include "core/le.h"
#include "core/protocol_error.h"
#include "tests/fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

using merriphonic::Bytes;
using merriphonic::ByteView;
using merriphonic::FrameCodec;
using merriphonic::FrameReassembler;
using merriphonic::LE;
using merriphonic::ProtocolError;
using merriphonic::RawFrame;

using merriphonic::fuzz::check;

namespace {

struct Outcome {
    std::vector<RawFrame> frames;
    std::optional<ProtocolError> error;
    std::size_t pending = 0;
};

// Piece sizes come from the input itself: each piece's first byte picks its size, mostly
// small, sometimes large, so that headers and bodies are cut everywhere.
std::size_t pieceSize(ByteView input, std::size_t at) {
    const uint8_t selector = input[at];
    const std::size_t remaining = input.size() - at;
    if (selector >= 0xf0) {
        return remaining;
    }
    if (selector >= 0xc0) {
        return remaining / 2 + 1;
    }
    return std::min<std::size_t>(remaining, 1 + selector % 9);
}

Outcome pushInPieces(ByteView input) {
    Outcome outcome;
    FrameReassembler reassembler;
    std::size_t at = 0;
    while (at < input.size()) {
        const std::size_t size = pieceSize(input, at);
        try {
            std::vector<RawFrame> frames = reassembler.push(input.subspan(at, size));
            outcome.frames.insert(outcome.frames.end(), frames.begin(), frames.end());
        } catch (const ProtocolError& error) {
            outcome.error = error;
            return outcome;
        }
        at += size;
    }
    outcome.pending = reassembler.pendingByteCount();
    return outcome;
}

} // namespace

// NOLINTNEXTLINE(readability-identifier-naming): the name libFuzzer calls
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const ByteView input(data, size);

    Outcome whole;
    FrameReassembler reassembler;
    try {
        whole.frames = reassembler.push(input);
        whole.pending = reassembler.pendingByteCount();
    } catch (const ProtocolError& error) {
        whole.error = error;
    }
    const Outcome pieces = pushInPieces(input);

    check(whole.error == pieces.error);
    if (!whole.error) {
        check(whole.frames == pieces.frames);
        check(whole.pending == pieces.pending);
    }

    // What came out is the input's prefix, frame by frame, and what is pending is the rest.
    std::size_t consumed = 0;
    for (const RawFrame& frame : pieces.frames) {
        const Bytes bytes = FrameCodec::frame(frame.type, frame.payload);
        check(consumed + bytes.size() <= size);
        check(std::equal(bytes.begin(), bytes.end(), data + consumed));
        consumed += bytes.size();
    }
    if (!pieces.error) {
        check(consumed + pieces.pending == size);
        // Whatever is pending is an incomplete frame.
        if (pieces.pending >= 4) {
            check(pieces.pending < 4 + std::size_t{LE::u32(input, consumed)});
        }
    }
    return 0;
}
