#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_value.h"
#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace merriphonic {
namespace {

std::string errorText(std::string_view input) {
    try {
        JsonParser::parse(input);
    } catch (const JsonError& error) {
        return error.what();
    }
    return "parsed";
}

TEST(JsonParser, ReportsEachErrorWithItsPosition) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {" \t\r\n ", "unexpected end of JSON"},
        {"{} x", "trailing data at 3"},
        {"01", "trailing data at 1"},
        {"[1,]", "unexpected byte 0x5d at 3"},
        {R"({"a":1,})", "unexpected byte 0x7d at 7"},
        {R"({"a":1 "b":2})", "unexpected byte 0x22 at 7"},
        {"[01]", "unexpected byte 0x31 at 2"},
        {R"({"a" 1})", "unexpected byte 0x31 at 5"},
        {"\xff", "unexpected byte 0xff at 0"},
        {"\"a\tb\"", "unexpected byte 0x9 at 2"},
        {"trUe", "unexpected byte 0x55 at 2"},
        {"-", "invalid number at 0"},
        {"1.", "invalid number at 0"},
        {"1e+", "invalid number at 0"},
        {"[1, -.5]", "invalid number at 4"},
        {R"("\x")", "invalid escape at 2"},
        {R"("\ud83d\uZ000")", "invalid escape at 9"},
        {"nul", "unexpected end of JSON"},
        {R"("\u12")", "unexpected end of JSON"},
        {"[1", "unexpected end of JSON"},
        {R"({"a":1,)", "unexpected end of JSON"}};
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(errorText(input), expected) << "input: " << input;
    }
}

TEST(JsonParser, NestingIsBoundedAt64Levels) {
    const auto nested = [](size_t levels, const std::string& open, const std::string& inner,
                           const std::string& close) {
        std::string text;
        for (size_t n = 0; n < levels; ++n) {
            text.insert(0, open);
            text += n == 0 ? inner + close : close;
        }
        return text;
    };
    EXPECT_NO_THROW(JsonParser::parse(nested(64, "[", "", "]")));
    EXPECT_NO_THROW(JsonParser::parse(nested(63, R"({"a":)", "{}", "}")));
    EXPECT_EQ(errorText(nested(64, "[", "1", "]")), "JSON nested too deeply");
    EXPECT_EQ(errorText(nested(65, "[", "", "]")), "JSON nested too deeply");
    EXPECT_EQ(errorText(nested(64, R"({"a":)", "{}", "}")), "JSON nested too deeply");
    // Hostile input: must fail without exhausting the stack.
    EXPECT_EQ(errorText(std::string(100'000, '[')), "JSON nested too deeply");
    std::string objects;
    for (int n = 0; n < 100'000; ++n) {
        objects += R"({"a":)";
    }
    EXPECT_EQ(errorText(objects), "JSON nested too deeply");
}

TEST(JsonParser, KeepsKeyOrderAndALaterDuplicateWinsInPlace) {
    const JsonValue value =
        JsonParser::parse(std::string_view(" {\"z\":1,\t\"a\":{},\r\n\"m\":\"x\",\"z\":[]} "));
    EXPECT_EQ(value.objectValue()->keys(), (std::vector<std::string>{"z", "a", "m"}));
    EXPECT_EQ(*value["z"], JsonValue::array({}));
    EXPECT_EQ(value["absent"], nullptr);
}

// Escapes, surrogate pairs, and ill-formed UTF-8, which becomes U+FFFD per maximal subpart.
TEST(JsonParser, DecodesStringsAndRepairsBadText) {
    const std::string r = "\uFFFD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u00e9\u20AC\u0000")", std::string("A\u00e9\u20ac\0", 7)},
        {"\"caf\xc3\xa9 \xf0\x9f\x98\x80\"", "caf\u00e9 \U0001F600"},
        {R"("\ud83d\ude00")", "\U0001F600"},
        {R"("\uDBFF\uDFFF")", "\U0010FFFF"},
        {R"("\ud83dx")", r + "x"},
        {R"("\ud83d\u0041")", r + "A"}, // the next escape is decoded on its own
        {R"("\ud83d\ud83d\ude00")", r + "\U0001F600"},
        {R"("\ude00\ud83d")", r + r},
        {"\"a\x80z\"", "a" + r + "z"},
        {"\"\xc0\xaf\"", r + r},                                  // overlong
        {"\"\xed\xa0\x80\"", r + r + r},                          // encoded surrogate
        {"\"\xf4\x90\x80\x80\"", r + r + r + r},                  // above U+10FFFF
        {"\"a\xf0\x9f\x98z\"", "a" + r + "z"},                    // one maximal subpart
        {"\"\xe2\x82\\u00e9\"", r + "\u00e9"},                    // truncated before an escape
        {"\"\xe2\x82\xac\xf0\x90\x8d\x88\"", "\u20ac\U00010348"}, // valid, untouched
    };
    for (const auto& [input, expected] : cases) {
        const JsonValue value = JsonParser::parse(input);
        ASSERT_NE(value.stringValue(), nullptr) << input;
        EXPECT_EQ(*value.stringValue(), expected) << input;
    }
    // Keys are repaired the same way.
    EXPECT_NE(JsonParser::parse(std::string_view("{\"k\xff\":1}"))["k" + r], nullptr);
}

TEST(JsonWriter, WritesCompactlyInKeyOrderAppendingToTheBuffer) {
    Bytes out = {'x'};
    JsonWriter::write(JsonValue::object({{"volume", JsonValue::real(0.5)}, {"x", JsonValue()}}),
                      out);
    JsonWriter::write(JsonValue::integer(7), out);
    EXPECT_EQ(std::string(out.begin(), out.end()), R"(x{"volume":0.5,"x":null}7)");
    const JsonValue nested = JsonValue::array(
        {JsonValue::boolean(true), JsonValue::boolean(false), JsonValue::array({}),
         JsonValue::object({{"b", JsonValue::string("")}, {"a", JsonValue::number("1E+3")}})});
    EXPECT_EQ(JsonWriter::string(nested), R"([true,false,[],{"b":"","a":1E+3}])");
}

TEST(JsonWriter, EscapesOnlyWhatItMustAndRepairsBadUTF8) {
    std::string controls;
    for (char c = 0; c < 0x20; ++c) {
        controls.push_back(c);
    }
    EXPECT_EQ(JsonWriter::string(JsonValue::string(controls)),
              R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
              R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b)"
              R"(\u001c\u001d\u001e\u001f")");
    EXPECT_EQ(JsonWriter::string(JsonValue::string("a\"b\\c/d\x7f caf\u00e9 \U0001F600")),
              "\"a\\\"b\\\\c/d\x7f caf\u00e9 \U0001F600\"");
    EXPECT_EQ(JsonWriter::string(JsonValue::object({{"k\"\n", JsonValue::null()}})),
              R"({"k\"\n":null})");
    EXPECT_EQ(JsonWriter::string(JsonValue::string("a\xff\xe2\x82z\xed\xa0\x80")),
              "\"a\uFFFD\uFFFDz\uFFFD\uFFFD\uFFFD\"");
}

