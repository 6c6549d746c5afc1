#include "core/frame_codec.h"
#include "core/message.h"
#include "core/outbound_frame.h"
#include "core/protocol_error.h"
#include "core/sync_protocol.h"
#include "core/text_limits.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace merriphonic {
namespace {

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

Message decodeText(MessageType type, std::string_view payload) {
    return FrameCodec::decode(rawValue(type), bytesOf(payload));
}

const TrackKey someKey{{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};

// Every peer must agree on these: each is named here with its value, so that a typo in one
// fails rather than passes.
TEST(Message, ProtocolConstantsAreThePeersShared) {
    using P = SyncProtocol;
    EXPECT_EQ(P::version, 1);
    EXPECT_EQ(P::maxSpeakers, 7);
    EXPECT_EQ(P::maxFrameLength, 1'048'576U);
    EXPECT_EQ(P::headerSize, 5);
    EXPECT_EQ(P::chunkDataSize, 4096);
    EXPECT_EQ(P::initialPingBurst, 20);
    EXPECT_EQ(P::periodicPingBurst, 5);
    EXPECT_EQ(P::pingSpacingNs, 50'000'000);
    EXPECT_EQ(P::pingPeriodNs, 2'000'000'000);
    EXPECT_EQ(P::clockWindowNs, 30'000'000'000);
    EXPECT_EQ(P::minSyncSamples, 5);
    EXPECT_EQ(P::startLeadNs, 1'500'000'000);
    EXPECT_EQ(P::resumeLeadNs, 800'000'000);
    EXPECT_EQ(P::hardResyncMs, 40.0);
    EXPECT_EQ(P::maxRateTrim, 0.003);
    EXPECT_EQ(P::delayRangeMs, (IntRange{-200, 500}));
    EXPECT_EQ(P::serviceUuid, "7D2EA4A0-5C3B-4F1E-9A51-3B6C2F0E1A00");
    EXPECT_EQ(P::psmCharacteristicUuid, "7D2EA4A1-5C3B-4F1E-9A51-3B6C2F0E1A00");
    EXPECT_EQ(P::infoCharacteristicUuid, "7D2EA4A2-5C3B-4F1E-9A51-3B6C2F0E1A00");
    EXPECT_EQ(
        std::vector<std::string_view>(P::playableExtensions.begin(), P::playableExtensions.end()),
        (std::vector<std::string_view>{"m4a", "mp3", "aac", "wav"}));
}

TEST(Message, TypeCodesAndNames) {
    struct Row {
        Message message;
        uint8_t code;
        std::string name;
    };
    // clang-format off
    const std::vector<Row> rows{
        {Hello{}, 0x01, "HELLO"},          {Welcome{}, 0x02, "WELCOME"},
        {Bye{}, 0x03, "BYE"},              {Ping{}, 0x10, "PING"},
        {Pong{}, 0x11, "PONG"},            {TrackOffer{}, 0x20, "TRACK_OFFER"},
        {TrackHave{}, 0x21, "TRACK_HAVE"}, {TrackChunk{}, 0x22, "TRACK_CHUNK"},
        {TrackDone{}, 0x23, "TRACK_DONE"}, {Play{}, 0x30, "PLAY"},
        {Pause{}, 0x31, "PAUSE"},          {Stop{}, 0x32, "STOP"},
        {Volume{}, 0x33, "VOLUME"},        {Status{}, 0x40, "STATUS"},
        {Unknown{0x7f, {}}, 0x7f, "UNKNOWN(0x7f)"}, {Unknown{0x00, {}}, 0x00, "UNKNOWN(0x0)"},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(row.message.typeByte(), row.code) << row.name;
        EXPECT_EQ(row.message.name(), row.name);
        // Only file data travels in the bulk lane.
        EXPECT_EQ(row.message.isBulk(), row.code == 0x22 || row.code == 0x23) << row.name;
    }
}

TEST(Message, WritesExactJson) {
    const std::vector<std::pair<Message, std::string>> rows{
        {Hello{1, "spk-1", "Ana \"A\"", "linux"},
         R"({"v":1,"id":"spk-1","name":"Ana \"A\"","platform":"linux"})"},
        {Welcome{1, "host-9", "Bo's party"}, R"({"v":1,"hostId":"host-9","name":"Bo's party"})"},
        {TrackOffer{"0123456789abcdef", "Song", "Band", "mp3", 3'500'000, 215'000},
         R"({"trackKey":"0123456789abcdef","title":"Song","artist":"Band","ext":"mp3",)"
         R"("size":3500000,"durationMs":215000})"},
        {Play{"k", 9'007'199'254'740'993, -20},
         R"({"trackKey":"k","startAtHostNs":9007199254740993,"positionMs":-20})"},
        {Stop{}, "{}"},
        {Volume{1}, R"({"volume":1.0})"},
        {Status{"ready", std::nullopt, 10, 20, 2.5, -200},
         R"({"state":"ready","trackKey":null,"bytes":10,"size":20,"rttMs":2.5,"delayMs":-200})"},
    };
    for (const auto& [message, json] : rows) {
        const Bytes payload = FrameCodec::payloadBytes(message);
        EXPECT_EQ(std::string(payload.begin(), payload.end()), json);
        // Read back, each field from its own key.
        EXPECT_EQ(FrameCodec::payloadBytes(FrameCodec::decode(message.typeByte(), payload)),
                  payload);
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
    EXPECT_EQ(FrameCodec::encode(TrackDone{someKey}),
              (Bytes{9, 0, 0, 0, 0x23, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}));
}

TEST(Message, DecodingFailuresNameTheProblem) {
    using T = MessageType;
    const std::vector<std::tuple<MessageType, Bytes, std::string>> rows{
        {T::pong, Bytes(20), "PONG payload 20 < 28 bytes"},
        {T::play, bytesOf(R"({"trackKey":)"), "play: unexpected end of JSON"},
        {T::volume, bytesOf("[1]"), "volume payload is not a JSON object"},
        {T::hello, bytesOf("{}"), "hello field 'id' missing"},
        {T::hello, bytesOf(R"({"v":"1","id":5})"), "hello field 'v' is not an integer"},
        {T::trackOffer, bytesOf(R"({"trackKey":"k","size":1e300})"),
         "trackOffer field 'size' is not an integer"},
        {T::play, bytesOf(R"({"trackKey":"k"})"), "play field 'startAtHostNs' missing"},
        {T::status, bytesOf(R"({"state":"idle","trackKey":5})"),
         "status field 'trackKey' is not a string"},
    };
    for (const auto& [type, payload, detail] : rows) {
        try {
            const Message message = FrameCodec::decode(rawValue(type), payload);
            ADD_FAILURE() << "decoded " << message.name() << ", expected " << detail;
        } catch (const ProtocolError& error) {
            EXPECT_EQ(error, ProtocolError::malformed(detail));
            EXPECT_EQ(std::string(error.what()), "malformed payload: " + detail);
        }
    }
}

TEST(Message, DecodingDefaultsAndLenience) {
    EXPECT_EQ(decodeText(MessageType::hello, R"({"id":"a"})"), Message(Hello{1, "a", "", ""}));
    EXPECT_EQ(decodeText(MessageType::trackOffer, R"({"trackKey":"K","size":12.5})"),
              Message(TrackOffer{"K", "", "", "m4a", 13, 0}));
    EXPECT_EQ(decodeText(MessageType::play, R"({"trackKey":"K","startAtHostNs":-1e3})"),
              Message(Play{"K", -1000, 0}));
    const Message status =
        decodeText(MessageType::status, R"({"state":"Playing","trackKey":null})");
    EXPECT_EQ(status, Message(Status{"Playing", std::nullopt, 0, 0, 0, 0}));
    EXPECT_EQ(status.as<Status>()->speakerState(), std::nullopt); // states are case-sensitive
    EXPECT_EQ(FrameCodec::decode(rawValue(MessageType::bye), Bytes{1, 2}), Message(Bye{}));
}

TEST(TextLimits, CutsAtWholeCharactersAndBoundsWhatIsSent) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // a é € 😀: 1+2+3+4 bytes
    const std::vector<std::pair<size_t, size_t>> limitToLength = {
        {0, 0}, {1, 1}, {2, 1}, {3, 3}, {5, 3}, {6, 6}, {9, 6}, {10, 10}, {99, 10}};
    for (const auto& [limit, length] : limitToLength) {
        EXPECT_EQ(TextLimits::cut(text, limit), text.substr(0, length)) << limit;
    }
    // An ill-formed byte counts as one character; a sequence cut short by the text stays whole.
    EXPECT_EQ(TextLimits::cut("ab\xFF\xFF", 3), "ab\xFF");
    EXPECT_EQ(TextLimits::cut("ab\xE2\x82", 3), "ab");

    // A name of a megabyte would make a frame the peer drops the link over: it is cut instead.
    std::string huge;
    while (huge.size() < SyncProtocol::maxFrameLength) {
        huge += "\xE2\x82\xAC";
    }
    const OutboundFrame frame(Hello{1, huge, huge, huge});
    const Message sent = FrameCodec::decodeFrame(frame.bytes);
    const Hello& hello = *sent.as<Hello>();
    EXPECT_EQ(hello.name.size(), TextLimits::maxNameBytes - TextLimits::maxNameBytes % 3);
    EXPECT_EQ(hello.id.size(), TextLimits::maxTokenBytes - TextLimits::maxTokenBytes % 3);

    // Short texts are left as they are.
    Message play = Play{"0123456789abcdef", 5, 6};
    TextLimits::apply(play);
    EXPECT_EQ(play, Message(Play{"0123456789abcdef", 5, 6}));
}

} // namespace
} // namespace merriphonic
