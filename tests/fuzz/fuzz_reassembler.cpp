// Feeding a stream in arbitrary pieces must give the same frames and the same error as feeding
// it in one go.
#include "core/frame_reassembler.h"
#include "core/protocol_error.h"
#include "tests/fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

using merriphonic::ByteView;
using merriphonic::FrameReassembler;
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

// The input in one go, or in pieces.
Outcome push(ByteView input, bool inPieces) {
    Outcome outcome;
    FrameReassembler reassembler;
    std::size_t at = 0;
    while (at < input.size()) {
        const std::size_t size = inPieces ? pieceSize(input, at) : input.size();
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

    const Outcome whole = push(input, false);
    const Outcome pieces = push(input, true);

    check(whole.error == pieces.error);
    if (!whole.error) {
        check(whole.frames == pieces.frames);
        check(whole.pending == pieces.pending);
    }
    return 0;
}
