#include "core/frame_codec.h"
#include "core/frame_reassembler.h"
#include "core/le.h"
#include "core/protocol_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace merriphonic {
namespace {

Bytes frameOf(uint8_t type, std::size_t payloadSize, uint8_t seed = 0) {
    Bytes payload(payloadSize);
    for (std::size_t n = 0; n < payloadSize; ++n) {
        payload[n] = static_cast<uint8_t>(seed + n * 7);
    }
    return FrameCodec::frame(type, payload);
}

Bytes header(uint32_t length) {
    Bytes bytes;
    LE::append(length, bytes);
    return bytes;
}

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Expects the call to throw this ProtocolError, described as `description`.
void expectError(const std::function<void()>& call, const ProtocolError& expected,
                 const std::string& description) {
    try {
        call();
        ADD_FAILURE() << "no error, expected " << description;
    } catch (const ProtocolError& error) {
        EXPECT_EQ(error, expected);
        EXPECT_EQ(std::string(error.what()), description);
    }
}

TEST(LEDeathTest, OutOfRangeAccessAborts) {
    Bytes bytes(8);
    EXPECT_DEATH(LE::u32(bytes, 5), "");
    EXPECT_DEATH(LE::write(1, bytes, 1), "");
}

TEST(FrameReassembler, OneByteAtATimeYieldsEachFrameWhenItsLastByteArrives) {
    std::vector<RawFrame> expected;
    std::vector<std::size_t> ends; // stream offset just past each frame
    Bytes stream;
    for (std::size_t size : {0, 1, 12, 4108, 0, 70'000, 5}) {
        const auto type = static_cast<uint8_t>(expected.size() * 37);
        const Bytes frame = frameOf(type, size, static_cast<uint8_t>(size));
        expected.push_back({type, Bytes(frame.begin() + 5, frame.end())});
        stream = joined(stream, frame);
        ends.push_back(stream.size());
    }
    FrameReassembler reassembler;
    std::vector<RawFrame> received;
    for (std::size_t n = 0; n < stream.size(); ++n) {
        const std::vector<RawFrame> frames = reassembler.push(ByteView(&stream[n], 1));
        ASSERT_EQ(frames.size(), ends[received.size()] == n + 1 ? 1U : 0U) << "at byte " << n;
        received.insert(received.end(), frames.begin(), frames.end());
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(reassembler.pendingByteCount(), 0U);
    EXPECT_TRUE(reassembler.buffer().empty());
}

TEST(FrameReassembler, KeepsTrailingPartialFramesAndCompactsPast64KiB) {
    const Bytes third = frameOf(0x22, 100);
    const Bytes stream = joined(joined(frameOf(0x10, 12), frameOf(0x03, 0)),
                                Bytes(third.begin(), third.begin() + 50));
    FrameReassembler reassembler;
    const std::vector<RawFrame> frames = reassembler.push(stream);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].payload.size(), 12U);
    EXPECT_EQ(frames[1], (RawFrame{0x03, {}}));
    EXPECT_EQ(reassembler.pendingByteCount(), 50U);
    EXPECT_EQ(reassembler.start(), 22U); // few bytes consumed: kept rather than shifted
    const std::vector<RawFrame> rest = reassembler.push(ByteView(third).subspan(50));
    ASSERT_EQ(rest.size(), 1U);
    EXPECT_EQ(rest[0].payload, Bytes(third.begin() + 5, third.end()));
    EXPECT_EQ(reassembler.start(), 0U);

    FrameReassembler large;
    Bytes big = frameOf(1, 65'531); // 65,536 bytes in all
    big.push_back(9);               // first byte of the next header: length 9
    EXPECT_EQ(large.push(big).size(), 1U);
    EXPECT_EQ(large.start(), 65'536U); // not more than 64 KiB yet
    const std::vector<RawFrame> next = large.push(Bytes{0, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7, 8, 0xaa});
    EXPECT_EQ(next, (std::vector<RawFrame>{{7, {1, 2, 3, 4, 5, 6, 7, 8}}}));
    EXPECT_EQ(large.start(), 0U);
    EXPECT_EQ(large.buffer(), Bytes{0xaa});
}

TEST(FrameReassembler, LengthBounds) {
    FrameReassembler empty;
    EXPECT_EQ(empty.push(header(1)), std::vector<RawFrame>{});
    EXPECT_EQ(empty.push(Bytes{0x42}), (std::vector<RawFrame>{{0x42, {}}}));

    FrameReassembler largest;
    const Bytes maxFrame = frameOf(0x22, SyncProtocol::maxFrameLength - 1);
    EXPECT_EQ(largest.push(ByteView(maxFrame).first(maxFrame.size() - 1)).size(), 0U);
    const std::vector<RawFrame> frames = largest.push(ByteView(maxFrame).last(1));
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0].payload.size(), 1'048'575U);

    expectError([] { FrameReassembler().push(header(0)); }, ProtocolError::invalidLength(0),
                "invalid frame length 0");
    expectError([] { FrameReassembler().push(header(1'048'577)); },
                ProtocolError::invalidLength(1'048'577), "invalid frame length 1048577");
    // A bad header after good frames fails the whole push.
    expectError([] { FrameReassembler().push(joined(frameOf(1, 3), header(0xffffffff))); },
                ProtocolError::invalidLength(0xffffffff), "invalid frame length 4294967295");
}

TEST(FrameCodec, DecodeFrameNeedsExactlyOneWholeFrame) {
    const Bytes bye = frameOf(0x03, 0);
    EXPECT_EQ(bye, (Bytes{1, 0, 0, 0, 3}));
    EXPECT_EQ(FrameCodec::decodeFrame(bye), Message(Bye{}));
    const std::vector<std::pair<Bytes, std::string>> rows{
        {joined(bye, bye), "expected exactly one frame, got 2 (+0 bytes)"},
        {joined(bye, {1, 2, 3}), "expected exactly one frame, got 1 (+3 bytes)"},
        {{5, 0, 0}, "expected exactly one frame, got 0 (+3 bytes)"},
    };
    for (const auto& row : rows) {
        expectError([&] { FrameCodec::decodeFrame(row.first); },
                    ProtocolError::malformed(row.second), "malformed payload: " + row.second);
    }
    expectError([] { FrameCodec::decodeFrame(header(0)); }, ProtocolError::invalidLength(0),
                "invalid frame length 0");
}

} // namespace
} // namespace merriphonic
