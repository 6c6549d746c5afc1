#include "core/json_error.h"
#include "core/json_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace merriphonic {
namespace {

std::string errorText(std::string_view input) {
    try {
        JSONParser::parse(input);
    } catch (const JSONError& error) {
        return error.what();
    }
    return "parsed";
}

std::string parsedString(std::string_view input) {
    const JSONValue value = JSONParser::parse(input);
    const std::string* text = value.stringValue();
    return text ? *text : "<not a string>";
}

TEST(JSONParser, ReportsEachErrorWithItsPosition) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "unexpected end of JSON"},
        {" \t\r\n ", "unexpected end of JSON"},
        {"{} x", "trailing data at 3"},
        {"[] []", "trailing data at 3"},
        {"01", "trailing data at 1"},
        {"[1,]", "unexpected byte 0x5d at 3"},
        {R"({"a":1,})", "unexpected byte 0x7d at 7"},
        {R"({"a":1 "b":2})", "unexpected byte 0x22 at 7"},
        {"[1 2]", "unexpected byte 0x32 at 3"},
        {"[01]", "unexpected byte 0x31 at 2"},
        {"{1:2}", "unexpected byte 0x31 at 1"},
        {R"({"a" 1})", "unexpected byte 0x31 at 5"},
        {"\v1", "unexpected byte 0xb at 0"},
        {"\xff", "unexpected byte 0xff at 0"},
        {"+1", "unexpected byte 0x2b at 0"},
        {"\"a\tb\"", "unexpected byte 0x9 at 2"},
        {"trUe", "unexpected byte 0x55 at 2"},
        {"nul", "unexpected end of JSON"},
        {"-", "invalid number at 0"},
        {"1.", "invalid number at 0"},
        {"1e", "invalid number at 0"},
        {"1e+", "invalid number at 0"},
        {"-a", "invalid number at 0"},
        {"[1, -.5]", "invalid number at 4"},
        {R"("\x")", "invalid escape at 2"},
        {R"("\u12G4")", "invalid escape at 5"},
        {R"("\ud83d\uZ000")", "invalid escape at 9"},
        {R"("\u12")", "unexpected end of JSON"},
        {R"("\)", "unexpected end of JSON"},
        {R"("abc)", "unexpected end of JSON"},
        {"[", "unexpected end of JSON"},
        {"[1", "unexpected end of JSON"},
        {"{", "unexpected end of JSON"},
        {R"({"a")", "unexpected end of JSON"},
        {R"({"a":)", "unexpected end of JSON"},
        {R"({"a":1,)", "unexpected end of JSON"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(errorText(input), expected) << "input: " << input;
    }
}

TEST(JSONParser, ErrorCarriesKindByteAndPosition) {
    try {
        JSONParser::parse(std::string_view("[true}"));
        FAIL() << "parsed";
    } catch (const JSONError& error) {
        EXPECT_EQ(error.kind(), JSONError::Kind::unexpectedByte);
        EXPECT_EQ(error.byte(), 0x7d);
        EXPECT_EQ(error.position(), 5U);
        EXPECT_EQ(error.description(), "unexpected byte 0x7d at 5");
        EXPECT_EQ(error, JSONError::unexpectedByte(0x7d, 5));
        EXPECT_NE(error, JSONError::unexpectedByte(0x7d, 4));
    }
    EXPECT_NE(JSONError::invalidNumber(3), JSONError::invalidEscape(3));
}

std::string nested(size_t levels, std::string_view open, std::string_view inner,
                   std::string_view close) {
    std::string text;
    for (size_t n = 0; n < levels; ++n) {
        text += open;
    }
    text += inner;
    for (size_t n = 0; n < levels; ++n) {
        text += close;
    }
    return text;
}

