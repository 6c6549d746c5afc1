#include "core/json_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace merriphonic {
namespace {

constexpr int64_t int64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64Min = std::numeric_limits<int64_t>::min();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(JsonNumber, Int64ValueRoundsHalfAwayAndRejectsOverflow) {
    const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
        {"9223372036854775807", int64Max},
        {"-9223372036854775808", int64Min},
        {"9223372036854775808", std::nullopt},
        {"1e19", std::nullopt},
        {"1e400", std::nullopt},
        {"2.4999", 2},
        {"-2.5", -3},
        {"-0.4", 0},
        {"9223372036854775807.4", int64Max},
        {"9223372036854775807.5", std::nullopt},
        {"-9223372036854775808.4", int64Min},
        {"-9223372036854775808.5", std::nullopt},
        {"123456789012345677.9", 123456789012345678}, // exact, not via a double
        {".5", std::nullopt}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(JsonValue::number(text).int64Value(), expected) << text;
    }
    EXPECT_EQ(JsonValue::string("1").int64Value(), std::nullopt);
}

TEST(JsonNumber, DoubleValueConvertsWholeTextOnly) {
    const std::vector<std::pair<std::string, std::optional<double>>> cases = {
        {"0.1", 0.1},          {"123456789012345678901234567890", 1.2345678901234568e29},
        {"1e400", inf},        {"1000000000000000000000e300", inf},
        {"0.00001e-320", 0.0}, {"1.5x", std::nullopt}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(JsonValue::number(text).doubleValue(), expected) << text;
    }
    EXPECT_TRUE(std::signbit(*JsonValue::number("-1e-400").doubleValue()));
}

TEST(JsonValue, SemanticEqualityComparesNumbersByValueAndIgnoresKeyOrder) {
    const auto same = [](const std::string& a, const std::string& b) {
        return JsonValue::number(a).semanticallyEquals(JsonValue::number(b));
    };
    EXPECT_TRUE(same("1", "1.4")); // both round to the integer 1
    EXPECT_FALSE(same("1", "1.5"));
    EXPECT_TRUE(same("-0", "0"));
    EXPECT_TRUE(same("1e400", "2e400")); // no integer; equal as infinite doubles
    EXPECT_FALSE(same("1e400", "-1e400"));
    EXPECT_TRUE(same("1e19", "1.0000000000000001e19")); // the same double
    EXPECT_FALSE(same("junk", "other"));
    EXPECT_FALSE(JsonValue::number("1").semanticallyEquals(JsonValue::string("1")));

    const auto array = [](const char* number) {
        return JsonValue::array({JsonValue::number(number), JsonValue::string("s")});
    };
    const JsonValue a = JsonValue::object({{"x", JsonValue::number("1")}, {"y", array("2.0")}});
    const JsonValue b = JsonValue::object({{"y", array("2")}, {"x", JsonValue::number("1.0")}});
    EXPECT_TRUE(a.semanticallyEquals(b));
    EXPECT_TRUE(b.semanticallyEquals(a));
    EXPECT_NE(a, b);
    const JsonValue reversed = JsonValue::object(
        {{"x", JsonValue::number("1")},
         {"y", JsonValue::array({JsonValue::string("s"), JsonValue::number("2")})}});
    EXPECT_FALSE(a.semanticallyEquals(reversed));
    const JsonValue extraKey =
        JsonValue::object({{"x", JsonValue::number("1")}, {"y", *b["y"]}, {"z", JsonValue()}});
    EXPECT_FALSE(a.semanticallyEquals(extraKey));
    EXPECT_FALSE(extraKey.semanticallyEquals(a));
}

// Large objects keep a key index: it must follow every shift of positions, and copies must
// not share it.
TEST(JsonObject, LargeObjectsStayConsistentThroughEditsAndCopies) {
    JsonObject object;
    const int count = 1000;
    for (int n = 0; n < count; ++n) {
        object.set("k" + std::to_string(n), JsonValue::integer(n));
    }
    object.set("k5", JsonValue::integer(-5));
    for (int n = 0; n < count; n += 2) {
        object.remove("k" + std::to_string(n)); // shifts every later position
    }
    ASSERT_EQ(object.count(), static_cast<size_t>(count / 2));
    for (size_t at = 0; at < object.keys().size(); ++at) {
        const int n = static_cast<int>(at) * 2 + 1;
        ASSERT_EQ(object.keys()[at], "k" + std::to_string(n));
        ASSERT_EQ(object.get("k" + std::to_string(n))->int64Value(), n == 5 ? -5 : n);
        ASSERT_EQ(object.get("k" + std::to_string(n - 1)), nullptr);
    }

    JsonObject copy = object;
    copy.set("k1", JsonValue::string("changed"));
    copy.remove("k3");
    EXPECT_EQ(object.get("k1")->int64Value(), 1);
    EXPECT_NE(object.get("k3"), nullptr);
    auto source = std::make_unique<JsonValue>(JsonValue::object(copy));
    const JsonValue valueCopy = *source;
    source.reset(); // the copy must own its members
    EXPECT_EQ(valueCopy, JsonValue::object(copy));
    EXPECT_EQ(valueCopy["k999"]->int64Value(), 999);

    // Shrinking below the size that uses an index and growing again.
    while (object.count() > 3) {
        object.remove(object.keys().front());
    }
    for (int n = 0; n < 40; ++n) {
        object.set("n" + std::to_string(n), JsonValue::integer(n));
    }
    EXPECT_EQ(object.count(), 43U);
    EXPECT_EQ(object.keys().back(), "n39");
    EXPECT_EQ(object.get("n39")->int64Value(), 39);
    EXPECT_EQ(object.get(object.keys()[1])->int64Value(), count - 3);
}

} // namespace
} // namespace merriphonic
