#include "core/json_parser.h"
#include "core/json_value.h"
#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace merriphonic {
namespace {

TEST(JSONWriter, WritesCompactlyInKeyOrder) {
    JSONObject members;
    members.set("volume", JSONValue::real(0.5));
    members.set("x", JSONValue::null());
    const Bytes bytes = JSONWriter::data(JSONValue::object(members));
    EXPECT_EQ(bytes.size(), 23U);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), R"({"volume":0.5,"x":null})");

    const JSONValue nested = JSONValue::array(
        {JSONValue::boolean(true), JSONValue::boolean(false), JSONValue::integer(-5),
         JSONValue::array({}), JSONValue::object({}),
         JSONValue::object({{"b", JSONValue::string("")}, {"a", JSONValue::number("1E+3")}})});
    EXPECT_EQ(JSONWriter::string(nested), R"([true,false,-5,[],{},{"b":"","a":1E+3}])");
    EXPECT_EQ(JSONWriter::string(JSONValue::real(std::numeric_limits<double>::infinity())), "0");
}

TEST(JSONWriter, WriteAppendsToTheCallersBuffer) {
    Bytes out = {'x'};
    JSONWriter::write(JSONValue::integer(7), out);
    JSONWriter::write(JSONValue::string("a"), out);
    EXPECT_EQ(std::string(out.begin(), out.end()), "x7\"a\"");
}

TEST(JSONWriter, EscapesOnlyWhatItMust) {
    std::string controls;
    for (char c = 0; c < 0x20; ++c) {
        controls.push_back(c);
    }
    EXPECT_EQ(JSONWriter::string(JSONValue::string(controls)),
              R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
              R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b)"
              R"(\u001c\u001d\u001e\u001f")");
    EXPECT_EQ(JSONWriter::string(JSONValue::string("a\"b\\c/d\x7f")), "\"a\\\"b\\\\c/d\x7f\"");
    EXPECT_EQ(JSONWriter::string(JSONValue::string("caf\u00e9 \U0001F600")),
              "\"caf\u00e9 \U0001F600\"");
    EXPECT_EQ(JSONWriter::string(JSONValue::object({{"k\"\n", JSONValue::null()}})),
              R"({"k\"\n":null})");
}

TEST(JSONWriter, ReplacesIllFormedUTF8InBuiltStrings) {
    EXPECT_EQ(JSONWriter::string(JSONValue::string("a\xff\xe2\x82z\xed\xa0\x80")),
              "\"a\uFFFD\uFFFDz\uFFFD\uFFFD\uFFFD\"");
}

TEST(JSONWriter, ParsedCompactTextIsWrittenBackByteForByte) {
    const std::string text =
        R"({"type":"TRACK_OFFER","key":"0123456789abcdef","title":"Caf\u00e9 \"live\"",)"
        R"("size":4194304,"durationMs":215000,"gain":-0.0,"lead":1.5e+20,"tags":[null,true,)"
        R"([],{},"\ud83d\ude00"],"z":{"y":{"x":[1,2.50,-3E-2]}}})";
    const JSONValue value = JSONParser::parse(text);
    const std::string written = JSONWriter::string(value);
    // Escapes that need not be escaped come back as UTF-8; everything else is identical.
    EXPECT_EQ(written, R"({"type":"TRACK_OFFER","key":"0123456789abcdef","title":"Café \"live\"",)"
                       R"("size":4194304,"durationMs":215000,"gain":-0.0,"lead":1.5e+20,)"
                       R"("tags":[null,true,[],{},"😀"],"z":{"y":{"x":[1,2.50,-3E-2]}}})");
    EXPECT_EQ(JSONParser::parse(written), value);
    EXPECT_EQ(JSONWriter::string(JSONParser::parse(written)), written);
}

} // namespace
} // namespace merriphonic