TEST(JsonWriter, FormatsDoublesPlainOrWithExponent) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::string>> cases = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.00001, "1e-05"},
        {9.9999e-05, "9.9999e-05"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {-1.5e20, "-1.5e+20"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {inf, "0"},
        {std::numeric_limits<double>::quiet_NaN(), "0"}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(*JsonValue::real(value).numberText(), expected);
    }
    EXPECT_EQ(*JsonValue::integer(std::numeric_limits<int64_t>::min()).numberText(),
              "-9223372036854775808");
}

TEST(JsonWriter, FormattedDoublesParseAndReadBackExactly) {
    std::mt19937_64 random(42);
    for (int n = 0; n < 20'000; ++n) {
        const auto value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string text = JsonWriter::format(value);
        const JsonValue parsed = JsonParser::parse(text); // valid JSON number grammar
        ASSERT_EQ(*parsed.numberText(), text);
        const auto back = parsed.doubleValue();
        ASSERT_TRUE(back.has_value()) << text;
        ASSERT_EQ(std::bit_cast<uint64_t>(*back), std::bit_cast<uint64_t>(value)) << text;
    }
}

TEST(JsonWriter, ParsedCompactTextIsWrittenBackByteForByte) {
    const std::string text =
        R"({"type":"TRACK_OFFER","key":"0123456789abcdef","title":"Caf\u00e9 \"live\"",)"
        R"("size":4194304,"durationMs":215000,"gain":-0.0,"lead":1.5e+20,"tags":[null,true,)"
        R"([],{},"\ud83d\ude00"],"z":{"y":{"x":[1,2.50,-3E-2,1e400,)"
        R"(123456789012345678901234567890.000]}}})";
    const JsonValue value = JsonParser::parse(text);
    const std::string written = JsonWriter::string(value);
    // Escapes that need not be escaped come back as UTF-8; numbers keep their text.
    EXPECT_EQ(written, R"({"type":"TRACK_OFFER","key":"0123456789abcdef","title":"Café \"live\"",)"
                       R"("size":4194304,"durationMs":215000,"gain":-0.0,"lead":1.5e+20,)"
                       R"("tags":[null,true,[],{},"😀"],"z":{"y":{"x":[1,2.50,-3E-2,1e400,)"
                       R"(123456789012345678901234567890.000]}}})");
    EXPECT_EQ(JsonParser::parse(written), value);
}

} // namespace
} // namespace merriphonic
