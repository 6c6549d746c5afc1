#include "core/json_parser.h"
#include "core/json_value.h"
#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace merriphonic {
namespace {

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();

TEST(JSONNumber, FormatsDoublesPlainOrWithExponent) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-2.5, "-2.5"},
        {0.5, "0.5"},
        {123.456, "123.456"},
        {0.1 + 0.2, "0.30000000000000004"},
        {0.0001, "0.0001"},
        {0.00012, "0.00012"},
        {-0.0001, "-0.0001"},
        {0.00001, "1e-05"},
        {9.9999e-05, "9.9999e-05"},
        {1e15, "1000000000000000.0"},
        {9007199254740992.0, "9007199254740992.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {-1e16, "-1e+16"},
        {1.5e20, "1.5e+20"},
        {1e100, "1e+100"},
        {1e-100, "1e-100"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        {std::numeric_limits<double>::infinity(), "0"},
        {-std::numeric_limits<double>::infinity(), "0"},
        {std::numeric_limits<double>::quiet_NaN(), "0"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(JSONWriter::format(value), expected);
        EXPECT_EQ(*JSONValue::real(value).numberText(), expected);
    }
}

TEST(JSONNumber, FormattedDoublesReadBackExactlyAndParse) {
    std::mt19937_64 random(42);
    for (int n = 0; n < 20'000; ++n) {
        const auto value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) {
            continue;
        }
        const std::string text = JSONWriter::format(value);
        const JSONValue parsed = JSONParser::parse(text); // valid JSON number grammar
        ASSERT_EQ(*parsed.numberText(), text);
        const auto back = parsed.doubleValue();
        ASSERT_TRUE(back.has_value()) << text;
        ASSERT_EQ(std::bit_cast<uint64_t>(*back), std::bit_cast<uint64_t>(value)) << text;
    }
}

TEST(JSONNumber, IntegersUseDecimalText) {
    EXPECT_EQ(*JSONValue::integer(-5).numberText(), "-5");
    EXPECT_EQ(*JSONValue::integer(0).numberText(), "0");
    EXPECT_EQ(*JSONValue::integer(int64Max).numberText(), "9223372036854775807");
    EXPECT_EQ(*JSONValue::integer(int64Min).numberText(), "-9223372036854775808");
    EXPECT_EQ(JSONValue::integer(int64Min).int64Value(), int64Min);
}

TEST(JSONNumber, Int64ValueRoundsAndRejectsOverflow) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
        {"0", 0},
        {"-0", 0},
        {"42", 42},
        {"9223372036854775807", int64Max},
        {"-9223372036854775808", int64Min},
        {"9223372036854775808", std::nullopt}, // 2^63 as a double
        {"-9223372036854775809", int64Min},    // rounds to -2^63 as a double
        {"1e19", std::nullopt},
        {"1e400", std::nullopt},
        {"1e-400", 0},
        {"1E2", 100},
        {"2.5e0", 3},
        {"-2.5e0", -3},
        {"9.2233720368547748e18", 9223372036854774784},
        {"1.0", 1},
        {"2.5", 3},
        {"2.49", 2},
        {"2.4999", 2},
        {"-2.5", -3},
        {"-0.7", -1},
        {"-0.4", 0},
        {"0.5", 1},
        {"9223372036854775807.4", int64Max},
        {"9223372036854775807.5", std::nullopt},
        {"-9223372036854775808.4", int64Min},
        {"-9223372036854775808.5", std::nullopt},
        {"123456789012345677.9", 123456789012345678}, // exact, not via a double
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(JSONValue::number(text).int64Value(), expected) << text;
    }
    EXPECT_EQ(JSONValue::string("1").int64Value(), std::nullopt);
    EXPECT_EQ(JSONValue::number("abc").int64Value(), std::nullopt);
    EXPECT_EQ(JSONValue::number("").int64Value(), std::nullopt);
    EXPECT_EQ(JSONValue::number(".5").int64Value(), std::nullopt);
}

TEST(JSONNumber, DoubleValueConvertsWholeTextOnly) {
    EXPECT_EQ(JSONValue::number("0.1").doubleValue(), 0.1);
    EXPECT_EQ(JSONValue::number("-1.5E+3").doubleValue(), -1500.0);
    EXPECT_EQ(JSONValue::number("123456789012345678901234567890").doubleValue(),
              1.2345678901234568e29);
    EXPECT_EQ(JSONValue::number("1e400").doubleValue(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(JSONValue::number("-1e400").doubleValue(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(JSONValue::number("0.0000001e-400").doubleValue(), 0.0);
    EXPECT_TRUE(std::signbit(*JSONValue::number("-1e-400").doubleValue()));
    EXPECT_EQ(JSONValue::number("1000000000000000000000e300").doubleValue(),
              std::numeric_limits<double>::infinity());
    EXPECT_EQ(JSONValue::number("0.00001e-320").doubleValue(), 0.0);
    EXPECT_EQ(JSONValue::number("1.5x").doubleValue(), std::nullopt);
    EXPECT_EQ(JSONValue::number("").doubleValue(), std::nullopt);
    EXPECT_EQ(JSONValue::null().doubleValue(), std::nullopt);
}

TEST(JSONNumber, SemanticEqualityComparesNumbersByValue) {
    const auto same = [](const std::string& a, const std::string& b) {
        return JSONValue::number(a).semanticallyEquals(JSONValue::number(b));
    };
    EXPECT_TRUE(same("1", "1.0"));
    EXPECT_TRUE(same("1", "1.4")); // both round to the integer 1
    EXPECT_FALSE(same("1", "1.5"));
    EXPECT_TRUE(same("100", "1e2"));
    EXPECT_TRUE(same("-0", "0"));
    EXPECT_TRUE(same("1e400", "2e400")); // no integer; equal as infinite doubles
    EXPECT_FALSE(same("1e400", "-1e400"));
    EXPECT_TRUE(same("1e19", "1.0000000000000001e19")); // the same double
    EXPECT_FALSE(same("1e19", "2e19"));
    EXPECT_TRUE(same("junk", "junk"));
    EXPECT_FALSE(same("junk", "other"));
    EXPECT_FALSE(JSONValue::number("1").semanticallyEquals(JSONValue::string("1")));
    EXPECT_FALSE(JSONValue::number("1") == JSONValue::number("1.0"));
}

} // namespace
} // namespace merriphonic
