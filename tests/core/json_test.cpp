#include "core/json_error.h"
#include "core/json_parser.h"
#include "core/json_value.h"
#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace merriphonic {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

std::string errorText(std::string_view input) {
    try {
        JsonParser::parse(input);
    } catch (const JsonError& error) {
        return error.what();
    }
    return "parsed";
}

// Containers `levels` deep around `inner`.
std::string nested(size_t levels, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string text;
    for (size_t n = 0; n < levels; ++n) {
        text.insert(0, open);
        text += n == 0 ? inner + close : close;
    }
    return text;
}

// Values sit at depths 0 to 63: at most 64 containers nest, the innermost empty.
TEST(JsonParser, ReportsEachErrorWithItsPositionAndBoundsNesting) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {nested(64, "[", "", "]"), "parsed"},
        {nested(63, R"({"a":)", "{}", "}"), "parsed"},
        {nested(64, "[", "1", "]"), "JSON nested too deeply"},
        {nested(65, "[", "", "]"), "JSON nested too deeply"},
        {nested(64, R"({"a":)", "{}", "}"), "JSON nested too deeply"},
        {std::string(100'000, '['), "JSON nested too deeply"}, // without exhausting the stack
        {" \t\r\n ", "unexpected end of JSON"},
        {"{} x", "trailing data at 3"},
        {"[1,]", "unexpected byte 0x5d at 3"},
        {"\xff", "unexpected byte 0xff at 0"},
        {"-", "invalid number at 0"},
        {"[1, -.5]", "invalid number at 4"},
        {R"("\x")", "invalid escape at 2"},
        {R"("\ud83d\uZ000")", "invalid escape at 9"},
        {"nul", "unexpected end of JSON"}};

    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(errorText(input), expected) << "input: " << input;
    }
}

// Escapes, surrogate pairs, and ill-formed UTF-8, which becomes U+FFFD per maximal subpart.
TEST(JsonParser, DecodesStringsAndRepairsBadText) {
    const std::string r = "\uFFFD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u00e9\u20AC\u0000")", std::string("A\u00e9\u20ac\0", 7)},
        {R"("\ud83d\ude00")", "\U0001F600"},
        {R"("\ud83d\u0041")", r + "A"},        // the next escape is decoded on its own
        {"\"\xed\xa0\x80\"", r + r + r},       // encoded surrogate
        {"\"a\xf0\x9f\x98z\"", "a" + r + "z"}, // one maximal subpart
        {"\"\xe2\x82\\u00e9\"", r + "\u00e9"}, // truncated before an escape
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

TEST(JsonWriter, EscapesOnlyWhatItMustAndRepairsBadUTF8) {
    EXPECT_EQ(JsonWriter::string(JsonValue::string(std::string("\0\x01\b\x1f", 4))),
              R"("\u0000\u0001\b\u001f")");
    EXPECT_EQ(JsonWriter::string(JsonValue::string("a\"b\\c/d\x7f caf\u00e9 \U0001F600")),
              "\"a\\\"b\\\\c/d\x7f caf\u00e9 \U0001F600\"");
    EXPECT_EQ(JsonWriter::string(JsonValue::object({{"k\"\n", JsonValue::null()}})),
              R"({"k\"\n":null})");
    EXPECT_EQ(JsonWriter::string(JsonValue::string("a\xff\xe2\x82z\xed\xa0\x80")),
              "\"a\uFFFD\uFFFDz\uFFFD\uFFFD\uFFFD\"");
}

TEST(JsonWriter, FormatsDoublesPlainOrWithExponent) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.00001, "1e-05"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {inf, "0"},
        {std::numeric_limits<double>::quiet_NaN(), "0"}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(*JsonValue::real(value).numberText(), expected);
    }
}

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();

TEST(JsonNumber, Int64ValueRoundsHalfAwayAndRejectsOverflowDoubleValueSaturates) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
        {"9223372036854775807", int64Max},
        {"-9223372036854775808", int64Min},
        {"9223372036854775808", std::nullopt},
        {"1e19", std::nullopt},
        {"-2.5", -3},
        {"9223372036854775807.5", std::nullopt},
        {"123456789012345677.9", 123456789012345678}, // exact, not via a double
        {".5", std::nullopt}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(JsonValue::number(text).int64Value(), expected) << text;
    }
    EXPECT_EQ(JsonValue::string("1").int64Value(), std::nullopt);
    // Doubles convert the whole text only.
    const std::vector<std::pair<std::string, std::optional<double>>> doubles = {
        {"0.1", 0.1}, {"1e400", inf}, {"0.00001e-320", 0.0}, {"1.5x", std::nullopt}};
    for (const auto& [text, expected] : doubles) {
        EXPECT_EQ(JsonValue::number(text).doubleValue(), expected) << text;
    }
    EXPECT_TRUE(std::signbit(*JsonValue::number("-1e-400").doubleValue()));
}

// Large objects keep a key index (parsed objects included); copies must not share it.
TEST(JsonObject, LargeObjectsStayConsistentThroughEditsAndCopies) {
    std::string text = "{";
    for (int n = 0; n < 1000; ++n) {
        text += (n == 0 ? "\"k" : ",\"k") + std::to_string(n) + "\":" + std::to_string(n);
    }
    JsonObject object = *JsonParser::parse(text + R"(,"k5":-5})").objectValue();
    ASSERT_EQ(object.count(), 1000U);
    for (int n = 0; n < 1000; ++n) {
        ASSERT_EQ(object.keys()[static_cast<size_t>(n)], "k" + std::to_string(n));
        ASSERT_EQ(object.get("k" + std::to_string(n))->int64Value(), n == 5 ? -5 : n);
    }
    EXPECT_EQ(object.get("k1000"), nullptr);
    JsonObject copy = object;
    copy.set("k1", JsonValue::string("changed"));
    copy.set("new", JsonValue());
    EXPECT_EQ(object.get("k1")->int64Value(), 1);
    EXPECT_EQ(object.get("new"), nullptr);
    auto source = std::make_unique<JsonValue>(JsonValue::object(copy));
    const JsonValue valueCopy = *source;
    source.reset(); // the copy must own its members
    EXPECT_EQ(valueCopy, JsonValue::object(copy));
    EXPECT_EQ(*valueCopy["new"], JsonValue());
}

} // namespace
} // namespace merriphonic