TEST(JSONParser, NestingIsBoundedAt64Levels) {
    EXPECT_NO_THROW(JSONParser::parse(nested(64, "[", "", "]")));
    EXPECT_NO_THROW(JSONParser::parse(nested(63, R"({"a":)", "{}", "}")));
    EXPECT_EQ(errorText(nested(64, "[", "1", "]")), "JSON nested too deeply");
    EXPECT_EQ(errorText(nested(65, "[", "", "]")), "JSON nested too deeply");
    EXPECT_EQ(errorText(nested(64, R"({"a":)", "{}", "}")), "JSON nested too deeply");
    // Hostile input: must fail without exhausting the stack.
    EXPECT_EQ(errorText(std::string(100'000, '[')), "JSON nested too deeply");
    EXPECT_EQ(errorText(nested(100'000, R"({"a":)", "", "")), "JSON nested too deeply");
}

TEST(JSONParser, ParsesValuesAndKeepsKeyOrder) {
    const JSONValue value = JSONParser::parse(
        std::string_view(" {\"z\":[true,false,null],\t\"a\":{},\r\n\"m\":\"x\",\"e\":[]} "));
    const JSONObject* object = value.objectValue();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->keys(), (std::vector<std::string>{"z", "a", "m", "e"}));
    EXPECT_EQ(*value["z"], JSONValue::array({JSONValue::boolean(true), JSONValue::boolean(false),
                                             JSONValue::null()}));
    EXPECT_EQ(*value["a"], JSONValue::object({}));
    EXPECT_EQ(*value["m"]->stringValue(), "x");
    EXPECT_EQ(value["e"]->arrayValue()->size(), 0U);
    EXPECT_EQ(value["absent"], nullptr);
}

TEST(JSONParser, LaterDuplicateKeyWinsAndKeepsFirstPosition) {
    const JSONValue value = JSONParser::parse(std::string_view(R"({"a":1,"b":2,"a":3})"));
    EXPECT_EQ(value.objectValue()->keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(*value["a"]->numberText(), "3");
}

TEST(JSONParser, KeepsNumberTextsVerbatim) {
    for (const std::string text : {"0", "-0", "0.5", "1E+3", "-1e-7", "2.50", "1e400",
                                   "123456789012345678901234567890.000"}) {
        const JSONValue value = JSONParser::parse(text);
        ASSERT_NE(value.numberText(), nullptr) << text;
        EXPECT_EQ(*value.numberText(), text);
    }
}

TEST(JSONParser, DecodesEscapes) {
    EXPECT_EQ(parsedString(R"("\"\\\/\b\f\n\r\t")"), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(parsedString(R"("\u0041\u00e9\u20AC\u0000")"), std::string("A\u00e9\u20ac\0", 7));
    EXPECT_EQ(parsedString("\"caf\xc3\xa9 \xf0\x9f\x98\x80\""), "caf\u00e9 \U0001F600");
}

TEST(JSONParser, JoinsSurrogatePairsAndReplacesLoneOnes) {
    const std::string replacement = "\uFFFD";
    EXPECT_EQ(parsedString(R"("\ud83d\ude00")"), "\U0001F600");
    EXPECT_EQ(parsedString(R"("\uDBFF\uDFFF")"), "\U0010FFFF");
    EXPECT_EQ(parsedString(R"("\ud83d")"), replacement);
    EXPECT_EQ(parsedString(R"("\ude00")"), replacement);
    EXPECT_EQ(parsedString(R"("\ud83dx")"), replacement + "x");
    EXPECT_EQ(parsedString(R"("\ud83d\n")"), replacement + "\n");
    // A following escape that is not a low surrogate is decoded on its own.
    EXPECT_EQ(parsedString(R"("\ud83d\u0041")"), replacement + "A");
    EXPECT_EQ(parsedString(R"("\ud83d\ud83d\ude00")"), replacement + "\U0001F600");
    EXPECT_EQ(parsedString(R"("\ude00\ud83d")"), replacement + replacement);
}

TEST(JSONParser, ReplacesIllFormedUTF8) {
    const std::string r = "\uFFFD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"a\x80z\"", "a" + r + "z"},
        {"\"\xc0\xaf\"", r + r},                                  // overlong
        {"\"\xed\xa0\x80\"", r + r + r},                          // encoded surrogate
        {"\"\xf4\x90\x80\x80\"", r + r + r + r},                  // above U+10FFFF
        {"\"\xe2\x82\"", r},                                      // truncated at the end
        {"\"a\xf0\x9f\x98z\"", "a" + r + "z"},                    // one maximal subpart
        {"\"\xe2\x82\\u00e9\"", r + "\u00e9"},                    // truncated before an escape
        {"\"\xff\xfe\xf8\"", r + r + r},                          // never valid
        {"\"\xe2\x82\xac\xf0\x90\x8d\x88\"", "\u20ac\U00010348"}, // valid, untouched
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(parsedString(input), expected);
    }
    // Keys are repaired the same way.
    const JSONValue value = JSONParser::parse(std::string_view("{\"k\xff\":1}"));
    EXPECT_NE(value["k" + r], nullptr);
}

TEST(JSONParser, AcceptsByteSpans) {
    const Bytes bytes = {'[', '1', ',', '"', 0xc3, 0xa9, '"', ']'};
    EXPECT_EQ(JSONParser::parse(ByteView(bytes)),
              JSONValue::array({JSONValue::number("1"), JSONValue::string("\u00e9")}));
}

} // namespace
} // namespace merriphonic
