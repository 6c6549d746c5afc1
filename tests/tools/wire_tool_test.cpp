#include "tools/wire/wire_tool.h"

#include "core/frame_codec.h"
#include "core/message.h"
#include "core/sync_protocol.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace merriphonic::wire {
namespace {

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome runTool(const std::vector<std::string>& args, const std::string& input) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int code = run(args, in, out, err);
    return {code, out.str(), err.str()};
}

std::string frames(std::initializer_list<Message> messages) {
    std::string bytes;
    for (const Message& m : messages) {
        const Bytes frame = FrameCodec::encode(m);
        bytes.append(frame.begin(), frame.end());
    }
    return bytes;
}

TEST(WireToolJson, PrintsCompactValueOrTheError) {
    EXPECT_EQ(runTool({"json"}, " { \"b\" : [1, 2.50, \"\\u00e9\"] , \"a\":null } ").out,
              "{\"b\":[1,2.50,\"\xc3\xa9\"],\"a\":null}\n");
    EXPECT_EQ(runTool({"json"}, "[1,]").out, "unexpected byte 0x5d at 3\n");
}

TEST(WireToolDecode, PrintsEveryKindOfMessage) {
    const TrackKey key = *TrackKey::fromHex("00112233445566ff");
    const std::string input =
        frames({Hello{1, "spk", "Kitchen", "linux"}, TrackChunk{key, 8192, Bytes(5, 1)}, Stop{},
                Unknown{0x7f, Bytes(3, 9)}, Status{"ready", std::nullopt, 10, 20, 1.5, -40}}) +
        std::string("\x05\x00", 2); // an incomplete trailing frame is ignored
    EXPECT_EQ(runTool({"decode"}, input).out,
              "HELLO {\"v\":1,\"id\":\"spk\",\"name\":\"Kitchen\",\"platform\":\"linux\"}\n"
              "TRACK_CHUNK {\"key\":\"00112233445566ff\",\"offset\":8192,\"size\":5}\n"
              "STOP {}\n"
              "UNKNOWN(0x7f) {\"size\":3}\n"
              "STATUS {\"state\":\"ready\",\"trackKey\":null,\"bytes\":10,\"size\":20,"
              "\"rttMs\":1.5,\"delayMs\":-40}\n");
}

// decode stops at the first error; decode-frame wants exactly one frame.
TEST(WireToolDecode, StopsAtTheFirstErrorAndDecodeFrameWantsOneFrame) {
    const std::string badPayload = frames({Ping{1, 1}}) + std::string("\x03\x00\x00\x00\x01{}", 7);
    Outcome o = runTool({"decode"}, badPayload);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "PING {\"seq\":1,\"t1\":1}\nmalformed payload: hello field 'id' missing\n");

    EXPECT_EQ(runTool({"decode-frame"}, frames({Stop{}})).out, "STOP {}\n");
    EXPECT_EQ(runTool({"decode-frame"}, frames({Stop{}, Stop{}})).out,
              "malformed payload: expected exactly one frame, got 2 (+0 bytes)\n");
}

TEST(WireToolEncode, RoundTripsWhatDecodePrints) {
    const std::string input =
        frames({Welcome{1, "host-1", "Anna's party"}, Ping{4294967295u, INT64_MIN},
                TrackChunk{*TrackKey::fromHex("0123456789abcdef"), 1, Bytes{0xde, 0xad}},
                Play{"0123456789abcdef", 123456789, 2500}, Volume{0.25}, Bye{}});
    const std::string printed = runTool({"decode"}, input).out;
    // TRACK_CHUNK carries its bytes as "data" when encoding.
    std::string lines = printed;
    const std::string sized = R"("offset":1,"size":2})";
    lines.replace(lines.find(sized), sized.size(), R"("offset":1,"data":"dead"})");
    const Outcome encoded = runTool({"encode"}, lines);
    EXPECT_EQ(encoded.code, 0) << encoded.err;
    EXPECT_EQ(encoded.out, input);
}

TEST(WireToolEncode, StopsAtTheFirstBadLineAndWritesOnlyFramesDecodeAccepts) {
    Outcome o = runTool({"encode"}, R"(STOP {}
HELLO {"name":"x"}
STOP {}
)");
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.err, "malformed payload: hello field 'id' missing\n");
    EXPECT_EQ(o.out, frames({Stop{}}));

    EXPECT_EQ(runTool({"encode"}, "NOPE {}\n").code, 1);
    EXPECT_EQ(runTool({"encode"}, "PLAY {\"trackKey\":\"k\"\n").err,
              "malformed payload: play: unexpected end of JSON\n");

    // Bare names are the empty messages decode prints.
    EXPECT_EQ(runTool({"encode"}, "BYE\nSTOP\r\nBYE \n").out, frames({Bye{}, Stop{}, Bye{}}));

    // The largest payload fits the frame limit exactly; one byte more is refused, whether it
    // is sized, given as data or made of JSON, and nothing of it is written.
    const size_t most = SyncProtocol::maxFrameLength - 1;
    const Outcome largest = runTool({"encode"}, "UNKNOWN(0x7f) {\"size\":1048575}\n");
    ASSERT_EQ(largest.code, 0) << largest.err;
    EXPECT_EQ(largest.out.size(), 5 + most);
    EXPECT_EQ(runTool({"decode"}, largest.out).out, "UNKNOWN(0x7f) {\"size\":1048575}\n");

    const std::string hugeData(2 * (most - 11), 'a');
    const std::vector<std::string> oversized = {
        R"(UNKNOWN(0x7f) {"size":1048576})",
        R"(TRACK_CHUNK {"key":"0123456789abcdef","offset":0,"data":")" + hugeData + "\"}",
        R"(TRACK_OFFER {"trackKey":"0123456789abcdef","size":1,"title":")" +
            std::string(most, 't') + "\"}"};
    for (const std::string& line : oversized) {
        const Outcome o = runTool({"encode"}, "STOP\n" + line + "\n");
        EXPECT_EQ(o.code, 1) << line.substr(0, 40);
        EXPECT_EQ(o.out, frames({Stop{}})) << line.substr(0, 40);
        EXPECT_NE(o.err, "") << line.substr(0, 40);
    }
}

} // namespace
} // namespace merriphonic::wire
