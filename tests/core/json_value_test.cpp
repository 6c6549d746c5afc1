#include "core/json_value.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace merriphonic {
namespace {

TEST(JSONValue, AccessorsAnswerOnlyForTheirCase) {
    const JSONValue values[] = {JSONValue::boolean(false), JSONValue::number("1"),
                                JSONValue::string("s"),    JSONValue::array({}),
                                JSONValue::object({}),     JSONValue()};
    for (size_t n = 0; n < std::size(values); ++n) {
        const JSONValue& value = values[n];
        EXPECT_EQ(static_cast<size_t>(value.kind()), n);
        EXPECT_EQ(value.boolValue().has_value(), n == 0);
        EXPECT_EQ(value.numberText() != nullptr, n == 1);
        EXPECT_EQ(value.int64Value().has_value(), n == 1);
        EXPECT_EQ(value.stringValue() != nullptr, n == 2);
        EXPECT_EQ(value.arrayValue() != nullptr, n == 3);
        EXPECT_EQ(value.objectValue() != nullptr, n == 4);
        EXPECT_EQ(value.isNull(), n == 5);
        EXPECT_EQ(value["s"], nullptr);
    }
    EXPECT_EQ(JSONValue::null(), JSONValue());
    EXPECT_NE(JSONValue::boolean(false), JSONValue());
    EXPECT_NE(JSONValue::string("1"), JSONValue::number("1"));
}

TEST(JSONObject, KeepsInsertionOrderAcrossSetAndRemove) {
    JSONObject object{
        {"a", JSONValue::integer(1)}, {"b", JSONValue::integer(2)}, {"a", JSONValue::integer(3)}};
    EXPECT_EQ(object.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(*object.get("a"), JSONValue::integer(3));

    object.set("c", JSONValue::null());
    object.set("a", JSONValue::string("x"));
    EXPECT_EQ(object.keys(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(*object.get("a"), JSONValue::string("x"));

    object.remove("a");
    object.remove("absent");
    EXPECT_EQ(object.keys(), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(object.get("a"), nullptr);
    object.set("a", JSONValue::null());
    EXPECT_EQ(object.keys(), (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(object.count(), 3U);

    const JSONObject fromVector(std::vector<std::pair<std::string, JSONValue>>{
        {"b", JSONValue::integer(2)}, {"c", JSONValue::null()}, {"a", JSONValue::null()}});
    EXPECT_EQ(fromVector, object);
    EXPECT_NE(
        JSONObject(
            {{"c", JSONValue::null()}, {"b", JSONValue::integer(2)}, {"a", JSONValue::null()}}),
        object);
}

TEST(JSONObject, LargeObjectsStayConsistentThroughEdits) {
    JSONObject object;
    const int count = 1000;
    for (int n = 0; n < count; ++n) {
        object.set("k" + std::to_string(n), JSONValue::integer(n));
    }
    object.set("k5", JSONValue::integer(-5));
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
    // Shrinking below the size that uses an index and growing again.
    while (object.count() > 3) {
        object.remove(object.keys().front());
    }
    for (int n = 0; n < 40; ++n) {
        object.set("n" + std::to_string(n), JSONValue::integer(n));
    }
    EXPECT_EQ(object.count(), 43U);
    EXPECT_EQ(object.get("n39")->int64Value(), 39);
    EXPECT_EQ(object.get(object.keys()[1])->int64Value(), count - 3);
}

TEST(JSONObject, CopiesAreIndependent) {
    JSONObject original;
    for (int n = 0; n < 100; ++n) {
        original.set(std::to_string(n), JSONValue::integer(n));
    }
    JSONObject copy = original;
    copy.set("0", JSONValue::string("changed"));
    copy.remove("1");
    copy.set("new", JSONValue::null());
    EXPECT_EQ(original.get("0")->int64Value(), 0);
    EXPECT_NE(original.get("1"), nullptr);
    EXPECT_EQ(original.get("new"), nullptr);
    EXPECT_EQ(copy.get("1"), nullptr);

    JSONObject assigned;
    assigned = copy;
    EXPECT_EQ(assigned, copy);
    assigned.set("new", JSONValue::integer(1));
    EXPECT_EQ(copy.get("new")->isNull(), true);

    // The copy must own its members once the source is gone.
    auto source = std::make_unique<JSONValue>(JSONValue::object(original));
    const JSONValue valueCopy = *source;
    source.reset();
    EXPECT_EQ(valueCopy, JSONValue::object(original));
    EXPECT_EQ(valueCopy["99"]->int64Value(), 99);
}

TEST(JSONValue, SemanticEqualityIgnoresKeyOrderButNotArrayOrder) {
    const JSONValue a = JSONValue::object(
        {{"x", JSONValue::number("1")},
         {"y", JSONValue::array({JSONValue::number("2.0"), JSONValue::string("s")})}});
    const JSONValue b = JSONValue::object(
        {{"y", JSONValue::array({JSONValue::number("2"), JSONValue::string("s")})},
         {"x", JSONValue::number("1.0")}});
    EXPECT_TRUE(a.semanticallyEquals(b));
    EXPECT_TRUE(b.semanticallyEquals(a));
    EXPECT_NE(a, b);

    const JSONValue reversed = JSONValue::object(
        {{"x", JSONValue::number("1")},
         {"y", JSONValue::array({JSONValue::string("s"), JSONValue::number("2")})}});
    EXPECT_FALSE(a.semanticallyEquals(reversed));
    const JSONValue extraKey = JSONValue::object(
        {{"x", JSONValue::number("1")}, {"y", *b["y"]}, {"z", JSONValue::null()}});
    EXPECT_FALSE(a.semanticallyEquals(extraKey));
    EXPECT_FALSE(extraKey.semanticallyEquals(a));
    const JSONValue otherKey = JSONValue::object({{"x", JSONValue::number("1")}, {"w", *b["y"]}});
    EXPECT_FALSE(a.semanticallyEquals(otherKey));
    EXPECT_FALSE(JSONValue::string("a").semanticallyEquals(JSONValue::string("b")));
    EXPECT_TRUE(JSONValue().semanticallyEquals(JSONValue::null()));
    EXPECT_FALSE(JSONValue::array({}).semanticallyEquals(JSONValue::array({JSONValue()})));
}

} // namespace
} // namespace merriphonic
