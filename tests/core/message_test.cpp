#include "core/frame_codec.h"
#include "core/message.h"
#include "core/message_json.h"
#include "core/platform.h"
#include "core/protocol_error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace merriphonic {
namespace {

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

std::string jsonPayload(const Message& message) {
    const Bytes payload = FrameCodec::payloadBytes(message);
    return {payload.begin(), payload.end()};
}

Message decodeText(MessageType type, std::string_view payload) {
    return FrameCodec::decode(rawValue(type), bytesOf(payload));
}

const TrackKey someKey{{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};

TEST(Message, TypeCodesAndNames) {
    struct Row {
        Message message;
        uint8_t code;
        std::string name;
        bool bulk;
    };
    const std::vector<Row> rows{
        {Hello{}, 0x01, "HELLO", false},
        {Welcome{}, 0x02, "WELCOME", false},
        {Bye{}, 0x03, "BYE", false},
        {Ping{}, 0x10, "PING", false},
        {Pong{}, 0x11, "PONG", false},
        {TrackOffer{}, 0x20, "TRACK_OFFER", false},
        {TrackHave{}, 0x21, "TRACK_HAVE", false},
        {TrackChunk{}, 0x22, "TRACK_CHUNK", true},
        {TrackDone{}, 0x23, "TRACK_DONE", true},
        {Play{}, 0x30, "PLAY", false},
        {Pause{}, 0x31, "PAUSE", false},
        {Stop{}, 0x32, "STOP", false},
        {Volume{}, 0x33, "VOLUME", false},
        {Status{}, 0x40, "STATUS", false},
        {Unknown{0x7f, {}}, 0x7f, "UNKNOWN(0x7f)", false},
        {Unknown{0x05, {}}, 0x05, "UNKNOWN(0x5)", false},
        {Unknown{0x00, {}}, 0x00, "UNKNOWN(0x0)", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.message.typeByte(), row.code) << row.name;
        EXPECT_EQ(row.message.name(), row.name);
        EXPECT_EQ(row.message.isBulk(), row.bulk) << row.name;
        if (row.message.is<Unknown>()) {
            EXPECT_EQ(row.message.type(), std::nullopt);
        } else {
            EXPECT_EQ(wireName(*messageTypeFromByte(row.code)), row.name);
        }
    }
    EXPECT_EQ(allMessageTypes.front(), MessageType::hello);
    EXPECT_EQ(allMessageTypes.back(), MessageType::status);
    EXPECT_EQ(caseName(MessageType::trackOffer), "trackOffer");
}

TEST(Message, WritesExactJSON) {
    const std::vector<std::pair<Message, std::string>> rows{
        {Hello{1, "spk-1", "Ana \"A\"", "linux"},
         R"({"v":1,"id":"spk-1","name":"Ana \"A\"","platform":"linux"})"},
        {Welcome{1, "host-9", "Bo's party"}, R"({"v":1,"hostId":"host-9","name":"Bo's party"})"},
        {TrackOffer{"0123456789abcdef", "Song", "Band", "mp3", 3'500'000, 215'000},
         R"({"trackKey":"0123456789abcdef","title":"Song","artist":"Band","ext":"mp3",)"
         R"("size":3500000,"durationMs":215000})"},
        {TrackHave{"0123456789abcdef", 4096}, R"({"trackKey":"0123456789abcdef","bytes":4096})"},
        {Play{"k", 9'007'199'254'740'993, -20},
         R"({"trackKey":"k","startAtHostNs":9007199254740993,"positionMs":-20})"},
        {Pause{"k", 61'000}, R"({"trackKey":"k","positionMs":61000})"},
        {Stop{}, "{}"},
        {Volume{0.5}, R"({"volume":0.5})"},
        {Volume{1}, R"({"volume":1.0})"},
        {Status{"ready", std::nullopt, 10, 20, std::nan(""), -200},
         R"({"state":"ready","trackKey":null,"bytes":10,"size":20,"rttMs":0,"delayMs":-200})"},
        {Status{"playing", "abc", 0, 0, 12.25, 0},
         R"({"state":"playing","trackKey":"abc","bytes":0,"size":0,"rttMs":12.25,"delayMs":0})"},
    };
    for (const auto& [message, json] : rows) {
        EXPECT_EQ(jsonPayload(message), json);
    }
    for (const Message& binary :
         {Message(Bye{}), Message(Ping{}), Message(Pong{}), Message(TrackChunk{}),
          Message(TrackDone{}), Message(Unknown{0x7f, {}})}) {
        EXPECT_EQ(MessageJSON::object(binary), std::nullopt) << binary.name();
    }
}

TEST(Message, BinaryPayloadLayout) {
    EXPECT_EQ(FrameCodec::payloadBytes(Ping{0x01020304, -1}),
              (Bytes{4, 3, 2, 1, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    const Bytes pong = FrameCodec::payloadBytes(Pong{1, 2, 3, 4});
    ASSERT_EQ(pong.size(), 28U);
    EXPECT_EQ(pong[4], 2);
    EXPECT_EQ(pong[12], 3);
    EXPECT_EQ(pong[20], 4);
    EXPECT_EQ(FrameCodec::payloadBytes(TrackChunk{someKey, 0x1000, {0xaa, 0xbb}}),
              (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0, 0x10, 0, 0, 0xaa, 0xbb}));
    EXPECT_EQ(FrameCodec::payloadBytes(TrackDone{someKey}),
              Bytes(someKey.bytes.begin(), someKey.bytes.end()));
    EXPECT_TRUE(FrameCodec::payloadBytes(Bye{}).empty());
}

TEST(Message, EveryKindSurvivesEncodeAndDecode) {
    const std::vector<Message> messages{
        Hello{1, "id-ü", "Näme\n\t\u0001", "android"},
        Welcome{2, "h", ""},
        Ping{0xffffffff, std::numeric_limits<int64_t>::min()},
        Pong{0, 1, std::numeric_limits<int64_t>::max(), -3},
        TrackOffer{"k", "t", "a", "wav", std::numeric_limits<int64_t>::max(), 1},
        TrackHave{"k", std::numeric_limits<int64_t>::min()},
        TrackChunk{someKey, 0xfffffff0, Bytes(SyncProtocol::chunkDataSize, 0x5a)},
        TrackChunk{someKey, 0, {}},
        TrackDone{someKey},
        Play{"k", 1'700'000'000'000'000'000, 0},
        Pause{"", -1},
        Volume{0.1},
        Volume{1e-7},
        Status{"paused", "k", 1, 2, 0.30000000000000004, 500},
        Status{"x", std::nullopt, 0, 0, 0, 0},
        Unknown{0x7f, {1, 2, 3}},
        Unknown{0xff, {}},
        Bye{},
        Stop{},
    };
    for (const Message& message : messages) {
        const Bytes frame = FrameCodec::encode(message);
        EXPECT_EQ(frame.size(), 5 + FrameCodec::payloadBytes(message).size());
        EXPECT_EQ(FrameCodec::decodeFrame(frame), message) << message.name();
    }
    // Unknown frames are reproduced byte for byte.
    const Bytes unknownFrame{4, 0, 0, 0, 0x7f, 9, 8, 7};
    const Message unknown = FrameCodec::decodeFrame(unknownFrame);
    EXPECT_EQ(unknown.name(), "UNKNOWN(0x7f)");
    EXPECT_EQ(unknown, Message(Unknown{0x7f, {9, 8, 7}}));
    EXPECT_EQ(FrameCodec::encode(unknown), unknownFrame);
}

TEST(Message, DecodingFailuresNameTheProblem) {
    struct Row {
        MessageType type;
        Bytes payload;
        std::string detail;
    };
    const std::vector<Row> rows{
        {MessageType::ping, Bytes(5), "PING payload 5 < 12 bytes"},
        {MessageType::pong, Bytes(20), "PONG payload 20 < 28 bytes"},
        {MessageType::trackChunk, Bytes(3), "TRACK_CHUNK payload 3 < 12 bytes"},
        {MessageType::trackChunk, Bytes(11), "TRACK_CHUNK payload 11 < 12 bytes"},
        {MessageType::trackDone, Bytes(7), "TRACK_DONE payload 7 < 8 bytes"},
        {MessageType::play, bytesOf(R"({"trackKey":)"), "play: unexpected end of JSON"},
        {MessageType::hello, {}, "hello: unexpected end of JSON"},
        {MessageType::status, bytesOf("{} x"), "status: trailing data at 3"},
        {MessageType::volume, bytesOf("[1]"), "volume payload is not a JSON object"},
        {MessageType::stop, bytesOf("null"), "stop payload is not a JSON object"},
        {MessageType::hello, bytesOf("{}"), "hello field 'id' missing"},
        {MessageType::hello, bytesOf(R"({"v":"1","id":5})"), "hello field 'v' is not an integer"},
        {MessageType::hello, bytesOf(R"({"id":"a","name":1})"),
         "hello field 'name' is not a string"},
        {MessageType::welcome, bytesOf(R"({"v":true})"), "welcome field 'v' is not an integer"},
        {MessageType::welcome, bytesOf(R"({"hostId":[]})"),
         "welcome field 'hostId' is not a string"},
        {MessageType::trackOffer, bytesOf(R"({"size":1})"), "trackOffer field 'trackKey' missing"},
        {MessageType::trackOffer, bytesOf(R"({"trackKey":"k","size":null})"),
         "trackOffer field 'size' missing"},
        {MessageType::trackOffer, bytesOf(R"({"trackKey":"k","size":"9"})"),
         "trackOffer field 'size' is not an integer"},
        {MessageType::trackOffer, bytesOf(R"({"trackKey":"k","size":1e300})"),
         "trackOffer field 'size' is not an integer"},
        {MessageType::trackHave, bytesOf(R"({"bytes":1})"), "trackHave field 'trackKey' missing"},
        {MessageType::play, bytesOf(R"({"trackKey":"k"})"), "play field 'startAtHostNs' missing"},
        {MessageType::pause, bytesOf(R"({"positionMs":{}})"),
         "pause field 'positionMs' is not an integer"},
        {MessageType::volume, bytesOf("{}"), "volume field 'volume' missing"},
        {MessageType::volume, bytesOf(R"({"volume":"loud"})"),
         "volume field 'volume' is not a number"},
        {MessageType::volume, bytesOf(R"({"volume":1e999})"),
         "volume field 'volume' is not a number"},
        {MessageType::status, bytesOf(R"({"trackKey":null})"), "status field 'state' missing"},
        {MessageType::status, bytesOf(R"({"state":"idle","trackKey":5})"),
         "status field 'trackKey' is not a string"},
        {MessageType::status, bytesOf(R"({"state":"idle","rttMs":false})"),
         "status field 'rttMs' is not a number"},
    };
    for (const Row& row : rows) {
        try {
            const Message message = FrameCodec::decode(rawValue(row.type), row.payload);
            ADD_FAILURE() << "decoded " << message.name() << ", expected " << row.detail;
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error, ProtocolError::malformed(row.detail));
            EXPECT_EQ(std::string(error.what()), "malformed payload: " + row.detail);
        }
    }
    for (MessageType type : {MessageType::bye, MessageType::ping, MessageType::pong,
                             MessageType::trackChunk, MessageType::trackDone}) {
        try {
            MessageJSON::decode(type, JSONObject{});
            ADD_FAILURE() << caseName(type);
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error.detail(), std::string(caseName(type)) + " is not a JSON message");
        }
    }
}

TEST(Message, DecodingDefaultsAndLenience) {
    EXPECT_EQ(decodeText(MessageType::hello, R"({"id":"a"})"), Message(Hello{1, "a", "", ""}));
    EXPECT_EQ(decodeText(MessageType::welcome, R"({"v":null,"extra":[1,2]})"),
              Message(Welcome{1, "", ""}));
    EXPECT_EQ(decodeText(MessageType::trackOffer, R"({"trackKey":"K","size":12.5})"),
              Message(TrackOffer{"K", "", "", "m4a", 13, 0}));
    EXPECT_EQ(decodeText(MessageType::trackHave, R"({"trackKey":"K","bytes":2.4})"),
              Message(TrackHave{"K", 2}));
    EXPECT_EQ(decodeText(MessageType::play, R"({"trackKey":"K","startAtHostNs":-1e3})"),
              Message(Play{"K", -1000, 0}));
    EXPECT_EQ(decodeText(MessageType::pause, "{}"), Message(Pause{"", 0}));
    EXPECT_EQ(decodeText(MessageType::stop, R"({"anything":1})"), Message(Stop{}));
    EXPECT_EQ(decodeText(MessageType::volume, R"({"volume":-0.25})"), Message(Volume{-0.25}));
    EXPECT_EQ(decodeText(MessageType::status, R"({"state":"napping","trackKey":null})"),
              Message(Status{"napping", std::nullopt, 0, 0, 0, 0}));
    EXPECT_EQ(FrameCodec::decode(rawValue(MessageType::bye), Bytes{1, 2}), Message(Bye{}));
    // Bytes beyond the fixed fields are ignored.
    Bytes longPing = FrameCodec::payloadBytes(Ping{4, 5});
    longPing.push_back(0xee);
    EXPECT_EQ(FrameCodec::decode(0x10, longPing), Message(Ping{4, 5}));
}

TEST(Message, StatusStateIsOnlyAKnownText) {
    Status status;
    status.state = "playing";
    EXPECT_EQ(status.speakerState(), SpeakerState::playing);
    status.state = "Playing";
    EXPECT_EQ(status.speakerState(), std::nullopt);
    EXPECT_EQ(platformFromRaw(rawValue(currentPlatform)), Platform::linux);
}

} // namespace
} // namespace merriphonic
